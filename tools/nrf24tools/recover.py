"""Recover nRF24 frames from the raw reads a sniffer prints (doc/sniffer-protocol.md).

A promiscuous read holds 32 bytes in which a frame starts at an unknown bit offset; an address-mode read holds
the address the board listens to and the 32 bytes that followed it. Both become frames as frames.encode_frame
builds them: address at bit 0, control field, payload, CRC, trailing bits 0.
"""

import binascii
import collections

from .frames import ADDRESS_BITS, AFTER_FIRST_BIT, FRAME_BITS, crc_good
from .lineproto import READ_BITS, READ_BYTES, WRAP

LOWEST_OFFSETS = 32                     # offsets 0..31: a frame at bit 0..15 after up to two bytes of anything
PREAMBLE_BYTES = frozenset(b"\x00\xff\x55\xaa")
# The preamble's bit pattern over a whole read, by its first bit.
ALTERNATING = (int.from_bytes(b"\x55" * READ_BYTES, "big"), int.from_bytes(b"\xaa" * READ_BYTES, "big"))
# Memory bounds of the confirmation rule (see Recovery).
MAX_HELD = 256
MAX_KNOWN = 4096


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
