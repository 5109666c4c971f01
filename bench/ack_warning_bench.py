#!/usr/bin/env python3
"""Whether the link analysis warns about missing acks only where one radio could have heard them.

At 250 kbps, 1 Mbps and 2 Mbps a MySensors-like network on the air model (tools/nrf24tools/air.py: five nodes
sending to the gateway's address, payloads 1..23 bytes, 15 % of tries unanswered, 50 noise reads a second) is
heard by one radio in promiscuous mode; its reads, printed as the board prints them, go through the capture
tool (tools/nrf24_capture.py, sniffer header included) into a pcapng that the real tshark reads with the link
analysis (two passes, default preferences). Counted: "No acknowledgement seen" warnings, PID-gap notes, and
the analysis' acks not observable; against the timeline's truth: the data frames the reads hold whole whose
ack was never sent and could have been heard whole (inside a read the radio was taking, or in a read of its
own with the radio searching). Prints the figures; never fails on them.

usage: ack_warning_bench.py BUILD [--seconds S]   (BUILD: a build folder holding plugins/<major>.<minor>/epan)
example: bench/ack_warning_bench.py build-tests --seconds 600
"""

import argparse
import bisect
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from module_cost import built_modules, tshark_with  # noqa: E402
from nrf24tools import air  # noqa: E402
from nrf24tools.frames import FRAME_BITS  # noqa: E402

CAPTURE = os.path.join(HERE, "..", "tools", "nrf24_capture.py")
MODULES = ("nrf24.so", "nrf24_sniffer.so", "nrf24_analysis.so")
SEED = 18
NOISE_PER_S = 50.0
RATES = ("250k", "1m", "2m")
NO_ACK_SEEN = "No acknowledgement seen"
PID_GAP = "PID gap"
PID_GAPS_ON = "nrf24.analysis.pid_gaps:TRUE"


def ack_truth(reads):
    """(acks truly missing that the radio could have heard, acks it could not have heard, sent or not) over
    the data frames the reads hold whole. An ack could have been heard when (its address ACK_DELAY_US after
    the packet's end and its preamble) it lies whole in the read running then, or begins when no read ran
    (the radio searching: it starts a read of its own)."""
    starts = [read.start for read in reads]
    missing = not_heard = 0
    for read in reads:
        ubit = 1 / air.BITS_PER_US[read.rate]
        for tx, _, whole in read.contents:
            if not whole or tx.kind != "data" or tx.frame[6] & 0x80:
                continue
            address = tx.time + air.airtime_us(tx.frame, tx.rate) + air.ACK_DELAY_US + air.PREAMBLE_BITS * ubit
            running = reads[bisect.bisect_right(starts, address) - 1]
            if running.end <= address or address + FRAME_BITS * ubit <= running.end:
                missing += not tx.acked
            else:
                not_heard += 1
    return missing, not_heard


def air_capture(folder, rate, seconds, seed, noise_per_s=NOISE_PER_S):
    """The network's timeline, the radio's reads, and the pcapng the capture tool makes of them."""
    rng = random.Random(seed)
    timeline = air.network_timeline(rng, seconds, rate=rate)
    radio = air.Radio(rng, rate=rate, noise_per_s=noise_per_s)
    reads = radio.reads(timeline)
    path = os.path.join(folder, "air-%s-%gs-seed%d.pcapng" % (rate, seconds, seed))
    lines = "\n".join(air.session_lines(radio, reads)) + "\n"
    done = subprocess.run([sys.executable, CAPTURE, "-o", path], input=lines.encode(), capture_output=True)
    if done.returncode != 0:
        raise RuntimeError("nrf24_capture failed: %s" % done.stderr.decode())
    os.chmod(path, 0o644)
    return timeline, reads, path


def analysis_counts(host, capture, *options):
    """(No-ack warnings, PID-gap notes, packets with no ack seen whose ack was not observable, frames) in
    tshark's two-pass reading."""
    rows = host.run("-r", capture, "-2", *options, "-T", "fields", "-E", "occurrence=a",
                    "-e", "nrf24.analysis.acked_in", "-e", "nrf24.analysis.ack_observable", "-e", "_ws.expert.message",
                    user_dlt=False).output
    fields = [row.split("\t") for row in rows]
    return (sum(NO_ACK_SEEN in experts for _, _, experts in fields),
            sum(PID_GAP in experts for _, _, experts in fields),
            sum(not acked_in and observable in ("0", "False") for acked_in, observable, _ in fields), len(fields))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", help="build folder with plugins/<major>.<minor>/epan/*.so")
    parser.add_argument("--seconds", type=float, default=600, help="seconds of traffic per rate (600)")
    args = parser.parse_args(argv)
    paths = built_modules(args.build, MODULES, "ack_warning_bench")
    if not paths:
        return 2
    missing = [path for path in paths if not os.path.isfile(path)]
    if missing:
        parser.error("%s: no such file (build the modules first)" % missing[0])
    host = tshark_with(paths).host
    for rate in RATES:
        _, reads, capture = air_capture(host.root, rate, args.seconds, SEED)
        warnings, gaps, not_observable, frames = analysis_counts(host, capture)
        truth, truth_not_heard = ack_truth(reads)
        opted_in = analysis_counts(host, capture, "-o", PID_GAPS_ON)[1]
        print("%s, %g s: %d frames captured; %d 'No acknowledgement seen' warnings, %d acks truly missing and "
              "observable (ratio %.3f); %d PID-gap notes (%d with the notes turned on); acks not observable: %d "
              "by the analysis, %d by the timeline" % (rate, args.seconds, frames, warnings, truth,
                                                      warnings / max(truth, 1), gaps, opted_in, not_observable,
                                                      truth_not_heard))
    return 0


if __name__ == "__main__":
    sys.exit(main())
