"""The reads one radio in promiscuous mode delivers for a timeline (tools/nrf24tools/air.py), with the radio's
own choices scripted where a test needs one precise read: the lead of every read a frame starts (0..15 bits,
as a real radio's), when noise starts reads, and the board's stamp latency."""

import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "tools"))
from nrf24tools import air, lineproto  # noqa: E402


class Scripted(random.Random):
    """The air model's random source with the radio's own choices scripted: the lead of every read a frame
    starts, when noise starts reads, and the stamp latency if given (else random in 0..4 us); the bits stay
    random."""

    def __new__(cls, seed, *_, **__):
        # Python before 3.11 seeds a Random from every argument its constructor gets: only the seed counts here.
        return super().__new__(cls, seed)

    def __init__(self, seed, lead=0, noise_at=(), latency=None):
        super().__init__(seed)
        self.lead = lead
        self.noise = iter(sorted(noise_at))
        self.last = 0.0
        self.latency = latency

    def randint(self, low, high):
        assert (low, high) == (0, air.MAX_LEAD_BITS)
        return self.lead

    def expovariate(self, rate):
        at = next(self.noise, float("inf"))
        gap, self.last = at - self.last, at
        return gap

    def uniform(self, low, high):
        assert (low, high) == air.STAMP_LATENCY_US
        return super().uniform(low, high) if self.latency is None else self.latency


def radio_reads(timeline, rate="250k", lead=0, noise_at=(), seed=0, preamble=0xAA, latency=None, channel=76):
    """The reads one radio in promiscuous mode on a channel delivers for a timeline, each read a frame starts
    beginning lead bits before its address, reads started by noise at the times given (us), stamped latency us
    after their window (random in 0..4 us if None)."""
    radio = air.Radio(Scripted(seed, lead, noise_at, latency), channel, rate, preamble=preamble,
                      noise_per_s=1.0 if noise_at else 0)
    return radio.reads(sorted(timeline, key=lambda tx: tx.time))


def tries(frames, rate="250k", channel=76):
    """A timeline of (time in ms, frame): each frame one try that no receiver answered (no ack on the air)."""
    return [air.Transmission(1000.0 * ms, channel, rate, data, "data", 0, False) for ms, data in frames]


def board_lines(reads, clock):
    """The reads as the board prints them, its clock at clock when the timeline starts."""
    return [lineproto.read_line(int(clock + read.stamp), read.channel, read.data) for read in reads]
