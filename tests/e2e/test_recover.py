"""Frame recovery from raw reads: every bit offset and length, the confirmation rule and its bounds, preamble-like
addresses, address-mode reads, the board clock's wrap, the lines the protocol refuses, whether a missing ack
could have been heard, and the link analysis' warnings about missing acks.

Promiscuous reads come from the air model (tools/nrf24tools/air.py): transmissions on a timeline (packets, the
acks ESB sends 130 us after them, tries no receiver answered) and the reads one radio delivers from them, with
where a frame begins a read (0..15 bits before its address) and when noise starts a read scripted where a rule
needs one precise read."""

import collections
import os
import random
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import ack_warning_bench  # noqa: E402
from air_reads import radio_reads, tries  # noqa: E402
from nrf24_host import nrf24_encode  # noqa: E402

from nrf24tools import air, lineproto, recover  # noqa: E402
from nrf24tools.lineproto import Read  # noqa: E402
from nrf24tools.recover import Recovery  # noqa: E402

HOST_USEC = 1700000000 * 1000000
WRAP = 1 << 32


def frame(addr, payload=b"", pid=0, crc=None):
    return nrf24_encode.encode_frame(addr=bytes.fromhex(addr), payload=payload, pid=pid, crc=crc)


def recover_all(recovery, reads):
    """The frames recovered from reads printed as a board prints them, and those left at the end."""
    return [r for read in reads for r in recovery.read(line_read(read), HOST_USEC + int(read.stamp))] + \
        recovery.flush()


def line_read(read):
    """An air-model read as its line gives it to the recovery: stamp, channel, mode, the 32 bytes."""
    return Read(int(read.stamp) % WRAP, read.channel, "p", b"", read.data)


class TestFindFrames:
    def test_every_offset_after_up_to_two_bytes_and_every_length_that_fits(self):
        # A frame 0..15 bits after the read began (the radio matched its address), or 16..47 bits into a read
        # that noise started just before the frame came; its ack (130 us later) and noise after it.
        missed, tried = [], 0
        for lead_bits in range(48):
            for n in range(32):
                data = frame("a8a8e1fc%02x" % n, random.Random(n).randbytes(n), pid=n & 3)
                timeline, _ = air.exchange(1000.0, data)
                if lead_bits <= air.MAX_LEAD_BITS:
                    first = radio_reads(timeline, lead=lead_bits, seed=n)[0]
                else:
                    first = radio_reads(timeline, noise_at=[1000.0 + 4 * (8 - lead_bits)], seed=n)[0]
                (sent, offset, whole), *_ = first.contents
                assert (sent.frame, offset) == (data, lead_bits)
                if whole:
                    tried += 1
                    if (lead_bits, data) not in recover.find_frames(first.data):
                        missed.append((lead_bits, n, first.data.hex()))
        fitting = sum(1 for lead_bits in range(48) for n in range(32) if lead_bits + 65 + 8 * n <= 256)
        assert (tried, missed) == (fitting, [])

    def test_frame_deep_in_a_noise_read(self):
        # noise started a read 52 bits before the frame's preamble: the frame's address is at bit 60
        data = frame("e7e7e7e7e7", b"\x11\x22")
        timeline, _ = air.exchange(1000.0, data)
        first = radio_reads(timeline, noise_at=[1000.0 - 4 * 52], seed=1)[0]
        assert first.noise and (60, data) in recover.find_frames(first.data)

    def test_frames_are_the_encoders_bytes_with_zero_trailing_bits(self):
        for n in (0, 1, 7, 23):
            data = frame("0102030405", bytes([0xFF] * n), pid=3)
            timeline, _ = air.exchange(1000.0, data)
            # the address begins with a 0 bit: its preamble is 0x55
            read = radio_reads(timeline, lead=5, seed=n, preamble=0x55)[0]
            found = [f for offset, f in recover.find_frames(read.data) if offset == 5]
            assert found == [data] and data[-1] & 0x7F == 0


class TestConfirmation:
    A1, A2, A3 = frame("a8a8e1fc00", b"\x01"), frame("a8a8e1fc00", pid=1), frame("a8a8e1fc00", b"\x02", pid=2)
    B1, B2 = frame("e7e7e7e7e7", b"\x33"), frame("e7e7e7e7e7", pid=1)

    # tries on the air (time in ms, frame), the recovery's options, the frames given out (time in ms, frame)
    CASES = [
        ("held until confirmed, then both with their own stamps",
         [(1, A1), (3, B1), (9, A2), (10, A3), (20, B2)], {},
         [(1, A1), (9, A2), (10, A3), (3, B1), (20, B2)]),
        ("a prefix takes its frames at once and no other",
         [(1, A1), (3, B1), (9, A2), (20, B2)], {"prefixes": [bytes.fromhex("a8a8")]},
         [(1, A1), (9, A2)]),
        ("without the rule every good CRC is taken",
         [(1, A1), (3, B1)], {"confirm": False}, [(1, A1), (3, B1)]),
    ]

    @pytest.mark.parametrize("name, sent, options, expected", CASES, ids=[case[0] for case in CASES])
    def test_rule(self, name, sent, options, expected):
        reads = radio_reads(tries(sent), lead=7, seed=len(sent))
        assert len(reads) == len(sent)
        out = recover_all(Recovery(**options), reads)
        assert [r.frame for r in out] == [data for _, data in expected]
        # each frame at its preamble's start on the air: the read's stamp is 0..4 us late (2 assumed) and
        # printed in whole microseconds
        assert all(abs(r.stamp - HOST_USEC - 1000 * ms) <= 3 for r, (ms, _) in zip(out, expected))

    @pytest.mark.parametrize("preamble, addresses", [(0x55, ("5555555555", "0000ff55aa")), (0xAA, ("aaaaaaaaaa",))])
    def test_preamble_like_addresses_never(self, preamble, addresses):
        sent = [(4 * n + 2 * k, frame(addr, b"\x00", pid=k)) for n, addr in enumerate(addresses) for k in range(2)]
        reads = radio_reads(tries(sent), preamble=preamble)
        # the radio heard each, its CRC good: the rule alone keeps them out
        assert len(reads) == len(sent)
        assert all((read.contents[0][1], data) in recover.find_frames(read.data)
                   for read, (_, data) in zip(reads, sent))
        assert recover_all(Recovery(confirm=False), reads) == []

    def test_held_frames_are_bounded(self):
        recovery = Recovery()
        addresses = ["a8a8e1%04x" % n for n in range(recover.MAX_HELD + 1)]
        sent = [(2 * n, frame(addr)) for n, addr in enumerate(addresses)]
        sent += [(1000, frame(addresses[0], pid=1)), (1002, frame(addresses[2], pid=1))]
        reads = radio_reads(tries(sent))
        for read in reads[:-2]:
            assert recovery.read(line_read(read), HOST_USEC + int(read.stamp)) == []
        # the oldest held frame was dropped: its address needs two more frames
        assert (recovery.dropped, len(recovery.held)) == (1, recover.MAX_HELD)
        assert recovery.read(line_read(reads[-2]), HOST_USEC + int(reads[-2].stamp)) == []
        assert (recovery.dropped, len(recovery.held)) == (2, recover.MAX_HELD)
        assert [r.frame for r in recovery.read(line_read(reads[-1]), HOST_USEC + int(reads[-1].stamp))] == [
            frame(addresses[2]), frame(addresses[2], pid=1)]

    def test_known_addresses_are_bounded_least_recently_heard_first(self):
        recovery = Recovery()
        first, other = frame("a8a8e1fc00"), frame("e7e7e7e7e7")
        recovery.known.update((bytes([n >> 8, n & 255, 1, 2, 3]), True) for n in range(recover.MAX_KNOWN - 1))
        reads = radio_reads(tries([(1, first), (3, first), (5, other), (7, other)]))
        out = [[r.frame for r in recovery.read(line_read(read), HOST_USEC + int(read.stamp))] for read in reads]
        assert out == [[], [first, first], [], [other, other]]
        # the first pre-filled address went, the one just heard stayed
        assert bytes([0, 0, 1, 2, 3]) not in recovery.known and first[:5] in recovery.known
        assert len(recovery.known) == recover.MAX_KNOWN


class TestAddressMode:
    ADDRESS = bytes.fromhex("a8a8e1fc00")

    @pytest.mark.parametrize("keep_bad", [True, False])
    def test_good_and_bad_crc(self, keep_bad):
        good, bad = frame("a8a8e1fc00", b"\x01\x02", pid=1), frame("a8a8e1fc00", b"\x01\x02", crc=0xBEEF)
        # the radio in address mode reads the 32 bytes that follow the address: the frame's rest, then noise
        reads = air.Radio(random.Random(6), address=self.ADDRESS).reads(tries([(1, good), (3, bad)]))
        recovery = Recovery(keep_bad=keep_bad)
        out = [r for read in reads for r in recovery.read(Read(int(read.stamp), 76, "a", self.ADDRESS, read.data),
                                                          HOST_USEC + int(read.stamp))]
        assert [r.frame for r in out] == ([good, bad] if keep_bad else [good])
        # stamped at the preamble's start: the address's 40 bits and the preamble's 8 before the read
        assert all(abs(r.stamp - HOST_USEC - 1000 * ms) <= 3 for r, ms in zip(out, (1, 3)))

    def test_length_beyond_the_read_is_cut_at_its_end(self):
        data = bytes([40 << 2]) + bytes(range(1, 32))
        assert recover.address_frame(self.ADDRESS, data) == self.ADDRESS + data

    def test_short_addresses_are_skipped_and_counted(self):
        recovery = Recovery()
        assert recovery.read(Read(0, 76, "a", b"\xa8\xa8\xe1", bytes(32)), HOST_USEC) == []
        assert recovery.short_address == 1


class TestClock:
    def test_from_a_file_every_step_back_is_a_wrap(self):
        clock = recover.Clock()
        stamps = [clock.stamp(value, HOST_USEC + 999)[0] for value in (0xFFFFFF00, 0xFFFFFFFF, 5, 0x80000000, 3)]
        assert [s - stamps[0] for s in stamps] == [0, 0xFF, 0x105, 0x80000100, 0x100000103]
        assert stamps[0] == HOST_USEC + 999

    def test_live_a_gap_longer_than_a_wrap_keeps_its_wraps(self):
        clock = recover.Clock(live=True)
        # a read, then one 3 wraps and 0x100 us later, its line 20 ms late on the host; then a small step
        reads = [(0x10, HOST_USEC), (0x110, HOST_USEC + 3 * WRAP + 0x100 + 20000), (0x90, HOST_USEC + 4 * WRAP)]
        stamps = [clock.stamp(value, host) for value, host in reads]
        assert stamps == [(HOST_USEC, 0x10), (HOST_USEC + 3 * WRAP + 0x100, 3 * WRAP + 0x110),
                          (HOST_USEC + 4 * WRAP + 0x80, 4 * WRAP + 0x90)]

    @pytest.mark.parametrize("live", [True, False])
    def test_a_board_reset_adds_no_wrap(self, live):
        clock = recover.Clock(live=live)
        assert clock.stamp(0x50000000, HOST_USEC) == (HOST_USEC, 0x50000000)
        clock.reset()                           # the #boot line: the clock starts again from 0
        # 3 s later on the host, 1 s after the board's restart
        stamp, board = clock.stamp(1000000, HOST_USEC + 3000000)
        assert board == 0x50000000 + 1000000
        assert stamp == (HOST_USEC + 3000000 if live else HOST_USEC + 1000000)

    def test_live_a_silent_restart_anchors_again(self):
        clock = recover.Clock(live=True)
        clock.stamp(0x50000000, HOST_USEC)
        assert clock.stamp(2000000, HOST_USEC + 5000000) == (HOST_USEC + 5000000, 0x50000000 + 2000000)


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


def on_the_air(rate, seconds=20, seed=5, noise=50.0):
    """A MySensors-like network's timeline (five nodes, 15 % of tries unanswered) and the reads one radio in
    promiscuous mode delivers from it."""
    rng = random.Random(seed)
    timeline = air.network_timeline(rng, seconds, rate=rate)
    return timeline, air.Radio(rng, rate=rate, noise_per_s=noise).reads(timeline)


class TestAirModel:
    DATA = frame("a8a8e1fc00", bytes(8), pid=2)

    def test_ack_follows_the_packet_and_a_lost_one_brings_a_retry_with_the_same_pid(self):
        sent, end = air.exchange(1000.0, self.DATA, acks=[False, True], ard_us=500.0)
        # 8 + 65 + 64 bits at 4 us: 548 us on the air; the retry 500 us after the first try's end
        assert [(tx.time, tx.kind, tx.frame[5] & 3, tx.acked) for tx in sent] == [
            (1000.0, "data", 2, False), (2048.0, "data", 2, True), (2726.0, "ack", 2, False)]
        assert sent[2].frame == frame("a8a8e1fc00", pid=2) and end == 2726.0 + 73 * 4

    def test_no_ack_flag_is_sent_once(self):
        broadcast = nrf24_encode.encode_frame(addr=bytes.fromhex("a8a8e1fcff"), payload=b"\x01", noack=1)
        sent, _ = air.exchange(0.0, broadcast, acks=[False])
        assert [tx.kind for tx in sent] == ["data"]

    # the rate, the packet's payload, where its ack's address lies after the packet's address in bits (the
    # packet's 65 + 8n bits, 130 us, the ack's 8 bits of preamble), and what the radio makes of it
    @pytest.mark.parametrize("rate, payload, ack_at, where", [
        ("250k", 8, 169.5, "inside"), ("1m", 4, 235, "straddles"), ("2m", 8, 397, "after")])
    def test_read_window_holds_the_packet_and_what_follows(self, rate, payload, ack_at, where):
        packet = frame("a8a8e1fc00", bytes(payload), pid=2)
        timeline, _ = air.exchange(0.0, packet, rate=rate)
        reads = air.Radio(random.Random(1), rate=rate).reads(timeline)
        first = reads[0]
        (data, offset, whole), *rest = first.contents
        # the window starts 0..15 bits before the address and lasts 256 bits
        assert data.kind == "data" and whole and 0 <= offset <= air.MAX_LEAD_BITS
        assert first.end - first.start == 256 / air.BITS_PER_US[rate]
        assert recover.find_frames(first.data)[0] == (offset, packet)
        if where == "inside":
            [(ack, ack_offset, whole)] = rest
            assert abs(ack_offset - offset - ack_at) <= 0.5 and whole and len(reads) == 1
            assert (ack_offset, ack.frame) in recover.find_frames(first.data)
        elif where == "straddles":
            # the radio was busy when it began, and never hears it whole
            [(ack, ack_offset, whole)] = rest
            assert ack_offset - offset == ack_at and not whole and len(reads) == 1
        else:
            # after the read: it starts a read of its own
            assert rest == [] and [c[0].kind for c in reads[1].contents] == ["ack"]

    def test_blind_while_a_read_runs(self):
        # a second packet 100 us after the first starts inside its read: never a read of its own
        other = frame("a8a8e1fc01", b"\x07", pid=1)
        timeline = [air.Transmission(0.0, 76, "250k", self.DATA, "data", 0, False),
                    air.Transmission(600.0, 76, "250k", other, "data", 1, False)]
        reads = air.Radio(random.Random(2)).reads(timeline)
        assert len(reads) == 1 and [c[0].frame for c in reads[0].contents] == [self.DATA, other]

    def test_address_mode_reads_start_after_the_address(self):
        timeline, _ = air.exchange(0.0, self.DATA)
        radio = air.Radio(random.Random(3), address=self.DATA[:5], noise_per_s=1000)
        reads = radio.reads(timeline)
        # no noise reads (the whole address must match), and the ack came while the packet's read ran
        assert [read.noise for read in reads] == [False]
        assert reads[0].start == (8 + 40) * 4 and reads[0].data[:9] == self.DATA[5:14]
        assert air.board_reads(reads)[0] == (round(reads[0].end), 76, reads[0].data, 1)

    def test_noise_reads_are_random_bits_and_count(self):
        reads = air.Radio(random.Random(4), noise_per_s=50).reads([], until=10e6)
        assert 400 < len(reads) < 600 and all(read.noise and read.rpd == 0 for read in reads)


class TestOnTheAir:
    """Recovery of what the air model's radio delivers: every frame a read holds whole, at its own time, and
    whether each packet's ack could have been heard."""

    @pytest.mark.parametrize("rate", ["250k", "1m", "2m"])
    def test_every_whole_frame_at_its_time(self, rate):
        timeline, reads = on_the_air(rate)
        recovery = Recovery(confirm=False)
        recovery.rate = rate
        out = [r for read in reads for r in recovery.read(
            Read(int(read.stamp) % WRAP, 76, "p", b"", read.data), HOST_USEC + int(read.stamp))] + recovery.flush()
        truth = sorted((tx.time, tx.frame) for read in reads for tx, _, whole in read.contents if whole)
        assert [r.frame for r in out] == [f for _, f in truth]
        # stamps: the read's latency (0..4 us, 2 assumed), the clock's whole microseconds, a frame that did not
        # start the read at a whole bit, the stamp rounded to a microsecond
        late = [r.stamp - HOST_USEC - t for r, (t, _) in zip(out, truth)]
        assert max(abs(d) for d in late) <= 2 + 1 + 0.5 / air.BITS_PER_US[rate] + 0.5

    @pytest.mark.parametrize("rate", ["250k", "1m", "2m"])
    def test_ack_observability_is_where_the_radio_was(self, rate):
        # noise enough that some acks come while a noise read runs
        timeline, reads = on_the_air(rate, noise=500.0)
        recovery = Recovery([bytes.fromhex("a8a8e1fc")])
        recovery.rate = rate
        out = [r for read in reads for r in recovery.read(
            Read(int(read.stamp) % WRAP, 76, "p", b"", read.data), HOST_USEC + int(read.stamp))] + recovery.flush()
        ubit = 1 / air.BITS_PER_US[rate]
        truth, unsure = {}, set()
        for read in reads:
            for tx, offset, whole in read.contents:
                if whole and tx.kind == "data":
                    ack = read.start + (offset + 8 * len(tx.frame) - 7) * ubit + 130 + 8 * ubit
                    # a noise read running then holds the ack whole, or ends in the middle of it
                    blind = [r for r in reads if r.noise and r.start <= ack < r.end < ack + 65 * ubit]
                    truth[tx.time] = (recover.ACK_IN_READ if ack + 65 * ubit <= read.end else
                                      recover.ACK_STRADDLES if ack < read.end else
                                      recover.ACK_BLIND if blind else recover.ACK_AFTER_READ)
                    # a noise read that began about a lead (16 bits, give or take the stamp's 0..4 us and the
                    # clock's 1 us) before the ack cannot be told from the ack's own read
                    if any(ack - r.start < 16 * ubit + 6 for r in blind):
                        unsure.add(tx.time)
        got = [r.ack for r in out if r.frame[5] >> 2]
        expected = [truth[time] for time in sorted(truth)]
        kinds = collections.Counter(expected)
        wrong = [time for time, kind in zip(sorted(truth), got) if truth[time] != kind]
        assert len(got) == len(expected) and set(wrong) <= unsure and len(unsure) <= len(truth) // 50
        assert len(kinds) >= 2, kinds


class TestWaitingForTheNextRead:
    # At 2 Mbps a 22-byte packet at bit 0 of its read ends 7.5 us before the read (1124.5, 1132 us); its ack,
    # had it been sent, would have begun 134 us later (its address at 1258.5 us, to 1291 us).
    FAST = frame("a8a8e1fc00", bytes(22), pid=1)

    # when noise starts the next read, and what the recovery makes of the ack's absence
    @pytest.mark.parametrize("noise_at, ack", [
        (1140.0, recover.ACK_BLIND),            # the read ends (1268 us) in the middle of the ack
        (1170.0, recover.ACK_AFTER_READ),       # it runs past the ack (1298 us): the ack would lie whole in it
        (1252.0, recover.ACK_AFTER_READ),       # it began within a lead of the ack: it could be the ack's own
    ])
    def test_the_read_that_came_next(self, noise_at, ack):
        timeline, _ = air.exchange(1000.0, self.FAST, rate="2m", acks=[False], retries=0)
        reads = radio_reads(timeline, rate="2m", noise_at=[noise_at])
        assert [read.noise for read in reads] == [False, True]
        recovery = Recovery([b"\xa8"])
        recovery.rate = "2m"
        assert recovery.read(line_read(reads[0]), HOST_USEC + int(reads[0].stamp)) == []
        [out] = recovery.read(line_read(reads[1]), HOST_USEC + int(reads[1].stamp))
        assert (out.frame, out.ack) == (self.FAST, ack)

    # At 250 kbps a 23-byte packet's ack would start after its read.
    PACKET = frame("a8a8e1fc00", bytes(23), pid=1)

    def packet_read(self):
        timeline, _ = air.exchange(1000.0, self.PACKET, acks=[False], retries=0)
        [read] = radio_reads(timeline)
        return read

    def test_live_a_quiet_line_means_the_radio_was_listening(self):
        recovery = Recovery([b"\xa8"], live=True)
        read = self.packet_read()
        host = HOST_USEC + int(read.stamp)
        assert recovery.read(line_read(read), host) == []
        assert recovery.expire(host + 100000) == []
        [out] = recovery.expire(host + recover.QUIET_US + 1000)
        assert (out.frame, out.ack) == (self.PACKET, recover.ACK_AFTER_READ)

    def test_the_end_of_the_input_means_the_radio_was_listening(self):
        recovery = Recovery([b"\xa8"])
        read = self.packet_read()
        assert recovery.read(line_read(read), HOST_USEC + int(read.stamp)) == []
        assert [(r.frame, r.ack) for r in recovery.flush()] == [(self.PACKET, recover.ACK_AFTER_READ)]


class TestAckWarnings:
    """The link analysis over a capture the capture tool made of the air model's reads (seed 18, 10 s of the
    network, 50 noise reads a second): a "No acknowledgement seen" warning for exactly the packets whose ack was
    never sent and could have been heard, no PID-gap note although five nodes share the gateway's address."""

    # rate: (acks truly missing that the radio could hear, acks it could not hear), the analysis' (warnings,
    # PID-gap notes, packets without an ack whose ack was not observable, frames), PID-gap notes when asked for
    CASES = [("250k", (30, 71), (30, 0, 71, 375), 124), ("1m", (31, 63), (31, 0, 63, 395), 123),
             ("2m", (43, 0), (43, 0, 0, 455), 125)]

    @pytest.mark.parametrize("rate, truth, counts, opted_in", CASES)
    def test_warnings_are_the_missing_acks_the_radio_could_hear(self, host, rate, truth, counts, opted_in):
        _, reads, capture = ack_warning_bench.air_capture(host.root, rate, 10, 18)
        assert ack_warning_bench.ack_truth(reads) == truth
        assert ack_warning_bench.analysis_counts(host, capture) == counts
        # the notes are there to be had: each node's PIDs interleave on the one address
        assert ack_warning_bench.analysis_counts(host, capture, "-o", ack_warning_bench.PID_GAPS_ON)[1] == opted_in
