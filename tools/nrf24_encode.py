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
import contextlib
import decimal
import os
import struct
import sys
import tempfile

LINKTYPE_USER0 = 147
LINKTYPE_EXPORTED_PDU = 252
LINKTYPES = {"user0": LINKTYPE_USER0, "exported-pdu": LINKTYPE_EXPORTED_PDU}
LINK_HELP = ("pcap link type: user0 (DLT 147, needs the user_dlts mapping) or "
             "exported-pdu (252, tagged nrf24, opens with no set-up)")
EXP_PDU_TAG_DISSECTOR_NAME = 12
# Exported-PDU records start with the tag that names the dissector, then the end tag.
EXPORTED_PDU_HEADER = struct.pack(">HH5sHH", EXP_PDU_TAG_DISSECTOR_NAME, 5, b"nrf24", 0, 0)
SNAPLEN = 65535
MAX_FRAME = SNAPLEN - len(EXPORTED_PDU_HEADER)
MAX_PAYLOAD = 63
FIRST_USEC = 1700000000 * 1000000


class FrameError(ValueError):
    """A frame description that cannot be encoded."""


def crc16_bits(bits):
    """CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF) over a list of bits, MSB first."""
    crc = 0xFFFF
    for bit in bits:
        crc ^= bit << 15
        crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def bits_of(data, width=None):
    """The bits of an integer (width given) or of a byte string, most significant first."""
    if width is not None:
        return [(data >> (width - 1 - i)) & 1 for i in range(width)]
    return [(byte >> (7 - i)) & 1 for byte in data for i in range(8)]


def pack_bits(bits):
    """Bits to bytes, the last byte padded with zero bits."""
    bits = bits + [0] * (-len(bits) % 8)
    return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


def encode_frame(addr=bytes(range(1, 6)), payload=b"", pid=0, noack=0, crc=None, extra=b"", cut=None):
    """One over-the-air packet: address, 9-bit control field, payload, CRC (computed when crc is None)."""
    if len(addr) != 5:
        raise FrameError("address must be 5 bytes, got %d" % len(addr))
    if len(payload) > MAX_PAYLOAD:
        raise FrameError("payload length %d is over %d" % (len(payload), MAX_PAYLOAD))
    if not 0 <= pid <= 3:
        raise FrameError("pid %d is not 0..3" % pid)
    if noack not in (0, 1):
        raise FrameError("noack %d is not 0 or 1" % noack)
    bits = bits_of(addr) + bits_of(len(payload), 6) + bits_of(pid, 2) + [noack] + bits_of(payload)
    if crc is None:
        crc = crc16_bits(bits)
    if not 0 <= crc <= 0xFFFF:
        raise FrameError("crc 0x%x is not 16 bits" % crc)
    frame = pack_bits(bits + bits_of(crc, 16)) + extra
    return frame if cut is None else frame[:cut]


def hex_bytes(key, text):
    """Hex digits to bytes; key names the field in the error."""
    if len(text) % 2:
        raise FrameError("%s: odd number of hex digits" % key)
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise FrameError("%s: not hex: %r" % (key, text)) from None


def _int(key, text):
    try:
        return int(text, 0)
    except ValueError:
        raise FrameError("%s: not a number: %r" % (key, text)) from None


def parse_stamp(text):
    """A time stamp in seconds since 1970 to whole microseconds, read exactly (no binary fractions)."""
    try:
        seconds = decimal.Decimal(text)
    except decimal.InvalidOperation:
        raise FrameError("time stamp: not a number: %r" % text) from None
    if not (seconds.is_finite() and 0 <= seconds < 0xFFFFFFFF):
        raise FrameError("time stamp: %s is not between 0 and %d seconds" % (text, 0xFFFFFFFF))
    return int((seconds * 1000000).to_integral_value(decimal.ROUND_HALF_EVEN))


def parse_frame(spec):
    """A frame description (key=value words) to (time stamp in microseconds or None, frame bytes)."""
    fields = {}
    for word in spec.split():
        key, sep, value = word.partition("=")
        if not sep or key not in ("addr", "payload", "pid", "noack", "crc", "extra", "cut", "t"):
            raise FrameError("unknown word %r" % word)
        if key in fields:
            raise FrameError("%s given twice" % key)
        fields[key] = value
    args = {}
    if "addr" in fields:
        args["addr"] = hex_bytes("addr", fields["addr"])
    for key in ("payload", "extra"):
        if key in fields:
            args[key] = hex_bytes(key, fields[key])
    for key in ("pid", "noack"):
        if key in fields:
            args[key] = _int(key, fields[key])
    if fields.get("crc", "good") != "good":
        args["crc"] = _int("crc", fields["crc"])
    if "cut" in fields:
        args["cut"] = _int("cut", fields["cut"])
        if args["cut"] < 0:
            raise FrameError("cut: %d is negative" % args["cut"])
    stamp = parse_stamp(fields["t"]) if "t" in fields else None
    frame = encode_frame(**args)
    if len(frame) > MAX_FRAME:
        raise FrameError("frame is %d bytes, over %d" % (len(frame), MAX_FRAME))
    return stamp, frame


def pcap_header(linktype):
    """The header of a classic pcap file (microsecond time stamps)."""
    return struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, SNAPLEN, linktype)


def pcap_record(usec, frame, linktype):
    """One pcap record; an exported-PDU record is tagged with the dissector name "nrf24"."""
    record = (EXPORTED_PDU_HEADER if linktype == LINKTYPE_EXPORTED_PDU else b"") + frame
    return struct.pack("<IIII", usec // 1000000, usec % 1000000, len(record), len(record)) + record


def pcap_bytes(frames, linktype=LINKTYPE_USER0):
    """A classic pcap file of (time stamp in microseconds, frame) records."""
    return pcap_header(linktype) + b"".join(pcap_record(stamp, frame, linktype) for stamp, frame in frames)


def stamp_frames(parsed):
    """Give frames without a time stamp one 1 ms after the previous frame."""
    stamped, last = [], FIRST_USEC - 1000
    for stamp, frame in parsed:
        last = last + 1000 if stamp is None else stamp
        stamped.append((last, frame))
    return stamped


@contextlib.contextmanager
def atomic_output(path):
    """A binary stream to path, or stdout for "-". A file is written under a temporary name and renamed
    once the block ends normally, so no partial file is ever left; on an exception it is removed."""
    if path == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".nrf24-")
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


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
