#!/usr/bin/env python3
"""Make a recorded sniffer session: frame descriptions in, the lines a sniffer board prints out.

Each frame (as tools/nrf24_encode.py describes it) becomes one promiscuous read in the line protocol of
doc/sniffer-protocol.md: 32 bytes in which the frame starts after a random run of preamble bits (0..15, plus
up to two bytes of preamble or noise), the rest random. Between frames, random noise reads are mixed in, as
a receiver listening to an empty channel prints them. Time stamps become the board's microsecond clock,
starting at --clock. The same seed gives the same session.
"""

import argparse
import random
import sys

from nrf24tools import frames, pcap
from nrf24tools.lineproto import READ_BYTES, read_line
BOOT_LINE = "#sniffer v=1 ch=%d rate=250k mode=p pre=aa hop=- dwell=0"


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


def session_lines(frames, rng, clock, channel, noise):
    """The lines of a session: the boot line, then per frame up to `noise` noise reads and the frame's read;
    a frame too long for a read is not heard."""
    lines = [BOOT_LINE % channel]
    first = frames[0][0]
    last_at = -2000
    for usec, frame in frames:
        if not fits_a_read(frame):
            continue
        at = usec - first
        # noise heard between the previous frame and this one, in clock order
        count = min(rng.randrange(noise + 1), at - last_at - 1)
        for noise_at in sorted(rng.sample(range(last_at + 1, at), count)):
            lines.append(read_line(clock + noise_at, channel, rng.randbytes(READ_BYTES)))
        lead_bits = rng.randrange(16) + 8 * rng.randrange(3)
        data = promiscuous_read(frame, lead_bits, rng)
        if data is None:
            data = promiscuous_read(frame, 0, rng)
        lines.append(read_line(clock + at, channel, data))
        last_at = at
    return lines


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
    parser.add_argument("--noise", type=int, default=2, help="at most this many noise reads before a frame")
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
    lines = session_lines(frames.stamp_frames(parsed), random.Random(args.seed), args.clock, args.channel,
                          args.noise)
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
