#!/bin/sh
# Builds the module and the nrf_crc16 benchmark as `make setup` builds the module
# (RelWithDebInfo), then runs bench/bench.py, which prints the table and writes
# bench/RESULTS.md. With --baseline REV it also counts instructions for the module
# as it was at git revision REV. Other options go to bench.py (--frames, --runs).
# Long runs go through nice; a full run takes 10 to 30 minutes, with the load.
set -eu
cd "$(dirname "$0")/.."
# The benchmark's own packages come on top of the project's, only when it runs.
NRF24_EXTRA_PACKAGES="libbenchmark-dev valgrind time ${NRF24_EXTRA_PACKAGES:-}" tools/install-deps
build=build-bench
baseline=""
if [ "${1:-}" = "--baseline" ]; then
  [ $# -ge 2 ] || { echo "run.sh: --baseline wants a git revision" >&2; exit 2; }
  rev=$2
  shift 2
  git rev-parse --verify --quiet "$rev^{commit}" >/dev/null || { echo "run.sh: $rev: not a revision" >&2; exit 2; }
  rm -rf "$build/baseline-src"
  mkdir -p "$build/baseline-src"
  git archive "$rev" | tar -x -C "$build/baseline-src"
  cmake -S "$build/baseline-src" -B "$build/baseline" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  nice cmake --build "$build/baseline" --target nrf24 >/dev/null
  baseline="--baseline=$rev=$(find "$build/baseline/plugins" -name nrf24.so)"
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNRF24_BUILD_BENCH=ON >/dev/null
nice cmake --build "$build" >/dev/null
exec python3 bench/bench.py --module "$(find "$build/plugins" -name nrf24.so)" \
  --crc-bench "$build/bench/nrf_crc16_bench" --captures "$build/captures" $baseline "$@"
