#!/usr/bin/env python3
"""Writes captures/rf24network.txt, the encoder's description of the RF24Network sample capture, from the
libraries' vectors (vectors.txt beside this file): a small mesh as a sniffer on its channel hears it. The
master (RF24Gateway, 10.10.2.2) and three nodes join, node 3 one level down through node 04; node 3 sends a
message with a network ack and one of 100 bytes in five fragments, node 04 looks node 3 up, node 3 pings its
parent, the master multicasts, the gateway and node 3 talk HTTP over TCP, node 04 releases its address. Each
transmitter counts its own PIDs; a frame to a pipe that auto-acknowledges (the library's pipes 1 to 5) is
followed by its acknowledgement.

usage: make_sample.py [OUT]   (default captures/rf24network.txt of this source tree)
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
VECTORS = os.path.join(HERE, "vectors.txt")
DEFAULT_OUT = os.path.join(HERE, "..", "..", "..", "captures", "rf24network.txt")
# The steps the sample leaves out: the 1514-byte message alone would be 64 frames.
LEFT_OUT = ("fragmented: the largest message, 1514 bytes of type 2", "user type 1 routed to the master, no network ack")
START_US = 1714564800 * 1000000
FRAME_GAP_US = 2000
ACK_DELAY_US = 400


def seconds(microseconds):
    return "%d.%06d" % divmod(microseconds, 1000000)


def sample_lines():
    lines = ["# RF24Network sample: made by tests/vectors/rf24network/make_sample.py from the libraries' vectors;",
             "# the capture: tools/nrf24_encode.py --link exported-pdu -i captures/rf24network.txt "
             "-o captures/rf24network.pcap"]
    pids, step, t = {}, None, START_US
    with open(VECTORS) as f:
        for line in f.read().splitlines():
            if line.startswith("step "):
                step = line[5:]
                if step not in LEFT_OUT:
                    lines.append("# " + step)
            elif line.startswith("addr=") and step not in LEFT_OUT:
                words = dict(word.split("=", 1) for word in line.split())
                pid = pids.get(words["sender"], 0)
                pids[words["sender"]] = (pid + 1) % 4
                lines.append("t=%s addr=%s payload=%s pid=%d" % (seconds(t), words["addr"], words["payload"], pid))
                if words["acked"] == "1":
                    lines.append("t=%s addr=%s pid=%d" % (seconds(t + ACK_DELAY_US), words["addr"], pid))
                t += FRAME_GAP_US
    return lines


def main(argv):
    if len(argv) > 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = argv[1] if len(argv) == 2 else DEFAULT_OUT
    with open(out + ".tmp", "w") as f:
        f.write("\n".join(sample_lines()) + "\n")
    os.replace(out + ".tmp", out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
