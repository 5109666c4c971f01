"""What one nRF24L01+ set up as a sniffer delivers, from a timeline of transmissions on the air.

The radio, with CRC off and a static 32-byte payload width, searches for its 2-byte address (promiscuous mode:
the preamble and the start of an address) or for a whole address (address mode). Once it matches, it clocks
exactly 256 bits, whatever is on the air, and cannot match again until that read is complete: it is blind for
the read's length. A promiscuous read starts 0..15 bits before the frame's address; an address-mode read starts
right after the address. Noise triggers promiscuous reads too (random bits, blind as well). A transmission that
begins or ends inside a read leaves its bits there; the rest of the read is noise.

Transmissions follow Enhanced ShockBurst: the receiver's ack starts ACK_DELAY_US after the packet ends; a
packet that gets no ack is sent again ARD microseconds after its end, with the same PID.

A HoppingRadio hops over channels as the firmware does: it hears a channel only while it dwells there, is
deaf for the 130 µs the radio takes to listen again after each hop, and loses a read still open at the hop.

Times are microseconds from the timeline's start (floats). A read's time stamp is the radio's IRQ at the end of
its window plus the board's stamp latency (0..4 µs); `board_reads` gives the reads as the radio hands them to
the board, `session_lines` as the board prints them (doc/sniffer-protocol.md).
"""

import bisect
import collections

from .frames import encode_frame, frame_bits
from .lineproto import READ_BITS, READ_BYTES, WRAP, read_line

BITS_PER_US = {"250k": 0.25, "1m": 1.0, "2m": 2.0}
PREAMBLE_BITS = 8
ACK_DELAY_US = 130.0
MAX_LEAD_BITS = 15
STAMP_LATENCY_US = (0.0, 4.0)
MAX_TX_US = (PREAMBLE_BITS + 65 + 8 * 63) / min(BITS_PER_US.values())
SETTLE_US = 130.0                       # the radio's standby to RX: deaf after each hop

# One frame on the air: when its preamble starts, where, at which rate, the frame (address to CRC, as
# frames.encode_frame builds it), what it is (data, ack), who sent it, and for data whether its ack was sent.
Transmission = collections.namedtuple("Transmission", "time channel rate frame kind sender acked")
# One read: its window on the air (start, end), the time stamp the board gives it, the channel and rate, its 32
# bytes, the received power bit, whether noise (not a frame) started it, and the transmissions in it as
# (transmission, bit offset of its address in the read, whether the frame lies in the read whole).
Read = collections.namedtuple("Read", "start end stamp channel rate data rpd noise contents")


def airtime_us(frame, rate):
    """Preamble to CRC, in microseconds."""
    return (PREAMBLE_BITS + frame_bits(frame)) / BITS_PER_US[rate]


def preamble_of(frame):
    """The preamble the radio sends before this frame: alternating bits leading into the address's first bit."""
    return 0xAA if frame[0] >> 7 else 0x55


def exchange(time, frame, channel=76, rate="250k", sender=0, acks=(), ard_us=500.0, retries=3, ack_payload=b""):
    """The transmissions of one ESB packet sent at time: each try, and the receiver's ack after the one it got.

    acks holds, per try, whether the receiver got it (and so sent its ack); a try past the end of acks is
    received. A packet with the no-ack flag is sent once. Returns (transmissions, time the exchange ends)."""
    out = []
    noack = frame[6] >> 7
    ack_frame = encode_frame(addr=frame[:5], payload=ack_payload, pid=frame[5] & 3)
    for attempt in range(retries + 1):
        received = attempt >= len(acks) or acks[attempt]
        out.append(Transmission(time, channel, rate, frame, "data", sender, bool(received and not noack)))
        end = time + airtime_us(frame, rate)
        if noack:
            return out, end
        if received:
            ack_at = end + ACK_DELAY_US
            out.append(Transmission(ack_at, channel, rate, ack_frame, "ack", sender, False))
            return out, ack_at + airtime_us(ack_frame, rate)
        time = end + ard_us
    return out, end


def network_timeline(rng, seconds, rate="250k", channel=76, nodes=5, packets_per_s=20.0, ack_loss=0.15,
                     payloads=(1, 23), addresses=(bytes.fromhex("a8a8e1fc00"),), ard_us=500.0, retries=3):
    """MySensors-like traffic: nodes sending packets with random payloads of payloads[0]..payloads[1] bytes
    to the given receiving addresses (the first, the gateway's, most often), each node with its own PID
    counter, packets_per_s on average, a share ack_loss of the tries not received (no ack, a retry after
    ard_us). Exchanges never overlap on the air."""
    timeline = []
    pids = [0] * nodes
    time = 0.0
    end = seconds * 1e6
    while True:
        time += rng.expovariate(packets_per_s / 1e6)
        if time >= end:
            return timeline
        node = rng.randrange(nodes)
        pids[node] = (pids[node] + 1) & 3
        address = addresses[0] if rng.random() < 0.7 else rng.choice(addresses)
        frame = encode_frame(addr=address, payload=rng.randbytes(rng.randint(*payloads)), pid=pids[node])
        acks = [rng.random() >= ack_loss for _ in range(retries + 1)]
        sent, time = exchange(time, frame, channel, rate, node, acks, ard_us, retries)
        timeline += sent


class Radio:
    """One receiver's settings: channel and rate, promiscuous mode with a preamble byte or address mode with
    an address, noise triggers per second (promiscuous mode), and the random source of leads, latencies and
    noise bits."""

    def __init__(self, rng, channel=76, rate="250k", preamble=0xAA, address=None, noise_per_s=0.0):
        self.rng = rng
        self.channel = channel
        self.channels = (channel,)
        self.rate = rate
        self.preamble = preamble
        self.address = address
        self.noise_per_s = noise_per_s if address is None else 0.0

    def hop_settings(self):
        """The hop list and dwell time as the #sniffer line gives them."""
        return "hop=- dwell=0"

    def status_lines(self, version=1):
        """The #sniffer lines a board with this radio prints before its reads."""
        return [settings_line(self, version)]

    def tuned(self, at):
        """(channel, listening since, listening until) of the radio at a time; channel None while it settles."""
        return self.channel, float("-inf"), float("inf")

    def matches(self, tx):
        if tx.rate != self.rate or tx.channel not in self.channels:
            return False
        if self.address is not None:
            return tx.frame[:len(self.address)] == self.address
        return preamble_of(tx.frame) == self.preamble

    def reads(self, timeline, until=None):
        """The reads the radio delivers for a timeline (sorted by time), in order."""
        ubit = 1 / BITS_PER_US[self.rate]
        heard = {channel: [] for channel in self.channels}
        for tx in timeline:
            if tx.rate == self.rate and tx.channel in heard:
                heard[tx.channel].append(tx)
        starts = {channel: [tx.time for tx in txs] for channel, txs in heard.items()}
        if until is None:
            ends = [txs[-1].time + MAX_TX_US for txs in heard.values() if txs]
            until = max(ends) if ends else 0.0
        triggers = sorted(((tx.time + PREAMBLE_BITS * ubit, tx) for tx in timeline if self.matches(tx)),
                          key=lambda trigger: trigger[0])
        if self.noise_per_s:
            at = self.rng.expovariate(self.noise_per_s / 1e6)
            while at < until:
                triggers.append((at, None))
                at += self.rng.expovariate(self.noise_per_s / 1e6)
            triggers.sort(key=lambda trigger: trigger[0])
        out = []
        busy_until = float("-inf")
        for at, tx in triggers:
            channel, since, until_hop = self.tuned(at)
            if channel is None or (tx is not None and tx.channel != channel):
                continue
            free_from = max(busy_until, since)
            if at < free_from:
                continue
            if tx is None:
                start = at
            elif self.address is not None:
                start = at + 8 * len(self.address) * ubit
            else:
                lead = self.rng.randint(0, MAX_LEAD_BITS)
                if at - lead * ubit < free_from:
                    lead = int((at - free_from) / ubit)
                start = at - lead * ubit
            busy_until = start + READ_BITS * ubit
            if busy_until > until_hop:
                busy_until = until_hop      # the hop put the radio in standby: the open window is lost
                continue
            out.append(self.window(heard[channel], starts[channel], channel, start, busy_until, tx is None, ubit))
        return out

    def window(self, heard, starts, channel, start, end, noise, ubit):
        """One read on a channel: noise bits, overwritten by the bits of every transmission on the air there in
        the window."""
        value = self.rng.getrandbits(READ_BITS)
        contents = []
        first = bisect.bisect_left(starts, start - MAX_TX_US)
        for tx in heard[first:bisect.bisect_left(starts, end)]:
            length = PREAMBLE_BITS + frame_bits(tx.frame)
            at = round((tx.time - start) / ubit)
            lo, hi = max(at, 0), min(at + length, READ_BITS)
            if lo >= hi:
                continue
            stream = (preamble_of(tx.frame) << (length - PREAMBLE_BITS)) | (int.from_bytes(tx.frame, "big") >> 7)
            segment = (stream >> (at + length - hi)) & ((1 << (hi - lo)) - 1)
            mask = ((1 << (hi - lo)) - 1) << (READ_BITS - hi)
            value = (value & ~mask) | (segment << (READ_BITS - hi))
            offset = at + PREAMBLE_BITS
            contents.append((tx, offset, offset >= 0 and offset + frame_bits(tx.frame) <= READ_BITS))
        stamp = end + self.rng.uniform(*STAMP_LATENCY_US)
        return Read(start, end, stamp, channel, self.rate, value.to_bytes(READ_BYTES, "big"),
                    1 if contents else 0, noise, contents)


class HoppingRadio(Radio):
    """A radio that hops over a list of channels as the firmware does after its `h` command: from start (when
    the board took the command) dwell_ms on each channel in turn, the list's first at first. At the end of a
    dwell the board puts the radio in standby, which loses a read window still open (its IRQ never comes), prints
    the reads it has with the channel they were heard on, sets the next channel and lets the radio listen again:
    it hears from SETTLE_US later (standby to RX). It hears nothing on the other channels meanwhile, nor
    anything before start."""

    def __init__(self, rng, channels, dwell_ms, start=0.0, rate="250k", preamble=0xAA, address=None,
                 noise_per_s=0.0):
        super().__init__(rng, channels[0], rate, preamble, address, noise_per_s)
        self.channels = tuple(channels)
        self.dwell_us = dwell_ms * 1000.0
        self.dwell_ms = dwell_ms
        self.start = start

    def hop_settings(self):
        return "hop=%s dwell=%d" % (",".join(map(str, self.channels)), self.dwell_ms)

    def status_lines(self, version=1):
        """The board's settings at boot, then its answer to the hop command."""
        return [settings_line(Radio(self.rng), version), settings_line(self, version)]

    def tuned(self, at):
        if at < self.start:
            return None, at, at
        dwell = int((at - self.start) // self.dwell_us)
        since = self.start + dwell * self.dwell_us + SETTLE_US
        if at < since:
            return None, since, since
        return self.channels[dwell % len(self.channels)], since, since - SETTLE_US + self.dwell_us


def board_reads(reads):
    """The reads as the radio hands them to the board: (time of its IRQ in µs, channel, 32 bytes, RPD)."""
    return [(round(read.end), read.channel, read.data, read.rpd) for read in reads]


def settings_line(radio, version=1):
    """The #sniffer line of a board with the radio's settings."""
    mode = "mode=a addr=%s" % radio.address.hex() if radio.address else "mode=p pre=%02x" % radio.preamble
    return "#sniffer v=%d fw=2.0 ch=%d rate=%s %s %s" % (version, radio.channel, radio.rate, mode,
                                                         radio.hop_settings())


def session_lines(radio, reads, clock=0):
    """The lines a version 1 board prints for the reads: its boot and settings lines (a hopping radio: the
    board's default settings, then its answer to the hop command), then one line per read, stamped with the
    board's clock (clock at the timeline's start)."""
    lines = ["#boot reset=power-on"] + radio.status_lines()
    address = radio.address or b""
    lines += [read_line(int(clock + read.stamp) % WRAP, read.channel, read.data, address) for read in reads]
    return lines
