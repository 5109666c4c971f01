#!/usr/bin/env python3
"""Build Enhanced ShockBurst frames bit by bit and write them as a capture.

Each frame is described by space-separated key=value words:

  addr=0102030405   the 5-byte address, frame order (default 0102030405)
  payload=48656c6c  payload bytes as hex, 0 to 63 bytes (default none)
  pid=2             packet identification, 0..3 (default 0)
  noack=1           the no-ack flag, 0 or 1 (default 0)
  crc=good          good (default), or a 16-bit value such as 0x1234
  extra=00ff        bytes appended after the packet
  cut=7             keep only the first N bytes of the frame
  t=12.5            time stamp in seconds (default: 1 ms after the previous frame)

Frames come from the command line or, one per line, from --input (- for stdin).
Lines that are empty or start with '#' are skipped.
"""

import argparse
import sys

# Other programs (tests, benches, the fuzz corpus) import the encoder's names from here.
from nrf24tools.frames import (MAX_FRAME, MAX_PAYLOAD, FrameError, bits_of, crc16_bits, encode_frame,  # noqa: F401
                               hex_bytes, pack_bits, parse_frame, parse_stamp, stamp_frames)
from nrf24tools.pcap import (EXPORTED_PDU_HEADER, LINK_HELP, LINKTYPE_EXPORTED_PDU, LINKTYPE_USER0,  # noqa: F401
                             LINKTYPES, atomic_output, pcap_bytes, pcap_header, pcap_record)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example: nrf24_encode.py -o ack.pcap 'addr=0102030405 pid=1' 'payload=010203 noack=1'")
    parser.add_argument("frames", nargs="*", help="frame descriptions")
    parser.add_argument("-i", "--input", help="file of frame descriptions, one per line (- for stdin)")
    parser.add_argument("-o", "--output", required=True, help="output file (- for stdout)")
    parser.add_argument("--format", choices=("pcap", "hex"), default="pcap",
                        help="pcap (default) or hex: one frame per line, as a sniffer prints it")
    parser.add_argument("--link", choices=LINKTYPES, default="user0", help=LINK_HELP)
    args = parser.parse_args(argv)

    specs = [("argument %d" % (n + 1), s) for n, s in enumerate(args.frames)]
    if args.input:
        try:
            stream = sys.stdin if args.input == "-" else open(args.input, encoding="utf-8")
            with stream:
                lines = stream.read().splitlines()
        except (OSError, UnicodeDecodeError) as err:
            print("nrf24_encode: %s: %s" % (args.input, err), file=sys.stderr)
            return 2
        specs += [("line %d" % (n + 1), s) for n, s in enumerate(lines) if s.strip() and not s.startswith("#")]
    parsed = []
    for where, spec in specs:
        try:
            parsed.append(parse_frame(spec))
        except FrameError as err:
            print("nrf24_encode: %s: %s" % (where, err), file=sys.stderr)
            return 2
    frames = stamp_frames(parsed)
    if args.format == "hex":
        data = "".join("%d.%06d %s\n" % (usec // 1000000, usec % 1000000, frame.hex())
                       for usec, frame in frames).encode()
    else:
        data = pcap_bytes(frames, LINKTYPES[args.link])
    try:
        with atomic_output(args.output) as out:
            out.write(data)
    except OSError as err:
        print("nrf24_encode: %s: %s" % (args.output, err.strerror or err), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
