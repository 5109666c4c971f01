"""Recover nRF24 frames from the raw reads a sniffer prints (doc/sniffer-protocol.md).

A promiscuous read holds 32 bytes in which a frame starts at an unknown bit offset; an address-mode read holds
the address the board listens to and the 32 bytes that followed it. Both become frames as frames.encode_frame
builds them: address at bit 0, control field, payload, CRC, trailing bits 0.
"""

import binascii
import collections
import itertools
import math

from .air import ACK_DELAY_US, BITS_PER_US, MAX_LEAD_BITS, PREAMBLE_BITS
from .frames import ADDRESS_BITS, AFTER_FIRST_BIT, FRAME_BITS, crc_good, frame_bits
from .lineproto import READ_BITS, READ_BYTES, WRAP

LOWEST_OFFSETS = 32                     # offsets 0..31: a frame at bit 0..15 after up to two bytes of anything
PREAMBLE_BYTES = frozenset(b"\x00\xff\x55\xaa")
# The preamble's bit pattern over a whole read, by its first bit.
ALTERNATING = (int.from_bytes(b"\x55" * READ_BYTES, "big"), int.from_bytes(b"\xaa" * READ_BYTES, "big"))
READ_MASK = (1 << READ_BITS) - 1
ALL_BUT_FIRST = READ_MASK >> 1
LAST_OFFSET = READ_BITS - FRAME_BITS    # the last offset where a frame fits
RESYNC_US = 10 * 1000000
# The board's stamp comes 0..4 µs after the radio's IRQ (doc/sniffer-protocol.md): the middle is assumed.
STAMP_LATENCY_US = 2.0
CLOCK_RESOLUTION_US = 1                 # the line prints whole microseconds
# A read the board took is printed well within this time: none printed after an ack's time means none ran.
QUIET_US = 500000
ACK_BITS = FRAME_BITS                   # an ack without payload: address, control field, CRC
# How a frame was taken, and whether its ack could be heard: the values of doc/sniffer-header.md's items.
TAKEN_ADDRESS_MODE, TAKEN_PREFIX, TAKEN_KNOWN_ADDRESS, TAKEN_PAIR, TAKEN_UNCONFIRMED = 1, 2, 3, 4, 5
ACK_UNKNOWN, ACK_IN_READ, ACK_STRADDLES, ACK_AFTER_READ, ACK_BLIND = 0, 1, 2, 3, 4
# One frame given out: its time stamp (µs since 1970, the start of its preamble on the air), the frame, its
# bit offset in the read (negative in address mode: the address came before the read's bytes), the
# lineproto.Read it came from, how it was taken (TAKEN_*), whether its ack could be heard (ACK_*, None for
# a frame that expects none), and the read's end on the board's clock, unwrapped.
Recovered = collections.namedtuple("Recovered", "stamp frame offset read taken ack board")
# Memory bounds of the confirmation rule (see Recovery).
MAX_HELD = 256
MAX_KNOWN = 4096


def preamble_like(address):
    """An address made of preamble and idle-line bytes only: noise passes the CRC there far too often."""
    return all(byte in PREAMBLE_BYTES for byte in address)


class Clock:
    """The board's 32-bit microsecond clock, unwrapped: (µs since 1970, the board's clock unwrapped) per read.

    Live (a port, a played session), each value is placed at the wrap that puts it nearest the host's clock
    when its line came, so that a gap of any length keeps its wraps; a value more than RESYNC_US away from the
    host's clock (a board that restarted without saying so) anchors the clock again. From a file, whose lines
    carry no useful host time, a value below the one before is one wrap. After reset() (the board's #boot
    line: its clock starts again from 0) the next value anchors the clock again; the unwrapped board clock
    goes on from the value it had reached."""

    def __init__(self, live=False):
        self.live = live
        self.anchor = None
        self.wraps = 0
        self.last = 0
        self.board_base = 0
        self.board_last = 0

    def reset(self):
        if self.anchor is not None:
            self.board_base = self.board_last
            if not self.live:
                self.anchor += self.wraps * WRAP + self.last
            self.wraps = self.last = 0
        self.anchor = None if self.live else self.anchor

    def stamp(self, clock, host_usec):
        if self.anchor is None:
            self.anchor = host_usec - clock
            self.wraps = 0
        elif self.live:
            self.wraps = round((host_usec - self.anchor - clock) / WRAP)
            if abs(self.anchor + self.wraps * WRAP + clock - host_usec) > RESYNC_US:
                self.board_base = self.board_last
                self.anchor = host_usec - clock
                self.wraps = 0
        elif clock < self.last:
            self.wraps += 1
        self.last = clock
        self.board_last = self.board_base + self.wraps * WRAP + clock
        return self.anchor + self.wraps * WRAP + clock, self.board_last


def find_frames(data):
    """Every (bit offset, frame) in a promiscuous read whose CRC is good, lowest offset first.

    Offsets 0..31 are tried, and 16 more past a leading run of alternating (preamble) bits: the read's first
    frame starts there, its preamble cut by the radio's match. A later frame (an ack after its packet, a frame
    after noise) has its whole preamble in the read: further offsets are tried only where the 8 bits before
    them and the first bit alternate. At each, the length the control field gives decides where the CRC is,
    and only frames that fit are checked. The CRC of a frame followed by its own CRC is 0, so one C call per
    offset checks it."""
    value = int.from_bytes(data, "big")
    # Eight copies of the read shifted by 0..7 bits: any bit run starts on a byte boundary of one of them.
    shifted = [((value << s) & READ_MASK).to_bytes(READ_BYTES, "big") for s in range(8)]
    lead = READ_BITS - (value ^ ALTERNATING[data[0] >> 7]).bit_length()
    low = min(max(LOWEST_OFFSETS, lead + 16), LAST_OFFSET + 1)
    # Bit p of `runs` is set where read bits 255-p-8 .. 255-p alternate: a preamble ends before offset 255-p.
    runs = (value ^ (value >> 1)) & ALL_BUT_FIRST
    runs &= runs >> 1
    runs &= runs >> 2
    runs &= runs >> 4
    runs &= (1 << (READ_BITS - low)) - (1 << (READ_BITS - 1 - LAST_OFFSET))
    later = []
    while runs:
        top = runs.bit_length() - 1
        later.append(READ_BITS - 1 - top)
        runs ^= 1 << top
    found = []
    for offset in itertools.chain(range(low), later):
        at = offset + ADDRESS_BITS
        n = shifted[at & 7][at >> 3] >> 2
        bits = FRAME_BITS + 8 * n
        if offset + bits > READ_BITS:
            continue
        start = offset + 1
        begin = start >> 3
        if binascii.crc_hqx(shifted[start & 7][begin:begin + 8 + n],
                            AFTER_FIRST_BIT[(value >> (READ_BITS - 1 - offset)) & 1]) == 0:
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
    """Reads in, Recovered frames out, with the rule that keeps chance CRC passes out.

    Every frame a promiscuous read holds is looked at, in the order of its bit offset; frames that would
    overlap one taken before in the read are not (a chance CRC pass across a real frame). A frame is taken
    when its address starts with one of the prefixes given, or, with none given, when its address was
    already seen with a good CRC. The first frame of a new address is held until a second frame of that
    address (in the same read or a later one) confirms it; both are then given out in order, each with its
    own time stamp. A frame of a new address that overlaps another good CRC in its read is not held: one of
    them is a chance pass, and a chance pass across a real frame comes again with every copy of that frame
    (acks repeat bit for bit), so two of them would confirm it. At most MAX_HELD addresses wait for
    confirmation: past that, the oldest held frame is dropped (counted in `dropped`), as a chance pass would
    have been. At most MAX_KNOWN confirmed addresses
    are kept: past that, the one heard least recently is forgotten and must be confirmed again.
    Preamble-like addresses are never taken.

    Address-mode reads carry the address the board listens to: their frame is taken as it is, with a bad
    CRC too unless keep_bad is False. Addresses shorter than 5 bytes are counted in `short_address` and
    skipped: the dissector reads a 5-byte address.

    Time stamps are the frames' own: the start of the frame's preamble on the air, from the read's stamp
    (the radio's IRQ at the end of its 256-bit window, taken STAMP_LATENCY_US late), the data rate (the
    read's own in line protocol version 2, else the last #sniffer line's, set in `rate`) and where the frame
    lies in the read. A data frame's ack is then placed ACK_DELAY_US after the frame's end: inside the read,
    straddling its end, or after it; an ack after the read could be heard unless the next read was already
    running then and ended before the ack did, so such a frame waits for the next read (or flush()) before it
    is given out, and every frame after it waits too, to keep their order."""

    def __init__(self, prefixes=(), keep_bad=True, confirm=True, live=False):
        self.prefixes = tuple(prefixes)
        self.keep_bad = keep_bad
        self.confirm = confirm
        self.clock = Clock(live)
        self.rate = "250k"
        self.known = collections.OrderedDict()
        self.held = collections.OrderedDict()
        self.queue = collections.deque()
        self.waiting = []
        self.dropped = 0
        self.short_address = 0

    def accepted(self, address):
        if self.prefixes:
            return address.startswith(self.prefixes)
        return not self.confirm or address in self.known

    def how_taken(self):
        if self.prefixes:
            return TAKEN_PREFIX
        return TAKEN_KNOWN_ADDRESS if self.confirm else TAKEN_UNCONFIRMED

    def read(self, read, host_usec):
        """The frames that are final once this Read is in (its own and earlier ones), as Recovered."""
        end, board = self.clock.stamp(read.clock, host_usec)
        rate = read.rate or self.rate
        ubit = 1 / BITS_PER_US[rate]
        start = end - STAMP_LATENCY_US - READ_BITS * ubit
        self.resolve(start, end - STAMP_LATENCY_US)
        window = (start, rate, board)
        if read.mode == "a":
            if len(read.address) != 5:
                self.short_address += 1
            else:
                frame = address_frame(read.address, read.data)
                if self.keep_bad or crc_good(frame):
                    self.queue.append(self.entry(frame, -ADDRESS_BITS, read, window, TAKEN_ADDRESS_MODE))
            return self.release()
        found = [(offset, offset + frame_bits(frame), frame) for offset, frame in find_frames(read.data)
                 if not preamble_like(frame[:5])]
        busy = 0
        for offset, end, frame in found:
            address = frame[:5]
            if self.accepted(address):
                if offset < busy:
                    continue
                if address in self.known:
                    self.known.move_to_end(address)
                self.queue.append(self.entry(frame, offset, read, window, self.how_taken()))
                busy = end
            elif not self.prefixes and not any(o < end and offset < e for o, e, f in found if f is not frame):
                self.hold(self.entry(frame, offset, read, window, TAKEN_PAIR))
        return self.release()

    def entry(self, frame, offset, read, window, taken):
        """A frame found at offset (in bits from the window's start), its stamp and its ack's place."""
        start, rate, board = window
        ubit = 1 / BITS_PER_US[rate]
        entry = Entry(math.floor(start + (offset - PREAMBLE_BITS) * ubit + 0.5), frame, offset, read, taken, None,
                      board)
        if len(frame) > 5 and frame[5] >> 2 and not frame[6] & 0x80:
            ack = offset + frame_bits(frame) + ACK_DELAY_US / ubit + PREAMBLE_BITS
            if ack + ACK_BITS <= READ_BITS:
                entry.ack = ACK_IN_READ
            elif ack < READ_BITS:
                entry.ack = ACK_STRADDLES
            else:
                entry.ack_at = (start + ack * ubit, ubit)
                self.waiting.append(entry)
        return entry

    def hold(self, entry):
        address = entry.frame[:5]
        first = self.held.pop(address, None)
        if first is None:
            if len(self.held) >= MAX_HELD:
                dropped = self.held.popitem(last=False)[1]
                if dropped in self.waiting:
                    self.waiting.remove(dropped)
                self.dropped += 1
            self.held[address] = entry
            return
        self.known[address] = True
        if len(self.known) > MAX_KNOWN:
            self.known.popitem(last=False)
        self.queue += (first, entry)

    def resolve(self, start, end):
        """Settle the acks expected after earlier reads, given the window of the read that came next: a read
        that began more than a lead before the ack and ended before the ack's last bit kept the radio from
        hearing it; one that ran on past the ack would have held it whole."""
        still = []
        for entry in self.waiting:
            at, ubit = entry.ack_at
            if end <= at:
                still.append(entry)
            elif (start < at - (MAX_LEAD_BITS + 1) * ubit - STAMP_LATENCY_US - CLOCK_RESOLUTION_US
                  and end < at + ACK_BITS * ubit):
                entry.ack = ACK_BLIND
            else:
                entry.ack = ACK_AFTER_READ
        self.waiting = still

    def release(self):
        out = []
        while self.queue and (self.queue[0].ack_at is None or self.queue[0].ack is not None):
            out.append(self.queue.popleft().recovered())
        return out

    def expire(self, host_usec):
        """The frames whose ack's time is so long past, with no read printed since, that the radio was
        searching then (live input only: the host's clock says how long)."""
        if self.clock.anchor is not None and self.clock.live:
            now = host_usec - QUIET_US
            for entry in self.waiting:
                if entry.ack_at[0] < now:
                    entry.ack = ACK_AFTER_READ
            self.waiting = [entry for entry in self.waiting if entry.ack is None]
        return self.release()

    def flush(self):
        """The frames still waiting at the end of the input: the radio was listening after their reads."""
        for entry in self.waiting:
            entry.ack = ACK_AFTER_READ
        self.waiting = []
        return self.release()


class Entry:
    """A frame on its way out: see Recovered."""
    __slots__ = ("stamp", "frame", "offset", "read", "taken", "ack", "board", "ack_at")

    def __init__(self, stamp, frame, offset, read, taken, ack, board):
        self.stamp, self.frame, self.offset, self.read = stamp, frame, offset, read
        self.taken, self.ack, self.board, self.ack_at = taken, ack, board, None

    def recovered(self):
        return Recovered(self.stamp, self.frame, self.offset, self.read, self.taken, self.ack, self.board)
