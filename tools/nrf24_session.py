#!/usr/bin/env python3
"""Make a recorded sniffer session: frame descriptions in, the lines a sniffer board prints out.

Each frame (as tools/nrf24_encode.py describes it) is a transmission on the air at its time stamp (the start
of its preamble), on one channel at one rate; the air model (tools/nrf24tools/air.py) gives the reads one
radio in promiscuous mode delivers: 256-bit windows that start 0..15 bits before the address that triggered
them and hold whatever else was on the air then (an ack after its packet), reads started by noise, and
frames missed while a read ran. With --hop the radio hops over channels as the firmware does (--dwell ms on
each, from 1 ms before the first frame) and hears a channel only while it dwells there; --network adds another
network's frames on another channel, on the same clock. They are printed in the line protocol of
doc/sniffer-protocol.md, version 1, time stamps on the board's microsecond clock starting at --clock. The same
seed gives the same session.
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


# The board takes the hop command this long before the first frame (µs).
HOP_LEAD_US = 1000.0


def acks_after_packets(stamped, rate):
    """(time stamp in µs, frame) pairs in which an ack (no payload) right after a packet on the same address and
    PID starts as Enhanced ShockBurst sends it at this rate: 130 µs after the packet's end. A description made
    for a faster rate would otherwise put the ack inside its packet."""
    out = []
    for usec, frame in stamped:
        if out and frame[5] >> 2 == 0 and out[-1][1][5] >> 2 and out[-1][1][:5] == frame[:5] \
                and (out[-1][1][5] ^ frame[5]) & 3 == 0:
            usec = out[-1][0] + round(air.airtime_us(out[-1][1], rate) + air.ACK_DELAY_US)
        out.append((usec, frame))
    return out


def timeline(stamped, channel, rate, first=None):
    """The transmissions of (time stamp in µs, frame) pairs, times from first (default: the first frame's)."""
    first = stamped[0][0] if first is None else first
    return sorted((air.Transmission(usec - first, channel, rate, frame, "ack" if frame[5] >> 2 == 0 else "data", 0,
                                    False) for usec, frame in stamped), key=lambda tx: tx.time)


class SessionError(Exception):
    """A frame description file that cannot be read or holds a bad line."""


def read_frames(name):
    """The frames of a description file (- for stdin), as frames.parse_frame gives them."""
    try:
        stream = sys.stdin if name == "-" else open(name, encoding="utf-8")
        with stream:
            specs = [(n, line) for n, line in enumerate(stream.read().splitlines(), 1)
                     if line.strip() and not line.startswith("#")]
    except (OSError, UnicodeDecodeError) as err:
        raise SessionError("%s: %s" % (name, err)) from None
    parsed = []
    for number, spec in specs:
        try:
            parsed.append(frames.parse_frame(spec))
        except frames.FrameError as err:
            raise SessionError("%s: line %d: %s" % (name, number, err)) from None
    if not parsed:
        raise SessionError("%s: no frames" % name)
    return parsed


def channel_number(text):
    if not text.isdigit() or int(text) > 125:
        raise argparse.ArgumentTypeError("channel %r is not 0..125" % text)
    return int(text)


def network(text):
    """CH:FILE of --network."""
    channel, colon, name = text.partition(":")
    if not colon or not name:
        raise argparse.ArgumentTypeError("%r is not CH:FILE" % text)
    return channel_number(channel), name


def hop_list(text):
    """The channels of --hop, as the board takes them (1 to 16)."""
    if not lineproto.HOP_LIST.fullmatch(text):
        raise argparse.ArgumentTypeError("hop list %r is not 1 to 16 channels separated by commas" % text)
    return [channel_number(channel) for channel in text.split(",")]


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="nrf24_session.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example: nrf24_session.py -i captures/sample.txt --network 90:captures/rf24network.txt "
               "--hop 76,90,100 --dwell 50 -o captures/demo-session.txt")
    parser.add_argument("-i", "--input", required=True, help="frame descriptions, one per line (- for stdin)")
    parser.add_argument("-o", "--output", required=True, help="session file (- for stdout)")
    parser.add_argument("--seed", type=int, default=24, help="random seed (default 24)")
    parser.add_argument("--clock", type=lambda text: int(text, 0), default=0xFFD00000,
                        help="the board clock at the first frame, in microseconds (default 0xffd00000: it wraps "
                             "3 s in)")
    parser.add_argument("--channel", type=channel_number, default=76, help="the input's channel (default 76)")
    parser.add_argument("--rate", choices=lineproto.RATES, default="250k", help="data rate (default 250k)")
    parser.add_argument("--noise", type=float, default=20.0, help="reads started by noise per second (default 20)")
    parser.add_argument("--network", type=network, action="append", default=[], metavar="CH:FILE",
                        help="another network's frame descriptions, on channel CH at the same rate, their time "
                             "stamps on the same clock as the input's (may be repeated); in every input an ack "
                             "right after its packet starts 130 us after the packet's end at --rate")
    parser.add_argument("--hop", type=hop_list, help="hop over these channels, e.g. 76,90,100 (with --dwell), "
                                                     "as the board does after its command h")
    parser.add_argument("--dwell", type=int, help="milliseconds on each channel when hopping (1..60000)")
    args = parser.parse_args(argv)
    if (args.hop is None) != (args.dwell is None) or (args.dwell is not None and not 1 <= args.dwell <= 60000):
        parser.error("--hop and --dwell go together, the dwell 1..60000 ms")
    networks = [(args.channel, args.input)] + args.network
    stamped = []
    for channel, name in networks:
        try:
            stamped.append((channel, acks_after_packets(frames.stamp_frames(read_frames(name)), args.rate)))
        except SessionError as err:
            print("nrf24_session: %s" % err, file=sys.stderr)
            return 2
    rng = random.Random(args.seed)
    if args.hop:
        radio = air.HoppingRadio(rng, args.hop, args.dwell, -HOP_LEAD_US, args.rate, noise_per_s=args.noise)
    else:
        radio = air.Radio(rng, args.channel, args.rate, noise_per_s=args.noise)
    first = min(pairs[0][0] for _, pairs in stamped)
    on_air = sorted((tx for channel, pairs in stamped for tx in timeline(pairs, channel, args.rate, first)),
                    key=lambda tx: tx.time)
    lines = air.session_lines(radio, radio.reads(on_air), args.clock)
    header = "# made by: tools/nrf24_session.py %s\n" % " ".join(argv if argv is not None else sys.argv[1:])
    try:
        with pcap.atomic_output(args.output) as out:
            out.write((header + "\n".join(lines) + "\n").encode())
    except OSError as err:
        print("nrf24_session: %s: %s" % (args.output, err.strerror or err), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
