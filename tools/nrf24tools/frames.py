"""Enhanced ShockBurst frames bit by bit: the CRC, the encoder, and the key=value frame descriptions that
tools/nrf24_encode.py and tools/nrf24_session.py read.

A frame is stored as the capture carries it: 5-byte address at bit 0, 9-bit control field, payload, 16-bit
CRC, the last byte's 7 trailing bits 0."""

import binascii
import decimal

from .pcap import EXPORTED_PDU_HEADER, SNAPLEN

MAX_PAYLOAD = 63
ADDRESS_BITS = 40
HEADER_BITS = ADDRESS_BITS + 9
FRAME_BITS = HEADER_BITS + 16           # a frame without payload: address, control field, CRC
FIRST_USEC = 1700000000 * 1000000
MAX_FRAME = SNAPLEN - len(EXPORTED_PDU_HEADER)  # the longest frame a capture record holds


class FrameError(ValueError):
    """A frame description that cannot be encoded."""


def crc16_bits(bits):
    """CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF) over a list of bits, MSB first."""
    crc = 0xFFFF
    for bit in bits:
        crc ^= bit << 15
        crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


# The CRC after the address's first bit, for each value of that bit: the rest of a frame is whole bytes, so
# binascii.crc_hqx (the same CRC, in C) takes it from there.
AFTER_FIRST_BIT = (crc16_bits([0]), crc16_bits([1]))


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


def frame_bits(frame):
    """How many bits a whole frame takes on the air after its preamble (address to CRC)."""
    return FRAME_BITS + 8 * (frame[5] >> 2)


def crc_good(frame):
    """Whether a whole frame's CRC (over its first 49 + 8n bits) matches."""
    n = frame[5] >> 2
    if len(frame) < 9 + n:
        return False
    rest = (int.from_bytes(frame[:9 + n], "big") >> 7) & ((1 << (64 + 8 * n)) - 1)
    return binascii.crc_hqx(rest.to_bytes(8 + n, "big"), AFTER_FIRST_BIT[frame[0] >> 7]) == 0


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


def stamp_frames(parsed):
    """Give frames without a time stamp one 1 ms after the previous frame."""
    stamped, last = [], FIRST_USEC - 1000
    for stamp, frame in parsed:
        last = last + 1000 if stamp is None else stamp
        stamped.append((last, frame))
    return stamped
