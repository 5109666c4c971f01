"""The link analysis module (nrf24_analysis.so) in the real tshark: acknowledgements matched to packets,
retransmissions, PID gaps, frames with a bad CRC, the host's passes and frame orders, its statistics, Endpoints
and Conversations. Every capture is made by the encoder with exact time stamps; the rules are in the README's
"Link analysis" section.

At the default 250 kbit/s a frame with n payload bytes is (73 + 8 n) bits, 4 us each, on the air: a packet of
4 bytes lasts 420 us, so an acknowledgement 130 us after its end starts 550 us after it."""

import re

import pytest

import nrf24_host

T0 = 1714564800 * 1000000  # time stamps in microseconds
A, B = "a8a8e1fc00", "a8a8e1fc65"
ANALYSIS_FIELDS = ("nrf24.analysis.retransmission_of", "nrf24.analysis.retry", "nrf24.analysis.acked_in",
                   "nrf24.analysis.ack_time", "nrf24.analysis.acks_frame", "nrf24.analysis.ack_payload",
                   "nrf24.analysis.missing", "nrf24.analysis.no_ack_expected", "nrf24.analysis.ack_observable",
                   "_ws.expert.message")
ARD = 1500  # MySensors' retransmit delay
PID_GAPS = ("-o", "nrf24.analysis.pid_gaps:TRUE")


def airtime(payload_len):
    """Microseconds on the air at 250 kbit/s."""
    return (73 + 8 * payload_len) * 4


def frame(t, addr=A, payload="", pid=0, noack=0, crc="good"):
    """An encoder description at t microseconds after T0."""
    stamp = T0 + t
    words = ["t=%d.%06d" % divmod(stamp, 1000000), "addr=" + addr, "pid=%d" % pid, "noack=%d" % noack, "crc=" + crc]
    return " ".join(words + (["payload=" + payload] if payload else []))


def exchange(t, addr=A, payload="01020304", pid=0, ack_after=130, ack_payload=""):
    """A packet and its acknowledgement ack_after us after the packet ends."""
    end = t + airtime(len(payload) // 2)
    return [frame(t, addr, payload, pid), frame(end + ack_after, addr, ack_payload, pid)]


def verdict(row, forms):
    """One frame's analysis fields as a short text: what a user reads off the tree."""
    (retrans_of, retry, acked_in, ack_time, acks_frame, ack_payload, missing, no_ack_expected, ack_observable,
     experts) = row.split("\t")
    parts = []
    if acks_frame:
        parts.append("ack of %s, %s us%s" % (acks_frame, ack_time, ", payload" if ack_payload == forms.true else ""))
    if retrans_of:
        parts.append("retry %s of %s" % (retry, retrans_of))
    if missing:
        parts.append("%s missing" % missing)
    if no_ack_expected:
        parts.append("no ack expected")
    if acked_in:
        parts.append("acked in %s, %s us" % (acked_in, ack_time))
    if "No acknowledgement seen" in experts:
        parts.append("no ack seen")
    if ack_observable == forms.false:
        parts.append("ack not observable")
    if "Acknowledgement of no packet heard" in experts:
        parts.append("unmatched ack")
    return "; ".join(parts)


def analyse(host, forms, specs, *extra, passes=2):
    """The verdict of every frame, after both passes (what the GUI shows) or after one."""
    args = ("-2",) if passes == 2 else ()
    rows = host.fields(host.capture(specs), *ANALYSIS_FIELDS, extra=args + extra).output
    assert len(rows) == len(specs)
    return [verdict(row, forms) for row in rows]


class TestAcknowledgements:
    CASES = [
        ("empty ack", exchange(0), ["acked in 2, 130 us", "ack of 1, 130 us"]),
        ("ack at the end of the window", exchange(0, ack_after=500), ["acked in 2, 500 us", "ack of 1, 500 us"]),
        ("ack after the window", exchange(0, ack_after=501), ["no ack seen", "unmatched ack"]),
        ("ack with another PID", [frame(0, pid=2, payload="01"), frame(500, pid=3)], ["no ack seen", "unmatched ack"]),
        ("ack on another address", [frame(0, A, "01"), frame(500, B)], ["no ack seen", "unmatched ack"]),
        ("second ack", exchange(0) + [frame(700)], ["acked in 2, 130 us", "ack of 1, 130 us", "unmatched ack"]),
        ("no-ack packet", [frame(0, payload="01", noack=1), frame(500)], ["no ack expected", "unmatched ack"]),
        ("empty frame alone", [frame(0)], ["unmatched ack"]),
    ]

    @pytest.mark.parametrize("name,specs,expected", CASES, ids=[case[0] for case in CASES])
    def test_matching(self, host, forms, name, specs, expected):
        assert analyse(host, forms, specs) == expected

    # The ack starts 550 us after the packet; its time on the air depends on the data rate.
    PREFERENCES = [
        ((), ["acked in 2, 130 us", "ack of 1, 130 us"]),
        (("-o", "nrf24.analysis.data_rate:1M"), ["acked in 2, 445 us", "ack of 1, 445 us"]),
        (("-o", "nrf24.analysis.data_rate:2M"), ["acked in 2, 497 us", "ack of 1, 497 us"]),
        (("-o", "nrf24.analysis.data_rate:2M", "-o", "nrf24.analysis.ack_window:400"),
         ["no ack seen", "unmatched ack"]),
    ]

    @pytest.mark.parametrize("options,expected", PREFERENCES)
    def test_preferences(self, host, forms, options, expected):
        assert analyse(host, forms, exchange(0), *options) == expected

    # An ack is an empty frame; with ack payloads (ack_payload_max) a frame up to that long. Another
    # transmitter's packet to the same address, with the same PID, inside the window, is a packet.
    DEFINITION = [
        ("ack payload allowed", exchange(0, pid=1, ack_after=150, ack_payload="aabbcc"), 3,
         ["acked in 2, 150 us", "ack of 1, 150 us, payload"]),
        ("ack payload longer than allowed", exchange(0, pid=1, ack_after=150, ack_payload="aabbcc"), 2,
         ["no ack seen", "no ack seen"]),
        ("no ack payloads: a short frame is a packet", exchange(0, pid=1, ack_after=150, ack_payload="aa"), 0,
         ["no ack seen", "no ack seen"]),
        ("another transmitter's packet in the window",
         [frame(0, payload="0102030405060708", pid=1)] + exchange(airtime(8) + 200, payload="1112131415161718", pid=1),
         0, ["no ack seen", "acked in 3, 130 us", "ack of 2, 130 us"]),
        ("the same with ack payloads of up to 4 bytes",
         [frame(0, payload="0102030405060708", pid=1)] + exchange(airtime(8) + 200, payload="1112131415161718", pid=1),
         4, ["ack not observable", "acked in 3, 130 us", "ack of 2, 130 us"]),
    ]

    @pytest.mark.parametrize("name,specs,ack_payload_max,expected", DEFINITION, ids=[case[0] for case in DEFINITION])
    def test_what_an_ack_is(self, host, forms, name, specs, ack_payload_max, expected):
        option = "nrf24.analysis.ack_payload_max:%d" % ack_payload_max
        assert analyse(host, forms, specs, "-o", option) == expected

    def test_wider_window(self, host, forms):
        specs = exchange(0, ack_after=900)
        assert analyse(host, forms, specs) == ["no ack seen", "unmatched ack"]
        assert analyse(host, forms, specs, "-o", "nrf24.analysis.ack_window:900") == [
            "acked in 2, 900 us", "ack of 1, 900 us"]


class TestRetransmissions:
    CASES = [
        ("lost ack, then a retransmission",
         [frame(0, payload="01020304")] + exchange(airtime(4) + ARD),
         ["no ack seen", "retry 1 of 1; acked in 3, 130 us", "ack of 2, 130 us"]),
        ("ack heard but missed by the transmitter", exchange(0) + exchange(airtime(4) + ARD),
         ["acked in 2, 130 us", "ack of 1, 130 us", "retry 1 of 1; acked in 4, 130 us", "ack of 3, 130 us"]),
        ("same payload, new PID", exchange(0, pid=0) + exchange(5000, pid=1),
         ["acked in 2, 130 us", "ack of 1, 130 us", "acked in 4, 130 us", "ack of 3, 130 us"]),
        ("same PID, other payload", exchange(0) + exchange(5000, payload="05060708"),
         ["acked in 2, 130 us", "ack of 1, 130 us", "3 missing; acked in 4, 130 us", "ack of 3, 130 us"]),
        ("no-ack packet sent twice", [frame(0, payload="01", noack=1), frame(5000, payload="01", noack=1)],
         ["no ack expected", "3 missing; no ack expected"]),
    ]

    @pytest.mark.parametrize("name,specs,expected", CASES, ids=[case[0] for case in CASES])
    def test_cases(self, host, forms, name, specs, expected):
        assert analyse(host, forms, specs, *PID_GAPS) == expected

    def test_chains_of_1_to_15_retries(self, host, forms):
        # Chain k: PID k % 4, k retransmissions ARD apart, the last one acknowledged.
        specs, expected, t = [], [], 0
        for k in range(1, 16):
            payload = "%02x" % k
            first = len(specs) + 1
            for attempt in range(k + 1):
                specs.append(frame(t, payload=payload, pid=k % 4))
                retry = "retry %d of %d; " % (attempt, first) if attempt else ""
                if attempt < k:
                    expected.append(retry + "no ack seen")
                    t += airtime(1) + ARD
                else:
                    expected.append(retry + "acked in %d, 130 us" % (len(specs) + 1))
            specs.append(frame(t + airtime(1) + 130, pid=k % 4))
            expected.append("ack of %d, 130 us" % (len(specs) - 1))
            t += 20000
        assert analyse(host, forms, specs) == expected
        retries = host.fields(host.capture(specs), "nrf24.analysis.retry", extra=("-Y", "nrf24.analysis.retry"))
        assert retries.output == [str(n) for k in range(1, 16) for n in range(1, k + 1)]


class TestBadCrc:
    def test_ignored_among_interleaved_addresses(self, host, forms):
        specs = [
            frame(0, A, "01020304", pid=0),
            frame(430, B, "0a0b", pid=2),
            frame(500, A, crc="0x1234"),                   # a damaged empty frame inside A's window
            frame(600, A, pid=0),                          # A's ack, 180 us after its packet
            frame(700, B, "0a0b", pid=2, crc="0x4321"),    # a damaged copy of B's packet
            frame(800, B, pid=2),                          # B's ack, 14 us after its packet
            frame(10000, A, "05060708", pid=1, crc="0xbeef"),
            frame(10000 + airtime(4) + ARD, A, "05060708", pid=1),
            frame(10000 + 2 * airtime(4) + ARD + 130, A, pid=1),
        ]
        # The damaged first try leaves the second one as the first heard: not a retransmission.
        assert analyse(host, forms, specs) == [
            "acked in 4, 180 us", "acked in 6, 14 us", "", "ack of 1, 180 us", "", "ack of 2, 14 us", "",
            "acked in 9, 130 us", "ack of 8, 130 us"]


class TestPidSequence:
    CASES = [
        ("wrap 2, 3, 0, 1", [2, 3, 0, 1], ["", "", "", ""]),
        ("one not heard", [0, 2], ["", "1 missing"]),
        ("two not heard", [0, 3], ["", "2 missing"]),
        ("wrap with a gap", [3, 1], ["", "1 missing"]),
    ]

    @pytest.mark.parametrize("name,pids,expected", CASES, ids=[case[0] for case in CASES])
    def test_gaps(self, host, forms, name, pids, expected):
        specs = [frame(5000 * i, payload="%02x" % i, pid=pid, noack=1) for i, pid in enumerate(pids)]
        shown = ["; ".join(part for part in (gap, "no ack expected") if part) for gap in expected]
        assert analyse(host, forms, specs, *PID_GAPS) == shown
        assert analyse(host, forms, specs) == ["no ack expected"] * len(pids)

    def test_each_address_has_its_own_sequence(self, host, forms):
        specs = [frame(0, A, "01", 0, 1), frame(1000, B, "02", 3, 1), frame(2000, A, "03", 1, 1),
                 frame(3000, B, "04", 0, 1), frame(4000, A, "05", 3, 1)]
        assert analyse(host, forms, specs, *PID_GAPS) == ["no ack expected"] * 4 + ["1 missing; no ack expected"]

    def test_shared_address_is_no_gap_by_default(self, host):
        # The sample's frame 21 is repeater 80 relaying to the gateway's address, where node 101 sends too.
        def gaps(*options):
            return host.run("-r", host.copy(nrf24_host.SAMPLE_CAPTURE), "-2", "-Y", "nrf24.analysis.pid_gap",
                            "-T", "fields", "-e", "frame.number", "-e", "nrf24.analysis.missing", *options).output
        assert gaps() == []
        assert gaps(*PID_GAPS) == ["21\t3"]


class TestObservability:
    """Whether one radio could have heard a missing ack. A read is 256 bits from 0..15 bits before the
    address; a frame is 8 + 40 + 9 + 8 n + 16 bits; the ack starts 130 us after the packet's end (32.5 bits at
    250 kbit/s, 130 at 1 Mbit/s, 260 at 2 Mbit/s). Ack timing: 1 inside the packet's read, 2 across its end,
    3 after it, 5 inside or across and 6 across or after, by where the read began."""

    # (data rate, payload bytes, observable, timing)
    CASES = [
        ("250k", 1, True, 1), ("250k", 8, True, 1), ("250k", 9, False, 5), ("250k", 10, False, 5),
        ("250k", 11, False, 2), ("250k", 17, False, 2), ("250k", 18, False, 6), ("250k", 19, False, 6),
        ("250k", 20, True, 3), ("250k", 32, True, 3),
        ("1M", 1, False, 2), ("1M", 5, False, 2), ("1M", 6, False, 6), ("1M", 7, False, 6), ("1M", 8, True, 3),
        ("1M", 32, True, 3),
        ("2M", 1, True, 3), ("2M", 32, True, 3),
    ]

    @pytest.mark.parametrize("rate", ["250k", "1M", "2M"])
    def test_per_rate_and_length(self, host, forms, rate):
        cases = [case for case in self.CASES if case[0] == rate]
        specs = [frame(10000 * i, payload="5a" * length, pid=i % 4) for i, (_, length, _, _) in enumerate(cases)]
        rows = host.fields(host.capture(specs), "nrf24.analysis.ack_observable", "nrf24.analysis.ack_timing",
                           "nrf24.analysis.data_rate", "_ws.expert.message",
                           extra=("-2", "-o", "nrf24.analysis.data_rate:" + rate)).output
        rate_kbps = {"250k": "250", "1M": "1000", "2M": "2000"}[rate]
        assert rows == ["\t".join((forms.true if observable else forms.false, str(timing), rate_kbps,
                                   "No acknowledgement seen" if observable else ""))
                        for _, _, observable, timing in cases]

    def test_ack_payloads_make_the_ack_longer(self, host, forms):
        # An 8-byte packet's empty ack ends inside the read; one with 2 payload bytes may run past its end.
        specs = [frame(0, payload="5a" * 6, pid=0), frame(10000, payload="5a" * 8, pid=1)]
        rows = host.fields(host.capture(specs), "nrf24.analysis.ack_observable", "nrf24.analysis.ack_timing",
                           extra=("-2", "-o", "nrf24.analysis.ack_payload_max:2")).output
        assert rows == [forms.true + "\t1", forms.false + "\t5"]

    def test_tree_says_why(self, host):
        tree = host.run("-r", host.capture([frame(0, payload="0c" * 12)]), "-2", "-V", "-O", "nrf24.analysis").output
        assert [line for line in tree if "analysis" in line or line.startswith("    ")] == [
            "[nRF24 link analysis]",
            "    [Ack observable: False]",
            "        [Ack timing: Across the end of the packet's read (2)]",
            "        [Observability from: Data rate preference and payload length (1)]",
            "        [Data rate (kbit/s): 250]",
        ]

    def test_only_observable_ones_are_warnings(self, host):
        specs = [frame(10000 * i, payload="5a" * length, pid=i % 4) for i, length in enumerate((4, 12, 8, 9, 20))]
        out = host.run("-r", host.capture(specs), "-2", "-q", "-z", "expert").output
        assert [line for line in out if line.strip()] == [
            "Warns (3)",
            "=============",
            "   Frequency      Group           Protocol  Summary",
            "           3   Sequence     nRF24 analysis  No acknowledgement seen",
        ]
        unheard = host.run("-r", host.capture(specs), "-2", "-Y", "nrf24.analysis.ack_observable == 0",
                           "-T", "fields", "-e", "frame.number").output
        assert unheard == ["2", "4"]


# The lost-ack chain on A, interleaved with an exchange on B and a bad CRC.
MIXED = [
    frame(0, A, "01020304", pid=0),
    frame(200, B, "0a0b", pid=1),
    frame(200 + airtime(2) + 130, B, pid=1),
    frame(airtime(4) + ARD, A, "01020304", pid=0),
    frame(3000, A, crc="0x0bad"),
    frame(2 * airtime(4) + ARD + 130, A, pid=0),
    frame(9000, B, "0c", pid=3, noack=1),
]
MIXED_TWO_PASSES = ["no ack seen", "acked in 3, 130 us", "ack of 2, 130 us", "retry 1 of 1; acked in 6, 130 us", "",
                    "ack of 4, 130 us", "1 missing; no ack expected"]


class TestPasses:
    def test_one_pass_shows_what_was_heard_so_far(self, host, forms):
        # References to later frames, and the verdict that no ack came, need the frames after.
        assert analyse(host, forms, MIXED, *PID_GAPS, passes=1) == [
            "", "", "ack of 2, 130 us", "retry 1 of 1", "", "ack of 4, 130 us", "1 missing; no ack expected"]
        assert analyse(host, forms, MIXED, *PID_GAPS) == MIXED_TWO_PASSES

    def test_tree_and_filters_agree_with_fields(self, host, forms):
        capture = host.capture(MIXED)
        tree = host.run("-r", capture, "-2", "-V", "-O", "nrf24.analysis", *PID_GAPS).output
        items = [line.strip() for line in tree if line.startswith("    ")]
        assert items == [
            "[Expert Info (Warning/Sequence): No acknowledgement seen]",
            "[No acknowledgement seen]",
            "[Severity level: Warning]",
            "[Group: Sequence]",
            "[Ack observable: True]",
            "[Ack timing: Inside the packet's read (1)]",
            "[Observability from: Data rate preference and payload length (1)]",
            "[Data rate (kbit/s): 250]",
            "[Acknowledged in frame: 3]",
            "[Ack time (µs): 130]",
            "[Acknowledges frame: 2]",
            "[Ack time (µs): 130]",
            "[Retransmission of frame: 1]",
            "[Expert Info (Note/Sequence): Retransmission 1 of frame 1]",
            "[Retransmission 1 of frame 1]",
            "[Severity level: Note]",
            "[Group: Sequence]",
            "[Retransmission number: 1]",
            "[Acknowledged in frame: 6]",
            "[Ack time (µs): 130]",
            "[Acknowledges frame: 4]",
            "[Ack time (µs): 130]",
            "[Packets not heard: 1]",
            "[Expert Info (Note/Sequence): PID gap: 1 packet not heard]",
            "[PID gap: 1 packet not heard]",
            "[Severity level: Note]",
            "[Group: Sequence]",
            "[No acknowledgement expected]",
        ]
        filters = [
            ("nrf24.analysis.no_ack_seen", "no ack seen"), ("nrf24.analysis.acked_in", "acked in"),
            ("nrf24.analysis.acks_frame", "ack of"), ("nrf24.analysis.retransmission", "retry"),
            ("nrf24.analysis.pid_gap", "missing"), ("nrf24.analysis.no_ack_expected", "no ack expected"),
            ("nrf24.analysis.ack_time > 100", "130 us"),
        ]
        for expression, word in filters:
            selected = host.run("-r", capture, "-2", "-Y", expression, "-T", "fields", "-e", "frame.number",
                                *PID_GAPS).output
            assert selected == [str(n) for n, text in enumerate(MIXED_TWO_PASSES, 1) if word in text], expression

    def test_expert_infos(self, host):
        # The expert listener gets the analysis' infos although nothing shows a tree.
        out = host.run("-r", host.capture(MIXED), "-2", "-q", "-z", "expert", *PID_GAPS).output
        assert [line for line in out if line.strip()] == [
            "Warns (1)",
            "=============",
            "   Frequency      Group           Protocol  Summary",
            "           1   Sequence     nRF24 analysis  No acknowledgement seen",
            "Notes (2)",
            "=============",
            "   Frequency      Group           Protocol  Summary",
            "           1   Sequence     nRF24 analysis  Retransmission 1 of frame 1",
            "           1   Sequence     nRF24 analysis  PID gap: 1 packet not heard",
        ]

    def test_one_pass_tree_has_only_what_is_known(self, host):
        # A packet whose acknowledgement is still to come gets no analysis item in a single pass.
        tree = host.run("-r", host.capture(exchange(0, ack_payload="aa")), "-V", "-O", "nrf24.analysis",
                        "-o", "nrf24.analysis.ack_payload_max:1").output
        assert [line for line in tree if "analysis" in line or line.startswith("    ")] == [
            "[nRF24 link analysis]",
            "    [Acknowledges frame: 1]",
            "    [Ack time (µs): 130]",
            "    [Ack payload: True]",
        ]

    def test_filters_in_one_pass_without_a_tree(self, host):
        # A summary run passes no visible tree; the analysis still runs, and -Y sees what one pass knows.
        capture = host.capture(MIXED)
        summary = host.run("-r", capture, "-Y", "nrf24.analysis.retry == 1").output
        assert [line.split()[0] for line in summary] == ["4"]
        plain = host.run("-r", capture).output
        assert plain == host.run("-r", capture, "--disable-protocol", "nrf24.analysis").output

    def test_frames_in_reverse_order(self, host, forms):
        # Frame order is the link's order, as in TCP: reversed, acks come before their packets and the
        # second try is heard first.
        specs = ["t=%d %s" % (T0 // 1000000 + i, spec.split(" ", 1)[1]) for i, spec in enumerate(MIXED[::-1])]
        assert analyse(host, forms, specs, *PID_GAPS) == [
            "no ack expected", "unmatched ack", "", "no ack seen", "unmatched ack", "1 missing; no ack seen",
            "retry 1 of 4; no ack seen"]

    def test_interleaving_of_addresses_does_not_matter(self, host, forms):
        # Each address is analysed on its own: B's frames moved ahead of A's get the same verdicts, and so
        # do A's, once the frame numbers they name are mapped back.
        order = [i for i, spec in enumerate(MIXED) if "addr=" + B in spec]
        order += [i for i, spec in enumerate(MIXED) if "addr=" + B not in spec]
        original = {new + 1: old + 1 for new, old in enumerate(order)}
        verdicts = analyse(host, forms, [MIXED[i] for i in order], *PID_GAPS)
        renumbered = [re.sub(r"(of|in) (\d+)", lambda m: "%s %d" % (m.group(1), original[int(m.group(2))]), text)
                      for text in verdicts]
        assert renumbered == [MIXED_TWO_PASSES[i] for i in order]


STATS = [
    frame(0, A, "01020304", pid=0),
    frame(airtime(4) + ARD, A, "01020304", pid=0),
    frame(2 * airtime(4) + ARD + 130, A, pid=0),
    frame(10000, A, "0506", pid=1),
    frame(10000 + airtime(2) + 200, A, "aa", pid=1),
    frame(20000, B, "0c", pid=3, noack=1),
    frame(30000, B, "0d0e", pid=0, crc="0x1234"),
]


class TestStatistics:
    @staticmethod
    def stats_table(host, specs, *options):
        out = host.run("-r", host.capture(specs), "-q", "-z", "nrf24_addresses,tree", *options).output
        # The host's rates and percentages, and its header line, are left out.
        return [line[:77].rstrip() for line in out
                if line.strip() and not line.startswith(("=", "-", "Topic / Item"))]

    def test_per_address_tree(self, host):
        # Whether an ack is missing is known once the whole capture was read: with two passes.
        for passes, missing in (((), "0"), (("-2",), "1")):
            assert self.stats_table(host, STATS, *passes, "-o", "nrf24.analysis.ack_payload_max:1") == [
                "nRF24/Addresses:",
                "nRF24 addresses        7",
                " 0xa8a8e1fc00          5",
                "  Ack time (us)        2             165.00        130           200",
                "  Acknowledgements     2",
                "  Acks missing         " + missing,
                "  Acks not observable  0",
                "  CRC errors           0",
                "  No-ack frames        0",
                "  Payload bytes        11",
                "  Retransmissions      1",
                " 0xa8a8e1fc65          2",
                "  Ack time (us)        0",
                "  Acknowledgements     0",
                "  Acks missing         0",
                "  Acks not observable  0",
                "  CRC errors           1",
                "  No-ack frames        1",
                "  Payload bytes        1",
                "  Retransmissions      0",
            ], passes

    def test_acks_seen_missing_and_not_observable(self, host):
        # At 250 kbit/s: the acks of 4 and 24 bytes can be heard, of 12 bytes not, of 9 bytes not for sure.
        specs = [frame(0, A, "01020304", pid=0), frame(5000, A, "0c" * 12, pid=1), frame(10000, A, "18" * 24, pid=2),
                 frame(15000, B, "09" * 9, pid=0)] + exchange(20000, B, pid=1)
        assert [row for row in self.stats_table(host, specs, "-2") if "Ack" in row or row.startswith(" 0x")] == [
            " 0xa8a8e1fc00          3",
            "  Ack time (us)        0",
            "  Acknowledgements     0",
            "  Acks missing         2",
            "  Acks not observable  1",
            " 0xa8a8e1fc65          3",
            "  Ack time (us)        1             130.00        130           130",
            "  Acknowledgements     1",
            "  Acks missing         0",
            "  Acks not observable  1",
        ]

    def test_endpoints_and_conversations(self, host, forms):
        out = host.run("-r", host.capture(STATS), "-q", "-z", "endpoints,nrf24", "-z", "conv,nrf24",
                       "-o", "nrf24.analysis.ack_payload_max:1").output
        # Frames of 4, 4, 0, 2 and 1 payload bytes on A are 13, 13, 9, 11 and 10 bytes long; B's 10 and 11.
        # The addresses and counts of each row, without the host's units (3.4: "37bytes") and times.
        rows = [[word for word in (re.sub(r"(?<=\d)bytes$", "", word) for word in line.split())
                 if re.fullmatch(r"0x[0-9a-f]{10}|\d+", word)]
                for line in out if line.startswith("0x")]
        # Conversations: frames and bytes sent by each side (A: the packets, B: the acks), in all.
        sent = {"0xa8a8e1fc00": {"A": ["3", "37"], "B": ["2", "19"]},
                "0xa8a8e1fc65": {"A": ["2", "21"], "B": ["0", "0"]}}
        assert rows == [
            ["0xa8a8e1fc00", "0xa8a8e1fc00"] + sum((sent["0xa8a8e1fc00"][side] for side in forms.conversation_sides),
                                                   []) + ["5", "56"],
            ["0xa8a8e1fc65", "0xa8a8e1fc65"] + sum((sent["0xa8a8e1fc65"][side] for side in forms.conversation_sides),
                                                   []) + ["2", "21"],
            # Endpoints: frames and bytes in all, sent by the address's receiver (acks), sent to it.
            ["0xa8a8e1fc00", "5", "56", "2", "19", "3", "37"],
            ["0xa8a8e1fc65", "2", "21", "0", "0", "2", "21"],
        ], "\n".join(out)


class TestRegistry:
    def test_fields_and_preferences(self, host):
        rows = [line.split("\t")[:5] for line in host.run("-G", "fields").output
                if line.startswith(("P\tnRF24 link", "F\t")) and "\tnrf24.analysis" in line]
        assert rows == [
            ["P", "nRF24 link analysis", "nrf24.analysis"],
            ["P", "nRF24 link analysis (post-dissector)", "nrf24.analysis.post"],
            ["F", "Retransmission of frame", "nrf24.analysis.retransmission_of", "FT_FRAMENUM", "nrf24.analysis"],
            ["F", "Retransmission number", "nrf24.analysis.retry", "FT_UINT8", "nrf24.analysis"],
            ["F", "Acknowledged in frame", "nrf24.analysis.acked_in", "FT_FRAMENUM", "nrf24.analysis"],
            ["F", "Ack time (µs)", "nrf24.analysis.ack_time", "FT_INT32", "nrf24.analysis"],
            ["F", "Acknowledges frame", "nrf24.analysis.acks_frame", "FT_FRAMENUM", "nrf24.analysis"],
            ["F", "Ack payload", "nrf24.analysis.ack_payload", "FT_BOOLEAN", "nrf24.analysis"],
            ["F", "No acknowledgement expected", "nrf24.analysis.no_ack_expected", "FT_NONE", "nrf24.analysis"],
            ["F", "Packets not heard", "nrf24.analysis.missing", "FT_UINT8", "nrf24.analysis"],
            ["F", "Ack observable", "nrf24.analysis.ack_observable", "FT_BOOLEAN", "nrf24.analysis"],
            ["F", "Ack timing", "nrf24.analysis.ack_timing", "FT_UINT8", "nrf24.analysis"],
            ["F", "Observability from", "nrf24.analysis.observability_source", "FT_UINT8", "nrf24.analysis"],
            ["F", "Data rate (kbit/s)", "nrf24.analysis.data_rate", "FT_UINT16", "nrf24.analysis"],
            ["F", "Retransmission", "nrf24.analysis.retransmission", "FT_NONE", "nrf24.analysis"],
            ["F", "No acknowledgement seen", "nrf24.analysis.no_ack_seen", "FT_NONE", "nrf24.analysis"],
            ["F", "Acknowledgement of no packet heard", "nrf24.analysis.unmatched_ack", "FT_NONE", "nrf24.analysis"],
            ["F", "PID gap", "nrf24.analysis.pid_gap", "FT_NONE", "nrf24.analysis"],
        ]
        prefs = [line for line in host.run("-G", "currentprefs").output if line.startswith("#nrf24.analysis.")]
        assert prefs == ["#nrf24.analysis.ack_window: 500", "#nrf24.analysis.data_rate: 250 kbit/s",
                         "#nrf24.analysis.ack_payload_max: 0", "#nrf24.analysis.pid_gaps: FALSE"]

    def test_host_loads_the_module(self, host):
        plugins = [line.split()[:3] for line in host.run("-G", "plugins").output]
        assert ["nrf24_analysis.so", "1.0.0", "dissector"] in plugins
