"""The whole chain: the sniffer firmware on the simulated board hears the sample network's MySensors frames,
its serial line goes through the capture tool's frame recovery into a capture, and the real tshark decodes
that capture as it decodes the same frames written directly by the encoder.

The simulated radio delivers the frames of captures/sample.txt as a real one would: in promiscuous mode
each at a bit offset after preamble or noise bits and followed by noise, with pure-noise reads among them;
then, 71 minutes on and after an `a` command with the gateway's address, the gateway's frames as address-mode
reads (the bits that followed the address) across the wrap of the board's 32-bit clock. Times are microseconds
of simulated time since reset; the board's clock counts from reset.
"""

import os
import random
import subprocess
import sys
from decimal import Decimal

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nrf24_board import BOOT_DONE_US, WINDOW_US, Board, BoardMissing, air_model_reads, air_read  # noqa: E402
from nrf24_host import SOURCE_DIR, nrf24_encode  # noqa: E402

from nrf24tools import air  # noqa: E402
from nrf24tools.frames import crc_good  # noqa: E402
import nrf24_session  # noqa: E402
from test_extcap import pcap_records  # noqa: E402  (the capture interface's tests read captures so too)

CAPTURE = os.path.join(SOURCE_DIR, "tools", "nrf24_capture.py")
SAMPLE = os.path.join(SOURCE_DIR, "captures", "sample.txt")
NETWORK = bytes.fromhex("a8a8e1fc")     # the sample network's base address; the node id follows
GATEWAY = NETWORK + b"\x00"
CHANNEL = 76
# A read's line is 79 bytes (89 in address mode), at most 890 us at 1,000,000 baud: reads this far apart find
# the line idle, so no UART interrupt delays the stamp taken at the radio's IRQ.
MIN_GAP_US = 1200
# A stamp is never early, and late by less than this when no other interrupt holds the radio's IRQ back: the
# line idle, and not just after the board clock's own overflow (every 32,768 us). Either can add a few us.
CLOCK_RESOLUTION_US = 4
CLOCK_OVERFLOW_US = 1 << 15
WRAP = 1 << 32                          # the board clock's wrap, 71.6 minutes in
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


def air_script():
    """The reads the radio hands over, as (gap in us, mode, frame or None, payload, 32 bytes, the frame's bit
    offset from the read's first bit: negative in address mode, where the address came before): promiscuous
    reads of every sample frame (offsets 0..15 plus 0..2 bytes, led by preamble or noise bits, noise after)
    with noise reads among them, then the gateway's frames as address-mode reads (across the clock's wrap).
    Gaps follow the sample's, at least MIN_GAP_US."""
    rng = random.Random(12)
    frames = sample_frames()
    script, previous = [], frames[0][0]
    for n, (usec, frame, payload) in enumerate(frames):
        gap = max(usec - previous, MIN_GAP_US + rng.randrange(400))
        previous = usec
        lead_bits = n % 16 + 8 * (n % 3)
        lead = None if n % 2 else rng.getrandbits(lead_bits)
        data = nrf24_session.promiscuous_read(frame, lead_bits, rng, lead)
        assert data is not None, "frame %d does not fit at offset %d" % (n, lead_bits)
        script.append((gap, "p", frame, payload, data, lead_bits))
        if n % 3 == 1:
            script.append((MIN_GAP_US + rng.randrange(400), "p", None, None, rng.randbytes(32), None))
    for usec, frame, payload in frames:
        if frame[:5] == GATEWAY:
            # the 25 + 8n bits after the address, as a frame at offset 0 of its own, then noise
            data = nrf24_session.promiscuous_read(frame[5:], 0, rng)
            script.append((MIN_GAP_US + rng.randrange(400), "a", frame, payload, data, -40))
    return script


class Chain:
    """One run of the board over the air script: its serial line and what each read was."""

    def __init__(self, board):
        script = air_script()
        self.arrivals, self.reads, self.offsets, events = [], [], [], []
        t = BOOT_DONE_US
        for n, (gap, mode, frame, payload, data, offset) in enumerate(script):
            if mode == "a" and script[n - 1][1] == "p":
                # 71 minutes later, just before the board's clock wraps (a sleeping board costs nothing to
                # simulate); the command's 13 bytes in and its status line out before the first read
                t = WRAP - 6000
                events.append((t, "cmd", "a " + GATEWAY.hex()))
                t += 3000
            t += gap
            # t is the read's IRQ: its window of 256 bits at 250 kbps opened at the address match before
            events.append(air_read(t - WINDOW_US["250k"], CHANNEL, data))
            self.arrivals.append(t)
            self.reads.append((mode, frame, payload))
            self.offsets.append(offset)
        run = board.run(events, end=t + 5000)
        assert not run.missed, run.missed
        self.lines, self.texts = run.lines, run.texts()
        # The bytes the board sent: every line it printed, in order, each ended by its \n.
        self.wire = b"".join(text.encode("ascii") + b"\n" for text in self.texts)
        self.clocks = [int(text[:8], 16) for text in self.texts if not text.startswith("#")]

    def frames(self, prefixes):
        """(read index, frame) the capture should hold, in the order heard: in promiscuous mode the frames
        with a good CRC whose address starts with a prefix given or, with none, whose address is heard twice
        with a good CRC (every sample address but the broadcast is, the first two times in a row, so the held
        frame comes out just before the one that confirms it); every address-mode frame, its CRC good or not."""
        good = [frame[:5] for mode, frame, _ in self.reads if frame and mode == "p" and crc_good(frame)]
        taken = []
        for n, (mode, frame, _) in enumerate(self.reads):
            if frame is None:
                continue
            if mode == "a" or crc_good(frame) and (
                    frame.startswith(prefixes) if prefixes else good.count(frame[:5]) >= 2):
                taken.append((n, frame))
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


def tshark_rows(host, capture):
    return [row.split("\t") for row in host.run("-r", capture, "-T", "fields", "-E", "occurrence=a",
                                                *[arg for field in ["frame.time_epoch"] + FIELDS
                                                  for arg in ("-e", field)], user_dlt=False).output]


class TestSerialLine:
    def test_every_read_is_printed_once_with_its_stamp(self, chain):
        """What the rest of the chain relies on: one line a read, in order, no loss, stamps at the IRQ."""
        assert [text for text in chain.texts if text.startswith("#")] == [BOOT_MARKER, BOOT_STATUS, ADDRESS_STATUS]
        # The wire time of each line counts its bytes: the text and its \n are all the board sent (no byte
        # the simulator's text would hide, such as a NUL or a \r).
        assert [int((last - first) // UART_BYTE_US) for first, last, _ in chain.lines] == \
            [len(text) + 1 for text in chain.texts]
        # Every read arrived on an idle line, away from the clock's overflow (the premise of the stamps' bound).
        assert not [(first, last) for first, last, _ in chain.lines for t in chain.arrivals if first <= t <= last]
        assert not [t for t in chain.arrivals if t % CLOCK_OVERFLOW_US < 16]
        assert len(chain.clocks) == len(chain.arrivals)
        late = [(clock - arrival) % WRAP for clock, arrival in zip(chain.clocks, chain.arrivals)]
        assert all(0 <= t < CLOCK_RESOLUTION_US for t in late), late


class TestChain:
    def test_the_frames_carried_come_out_byte_exact_in_order(self, chain, captured):
        prefixes, capture, stderr, _ = captured
        expected = [frame for _, frame in chain.frames(prefixes)]
        assert [frame for _, frame in pcap_records(capture)] == expected
        # every frame is there once: promiscuous frames, the gateway's again in address mode
        reads = sum(1 for _, frame, _ in chain.reads if frame)
        assert len(expected) == reads - (1 if prefixes else 2)      # the damaged frame; and the broadcast
        # status lines are reported, not captured: the settings at boot and after the command
        assert stderr.splitlines() == ["nrf24_capture: line 1: sniffer restarted (reset=power-on): its clock starts again",
                                       "nrf24_capture: line 2: sniffer: " + BOOT_STATUS[9:],
                                       "nrf24_capture: line %d: sniffer: %s" % (chain.texts.index(ADDRESS_STATUS) + 1,
                                                                                ADDRESS_STATUS[9:])]

    def test_tshark_decodes_them_as_the_encoders_frames(self, chain, captured, shared_host):
        """The direct capture, the same frames written by the encoder, is the oracle."""
        prefixes, _, _, rows = captured
        taken = chain.frames(prefixes)
        oracle = shared_host.capture([frame for _, frame in taken], linktype=nrf24_encode.LINKTYPE_EXPORTED_PDU)
        oracle_rows = tshark_rows(shared_host, oracle)
        # with the sniffer header's module in the tree, its layer sits between the exported PDU and nrf24
        assert [[row[1].replace(":nrf24_sniffer:", ":")] + row[2:] for row in rows] == [row[1:] for row in oracle_rows]
        # The oracle is no empty table: every good payload is a MySensors message between the nodes it names.
        sender, destination = FIELDS.index("mysensors.sender") + 1, FIELDS.index("mysensors.destination") + 1
        assert [(row[sender], row[destination]) for row in oracle_rows if row[1] == "exported_pdu:nrf24:mysensors"] \
            == [(str(payload[1]), str(payload[2])) for payload, frame in
                ((chain.reads[n][2], frame) for n, frame in taken) if payload and crc_good(frame)]

    def test_time_gaps_are_the_arrival_gaps(self, chain, captured):
        """Exactly the gaps between the frames' starts on the air by the board's stamps, unwrapped: a frame
        starts (its preamble) the read's 256 bits and the preamble's 8 before the stamp, plus its offset, 4 us
        a bit at 250 kbps; these are the gaps between the simulated arrivals within the clock's resolution,
        each stamp being late by 0 to 3 us."""
        prefixes, _, _, rows = captured
        taken = [n for n, _ in chain.frames(prefixes)]
        stamps = [int(Decimal(row[0]) * 1000000) for row in rows]
        assert len(stamps) == len(taken)
        first = taken[0]
        assert [(stamp - stamps[0]) % WRAP for stamp in stamps] == \
            [(chain.clocks[n] + 4 * chain.offsets[n] - chain.clocks[first] - 4 * chain.offsets[first]) % WRAP
             for n in taken]
        assert any(chain.clocks[b] < chain.clocks[a] for a, b in zip(taken, taken[1:]))    # across the wrap
        drift = [(stamp - stamps[0]) - (chain.arrivals[n] + 4 * chain.offsets[n] - chain.arrivals[first]
                                        - 4 * chain.offsets[first]) for stamp, n in zip(stamps, taken)]
        assert all(-CLOCK_RESOLUTION_US < d < CLOCK_RESOLUTION_US for d in drift), drift


@pytest.fixture(scope="module")
def air_chain(shared_host):
    """The sample network on the air model, its reads clocked into the simulated board from their windows, the
    board's lines through the capture tool (given the network's prefix): (the reads, tshark's rows with the
    link analysis' ack time)."""
    try:
        board = Board()
    except BoardMissing as why:
        pytest.skip("simulated board not available: %s" % why)
    stamped = [(usec, frame) for usec, frame, _ in sample_frames()]
    reads = air.Radio(random.Random(7), CHANNEL, "250k").reads(nrf24_session.timeline(stamped, CHANNEL, "250k"))
    events = air_model_reads(reads, BOOT_DONE_US)
    run = board.run(events, end=events[-1][0] + 5000)
    assert not run.missed, run.missed
    wire = b"".join(text.encode("ascii") + b"\n" for text in run.texts())
    path = shared_host.path("chain-air.pcapng")
    done = subprocess.run([sys.executable, CAPTURE, "--prefix", NETWORK.hex(), "-o", path], input=wire,
                          capture_output=True)
    assert done.returncode == 0, done.stderr.decode()
    os.chmod(path, 0o644)
    rows = shared_host.run("-r", path, "-T", "fields", "-e", "frame.time_epoch", "-e", "nrf24.ctrl.len",
                           "-e", "nrf24.analysis.ack_time", user_dlt=False).output
    return reads, [row.split("\t") for row in rows]


class TestOnTheAir:
    def test_every_frame_heard_whole_at_its_time_on_the_air(self, air_chain):
        reads, rows = air_chain
        heard = sorted((tx.time, tx.frame) for read in reads for tx, _, whole in read.contents
                       if whole and crc_good(tx.frame))
        assert len(rows) == len(heard) and any(tx.kind == "ack" and whole and read.contents[0][0].kind == "data"
                                               for read in reads for tx, _, whole in read.contents)
        assert [int(row[1]) for row in rows] == [frame[5] >> 2 for _, frame in heard]
        # the board's stamp is 0..3 us after the IRQ, 2 assumed; an ack inside its packet's read lies on the
        # packet's bit clock, to half a bit (2 us)
        stamps = [int(Decimal(row[0]) * 1000000) for row in rows]
        late = [(stamp - stamps[0]) - (time - heard[0][0]) for stamp, (time, _) in zip(stamps, heard)]
        assert all(abs(d) <= 5 for d in late), late

    def test_ack_times_are_the_130_us_on_the_air(self, air_chain):
        _, rows = air_chain
        # the analysis gives the ack time on the packet and on its ack; an ack within its packet's read is
        # placed to half a bit (2 us), and the analysis counts whole microseconds
        times = [int(row[2]) for row in rows if row[2]]
        assert len(times) >= 8 and all(127 <= t <= 133 for t in times), times
