"""Recover nRF24 frames from the raw reads a sniffer prints (doc/sniffer-protocol.md, version 1).

A promiscuous read holds 32 bytes in which a frame starts at an unknown bit offset; an address-mode read holds
the address the board listens to and the 32 bytes that followed it. Both become frames exactly as
tools/nrf24_encode.py builds them: address at bit 0, control field, payload, CRC, trailing bits 0.

Used by tools/nrf24_capture.py and tools/nrf24_extcap.py; no output of its own.
"""

import binascii
import collections
import re

import nrf24_encode

READ_BYTES = 32
READ_BITS = 8 * READ_BYTES
ADDRESS_BITS = 40
HEADER_BITS = ADDRESS_BITS + 9
FRAME_BITS = HEADER_BITS + 16           # a frame without payload: address, control field, CRC
LOWEST_OFFSETS = 32                     # offsets 0..31: a frame at bit 0..15 after up to two bytes of anything
PREAMBLE_BYTES = frozenset(b"\x00\xff\x55\xaa")
WRAP = 1 << 32
# The preamble's bit pattern over a whole read, by its first bit.
ALTERNATING = (int.from_bytes(b"\x55" * READ_BYTES, "big"), int.from_bytes(b"\xaa" * READ_BYTES, "big"))
# CRC-16/CCITT-FALSE after the address's first bit, for each value of that bit: the rest is whole bytes.
AFTER_FIRST_BIT = (nrf24_encode.crc16_bits([0]), nrf24_encode.crc16_bits([1]))
# Memory bounds of the confirmation rule (see Recovery).
MAX_HELD = 256
MAX_KNOWN = 4096

READ_LINE = re.compile(r"([0-9a-f]{8}) (\d{1,3}) ([pa]) ((?:[0-9a-f]{2})+)")
STATUS_WORD = re.compile(r"#([a-z]+)(?: (.*))?")


class LineError(ValueError):
    """A line that is not what the line protocol allows."""


Read = collections.namedtuple("Read", "clock channel mode address data")
Status = collections.namedtuple("Status", "word text")


def parse_line(text):
    """One line of the protocol to a Read, a Status, or None for an empty line."""
    text = text.rstrip("\r\n")
    if not text:
        return None
    if text.startswith("#"):
        match = STATUS_WORD.fullmatch(text)
        if not match:
            raise LineError("status line without a word: %r" % text[:40])
        return Status(match.group(1), match.group(2) or "")
    match = READ_LINE.fullmatch(text)
    if not match:
        raise LineError("not a read: %r" % text[:40])
    clock, channel, mode, hexed = match.groups()
    if int(channel) > 125:
        raise LineError("channel %s is not 0..125" % channel)
    data = bytes.fromhex(hexed)
    address = b""
    if mode == "a":
        address, data = data[:-READ_BYTES], data[-READ_BYTES:]
        if not 3 <= len(address) <= 5:
            raise LineError("address mode read of %d bytes: expected 3 to 5 address bytes and %d bytes"
                            % (len(address) + len(data), READ_BYTES))
    elif len(data) != READ_BYTES:
        raise LineError("promiscuous read of %d bytes, expected %d" % (len(data), READ_BYTES))
    return Read(int(clock, 16), int(channel), mode, address, data)


def preamble_like(address):
    """An address made of preamble and idle-line bytes only: noise passes the CRC there far too often."""
    return all(byte in PREAMBLE_BYTES for byte in address)


class Clock:
    """The board's 32-bit microsecond clock, unwrapped and anchored to the host clock at the first read."""

    def __init__(self):
        self.anchor = None
        self.last = 0
        self.wraps = 0

    def stamp(self, clock, host_usec):
        """Microseconds since 1970 for a board clock value; a value below the one before is one wrap."""
        if self.anchor is None:
            self.anchor = host_usec - clock
        elif clock < self.last:
            self.wraps += 1
        self.last = clock
        return self.anchor + self.wraps * WRAP + clock


def find_frames(data):
    """Every (bit offset, frame) in a promiscuous read whose CRC is good, lowest offset first.

    Offsets 0..31 are tried, and 16 more past a leading run of alternating (preamble) bits; at each, the
    length the control field gives decides where the CRC is, and only frames that fit are checked. The CRC
    of a frame followed by its own CRC is 0, so one C call per offset checks it."""
    value = int.from_bytes(data, "big")
    # Eight copies of the read shifted by 0..7 bits: any bit run starts on a byte boundary of one of them.
    shifted = [((value << s) & ((1 << READ_BITS) - 1)).to_bytes(READ_BYTES, "big") for s in range(8)]
    lead = READ_BITS - (value ^ ALTERNATING[data[0] >> 7]).bit_length()
    found = []
    for offset in range(min(max(LOWEST_OFFSETS, lead + 16), READ_BITS - FRAME_BITS + 1)):
        at = offset + ADDRESS_BITS
        n = shifted[at & 7][at >> 3] >> 2
        bits = FRAME_BITS + 8 * n
        if offset + bits > READ_BITS:
            continue
        start = offset + 1
        run = shifted[start & 7]
        begin = start >> 3
        bit = (value >> (READ_BITS - 1 - offset)) & 1
        if binascii.crc_hqx(run[begin:begin + 8 + n], AFTER_FIRST_BIT[bit]) == 0:
            frame = ((value >> (READ_BITS - offset - bits)) & ((1 << bits) - 1)) << 7
            found.append((offset, frame.to_bytes(9 + n, "big")))
    return found


def address_frame(address, data):
    """An address-mode read as a frame: the address, then the control field, payload and CRC bits the
    control field's length says, trailing bits 0 (cut at the end of the read when the length is beyond it)."""
    n = data[0] >> 2
    size = 4 + n
    if size > len(data):
        return address + data
    return address + data[:size - 1] + bytes([data[size - 1] & 0x80])


def crc_good(frame):
    """Whether a whole frame's CRC (over its first 49 + 8n bits) matches."""
    n = frame[5] >> 2
    if len(frame) < 9 + n:
        return False
    rest = (int.from_bytes(frame[:9 + n], "big") >> 7) & ((1 << (64 + 8 * n)) - 1)
    return binascii.crc_hqx(rest.to_bytes(8 + n, "big"), AFTER_FIRST_BIT[frame[0] >> 7]) == 0


class Recovery:
    """Reads in, (time stamp, frame) out, with the rule that keeps chance CRC passes out.

    In promiscuous mode a frame is taken when its address starts with one of the prefixes given, or, with
    none given, when its address was already seen with a good CRC. The first frame of a new address is held
    until a second frame of that address confirms it; both are then given out in order, each with its own
    time stamp. At most MAX_HELD addresses wait for confirmation: past that, the oldest held frame is
    dropped (counted in `dropped`), as a chance pass would have been. At most MAX_KNOWN confirmed addresses
    are kept: past that, the one heard least recently is forgotten and must be confirmed again.
    Preamble-like addresses are never taken.

    Address-mode reads carry the address the board listens to: their frame is taken as it is, with a bad
    CRC too unless keep_bad is False. Addresses shorter than 5 bytes are counted in `short_address` and
    skipped: the dissector reads a 5-byte address."""

    def __init__(self, prefixes=(), keep_bad=True, confirm=True):
        self.prefixes = tuple(prefixes)
        self.keep_bad = keep_bad
        self.confirm = confirm
        self.clock = Clock()
        self.known = collections.OrderedDict()
        self.held = collections.OrderedDict()
        self.dropped = 0
        self.short_address = 0

    def accepted(self, address):
        if self.prefixes:
            return address.startswith(self.prefixes)
        return not self.confirm or address in self.known

    def read(self, read, host_usec):
        """The frames one Read gives, as a list of (time stamp in microseconds since 1970, frame)."""
        stamp = self.clock.stamp(read.clock, host_usec)
        if read.mode == "a":
            if len(read.address) != 5:
                self.short_address += 1
                return []
            frame = address_frame(read.address, read.data)
            return [(stamp, frame)] if self.keep_bad or crc_good(frame) else []
        new = None
        for _, frame in find_frames(read.data):
            address = frame[:5]
            if preamble_like(address):
                continue
            if self.accepted(address):
                if address in self.known:
                    self.known.move_to_end(address)
                return [(stamp, frame)]
            if new is None and not self.prefixes:
                new = frame
        if new is None:
            return []
        address = new[:5]
        if address not in self.held:
            if len(self.held) >= MAX_HELD:
                self.held.popitem(last=False)
                self.dropped += 1
            self.held[address] = (stamp, new)
            return []
        first = self.held.pop(address)
        self.known[address] = True
        if len(self.known) > MAX_KNOWN:
            self.known.popitem(last=False)
        return [first, (stamp, new)]
