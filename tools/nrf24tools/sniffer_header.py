"""The sniffer header in front of each frame (doc/sniffer-header.md): encode it, and decode it for tests.

Pure functions, no I/O. A header is a 4-byte fixed part (version, reserved, total length, little-endian) and
type-length-value items, each padded to 4 bytes. The frame itself follows the header unchanged.
"""

import struct

VERSION = 1
DISSECTOR_NAME = "nrf24_sniffer"
EXP_PDU_TAG_DISSECTOR_NAME = 12
# An exported-PDU record's tags (big-endian, the host's format): the dissector's name, then the end tag.
EXPORTED_PDU_TAGS = struct.pack(">HH%dsHH" % len(DISSECTOR_NAME), EXP_PDU_TAG_DISSECTOR_NAME, len(DISSECTOR_NAME),
                                DISSECTOR_NAME.encode(), 0, 0)
FIXED = struct.Struct("<BBH")
ITEM_HEAD = struct.Struct("<HH")

CHANNEL = 1
RATE = 2
MODE = 3
BIT_OFFSET = 4
READ_WINDOW = 5
BOARD_CLOCK = 6
TAKEN = 7
ACK = 8
LOST = 9
RPD = 10
SNIFFER = 11

MODE_PROMISCUOUS = 0
MODE_ADDRESS = 1

STAMP_UNKNOWN = 0
STAMP_IRQ = 1
STAMP_UPPER_BOUND = 2

TAKEN_ADDRESS_MODE = 1
TAKEN_PREFIX = 2
TAKEN_KNOWN_ADDRESS = 3
TAKEN_PAIR = 4
TAKEN_UNCONFIRMED = 5

ACK_UNKNOWN = 0
ACK_IN_READ = 1
ACK_STRADDLES = 2
ACK_AFTER_READ = 3
ACK_BLIND = 4

LOST_FIFO_FULL = 0x01
LOST_RADIO_RESET = 0x02
LOST_BOARD_RESET = 0x04

RATES_KBPS = (250, 1000, 2000)
MAX_CHANNEL = 125
MAX_SNIFFER_NAME = 255

# Value layouts of the fixed-size items, by type.
LAYOUTS = {
    CHANNEL: struct.Struct("<B"),
    RATE: struct.Struct("<H"),
    MODE: struct.Struct("<BB"),
    BIT_OFFSET: struct.Struct("<H"),
    READ_WINDOW: struct.Struct("<IIB"),
    BOARD_CLOCK: struct.Struct("<Q"),
    TAKEN: struct.Struct("<B"),
    ACK: struct.Struct("<B"),
    LOST: struct.Struct("<IB"),
    RPD: struct.Struct("<B"),
}


class HeaderError(ValueError):
    """Values that the header cannot carry, or bytes that are not a header."""


def item(kind, value):
    """One type-length-value item: type and value length (without padding), the value, zero padding to 4."""
    if not 0 <= kind <= 0xFFFF:
        raise HeaderError("item type %d is not 0..65535" % kind)
    if len(value) > 0xFFFF - ITEM_HEAD.size:
        raise HeaderError("item value of %d bytes is too long" % len(value))
    return ITEM_HEAD.pack(kind, len(value)) + value + bytes(-len(value) % 4)


def header(items, version=VERSION):
    """The fixed part and the given items (already encoded by item())."""
    body = b"".join(items)
    length = FIXED.size + len(body)
    if length > 0xFFFF:
        raise HeaderError("header of %d bytes is over 65535" % length)
    return FIXED.pack(version, 0, length) + body


def _check(condition, message):
    if not condition:
        raise HeaderError(message)


def sniffer_header(channel=None, rate_kbps=None, mode=None, bit_offset=None, read_window=None,
                   board_clock=None, taken=None, ack=None, lost=None, rpd=None, sniffer=None, extra_items=()):
    """A header with the items given (None leaves an item out), in type order, then extra_items as they are.

    mode: (MODE_PROMISCUOUS, preamble byte) or (MODE_ADDRESS, address width 3..5);
    read_window: (start, end, stamp kind), start and end on the board's 32-bit clock;
    lost: (reads lost, LOST_* flags)."""
    items = []
    if channel is not None:
        _check(0 <= channel <= MAX_CHANNEL, "channel %r is not 0..%d" % (channel, MAX_CHANNEL))
        items.append(item(CHANNEL, LAYOUTS[CHANNEL].pack(channel)))
    if rate_kbps is not None:
        _check(rate_kbps in RATES_KBPS, "rate %r kbit/s is not one of %s" % (rate_kbps, RATES_KBPS))
        items.append(item(RATE, LAYOUTS[RATE].pack(rate_kbps)))
    if mode is not None:
        kind, detail = mode
        _check((kind == MODE_PROMISCUOUS and detail in (0xAA, 0x55)) or (kind == MODE_ADDRESS and 3 <= detail <= 5),
               "mode %r: promiscuous takes preamble 0xaa or 0x55, address mode a width of 3..5" % (mode,))
        items.append(item(MODE, LAYOUTS[MODE].pack(kind, detail)))
    if bit_offset is not None:
        _check(0 <= bit_offset <= 0xFFFF, "bit offset %r is not 0..65535" % bit_offset)
        items.append(item(BIT_OFFSET, LAYOUTS[BIT_OFFSET].pack(bit_offset)))
    if read_window is not None:
        start, end, stamp = read_window
        _check(0 <= start < 1 << 32 and 0 <= end < 1 << 32, "read window %r is not on a 32-bit clock" % (read_window,))
        _check(stamp in (STAMP_UNKNOWN, STAMP_IRQ, STAMP_UPPER_BOUND), "stamp kind %r is not 0..2" % stamp)
        items.append(item(READ_WINDOW, LAYOUTS[READ_WINDOW].pack(start, end, stamp)))
    if board_clock is not None:
        _check(0 <= board_clock < 1 << 64, "board clock %r is not 0..2^64-1" % board_clock)
        items.append(item(BOARD_CLOCK, LAYOUTS[BOARD_CLOCK].pack(board_clock)))
    if taken is not None:
        _check(TAKEN_ADDRESS_MODE <= taken <= TAKEN_UNCONFIRMED, "taken %r is not 1..5" % taken)
        items.append(item(TAKEN, LAYOUTS[TAKEN].pack(taken)))
    if ack is not None:
        _check(ACK_UNKNOWN <= ack <= ACK_BLIND, "ack observability %r is not 0..4" % ack)
        items.append(item(ACK, LAYOUTS[ACK].pack(ack)))
    if lost is not None:
        count, flags = lost
        _check(0 <= count < 1 << 32 and 0 <= flags <= 0xFF, "lost reads %r out of range" % (lost,))
        items.append(item(LOST, LAYOUTS[LOST].pack(count, flags)))
    if rpd is not None:
        _check(rpd in (0, 1), "rpd %r is not 0 or 1" % rpd)
        items.append(item(RPD, LAYOUTS[RPD].pack(rpd)))
    if sniffer is not None:
        name = sniffer.encode("utf-8")
        _check(0 < len(name) <= MAX_SNIFFER_NAME,
               "sniffer name of %d bytes is not 1..%d" % (len(name), MAX_SNIFFER_NAME))
        items.append(item(SNIFFER, name))
    return header(items + list(extra_items))


def decode(data):
    """(version, header length, [(type, value), ...]) of the header at the start of data; values are the
    unpacked tuples of the known fixed-size items, a str for SNIFFER, the raw bytes for unknown types."""
    _check(len(data) >= FIXED.size, "%d bytes: shorter than the fixed part" % len(data))
    version, _, length = FIXED.unpack_from(data)
    _check(FIXED.size <= length <= len(data) and length % 4 == 0,
           "header length %d does not fit %d bytes or is not a multiple of 4" % (length, len(data)))
    items = []
    offset = FIXED.size
    while offset < length:
        _check(offset + ITEM_HEAD.size <= length, "item at %d: its type and length pass the header's end" % offset)
        kind, size = ITEM_HEAD.unpack_from(data, offset)
        start = offset + ITEM_HEAD.size
        _check(start + size <= length, "item %d at %d: its value passes the header's end" % (kind, offset))
        value = data[start:start + size]
        offset = start + size + (-size % 4)
        if kind in LAYOUTS:
            _check(size == LAYOUTS[kind].size, "item %d: %d bytes, expected %d" % (kind, size, LAYOUTS[kind].size))
            items.append((kind, LAYOUTS[kind].unpack(value)))
        elif kind == SNIFFER:
            items.append((kind, value.decode("utf-8")))
        else:
            items.append((kind, bytes(value)))
    return version, length, items
