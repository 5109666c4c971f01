#!/usr/bin/env python3
"""What a network module (MySensors or RF24Network) adds to a frame's cost on its own network's traffic.

MySensors: every message the library sends (the list of the MySensors tests); RF24Network: the frames of the
sample capture (captures/rf24network.txt: a mesh joining, routed and fragmented messages, TCP/IP); repeated
into captures of 2,000 and 12,000 frames with good CRCs, read by the real tshark with the nRF24 module alone and
with the network's module, in summary mode and with -V; instructions per frame from callgrind (the larger run
minus the smaller, so start-up cancels), as bench/bench.py counts them. The module's own cost is the inclusive
cost of the calls into its object file minus what it hands to other dissectors (call_dissector and friends:
IP, TCP, HTTP, data), from the call graph callgrind records; the reassembly it asks of the host stays in it.
Prints the table and the module's share of the frame's cost; never fails on a figure.

usage: module_cost.py BUILD MODULE   (BUILD: a build folder holding plugins/<major>.<minor>/epan/*.so;
                                      MODULE: mysensors or rf24network)
example: bench/module_cost.py build-tests rf24network
"""

import glob
import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import bench  # noqa: E402  (Tshark, profile_total, SMALL, LARGE)
import test_mysensors as mys  # noqa: E402
from bench import nrf24_encode, nrf24_host  # noqa: E402

MODES = (("summary", []), ("-V", ["-V"]))
SAMPLE = os.path.join(HERE, "..", "captures", "rf24network.txt")
NAMES = {"mysensors": "MySensors", "rf24network": "RF24Network"}
# The host functions through which a module hands a payload to another dissector.
HANDOFFS = frozenset(("call_dissector", "call_dissector_with_data", "call_dissector_only", "call_data_dissector",
                      "dissector_try_uint", "dissector_try_uint_new", "dissector_try_heuristic"))
NAME_LINE = re.compile(r"^(c?)(ob|fn)=(?:\((\d+)\))?\s*(.*)$")


def mysensors_frames():
    return [nrf24_encode.encode_frame(addr=bytes.fromhex(mys.GATEWAY), payload=message)
            for message in mys.library_messages()]


def rf24network_frames():
    with open(SAMPLE) as f:
        return [nrf24_encode.parse_frame(line)[1] for line in f.read().splitlines()
                if line.strip() and not line.startswith("#")]


TRAFFIC = {"mysensors": mysensors_frames, "rf24network": rf24network_frames}


def capture(tshark, frames, count):
    return tshark.host.capture([frames[i % len(frames)] for i in range(count)])


def tshark_with(modules):
    """bench's tshark runner with every module given in its private plug-in folder."""
    tshark = bench.Tshark(modules[0])
    epan = os.path.dirname(glob.glob(tshark.host.path("plugins/*/epan/*.so"))[0])
    for module in modules[1:]:
        shutil.copy(module, epan)
    nrf24_host.make_readable(tshark.host.path("plugins"))
    return tshark


def module_calls(path, module):
    """(instructions of the calls into the module's object file from outside it, instructions of the calls
    it makes to HANDOFFS), both inclusive, from a callgrind profile's call records."""
    names = {"ob": {}, "fn": {}}
    current = {"ob": None, "fn": None}
    callee = {"ob": None, "fn": None}
    entered = handed = 0
    pending = False
    with open(path) as f:
        for line in f:
            match = NAME_LINE.match(line)
            if match:
                called, kind, number, name = match.groups()
                if number and name:
                    names[kind][number] = name
                value = names[kind].get(number, name) if number else name
                if called:
                    callee[kind] = value
                else:
                    current[kind] = value
                    callee = dict(current)
                continue
            if line.startswith("calls="):
                pending = True
                continue
            if pending:
                pending = False
                cost = int(line.split()[1])
                inside, target = (os.path.basename(current["ob"] or "") == module,
                                  os.path.basename(callee["ob"] or "") == module)
                if target and not inside:
                    entered += cost
                elif inside and not target and re.sub(r"'\d+$", "", callee["fn"] or "") in HANDOFFS:
                    handed += cost
                callee = dict(current)
    return entered, handed


def per_frame(tshark, small, large, args, name, module=None):
    """Instructions per frame, and with a module's object file name (module's own, handed off) per frame."""
    small_out, small_total = tshark.callgrind("nrf24", small, args, name + "-small")
    large_out, large_total = tshark.callgrind("nrf24", large, args, name + "-large")
    frames = bench.LARGE - bench.SMALL
    total = (large_total - small_total) / frames
    if module is None:
        return total
    (small_in, small_off), (large_in, large_off) = module_calls(small_out, module), module_calls(large_out, module)
    handed = (large_off - small_off) / frames
    return total, (large_in - small_in) / frames - handed, handed


def built_modules(build, files, prog):
    """The paths of the module files in a build folder's plugins/<major>.<minor>/epan, or None (said on
    stderr) when it has none."""
    folders = sorted(glob.glob(os.path.join(build, "plugins", "*", "epan")))
    if not folders:
        print("%s: %s: no plugins/<major>.<minor>/epan folder" % (prog, build), file=sys.stderr)
        return None
    return [os.path.join(folders[-1], file) for file in files]


def main(argv):
    if len(argv) != 3 or argv[2] not in TRAFFIC:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    paths = built_modules(argv[1], ("nrf24.so", argv[2] + ".so"), "module_cost")
    if not paths:
        return 2
    name = NAMES[argv[2]]
    nrf24, module = paths
    alone, both = tshark_with([nrf24]), tshark_with([nrf24, module])
    frames = TRAFFIC[argv[2]]()
    small, large = capture(alone, frames, bench.SMALL), capture(alone, frames, bench.LARGE)
    print("| Mode | nrf24 alone | nrf24 + %s | difference | own | handed to other dissectors | "
          "own share |" % name)
    print("|---|---:|---:|---:|---:|---:|---:|")
    for mode, args in MODES:
        base = per_frame(alone, small, large, args, "alone-" + mode)
        with_module, own, handed = per_frame(both, small, large, args, "both-" + mode, argv[2] + ".so")
        print("| %s | %s | %s | %s | %s | %s | %.1f %% |" % (
            mode, bench.number(base), bench.number(with_module), bench.number(with_module - base),
            bench.number(own), bench.number(handed), 100 * own / with_module))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
