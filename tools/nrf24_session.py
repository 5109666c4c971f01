#!/usr/bin/env python3
"""Make a recorded sniffer session: frame descriptions in, the lines a sniffer board prints out.

Each frame (as tools/nrf24_encode.py describes it) is a transmission on the air at its time stamp (the start
of its preamble), on one channel at one rate; the air model (tools/nrf24tools/air.py) gives the reads one
radio in promiscuous mode delivers: 256-bit windows that start 0..15 bits before the address that triggered
them and hold whatever else was on the air then (an ack after its packet), reads started by noise, and
frames missed while a read ran. They are printed in the line protocol of doc/sniffer-protocol.md, version 1,
time stamps on the board's microsecond clock starting at --clock. The same seed gives the same session.
"""

import argparse
import random
import sys

from nrf24tools import air, frames, lineproto, pcap
from nrf24tools.lineproto import READ_BYTES


def fits_a_read(frame):
    """Whether a promiscuous read can hold the frame whole (payloads of up to 23 bytes): the radio hands over
    32 bytes, and a longer frame is never heard whole."""
    return 8 * len(frame) - 7 <= 8 * READ_BYTES


def promiscuous_read(frame, lead_bits, rng, lead=None):
    """32 bytes that hold frame after lead_bits bits of preamble (the alternating bits that lead into the
    frame's first bit), or of the given lead value; random bits after the frame. None if it does not fit."""
    bits = 8 * len(frame) - 7
    if lead_bits + bits > 8 * READ_BYTES:
        return None
    if lead is None:
        # alternating bits ending in the opposite of the frame's first bit, as the radio's preamble does
        pattern = 0xAAAAAAAAAAAAAAAA if frame[0] >> 7 else 0x5555555555555555
        lead = pattern & ((1 << lead_bits) - 1)
    body = int.from_bytes(frame, "big") >> 7
    tail = 8 * READ_BYTES - lead_bits - bits
    value = (lead << (8 * READ_BYTES - lead_bits)) | (body << tail) | rng.getrandbits(tail) if tail else \
        (lead << (8 * READ_BYTES - lead_bits)) | body
    return value.to_bytes(READ_BYTES, "big")


def timeline(stamped, channel, rate):
    """The transmissions of (time stamp in µs, frame) pairs, times from the first frame's."""
    first = stamped[0][0]
    return sorted((air.Transmission(usec - first, channel, rate, frame, "ack" if frame[5] >> 2 == 0 else "data", 0,
                                    False) for usec, frame in stamped), key=lambda tx: tx.time)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="nrf24_session.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example: nrf24_session.py -i captures/sample.txt -o captures/demo-session.txt")
    parser.add_argument("-i", "--input", required=True, help="frame descriptions, one per line (- for stdin)")
    parser.add_argument("-o", "--output", required=True, help="session file (- for stdout)")
    parser.add_argument("--seed", type=int, default=24, help="random seed (default 24)")
    parser.add_argument("--clock", type=lambda text: int(text, 0), default=0xFFD00000,
                        help="the board clock at the first frame, in microseconds (default 0xffd00000: it wraps "
                             "3 s in)")
    parser.add_argument("--channel", type=int, default=76, help="channel (default 76)")
    parser.add_argument("--rate", choices=lineproto.RATES, default="250k", help="data rate (default 250k)")
    parser.add_argument("--noise", type=float, default=20.0, help="reads started by noise per second (default 20)")
    args = parser.parse_args(argv)
    try:
        stream = sys.stdin if args.input == "-" else open(args.input, encoding="utf-8")
        with stream:
            specs = [(n, line) for n, line in enumerate(stream.read().splitlines(), 1)
                     if line.strip() and not line.startswith("#")]
    except (OSError, UnicodeDecodeError) as err:
        print("nrf24_session: %s: %s" % (args.input, err), file=sys.stderr)
        return 2
    parsed = []
    for number, spec in specs:
        try:
            parsed.append(frames.parse_frame(spec))
        except frames.FrameError as err:
            print("nrf24_session: line %d: %s" % (number, err), file=sys.stderr)
            return 2
    if not parsed:
        print("nrf24_session: %s: no frames" % args.input, file=sys.stderr)
        return 2
    radio = air.Radio(random.Random(args.seed), args.channel, args.rate, noise_per_s=args.noise)
    lines = air.session_lines(radio, radio.reads(timeline(frames.stamp_frames(parsed), args.channel, args.rate)),
                              args.clock)
    header = "# made by: tools/nrf24_session.py -i %s -o %s\n" % (args.input, args.output)
    try:
        with pcap.atomic_output(args.output) as out:
            out.write((header + "\n".join(lines) + "\n").encode())
    except OSError as err:
        print("nrf24_session: %s: %s" % (args.output, err.strerror or err), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
