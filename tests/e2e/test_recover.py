"""Frame recovery from raw reads: every bit offset and length, the confirmation rule and its bounds, preamble-like
addresses, address-mode reads, the board clock's wrap, and the lines the protocol refuses."""

import os
import random
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nrf24_host import nrf24_encode  # noqa: E402

from nrf24tools import lineproto, recover  # noqa: E402
import nrf24_session  # noqa: E402
from nrf24tools.lineproto import Read  # noqa: E402
from nrf24tools.recover import Recovery  # noqa: E402

HOST_USEC = 1700000000 * 1000000


def frame(addr, payload=b"", pid=0, crc=None):
    return nrf24_encode.encode_frame(addr=bytes.fromhex(addr), payload=payload, pid=pid, crc=crc)


def read(clock, data, lead_bits=0, seed=0):
    return Read(clock, 76, "p", b"", nrf24_session.promiscuous_read(data, lead_bits, random.Random(seed)))


class TestFindFrames:
    def test_every_offset_after_up_to_two_bytes_and_every_length_that_fits(self):
        rng = random.Random(12)
        missed, tried = [], 0
        for lead_bytes in range(3):
            for offset in range(16):
                for n in range(32):
                    data = frame("a8a8e1fc%02x" % n, rng.randbytes(n), pid=n & 3)
                    lead_bits = 8 * lead_bytes + offset
                    # the lead: preamble bits, or random bytes then preamble bits
                    for lead in (None, rng.getrandbits(lead_bits)):
                        raw = nrf24_session.promiscuous_read(data, lead_bits, rng, lead)
                        if raw is None:
                            continue
                        tried += 1
                        if (lead_bits, data) not in recover.find_frames(raw):
                            missed.append((lead_bits, n, raw.hex()))
        fitting = sum(1 for lead_bytes in range(3) for offset in range(16) for n in range(32)
                      if 8 * lead_bytes + offset + 65 + 8 * n <= 256)
        assert (tried, missed) == (2 * fitting, [])

    def test_frame_after_a_long_preamble_run(self):
        data = frame("e7e7e7e7e7", b"\x11\x22")
        raw = nrf24_session.promiscuous_read(data, 60, random.Random(1))
        assert (60, data) in recover.find_frames(raw)

    def test_frames_are_the_encoders_bytes_with_zero_trailing_bits(self):
        for n in (0, 1, 7, 23):
            data = frame("0102030405", bytes([0xFF] * n), pid=3)
            raw = nrf24_session.promiscuous_read(data, 5, random.Random(n), None)
            found = [f for offset, f in recover.find_frames(raw) if offset == 5]
            assert found == [data] and data[-1] & 0x7F == 0


class TestConfirmation:
    A1, A2, A3 = frame("a8a8e1fc00", b"\x01"), frame("a8a8e1fc00", pid=1), frame("a8a8e1fc00", b"\x02", pid=2)
    B1, B2 = frame("e7e7e7e7e7", b"\x33"), frame("e7e7e7e7e7", pid=1)

    # reads (board clock, frame), the recovery's options, the frames given out (board clock, frame)
    CASES = [
        ("held until confirmed, then both with their own stamps",
         [(100, A1), (300, B1), (900, A2), (1000, A3), (2000, B2)], {},
         [(100, A1), (900, A2), (1000, A3), (300, B1), (2000, B2)]),
        ("a prefix takes its frames at once and no other",
         [(100, A1), (300, B1), (900, A2), (2000, B2)], {"prefixes": [bytes.fromhex("a8a8")]},
         [(100, A1), (900, A2)]),
        ("without the rule every good CRC is taken",
         [(100, A1), (300, B1)], {"confirm": False}, [(100, A1), (300, B1)]),
        ("preamble-like addresses never",
         [(t, frame(addr, b"\x00")) for t, addr in ((1, "5555555555"), (2, "5555555555"), (3, "aaaaaaaaaa"),
                                                    (4, "aaaaaaaaaa"), (5, "0000ff55aa"), (6, "0000ff55aa"))],
         {"confirm": False}, []),
    ]

    @pytest.mark.parametrize("name, reads, options, expected", CASES, ids=[case[0] for case in CASES])
    def test_rule(self, name, reads, options, expected):
        recovery = Recovery(**options)
        out = [item for clock, data in reads for item in recovery.read(read(clock, data, clock % 13), HOST_USEC)]
        start = HOST_USEC - reads[0][0]
        assert out == [(start + clock, data) for clock, data in expected]

    def test_held_frames_are_bounded(self):
        recovery = Recovery()
        addresses = ["a8a8e1%04x" % n for n in range(recover.MAX_HELD + 1)]
        for clock, addr in enumerate(addresses):
            assert recovery.read(read(clock, frame(addr)), HOST_USEC) == []
        # the oldest held frame was dropped: its address needs two more frames
        assert (recovery.dropped, len(recovery.held)) == (1, recover.MAX_HELD)
        assert recovery.read(read(1000, frame(addresses[0], pid=1)), HOST_USEC) == []
        assert (recovery.dropped, len(recovery.held)) == (2, recover.MAX_HELD)
        assert [f for _, f in recovery.read(read(1001, frame(addresses[2], pid=1)), HOST_USEC)] == [
            frame(addresses[2]), frame(addresses[2], pid=1)]

    def test_known_addresses_are_bounded_least_recently_heard_first(self):
        recovery = Recovery()
        first = frame("a8a8e1fc00")
        recovery.known.update((bytes([n >> 8, n & 255, 1, 2, 3]), True) for n in range(recover.MAX_KNOWN - 1))
        recovery.read(read(1, first), HOST_USEC)
        assert len(recovery.read(read(2, first), HOST_USEC)) == 2
        recovery.read(read(3, frame("0101010101")), HOST_USEC)
        assert len(recovery.read(read(4, frame("0101010101")), HOST_USEC)) == 2
        # the first pre-filled address went, the one just heard stayed
        assert bytes([0, 0, 1, 2, 3]) not in recovery.known and first[:5] in recovery.known
        assert len(recovery.known) == recover.MAX_KNOWN


class TestAddressMode:
    ADDRESS = bytes.fromhex("a8a8e1fc00")

    def address_read(self, data, address=ADDRESS):
        return Read(0, 76, "a", address, (data[5:] + bytes(range(32)))[:32])

    @pytest.mark.parametrize("keep_bad", [True, False])
    def test_good_and_bad_crc(self, keep_bad):
        good, bad = frame("a8a8e1fc00", b"\x01\x02", pid=1), frame("a8a8e1fc00", b"\x01\x02", crc=0xBEEF)
        recovery = Recovery(keep_bad=keep_bad)
        out = [f for data in (good, bad) for _, f in recovery.read(self.address_read(data), HOST_USEC)]
        assert out == ([good, bad] if keep_bad else [good])

    def test_length_beyond_the_read_is_cut_at_its_end(self):
        data = bytes([40 << 2]) + bytes(range(1, 32))
        assert recover.address_frame(self.ADDRESS, data) == self.ADDRESS + data

    def test_short_addresses_are_skipped_and_counted(self):
        recovery = Recovery()
        assert recovery.read(Read(0, 76, "a", b"\xa8\xa8\xe1", bytes(32)), HOST_USEC) == []
        assert recovery.short_address == 1


def test_clock_unwraps_and_keeps_exact_gaps():
    clock = recover.Clock()
    stamps = [clock.stamp(value, HOST_USEC + 999) for value in (0xFFFFFF00, 0xFFFFFFFF, 5, 0x80000000, 3)]
    assert [s - stamps[0] for s in stamps] == [0, 0xFF, 0x105, 0x80000100, 0x100000103]
    assert stamps[0] == HOST_USEC + 999


class TestLines:
    CASES = [
        ("0012d687 76 p " + "00" * 31, "promiscuous read of 31 bytes, expected 32"),
        ("0012d687 76 a a8a8" + "00" * 32, "address mode read of 34 bytes: expected 3 to 5 address bytes and 32 bytes"),
        ("0012d687 126 p " + "00" * 32, "channel 126 is not 0..125"),
        ("0012D687 76 p " + "00" * 32, "not a read: '0012D687 76 p " + "0" * 26 + "'"),
        ("12d687 76 p " + "00" * 32, "not a read: '12d687 76 p " + "0" * 28 + "'"),
        ("0012d687 76 x " + "00" * 32, "not a read: '0012d687 76 x " + "0" * 26 + "'"),
        ("# sniffer", "status line without a word: '# sniffer'"),
    ]

    @pytest.mark.parametrize("line, message", CASES)
    def test_refused(self, line, message):
        with pytest.raises(lineproto.LineError) as error:
            lineproto.parse_line(line)
        assert str(error.value) == message

    def test_taken(self):
        assert lineproto.parse_line("0012d687 76 a a8a8e1fc00" + "11" * 32 + "\r\n") == Read(
            0x12D687, 76, "a", bytes.fromhex("a8a8e1fc00"), b"\x11" * 32)
        assert lineproto.parse_line("#lost 12") == lineproto.Status("lost", "12")
        assert lineproto.parse_line("") is None
