#!/bin/sh
# The route for hosts without packages (Windows, macOS), shown on this machine: Debian's
# Wireshark source package with this project in its tree as plugins/epan/nrf24, named by
# CMakeListsCustom.txt, a tshark-only build with our modules, then the sample capture
# decoded by the tshark it built. Takes long (the whole of libwireshark at -j2); not a test.
#
#   tools/build-in-tree.sh [WORKDIR]     (default build-in-tree; kept, so a second run is quick)
#
# NRF24_DEBIAN_MIRROR overrides the mirror of the source package (http://deb.debian.org/debian).
set -eu
cd "$(dirname "$0")/.."
project=$(pwd)
work=${1:-build-in-tree}
mirror=${NRF24_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$suite" ] || { echo "build-in-tree: no VERSION_CODENAME in /etc/os-release" >&2; exit 2; }
started=$(date +%s)

# What a tshark-only build of Wireshark needs, and dpkg-source to unpack the source package.
NRF24_EXTRA_PACKAGES="dpkg-dev flex libc-ares-dev libpcre2-dev libglib2.0-dev libgcrypt20-dev ninja-build" \
  tools/install-deps

# The source package of this machine's release, through apt with a deb-src list of its own
# (the machine's sources stay as they are).
mkdir -p "$work/apt/lists/partial"
work=$(cd "$work" && pwd)
printf 'deb-src %s %s main\ndeb-src %s %s-updates main\n' "$mirror" "$suite" "$mirror" "$suite" \
  > "$work/apt/sources.list"
apt_private="-o Dir::Etc::SourceList=$work/apt/sources.list -o Dir::Etc::SourceParts=/dev/null \
  -o Dir::State::Lists=$work/apt/lists -o Acquire::Retries=3"
# shellcheck disable=SC2086
apt-get $apt_private update -qq
tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'wireshark-*' | head -n 1)
if [ -z "$tree" ]; then
  # shellcheck disable=SC2086
  (cd "$work" && apt-get $apt_private source -qq wireshark)
  tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'wireshark-*' | head -n 1)
fi
echo "build-in-tree: Wireshark source in $tree"

# This project in the tree, as a user puts it there (a copy of the folder), named by the
# tree's CMakeListsCustom.txt.
rm -rf "$tree/plugins/epan/nrf24"
mkdir -p "$tree/plugins/epan/nrf24"
find . -mindepth 1 -maxdepth 1 ! -name '.git' ! -name 'build*' ! -name 'obj-*' \
  -exec cp -a {} "$tree/plugins/epan/nrf24/" \;
echo 'set(CUSTOM_PLUGIN_SRC_DIR plugins/epan/nrf24)' > "$tree/CMakeListsCustom.txt"

# tshark and the modules only; -O1 since only the route is shown here, not a fast tshark.
cmake -S "$tree" -B "$tree/build" -G Ninja -DBUILD_wireshark=OFF -DBUILD_logray=OFF \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE=-O1 -DCMAKE_CXX_FLAGS_RELEASE=-O1
cmake --build "$tree/build" -j2 --target tshark nrf24_modules

# The tshark just built finds the modules in its build folder (run/plugins/<major>.<minor>/epan).
# Run with an empty HOME, and by root as an unprivileged uid: as root, tshark ignores all but the
# global folder.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
chmod 755 "$home"
as_user="env HOME=$home TZ=UTC"
[ "$(id -u)" != 0 ] || as_user="setpriv --reuid=65534 --regid=65534 --clear-groups $as_user"
echo "build-in-tree: modules loaded by $tree/build/run/tshark:"
$as_user "$tree/build/run/tshark" -G plugins | grep -F "$tree/build/run/plugins/" || {
  echo "build-in-tree: the tshark built does not load the modules" >&2; exit 1; }
echo "build-in-tree: captures/sample.pcap decoded by it:"
$as_user "$tree/build/run/tshark" -r "$project/captures/sample.pcap"
echo "build-in-tree: done in $(( $(date +%s) - started )) s"
