#!/usr/bin/env python3
"""What the link analysis (nrf24_analysis.so) adds to the nrf24 module, in the real tshark.

Both set-ups read the same captures of link traffic (DLT 147 mapped to "nrf24"): nrf24.so alone, and
nrf24.so with nrf24_analysis.so. Per mode (summary, -V): instructions per frame (callgrind, a 12,000-frame
run minus a 2,000-frame run, as bench.py counts them) with the functions whose cost differs most; then peak
RSS over --frames frames, one pass, for traffic on 16 addresses and for frames that each carry a new address,
from which the bytes kept per frame and per address follow. It never fails on speed: the figures are for
reading.

The link traffic: 16 transmitters take turns, each packet (payload 0..32 bytes) is acknowledged 130 us after
its end, and one packet in ten loses its acknowledgement and is sent again after 1500 us.

  bench/analysis_bench.py --nrf24 build/plugins/4.0/epan/nrf24.so \\
      --analysis build/plugins/4.0/epan/nrf24_analysis.so --captures build/captures --frames 1000000
"""

import argparse
import os
import random
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench  # noqa: E402  (the nrf24 benchmark: tshark runner, callgrind and cost helpers)
from bench import LARGE, SMALL, log, nrf24_encode, nrf24_host, number, per_frame_costs  # noqa: E402

MODES = (("summary", []), ("-V", ["-V"]))
GOALS = {"summary": 1.30, "-V": 1.10}
ADDRESSES = 16
SEED = 2613
COST_ROWS = 10


def airtime_us(payload_len):
    return (73 + 8 * payload_len) * 4


def link_capture(folder, count):
    """A pcap of count frames of link traffic (see above), made once and kept."""
    path = os.path.abspath(os.path.join(folder, "link-%d-seed%d.pcap" % (count, SEED)))
    if os.path.exists(path):
        return path
    log("encoding %d frames of link traffic into %s" % (count, path))
    rng = random.Random(SEED)
    addresses = [rng.randbytes(5) for _ in range(ADDRESSES)]
    pids = [0] * ADDRESSES
    frames, t = [], 1714564800 * 1000000
    while len(frames) < count:
        i = len(frames) % ADDRESSES
        payload = rng.randbytes(rng.randint(0, 32))
        packet = nrf24_encode.encode_frame(addr=addresses[i], payload=payload, pid=pids[i])
        ack = nrf24_encode.encode_frame(addr=addresses[i], pid=pids[i])
        if rng.random() < 0.1:
            frames.append((t, packet))
            t += airtime_us(len(payload)) + 1500
        frames += [(t, packet), (t + airtime_us(len(payload)) + 130, ack)]
        t += 3000
        pids[i] = (pids[i] + 1) % 4
    with nrf24_encode.atomic_output(path) as out:
        out.write(nrf24_encode.pcap_bytes(frames[:count]))
    return path


def set_ups(nrf24, analysis):
    """tshark with nrf24.so alone, and with the link analysis beside it."""
    alone = bench.Tshark(nrf24)
    both = bench.Tshark(nrf24)
    shutil.copy(analysis, os.path.join(both.host.path("plugins"), both.host.version_dir, "epan"))
    nrf24_host.make_readable(both.host.root)
    return {"nrf24": alone, "nrf24 + analysis": both}


def instructions(tshark, small, large, mode_args, name):
    small_profile, small_total = tshark.callgrind("nrf24", small, mode_args, name + "-small")
    large_profile, large_total = tshark.callgrind("nrf24", large, mode_args, name + "-large")
    return (large_total - small_total) / (LARGE - SMALL), per_frame_costs(small_profile, large_profile)


def cost_table(mode, alone, both):
    """The functions whose own instructions per frame differ most between the set-ups."""
    keys = set(alone) | set(both)
    diffs = sorted(keys, key=lambda key: alone.get(key, 0) - both.get(key, 0))
    lines = ["| %s: function | nrf24 | + analysis | difference |" % mode, "|---|---:|---:|---:|"]
    for key in diffs[:COST_ROWS]:
        lines.append("| `%s` (%s) | %s | %s | %s |" % (key[0], key[1], number(alone.get(key, 0)),
                                                      number(both.get(key, 0)),
                                                      number(both.get(key, 0) - alone.get(key, 0))))
    return lines + [""]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nrf24", required=True, help="the built nrf24.so")
    parser.add_argument("--analysis", required=True, help="the built nrf24_analysis.so")
    parser.add_argument("--captures", required=True, help="folder that keeps the generated captures")
    parser.add_argument("--frames", type=int, default=1000000, help="frames in the memory runs (1000000)")
    args = parser.parse_args(argv)
    for path in (args.nrf24, args.analysis):
        if not os.path.isfile(path):
            parser.error("%s: no such file (build the modules first)" % path)
    if args.frames < LARGE:
        parser.error("--frames wants at least %d" % LARGE)

    os.makedirs(args.captures, exist_ok=True)
    small, large = link_capture(args.captures, SMALL), link_capture(args.captures, LARGE)
    big = link_capture(args.captures, args.frames)
    scattered = bench.random_capture(args.captures, args.frames)
    nrf24_host.make_readable(args.captures)
    tsharks = set_ups(args.nrf24, args.analysis)

    out = ["| Mode | Instructions/frame: nrf24 | nrf24 + analysis | ratio | goal |", "|---|---:|---:|---:|---:|"]
    tables = []
    for mode, mode_args in MODES:
        figures = {}
        for name, tshark in tsharks.items():
            log("%s, %s: callgrind" % (mode, name))
            figures[name] = instructions(tshark, small, large, mode_args, "%s-%s" % (name, mode))
        (alone, alone_costs), (both, both_costs) = figures["nrf24"], figures["nrf24 + analysis"]
        out.append("| %s | %s | %s | %.2f× | ≤ %.2f× |" % (mode, number(alone), number(both), both / alone,
                                                           GOALS[mode]))
        tables += cost_table(mode, alone_costs, both_costs)
        if not mode_args:
            # What a tree costs the host by itself: nrf24 alone, made to build one by a filter.
            log("%s, nrf24 with a tree: callgrind" % mode)
            tree, _ = instructions(tsharks["nrf24"], small, large, ["-Y", "frame"], "nrf24-tree")
            out.append("| %s, nrf24 alone with `-Y frame` (a tree, no analysis) | %s | | %.2f× | |" % (
                mode, number(tree), tree / alone))

    out += ["", "| Capture (%s frames, one pass, summary) | Peak RSS KiB: nrf24 | nrf24 + analysis | ratio |"
            " bytes/frame |" % number(args.frames), "|---|---:|---:|---:|---:|"]
    for name, capture in (("%d addresses" % ADDRESSES, big), ("a new address per frame", scattered)):
        rss = {}
        for setup, tshark in tsharks.items():
            log("%s, %s: peak RSS" % (name, setup))
            rss[setup] = tshark.timed("nrf24", capture, [])[2]
        out.append("| %s | %s | %s | %.2f× | %.1f |" % (
            name, number(rss["nrf24"]), number(rss["nrf24 + analysis"]), rss["nrf24 + analysis"] / rss["nrf24"],
            (rss["nrf24 + analysis"] - rss["nrf24"]) * 1024 / args.frames))
    print("\n".join(out + [""] + tables))
    return 0


if __name__ == "__main__":
    sys.exit(main())
