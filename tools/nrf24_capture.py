#!/usr/bin/env python3
"""Turn a sniffer's text output into a pcap capture of nRF24 frames.

One frame per line, as hex, optionally after a time stamp in seconds since 1970:

  1714564800.000380 a8a8e1fc0000264e80
  a8a8e1fc0000264e80

A frame without a time stamp gets the time its line was read. Empty lines and
lines starting with '#' are skipped; any other line that is not a frame is an
error naming its line number. Written to stdout, the pcap header goes out at
once and every frame as soon as its line is read, so a live stream can be
watched; written to a file, the capture appears under its name only when it is
complete. Ctrl-C (or SIGTERM) ends a live capture and keeps every frame read.
"""

import argparse
import os
import signal
import sys
import time

import nrf24_encode
from nrf24_encode import FrameError

PROG = "nrf24_capture"


class ReadError(Exception):
    """The input could not be read (a serial port gone, an I/O error)."""


def parse_line(raw):
    """A sniffer line, "[time stamp] hex", to (time stamp or None, frame bytes); None for a blank or
    comment line."""
    try:
        words = raw.decode("ascii").split()
    except UnicodeDecodeError as err:
        raise FrameError("not text: byte 0x%02x at column %d" % (raw[err.start], err.start + 1)) from None
    if not words or words[0].startswith("#"):
        return None
    if len(words) > 2:
        raise FrameError("expected [time stamp] hex, got %d words" % len(words))
    stamp = nrf24_encode.parse_stamp(words[0]) if len(words) == 2 else None
    frame = nrf24_encode.hex_bytes("frame", words[-1])
    if len(frame) > nrf24_encode.MAX_FRAME:
        raise FrameError("frame is %d bytes, over %d" % (len(frame), nrf24_encode.MAX_FRAME))
    return stamp, frame


def read_lines(stream):
    """The lines of stream; a failing read becomes a ReadError, told apart from a failing write."""
    try:
        yield from stream
    except OSError as err:
        raise ReadError(err.strerror or err) from None


def frames_of(stream, skip_bad, counts):
    """The (time stamp, frame) of every frame line. A bad line raises FrameError naming it or, with
    skip_bad, is reported and counted."""
    for number, raw in enumerate(read_lines(stream), 1):
        try:
            parsed = parse_line(raw)
        except FrameError as err:
            if not skip_bad:
                raise FrameError("line %d: %s" % (number, err)) from None
            print("%s: line %d: %s (skipped)" % (PROG, number, err), file=sys.stderr)
            counts["bad"] += 1
            continue
        if parsed:
            stamp, frame = parsed
            yield time.time_ns() // 1000 if stamp is None else stamp, frame


def write_capture(stream, out, linktype, skip_bad, counts):
    """Copy the frames of stream into out as pcap records, each flushed as soon as its line is read."""
    guarded = {signal.SIGINT, signal.SIGTERM}
    out.write(nrf24_encode.pcap_header(linktype))
    out.flush()
    for stamp, frame in frames_of(stream, skip_bad, counts):
        # An interrupt waits until the record is out, so a capture never ends inside one.
        signal.pthread_sigmask(signal.SIG_BLOCK, guarded)
        out.write(nrf24_encode.pcap_record(stamp, frame, linktype))
        out.flush()
        counts["frames"] += 1
        signal.pthread_sigmask(signal.SIG_UNBLOCK, guarded)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="nrf24_capture.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="examples:\n  nrf24_capture.py -i sniffer.txt -o capture.pcap\n"
               "  nrf24_capture.py < /dev/ttyACM0 | wireshark -k -i -")
    parser.add_argument("-i", "--input", default="-", help="sniffer output, one frame per line (default - : stdin)")
    parser.add_argument("-o", "--output", default="-", help="capture file (default - : stdout)")
    parser.add_argument("--link", choices=nrf24_encode.LINKTYPES, default="exported-pdu",
                        help=nrf24_encode.LINK_HELP + "; default exported-pdu")
    parser.add_argument("--skip-bad", action="store_true",
                        help="report bad lines and go on; their count is printed at the end")
    args = parser.parse_args(argv)

    live = args.output == "-"
    if live and sys.stdout.isatty():
        print("%s: not writing a capture to a terminal: give -o FILE or pipe it" % PROG, file=sys.stderr)
        return 2
    try:
        stream = sys.stdin.buffer if args.input == "-" else open(args.input, "rb")
    except OSError as err:
        print("%s: %s: %s" % (PROG, args.input, err.strerror), file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    counts = {"frames": 0, "bad": 0}
    status = 0
    try:
        with stream, nrf24_encode.atomic_output(args.output) as out:
            try:
                write_capture(stream, out, nrf24_encode.LINKTYPES[args.link], args.skip_bad, counts)
            except KeyboardInterrupt:
                print("%s: stopped after %d frames" % (PROG, counts["frames"]), file=sys.stderr)
    except FrameError as err:
        print("%s: %s" % (PROG, err), file=sys.stderr)
        status = 2
    except ReadError as err:
        print("%s: %s: %s" % (PROG, args.input, err), file=sys.stderr)
        status = 2
    except OSError as err:
        print("%s: %s: %s" % (PROG, args.output, err.strerror or err), file=sys.stderr)
        if live:  # the reader has gone: drop what is still buffered for it
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 2
    if counts["bad"]:
        print("%s: %d bad lines skipped, %d frames written" % (PROG, counts["bad"], counts["frames"]),
              file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
