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
import os
import struct
import sys
import tempfile

LINKTYPE_USER0 = 147
LINKTYPE_EXPORTED_PDU = 252
EXP_PDU_TAG_DISSECTOR_NAME = 12
MAX_PAYLOAD = 63
FIRST_TIMESTAMP = 1700000000.0


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


def _hex(key, text):
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


def parse_frame(spec):
    """A frame description (key=value words) to (time stamp or None, frame bytes)."""
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
        args["addr"] = _hex("addr", fields["addr"])
    for key in ("payload", "extra"):
        if key in fields:
            args[key] = _hex(key, fields[key])
    for key in ("pid", "noack"):
        if key in fields:
            args[key] = _int(key, fields[key])
    if fields.get("crc", "good") != "good":
        args["crc"] = _int("crc", fields["crc"])
    if "cut" in fields:
        args["cut"] = _int("cut", fields["cut"])
        if args["cut"] < 0:
            raise FrameError("cut: %d is negative" % args["cut"])
    stamp = None
    if "t" in fields:
        try:
            stamp = float(fields["t"])
        except ValueError:
            raise FrameError("t: not a number: %r" % fields["t"]) from None
    return stamp, encode_frame(**args)


def pcap_bytes(frames, linktype=LINKTYPE_USER0):
    """A classic pcap file of (time stamp, frame) records; exported-PDU records are tagged "nrf24"."""
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype)]
    if linktype == LINKTYPE_EXPORTED_PDU:
        name = b"nrf24"
        header = struct.pack(">HH", EXP_PDU_TAG_DISSECTOR_NAME, len(name)) + name + struct.pack(">HH", 0, 0)
    else:
        header = b""
    for stamp, frame in frames:
        record = header + frame
        usec_total = int(round(stamp * 1e6))
        out.append(struct.pack("<IIII", usec_total // 1000000, usec_total % 1000000, len(record), len(record)))
        out.append(record)
    return b"".join(out)


def stamp_frames(parsed):
    """Give frames without a time stamp one 1 ms after the previous frame."""
    stamped, last = [], FIRST_TIMESTAMP - 0.001
    for stamp, frame in parsed:
        last = last + 0.001 if stamp is None else stamp
        stamped.append((last, frame))
    return stamped


def write_atomically(path, data):
    """Write the whole file under a temporary name, then rename it, so no partial file is ever left."""
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".nrf24-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
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
    parser.add_argument("--link", choices=("user0", "exported-pdu"), default="user0",
                        help="pcap link type: user0 (DLT 147, needs the user_dlts mapping) or "
                             "exported-pdu (252, tagged nrf24, opens with no set-up)")
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
        data = "".join("%.6f %s\n" % (stamp, frame.hex()) for stamp, frame in frames).encode()
    else:
        linktype = LINKTYPE_EXPORTED_PDU if args.link == "exported-pdu" else LINKTYPE_USER0
        data = pcap_bytes(frames, linktype)
    try:
        write_atomically(args.output, data)
    except OSError as err:
        print("nrf24_encode: %s: %s" % (args.output, err.strerror or err), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
