#!/usr/bin/env python3
"""What the MySensors module adds to a frame's cost on MySensors traffic.

Every message the library sends (the list of the MySensors tests), repeated into captures of 2,000 and
12,000 frames with good CRCs, read by the real tshark with the nRF24 module alone and with both modules, in
summary mode and with -V; instructions per frame from callgrind (the larger run minus the smaller, so start-up
cancels), as bench/bench.py counts them. Prints the table and the MySensors share of the frame's cost; never
fails on a figure.

usage: mysensors_cost.py BUILD   (BUILD: a build folder holding plugins/<major>.<minor>/epan/{nrf24,mysensors}.so)
example: bench/mysensors_cost.py build-tests
"""

import glob
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import bench  # noqa: E402  (Tshark, profile_total, SMALL, LARGE)
import test_mysensors as mys  # noqa: E402
from bench import nrf24_encode, nrf24_host  # noqa: E402

MODES = (("summary", []), ("-V", ["-V"]))


def capture(tshark, count):
    messages = mys.library_messages()
    frames = [nrf24_encode.encode_frame(addr=bytes.fromhex(mys.GATEWAY), payload=messages[i % len(messages)])
              for i in range(count)]
    return tshark.host.capture(frames)


def tshark_with(modules):
    """bench's tshark runner with every module given in its private plug-in folder."""
    tshark = bench.Tshark(modules[0])
    epan = os.path.dirname(glob.glob(tshark.host.path("plugins/*/epan/*.so"))[0])
    for module in modules[1:]:
        shutil.copy(module, epan)
    nrf24_host.make_readable(tshark.host.path("plugins"))
    return tshark


def per_frame(tshark, small, large, args, name):
    _, small_total = tshark.callgrind("nrf24", small, args, name + "-small")
    _, large_total = tshark.callgrind("nrf24", large, args, name + "-large")
    return (large_total - small_total) / (bench.LARGE - bench.SMALL)


def main(argv):
    if len(argv) != 2 or argv[1] in ("-h", "--help"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    modules = sorted(glob.glob(os.path.join(argv[1], "plugins", "*", "epan")))
    if not modules:
        print("mysensors_cost: %s: no plugins/<major>.<minor>/epan folder" % argv[1], file=sys.stderr)
        return 2
    nrf24, mysensors = (os.path.join(modules[-1], name) for name in ("nrf24.so", "mysensors.so"))
    alone, both = tshark_with([nrf24]), tshark_with([nrf24, mysensors])
    small, large = capture(alone, bench.SMALL), capture(alone, bench.LARGE)
    print("| Mode | nrf24 alone | nrf24 + MySensors | MySensors | MySensors share |")
    print("|---|---:|---:|---:|---:|")
    for mode, args in MODES:
        base = per_frame(alone, small, large, args, "alone-" + mode)
        with_mys = per_frame(both, small, large, args, "both-" + mode)
        print("| %s | %s | %s | %s | %.1f %% |" % (mode, bench.number(base), bench.number(with_mys),
                                                 bench.number(with_mys - base), 100 * (with_mys - base) / with_mys))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
