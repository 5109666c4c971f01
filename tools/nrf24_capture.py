#!/usr/bin/env python3
"""Turn a sniffer's text output into a pcapng (or pcap) capture of nRF24 frames.

It reads two kinds of lines. Whole frames, one per line, as hex, optionally after
a time stamp in seconds since 1970:

  1714564800.000380 a8a8e1fc0000264e80
  a8a8e1fc0000264e80

and the sniffer line protocol (doc/sniffer-protocol.md): raw reads, from which
the frames are recovered, and status lines (#sniffer, #lost, #error), which are
reported on stderr and never written as frames:

  0012d687 76 p aa5551d4...

A frame without a time stamp gets the time its line was read; recovered frames
are stamped at the start of their preamble on the air, from the board's clock
anchored to the time the first line was read. Empty lines and comment lines ('#'
then a space) are skipped; any other line that is not a frame is an error naming
its line number (from a port: reported and skipped). With --port it opens a
sniffer's serial port, sends it the settings given, and captures until stopped
(Ctrl-C, status 0) or until the sniffer is unplugged, silent or answers #error
(a one-line reason, status 1; the capture keeps every frame). Written to stdout,
the capture's header goes out at once and every frame as soon as it is final, so
a live stream can be watched; written to a file, the capture appears under its
name only when it is complete. Ctrl-C (or SIGTERM) ends a live capture and keeps
every frame read. pcapng names the sniffer and its settings in the interface
description and counts the reads it lost as the interface's drops.
"""

import argparse
import os
import signal
import sys

from nrf24tools import frames, lineproto, pcap, recover, serialport
from nrf24tools.frames import FrameError

PROG = "nrf24_capture"
# A status line: '#' and a lower-case word; '#' then a space is a comment.
STATUS = lineproto.STATUS_WORD


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
    stamp = frames.parse_stamp(words[0]) if len(words) == 2 else None
    frame = frames.hex_bytes("frame", words[-1])
    if len(frame) > frames.MAX_FRAME:
        raise FrameError("frame is %d bytes, over %d" % (len(frame), frames.MAX_FRAME))
    return stamp, frame


def read_lines(lines, counts):
    """The lines of a source; a failing read becomes a ReadError, told apart from a failing write. A sniffer
    that is gone, silent or in error ends the lines, its reason kept in counts["ended"]."""
    try:
        yield from lines
    except OSError as err:
        raise ReadError(err.strerror or err) from None
    except serialport.SnifferError as err:
        counts["ended"] = str(err)


def report(message, kind=None):
    print("%s: %s" % (PROG, message), file=sys.stderr)


def frames_of(lines, session, skip_bad, counts):
    """The (time stamp, record data) of every frame line and every frame recovered from a raw read. A bad
    line raises FrameError naming it or, with skip_bad, is reported and counted."""
    recovered = []
    session.on_frame = lambda stamp, data: recovered.append((stamp, data))
    tag = pcap.EXPORTED_PDU_HEADER if session.linktype == pcap.LINKTYPE_EXPORTED_PDU else b""
    number = 0
    for read_at, raw in read_lines(lines, counts):
        if raw is None:
            session.line(read_at, None)
            yield from recovered
            recovered.clear()
            continue
        number += 1
        try:
            text = raw.lstrip()
            if (text.startswith(b"#") and STATUS.match(text.decode("ascii", "replace").rstrip())) or \
                    len(raw.split()) in (4, 7):
                session.line(read_at, raw, "line %d: " % number)
                parsed = None
            else:
                parsed = parse_line(raw)
        except serialport.SnifferError as err:
            counts["ended"] = str(err)
            break
        except (FrameError, lineproto.LineError) as err:
            if not skip_bad:
                raise FrameError("line %d: %s" % (number, err)) from None
            report("line %d: %s (skipped)" % (number, err))
            counts["bad"] += 1
            continue
        if parsed:
            stamp, frame = parsed
            yield read_at if stamp is None else stamp, tag + frame
        yield from recovered
        recovered.clear()
    session.finish()
    yield from recovered


def write_capture(lines, session, writer, skip_bad, counts):
    """Copy the frames of lines into the writer, each flushed as soon as it is final; the interface is
    described once the board said its settings (or at the first frame), its statistics close the capture."""
    guarded = {signal.SIGINT, signal.SIGTERM}
    try:
        for stamp, data in frames_of(lines, session, skip_bad, counts):
            # An interrupt waits until the record is out, so a capture never ends inside one.
            signal.pthread_sigmask(signal.SIG_BLOCK, guarded)
            session.describe(writer)
            writer.packet(stamp, data)
            counts["frames"] += 1
            signal.pthread_sigmask(signal.SIG_UNBLOCK, guarded)
    finally:
        signal.pthread_sigmask(signal.SIG_BLOCK, guarded)
        session.describe(writer)
        writer.statistics(serialport.now_usec(), session.reads, session.lost)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, guarded)


def hex_prefix(text):
    """An address prefix given on the command line."""
    try:
        value = bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not hex: %r" % text) from None
    if not 1 <= len(value) <= 5:
        raise argparse.ArgumentTypeError("%r is not 1 to 5 bytes" % text)
    return value


def open_source(args):
    """(lines, close) for the input: a sniffer's port, given the settings, or a file or stdin."""
    settings = lineproto.commands(args.channel, args.rate, args.preamble, args.address, args.hop, args.dwell)
    if args.port:
        fd, write, close = serialport.open_port(args.port, args.baud)
        return serialport.port_lines(fd, write, settings), close
    if settings:
        raise lineproto.OptionError("sniffer settings need --port")
    stream = sys.stdin.buffer if args.input == "-" else open(args.input, "rb")
    return serialport.stream_lines(stream), stream.close


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="nrf24_capture.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="examples:\n  nrf24_capture.py -i sniffer.txt -o capture.pcap\n"
               "  nrf24_capture.py --port /dev/ttyUSB0 --channel 76 --rate 250k | wireshark -k -i -")
    parser.add_argument("-i", "--input", default="-", help="sniffer output, one frame per line (default - : stdin)")
    parser.add_argument("-o", "--output", default="-", help="capture file (default - : stdout)")
    parser.add_argument("--link", choices=pcap.LINKTYPES, default="exported-pdu",
                        help=pcap.LINK_HELP + "; default exported-pdu")
    parser.add_argument("--format", choices=pcap.FORMATS, default="pcapng",
                        help="pcapng (default: the sniffer and its settings as the interface, lost reads as its "
                             "drop count) or pcap")
    parser.add_argument("--skip-bad", action="store_true",
                        help="report bad lines and go on; their count is printed at the end (always so with --port)")
    board = parser.add_argument_group("a sniffer on a serial port (doc/sniffer-protocol.md)")
    board.add_argument("--port", help="the sniffer's serial port, e.g. /dev/ttyUSB0 (instead of -i)")
    board.add_argument("--baud", type=int, default=serialport.DEFAULT_BAUD,
                       help="its baud rate (default %d)" % serialport.DEFAULT_BAUD)
    board.add_argument("--channel", type=int, help="channel 0..125 (the board boots on 76)")
    board.add_argument("--rate", choices=lineproto.RATES, help="data rate (the board boots at 250k)")
    board.add_argument("--preamble", choices=lineproto.PREAMBLES,
                       help="promiscuous mode listening for this preamble (aa: addresses starting with a 1 bit)")
    board.add_argument("--address", help="address mode: listen to exactly this address (hex, 5 bytes)")
    board.add_argument("--hop", help="hop over these channels, e.g. 76,80,90 (with --dwell)")
    board.add_argument("--dwell", type=int, help="milliseconds on each channel when hopping (1..60000)")
    recovery = parser.add_argument_group("recovery of frames from raw reads")
    recovery.add_argument("--prefix", type=hex_prefix, action="append", default=[],
                          help="take promiscuous frames whose address starts with this hex prefix (may be repeated); "
                               "without one, an address is taken once two frames with a good CRC confirm it")
    recovery.add_argument("--drop-bad-crc", action="store_true",
                          help="address mode: drop frames with a bad CRC (kept by default)")
    args = parser.parse_args(argv)

    live = args.output == "-"
    if live and sys.stdout.isatty():
        print("%s: not writing a capture to a terminal: give -o FILE or pipe it" % PROG, file=sys.stderr)
        return 2
    if args.port and args.input != "-":
        print("%s: give either --port or -i" % PROG, file=sys.stderr)
        return 2
    try:
        lines, close = open_source(args)
    except lineproto.OptionError as err:
        print("%s: %s" % (PROG, err), file=sys.stderr)
        return 2
    except serialport.SnifferError as err:
        print("%s: %s" % (PROG, err), file=sys.stderr)
        return 2
    except OSError as err:
        print("%s: %s: %s" % (PROG, args.input, err.strerror), file=sys.stderr)
        return 2
    linktype = pcap.LINKTYPES[args.link]
    session = serialport.Session(
        recover.Recovery(args.prefix, keep_bad=not args.drop_bad_crc, live=bool(args.port)), None, report,
        stop_on_error=bool(args.port), linktype=linktype, sniffer=args.port, baud=args.baud if args.port else None)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    counts = {"frames": 0, "bad": 0}
    status = 0
    try:
        with pcap.atomic_output(args.output) as out:
            try:
                writer = pcap.Writer(out, args.format, linktype, "nrf24-capture")
                write_capture(lines, session, writer, args.skip_bad or bool(args.port), counts)
            except KeyboardInterrupt:
                print("%s: stopped after %d frames" % (PROG, counts["frames"]), file=sys.stderr)
    except FrameError as err:
        print("%s: %s" % (PROG, err), file=sys.stderr)
        status = 2
    except ReadError as err:
        print("%s: %s: %s" % (PROG, args.port or args.input, err), file=sys.stderr)
        status = 2
    except OSError as err:
        print("%s: %s: %s" % (PROG, args.output, err.strerror or err), file=sys.stderr)
        if live:  # the reader has gone: drop what is still buffered for it
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 2
    finally:
        close()
    if "ended" in counts:
        print("%s: %s: %s (%d frames written)" % (PROG, args.port, counts["ended"], counts["frames"]),
              file=sys.stderr)
        status = status or 1
    if counts["bad"]:
        print("%s: %d bad lines skipped, %d frames written" % (PROG, counts["bad"], counts["frames"]),
              file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
