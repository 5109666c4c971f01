"""The whole chain: the sniffer firmware on the simulated board hears the sample network's MySensors frames,
its serial line goes through the capture tool's frame recovery into a capture, and the real tshark decodes
that capture as it decodes the same frames written directly by the encoder.

The sample network's frames (captures/sample.txt: packets, their acks 130 us after them, a retry) are a
timeline on the air; the air model (tools/nrf24tools/air.py) gives the reads one radio delivers from it: in
promiscuous mode 256-bit windows from 0..15 bits before the address that triggered them, holding whatever
followed on the air (an ack after its packet), reads started by noise, frames missed while a read ran; then,
71 minutes on and after an `a` command with the gateway's address, the same timeline in address mode (the bits
that followed the address) across the wrap of the board's 32-bit clock. Each read is clocked into the simulated
radio from its window. Times are microseconds of simulated time since reset; the board's clock counts from
reset.
"""

import os
import random
import subprocess
import sys
from decimal import Decimal

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nrf24_board import BOOT_DONE_US, Board, BoardMissing, air_model_reads  # noqa: E402
from nrf24_host import SOURCE_DIR, nrf24_encode  # noqa: E402

from nrf24tools import air  # noqa: E402
from nrf24tools.frames import crc_good  # noqa: E402
import nrf24_session  # noqa: E402
from test_extcap import pcap_records  # noqa: E402  (the capture interface's tests read captures so too)

CAPTURE = os.path.join(SOURCE_DIR, "tools", "nrf24_capture.py")
SAMPLE = os.path.join(SOURCE_DIR, "captures", "sample.txt")
NETWORK = bytes.fromhex("a8a8e1fc")     # the sample network's base address; the node id follows
GATEWAY = NETWORK + b"\x00"
# The sample's first try of a retried packet, damaged on the air: only address mode keeps it.
DAMAGED = nrf24_encode.encode_frame(addr=GATEWAY, payload=bytes.fromhex("6565002ae100019a99ad4101"), pid=1,
                                    crc=0x5E3B)
CHANNEL = 76
NOISE_PER_S = 50.0
# Where the timeline starts: in promiscuous mode just after boot; in address mode 3 s before the board's clock
# wraps (71.6 minutes in; a sleeping board costs nothing to simulate), the command 3 ms before that.
PROMISCUOUS_FROM_US = BOOT_DONE_US + 1000
WRAP = 1 << 32
ADDRESS_FROM_US = WRAP - 3000000
COMMAND_LEAD_US = 3000
# A stamp is never early, and late by less than this: the board takes it in the radio's IRQ, held back a few
# us at most by another interrupt (a UART byte, the clock's overflow).
STAMP_LATE_US = 4
UART_BYTE_US = 10                       # 10 bits a byte at 1,000,000 baud
BOOT_MARKER = "#boot reset=power-on"
BOOT_STATUS = "#sniffer v=1 fw=2.0 ch=76 rate=250k mode=p pre=aa hop=- dwell=0"
ADDRESS_STATUS = "#sniffer v=1 fw=2.0 ch=76 rate=250k mode=a addr=a8a8e1fc00 hop=- dwell=0"
# What tshark shows of each frame: the nrf24 module's fields and the MySensors message it hands off.
FIELDS = ["frame.protocols", "nrf24.node", "nrf24.ctrl.len", "nrf24.ctrl.pid", "nrf24.ctrl.noack", "nrf24.crc",
          "nrf24.crcvalid", "mysensors.last", "mysensors.sender", "mysensors.destination", "mysensors.command",
          "mysensors.type", "mysensors.child", "_ws.col.Protocol", "_ws.col.Info"]


def sample_frames():
    """(time stamp in microseconds, frame, payload) of every frame of the sample network (the sample's
    second, encrypted network is left out: its long frames do not fit a promiscuous read)."""
    with open(SAMPLE) as f:
        specs = [line for line in f.read().splitlines() if line.strip() and not line.startswith("#")]
    stamped = nrf24_encode.stamp_frames([nrf24_encode.parse_frame(spec) for spec in specs])
    payloads = [bytes.fromhex(dict(word.split("=", 1) for word in spec.split()).get("payload", "")) for spec in specs]
    return [(usec, frame, payload) for (usec, frame), payload in zip(stamped, payloads) if frame.startswith(NETWORK)]


class Chain:
    """One run of the board over the air model's reads of the sample network: its serial line, the reads (mode,
    the simulated time where the timeline starts, air.Read) and the MySensors payload of each frame."""

    def __init__(self, board):
        rng = random.Random(12)
        sample = sample_frames()
        self.payloads = {frame: payload for _, frame, payload in sample}
        timeline = nrf24_session.timeline([(usec, frame) for usec, frame, _ in sample], CHANNEL, "250k")
        promiscuous = air.Radio(rng, CHANNEL, "250k", noise_per_s=NOISE_PER_S).reads(timeline)
        address = air.Radio(rng, CHANNEL, "250k", address=GATEWAY).reads(timeline)
        self.reads = [("p", PROMISCUOUS_FROM_US, read) for read in promiscuous] + \
            [("a", ADDRESS_FROM_US, read) for read in address]
        events = air_model_reads(promiscuous, PROMISCUOUS_FROM_US) + air_model_reads(address, ADDRESS_FROM_US)
        events.append((ADDRESS_FROM_US - COMMAND_LEAD_US, "cmd", "a " + GATEWAY.hex()))
        run = board.run(events, end=ADDRESS_FROM_US + address[-1].end + 5000)
        assert not run.missed, run.missed
        self.lines, self.texts = run.lines, run.texts()
        # The bytes the board sent: every line it printed, in order, each ended by its \n.
        self.wire = b"".join(text.encode("ascii") + b"\n" for text in self.texts)
        self.clocks = [int(text[:8], 16) for text in self.texts if not text.startswith("#")]

    def frames(self, prefixes):
        """(read index, transmission, bit offset of its address in the read) of the frames the capture should
        hold, in the order heard: in promiscuous mode every frame a read holds whole with a good CRC whose
        address starts with a prefix given or, with none, whose address was heard with a good CRC before (the
        first frame of an address waits for the second and comes out just before it); in address mode the
        frame whose address started each read, its CRC good or not."""
        taken, held, known = [], {}, set()
        for n, (mode, _, read) in enumerate(self.reads):
            for tx, offset, whole in read.contents:
                if mode == "a" and offset == -40:
                    taken.append((n, tx, offset))
                if mode == "a" or not whole or not crc_good(tx.frame):
                    continue
                address = tx.frame[:5]
                if address.startswith(prefixes) if prefixes else address in known:
                    taken.append((n, tx, offset))
                elif not prefixes and address in held:
                    taken += [held.pop(address), (n, tx, offset)]
                    known.add(address)
                elif not prefixes:
                    held[address] = (n, tx, offset)
        return taken


@pytest.fixture(scope="module")
def chain():
    try:
        board = Board()
    except BoardMissing as why:
        pytest.skip("simulated board not available: %s" % why)
    return Chain(board)


# The capture tool as a user runs it on the sample network: given its address prefix, and with none.
RECOVERY = [((NETWORK,), ["--prefix", NETWORK.hex()]), ((), [])]


@pytest.fixture(scope="module", params=RECOVERY, ids=["prefix", "confirmed"])
def captured(request, chain, shared_host):
    """The board's serial bytes through the capture tool into a capture: (prefixes, capture path, the tool's
    stderr, tshark's rows)."""
    prefixes, options = request.param
    path = shared_host.path("chain-%s.pcap" % (prefixes[0].hex() if prefixes else "confirmed"))
    done = subprocess.run([sys.executable, CAPTURE, "-o", path] + options, input=chain.wire, capture_output=True)
    assert done.returncode == 0, done.stderr.decode()
    os.chmod(path, 0o644)
    return prefixes, path, done.stderr.decode(), tshark_rows(shared_host, path)


def tshark_rows(host, capture, fields=FIELDS):
    return [row.split("\t") for row in host.run("-r", capture, "-T", "fields", "-E", "occurrence=a",
                                                *[arg for field in ["frame.time_epoch"] + fields
                                                  for arg in ("-e", field)], user_dlt=False).output]


class TestSerialLine:
    def test_every_read_is_printed_once_with_its_stamp(self, chain):
        """What the rest of the chain relies on: one line a read, in order, no loss, stamps at the IRQ."""
        assert [text for text in chain.texts if text.startswith("#")] == [BOOT_MARKER, BOOT_STATUS, ADDRESS_STATUS]
        # The wire time of each line counts its bytes: the text and its \n are all the board sent (no byte
        # the simulator's text would hide, such as a NUL or a \r).
        assert [int((last - first) // UART_BYTE_US) for first, last, _ in chain.lines] == \
            [len(text) + 1 for text in chain.texts]
        # Each read's IRQ comes at the end of its window; the board's stamp of it is never early and late by
        # less than STAMP_LATE_US.
        assert len(chain.clocks) == len(chain.reads)
        late = [(clock - start - read.end) % WRAP for clock, (_, start, read) in zip(chain.clocks, chain.reads)]
        assert all(0 <= t < STAMP_LATE_US for t in late), late
        # noise reads among the frames' reads, and a packet missed whole because one ran when it began
        assert {read.noise for _, _, read in chain.reads} == {True, False}
        heard = {tx.time for mode, _, read in chain.reads for tx, _, whole in read.contents if mode == "p" and whole}
        missed = [tx.time for mode, _, read in chain.reads for tx, _, _ in read.contents
                  if mode == "p" and read.noise and tx.kind == "data" and tx.time not in heard]
        assert missed, "no packet fell into a noise read"


class TestChain:
    def test_the_frames_carried_come_out_byte_exact_in_order(self, chain, captured):
        prefixes, capture, stderr, _ = captured
        taken = chain.frames(prefixes)
        assert [frame for _, frame in pcap_records(capture)] == [tx.frame for _, tx, _ in taken]
        # every frame is there once: the packets and acks each read holds whole (not the damaged one), the
        # gateway's again in address mode; with the confirmation rule not the broadcast, heard once
        whole = [tx.frame for mode, _, read in chain.reads for tx, _, fits in read.contents if mode == "p" and fits]
        address_mode = sum(1 for mode, _, _ in chain.reads if mode == "a")
        assert len(taken) == len(whole) + address_mode - (1 if prefixes else 2)
        assert {tx.kind for _, tx, _ in taken} == {"data", "ack"}
        assert [tx.frame for n, tx, _ in taken if not crc_good(tx.frame)] == [DAMAGED]
        # status lines are reported, not captured: the settings at boot and after the command
        assert stderr.splitlines() == [
            "nrf24_capture: line 1: sniffer restarted (reset=power-on): its clock starts again",
            "nrf24_capture: line 2: sniffer: " + BOOT_STATUS[9:],
            "nrf24_capture: line %d: sniffer: %s" % (chain.texts.index(ADDRESS_STATUS) + 1, ADDRESS_STATUS[9:])]

    def test_tshark_decodes_them_as_the_encoders_frames(self, chain, captured, shared_host):
        """The direct capture, the same frames written by the encoder, is the oracle."""
        prefixes, _, _, rows = captured
        taken = [tx.frame for _, tx, _ in chain.frames(prefixes)]
        oracle = shared_host.capture(taken, linktype=nrf24_encode.LINKTYPE_EXPORTED_PDU)
        oracle_rows = tshark_rows(shared_host, oracle)
        # with the sniffer header's module in the tree, its layer sits between the exported PDU and nrf24
        assert [[row[1].replace(":nrf24_sniffer:", ":")] + row[2:] for row in rows] == [row[1:] for row in oracle_rows]
        # The oracle is no empty table: every good payload is a MySensors message between the nodes it names.
        sender, destination = FIELDS.index("mysensors.sender") + 1, FIELDS.index("mysensors.destination") + 1
        assert [(row[sender], row[destination]) for row in oracle_rows if row[1] == "exported_pdu:nrf24:mysensors"] \
            == [(str(chain.payloads[frame][1]), str(chain.payloads[frame][2])) for frame in taken
                if chain.payloads[frame] and crc_good(frame)]

    def test_time_gaps_are_the_air_time_gaps(self, chain, captured):
        """Exactly the gaps between the frames' starts on the air by the board's stamps, unwrapped: a frame
        starts (its preamble) the read's 256 bits and the preamble's 8 before the stamp, plus its offset, 4 us
        a bit at 250 kbps (address mode: the address's 40 bits before the read); these are the gaps between
        the frames' times on the air within STAMP_LATE_US and half a bit (a frame that did not start its
        read lies on the read's bit clock)."""
        prefixes, _, _, rows = captured
        taken = chain.frames(prefixes)
        stamps = [int(Decimal(row[0]) * 1000000) for row in rows]
        assert len(stamps) == len(taken)
        n0, _, offset0 = taken[0]
        assert [(stamp - stamps[0]) % WRAP for stamp in stamps] == \
            [(chain.clocks[n] + 4 * offset - chain.clocks[n0] - 4 * offset0) % WRAP for n, _, offset in taken]
        assert any(chain.clocks[b] < chain.clocks[a] for (a, _, _), (b, _, _) in zip(taken, taken[1:]))  # the wrap
        on_air = [chain.reads[n][1] + tx.time for n, tx, _ in taken]
        drift = [(stamp - stamps[0]) - (t - on_air[0]) for stamp, t in zip(stamps, on_air)]
        assert all(abs(d) < STAMP_LATE_US + 2 for d in drift), drift

    def test_ack_times_are_the_130_us_on_the_air(self, captured, shared_host):
        # the analysis gives the ack time on the packet and on its ack; an ack within its packet's read is
        # placed to half a bit (2 us), and the analysis counts whole microseconds
        _, capture, _, _ = captured
        times = [int(ack_time) for _, ack_time in tshark_rows(shared_host, capture, ["nrf24.analysis.ack_time"])
                 if ack_time]
        assert len(times) >= 8 and all(127 <= t <= 133 for t in times), times
