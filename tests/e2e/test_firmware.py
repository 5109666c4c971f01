"""The sniffer firmware on a simulated board: the real ELF on simavr's ATmega328P at
16 MHz with a model of the nRF24L01+ (firmware/sim/nrf24_board.c), checked against
the line protocol (doc/sniffer-protocol.md) and the radio's register map.

Reads are built with the project's encoder (tools/nrf24_encode.py) and put on the
air through air_read(). Times are microseconds of simulated time since reset; the
board's clock counts from reset.
"""

import os
import random
import re
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from nrf24_board import BOOT_DONE_US, WINDOW_US, Board, BoardMissing, air_model_reads, air_read  # noqa: E402
from nrf24_encode import bits_of, encode_frame, pack_bits  # noqa: E402

FIRMWARE_DIR = os.path.join(HERE, "..", "..", "firmware")
CLOCK_RESOLUTION_US = 4         # the protocol's promise
WRAP = 1 << 32
BOOT_LINE = "#sniffer v=1 fw=2.0 ch=76 rate=250k mode=p pre=aa hop=- dwell=0"
BOOT = ["#boot reset=power-on", BOOT_LINE]
RADIO_ERROR = "#error radio: no answer on SPI"
READ_LINE = re.compile(r"^([0-9a-f]{8}) (\d{1,3}) ([pa]) ((?:[0-9a-f]{2})+)(?: (?:250k|1m|2m) [01-] [iu])?$")
# Registers that the radio itself changes (interrupt flags, FIFO state).
VOLATILE = {"STATUS", "FIFO_STATUS"}


@pytest.fixture(scope="module")
def board():
    try:
        return Board()
    except BoardMissing as why:
        pytest.skip("simulated board not available: %s" % why)


@pytest.fixture(scope="module")
def fast_board(board):
    """The 2,000,000 baud build (make SERIAL_BAUD=2000000)."""
    try:
        return Board(os.environ.get("NRF24_FIRMWARE_2M_ELF") or "-")
    except BoardMissing as why:
        pytest.skip("2,000,000 baud firmware not built: %s" % why)


def settled(run):
    """The registers of each dump, without those the radio changes by itself."""
    return [{k: v for k, v in regs.items() if k not in VOLATILE} for _, regs in run.dumps]


def promiscuous_read(frame, offset, seed, prefix="noise"):
    """What the radio hands over after matching 0x00 + preamble: offset bits (noise, or the end of the
    frame's own preamble when the radio matched early), the frame, noise."""
    rng = random.Random(seed)
    preamble = bits_of(bytes([0xAA if frame[0] & 0x80 else 0x55]))
    lead = preamble[8 - offset:] if prefix == "preamble" else [rng.getrandbits(1) for _ in range(offset)]
    bits = lead + bits_of(frame)
    bits += [rng.getrandbits(1) for _ in range(256 - len(bits))]
    return pack_bits(bits[:256])


# ---------------------------------------------------------------------------
# Boot configuration, register by register, for each mode and rate.

COMMON = {"CONFIG": 0x33,       # MASK_TX_DS | MASK_MAX_RT | PWR_UP | PRIM_RX; EN_CRC = 0
          "EN_AA": 0x00, "EN_RXADDR": 0x01, "SETUP_RETR": 0x00,
          "RX_PW_P0": 32, "DYNPD": 0x00, "FEATURE": 0x00}

RATES = [("250k", 0x26), ("1m", 0x06), ("2m", 0x0E)]   # RF_DR_LOW / none / RF_DR_HIGH, RF_PWR 0 dBm

MODES = [
    # command, status line mode part, SETUP_AW, RX_ADDR_P0 (register order: least significant byte first)
    ("p aa", "mode=p pre=aa", 0x00, bytes.fromhex("aa00000000")),
    ("p 55", "mode=p pre=55", 0x00, bytes.fromhex("5500000000")),
    ("a a8a8e1fc00", "mode=a addr=a8a8e1fc00", 0x03, bytes.fromhex("00fce1a8a8")),
    ("a 0a0b0c0d", "mode=a addr=0a0b0c0d", 0x02, bytes.fromhex("0d0c0b0a00")),
    ("a e7d3f0", "mode=a addr=e7d3f0", 0x01, bytes.fromhex("f0d3e70000")),
]


class TestBootConfiguration:
    def test_boot_defaults(self, board):
        run = board.run([(BOOT_DONE_US, "dump")], end=BOOT_DONE_US + 1)
        assert run.texts() == BOOT
        regs = run.dumps[0][1]
        expected = dict(COMMON, RF_CH=76, RF_SETUP=0x26, SETUP_AW=0x00, RX_ADDR_P0=bytes.fromhex("aa00000000"))
        assert {k: regs[k] for k in expected} == expected
        # Registers the firmware leaves alone keep their reset values.
        assert regs["RX_ADDR_P1"] == bytes.fromhex("c2c2c2c2c2") and regs["TX_ADDR"] == bytes([0xE7] * 5)

    @pytest.mark.parametrize("rate,rf_setup", RATES)
    def test_each_mode_at_each_rate(self, board, rate, rf_setup):
        events, t = [], BOOT_DONE_US
        for command, _, _, _ in MODES:
            events += [(t, "cmd", "r " + rate), (t + 2000, "cmd", command), (t + 4000, "dump")]
            t += 5000
        run = board.run(events, end=t)
        for (command, mode, setup_aw, rx_addr), (_, regs) in zip(MODES, run.dumps):
            expected = dict(COMMON, RF_CH=76, RF_SETUP=rf_setup, SETUP_AW=setup_aw, RX_ADDR_P0=rx_addr)
            assert {k: regs[k] for k in expected} == expected, command
        statuses = [text for text in run.texts() if "mode=" in text][1:]
        assert statuses[1::2] == ["#sniffer v=1 fw=2.0 ch=76 rate=%s %s hop=- dwell=0" % (rate, mode)
                                  for _, mode, _, _ in MODES]

    def test_firmware_table_is_what_the_radio_holds(self, board):
        """Every row of firmware/boot_config.h, evaluated with nrf24l01.h, is in the radio after boot."""
        defines = {}
        with open(os.path.join(FIRMWARE_DIR, "nrf24l01.h")) as f:
            for name, value in re.findall(r"^#define (\w+)\s+([^/\n]+?)\s*(?:/\*.*)?$", f.read(), re.M):
                defines[name] = value
        with open(os.path.join(FIRMWARE_DIR, "boot_config.h")) as f:
            rows = re.findall(r"BOOT_ROW\((\w+),\s*([^)]+)\)", f.read())
        rows = [row for row in rows if row[0] != "reg"]

        def evaluate(expr):
            expr = re.sub(r"\b[A-Z_][A-Z0-9_]*\b", lambda m: "(%s)" % evaluate(defines[m.group(0)]), expr)
            return eval(expr, {"__builtins__": {}})

        run = board.run([(BOOT_DONE_US, "dump")], end=BOOT_DONE_US + 1)
        regs = run.dumps[0][1]
        assert len(rows) == 7
        assert {reg: regs[reg] for reg, _ in rows} == {reg: evaluate(value) for reg, value in rows}
        assert {reg: regs[reg] for reg, _ in rows} == COMMON


# ---------------------------------------------------------------------------
# Commands: each changes exactly its registers; bad ones change nothing.

GOOD_COMMANDS = [
    # command, status line after it, registers changed (others must not change)
    ("c 0", "#sniffer v=1 fw=2.0 ch=0 rate=250k mode=p pre=aa hop=- dwell=0", {"RF_CH": 0}),
    ("c 125", "#sniffer v=1 fw=2.0 ch=125 rate=250k mode=p pre=aa hop=- dwell=0", {"RF_CH": 125}),
    ("r 2m", "#sniffer v=1 fw=2.0 ch=76 rate=2m mode=p pre=aa hop=- dwell=0", {"RF_SETUP": 0x0E}),
    ("r 1m", "#sniffer v=1 fw=2.0 ch=76 rate=1m mode=p pre=aa hop=- dwell=0", {"RF_SETUP": 0x06}),
    ("p 55", "#sniffer v=1 fw=2.0 ch=76 rate=250k mode=p pre=55 hop=- dwell=0",
     {"RX_ADDR_P0": bytes.fromhex("5500000000")}),
    ("a a8a8e1fc01", "#sniffer v=1 fw=2.0 ch=76 rate=250k mode=a addr=a8a8e1fc01 hop=- dwell=0",
     {"SETUP_AW": 3, "RX_ADDR_P0": bytes.fromhex("01fce1a8a8")}),
    ("a ABCDEF", "#sniffer v=1 fw=2.0 ch=76 rate=250k mode=a addr=abcdef hop=- dwell=0",
     {"SETUP_AW": 1, "RX_ADDR_P0": bytes.fromhex("efcdab0000")}),
    ("h 5,125,0 60000", "#sniffer v=1 fw=2.0 ch=5 rate=250k mode=p pre=aa hop=5,125,0 dwell=60000", {"RF_CH": 5}),
    ("?", BOOT_LINE, {}),
]

LONGEST_STATUS = ("#sniffer v=1 fw=2.0 ch=125 rate=250k mode=a addr=a8a8e1fc00 hop=%s dwell=60000"
                  % ",".join(["125"] + ["100"] * 15))

BAD_COMMANDS = [
    ("c 126", "bad channel"), ("c", "unknown command"), ("c -1", "bad channel"), ("c 7x", "bad channel"),
    ("c  7", "bad channel"), ("r 500k", "bad rate"), ("r", "unknown command"), ("p 56", "bad preamble"),
    ("p aaaa", "bad preamble"), ("a a8a8", "bad address"), ("a a8a8e1fc0011", "bad address"),
    ("a a8a8e1fc0", "bad address"), ("a zz0000", "bad address"), ("h 1,2", "bad hop list"),
    ("h 1,,2 10", "bad hop list"), ("h 1,2 0", "bad hop list"), ("h 1,2 60001", "bad hop list"),
    ("h 1,126 10", "bad hop list"), ("h " + ",".join(["1"] * 17) + " 10", "bad hop list"),
    ("x 1", "unknown command"), ("??", "unknown command"), ("C 5", "unknown command"),
    ("c\t5", "unknown command"),
]


class TestCommands:
    @pytest.mark.parametrize("command,status,changes", GOOD_COMMANDS)
    def test_good_command_changes_exactly_its_registers(self, board, command, status, changes):
        run = board.run([(BOOT_DONE_US, "dump"), (BOOT_DONE_US + 100, "cmd", command),
                         (BOOT_DONE_US + 4000, "dump")], end=BOOT_DONE_US + 4001)
        assert run.texts() == BOOT + [status]
        before, after = settled(run)
        assert {k: v for k, v in after.items() if before[k] != v} == changes

    def test_bad_commands_change_nothing(self, board):
        events, t = [(BOOT_DONE_US, "dump")], BOOT_DONE_US + 100
        for command, _ in BAD_COMMANDS:
            events.append((t, "cmd", command))
            t += 3000
        events += [(t, "dump"), (t + 100, "cmd", "?")]
        run = board.run(events, end=t + 3000)
        expected = BOOT + ['#error command: %s "%s"' % (why, command.replace("\t", "?"))
                                  for command, why in BAD_COMMANDS] + [BOOT_LINE]
        assert run.texts() == expected
        before, after = settled(run)
        assert before == after
        assert [w for w in run.writes if w[0] > BOOT_DONE_US] == []

    def test_overlong_command_is_refused_whole(self, board):
        run = board.run([(BOOT_DONE_US, "cmd", "c 5" + " " * 77), (BOOT_DONE_US + 2000, "cmd", "c 5" + "0" * 78),
                         (BOOT_DONE_US + 5000, "cmd", "?")], end=BOOT_DONE_US + 8000)
        assert run.texts() == BOOT + ['#error command: bad channel "c 5%s"' % (" " * 77),
                               "#error command: too long", BOOT_LINE]

    def test_longest_status_line_is_whole(self, board):
        run = board.run([(BOOT_DONE_US, "cmd", "a a8a8e1fc00"),
                         (BOOT_DONE_US + 3000, "cmd", "h 125" + ",100" * 15 + " 60000")], end=BOOT_DONE_US + 8000)
        assert run.texts()[-1] == LONGEST_STATUS and len(LONGEST_STATUS) + 1 <= 140

    def test_input_the_board_drops_is_refused_not_garbled(self, board):
        """300 "?" back to back: the answers outrun the serial line, input is dropped; each answer is whole."""
        # After the last dropped byte, the line up to the next line end received is refused too:
        # the host sends its next command again.
        events = [(BOOT_DONE_US, "cmd", "?")] * 300 + [(BOOT_DONE_US + 400000, "cmd", "c 5"),
                                                        (BOOT_DONE_US + 405000, "cmd", "c 5")]
        run = board.run(events, end=BOOT_DONE_US + 410000)
        texts = run.texts()
        channel_5 = "#sniffer v=1 fw=2.0 ch=5 rate=250k mode=p pre=aa hop=- dwell=0"
        overrun = "#error command: input overrun"
        assert texts[:2] == BOOT and texts[-1] == channel_5
        assert set(texts[1:]) == {BOOT_LINE, overrun, channel_5}
        assert texts.count(overrun) >= 1 and 18 < texts.count(BOOT_LINE) - 1 < 300

    def test_line_end_at_any_moment_is_answered(self, board):
        """The line end of "?" comes 1/16 us (one cycle) later each time, over 40 us: however it
        falls in the firmware's work on the byte before, the answer is out before the next command."""
        period, steps = 1000, 640
        events, windows = [], []
        for k in range(1, steps + 1):
            t = BOOT_DONE_US + k * period
            events += [(t, "send", "?"), (t + k / 16, "cmd", "")]
            windows.append((t + k / 16, t + period))
        run = board.run(events, end=BOOT_DONE_US + (steps + 1) * period)
        assert run.texts() == BOOT + [BOOT_LINE] * steps
        late = [end for end, next_send in windows if not any(end < first < next_send for first, _, _ in run.lines)]
        assert late == []

    def test_settings_add_up(self, board):
        run = board.run([(BOOT_DONE_US, "cmd", "r 2m"), (BOOT_DONE_US + 1000, "cmd", "c 3"),
                         (BOOT_DONE_US + 2000, "cmd", "a 0102030405"), (BOOT_DONE_US + 3000, "cmd", "p 55"),
                         (BOOT_DONE_US + 4000, "dump")], end=BOOT_DONE_US + 6000)
        assert run.texts()[-1] == "#sniffer v=1 fw=2.0 ch=3 rate=2m mode=p pre=55 hop=- dwell=0"
        regs = run.dumps[0][1]
        assert (regs["RF_CH"], regs["RF_SETUP"], regs["SETUP_AW"], regs["RX_ADDR_P0"]) == \
            (3, 0x0E, 0x00, bytes.fromhex("5500000000"))


# ---------------------------------------------------------------------------
# Reads: every one out once, byte-exact, right channel and time stamp.

def parse_read(text):
    m = READ_LINE.match(text)
    assert m, "not a read line: %r" % text
    return int(m.group(1), 16), int(m.group(2)), m.group(3), bytes.fromhex(m.group(4))


READ_LINE_V2 = re.compile(r"^([0-9a-f]{8}) (\d{1,3}) ([pa]) ((?:[0-9a-f]{2})+) (250k|1m|2m) ([01-]) ([iu])$")


def parse_read_v2(text):
    m = READ_LINE_V2.match(text)
    assert m, "not a version 2 read line: %r" % text
    return (int(m.group(1), 16), int(m.group(2)), m.group(3), bytes.fromhex(m.group(4))) + m.group(5, 6, 7)


def reads_of(run):
    return [parse_read(text) for text in run.texts() if not text.startswith("#")]


def assert_stamp(stamp, arrival_us):
    """Within the clock's resolution, for a read whose IRQ does not wait for the UART's interrupt."""
    late = (stamp - int(arrival_us)) % WRAP
    assert late < CLOCK_RESOLUTION_US, "stamp %08x for a read at %s us" % (stamp, arrival_us)


class TestReads:
    def test_promiscuous_frames_at_every_bit_offset(self, board):
        frames = [encode_frame(addr=bytes.fromhex("a8a8e1fc00"), payload=bytes([n, 1, 2, 3]), pid=n % 4)
                  for n in range(4)] + [encode_frame(addr=bytes.fromhex("e7e7e7e7e7"), payload=bytes(range(20)))]
        cases = [(frame, offset, prefix) for frame in frames for offset in range(8) for prefix in ("noise", "preamble")]
        events, t = [], BOOT_DONE_US
        for n, (frame, offset, prefix) in enumerate(cases):
            events.append(air_read(t, 76, promiscuous_read(frame, offset, n, prefix)))
            t += 1500 + 37 * n % 300        # spaced wider than a line, at uneven times
        run = board.run(events, end=t + 2000)
        reads = reads_of(run)
        assert len(reads) == len(cases) == len(run.heard)
        for (stamp, ch, mode, data), (_, _, _, sent, _, _), (irq_us, _), (frame, offset, _) in \
                zip(reads, events, run.heard, cases):
            assert (ch, mode, data) == (76, "p", sent)
            assert_stamp(stamp, irq_us)
            bits = bits_of(data)
            assert pack_bits(bits[offset:offset + 8 * len(frame)]) == frame

    def test_address_mode_reads_carry_the_address(self, board):
        addr = bytes.fromhex("a8a8e1fc05")
        frames = [encode_frame(addr=addr, payload=bytes([n] * (n % 25)), pid=n % 4, noack=n % 2)
                  for n in range(12)]
        events, t = [(BOOT_DONE_US, "cmd", "a " + addr.hex())], BOOT_DONE_US + 3000
        for frame in frames:
            after_addr = frame[len(addr):]
            events.append(air_read(t, 76, after_addr + bytes(32 - len(after_addr))))
            t += 1500
        run = board.run(events, end=t + 2000)
        reads = reads_of(run)
        assert len(reads) == len(frames)
        for (stamp, ch, mode, data), (irq_us, _), frame in zip(reads, run.heard, frames):
            assert (ch, mode, len(data)) == (76, "a", 5 + 32)
            assert data[:len(frame)] == frame
            assert_stamp(stamp, irq_us)

    def test_time_stamps_across_the_32_bit_wrap(self, board):
        """The simulated clock runs the whole 71.6 minutes (a sleeping CPU costs nothing to simulate)."""
        # Spaced so that each line is out before the next read: no UART interrupt delays the stamp. The
        # third read's IRQ comes 3 us before the wrap (its window, 1024 us at 250 kbps, opened before).
        irqs = [WRAP - 5000, WRAP - 2000, WRAP - 3, WRAP + 1500, WRAP + 3100, WRAP + 32768 * 3 + 300]
        events = [air_read(t - WINDOW_US["250k"], 76, bytes([n] * 32)) for n, t in enumerate(irqs)]
        run = board.run(events, end=irqs[-1] + 2000)
        reads = reads_of(run)
        assert [data for _, _, _, data in reads] == [bytes([n] * 32) for n in range(len(irqs))]
        assert [int(t) for t, _ in run.heard] == irqs
        for (stamp, _, _, _), t_us in zip(reads, irqs):
            assert_stamp(stamp, t_us)
        assert reads[2][0] > reads[3][0]        # the wrap the host unwraps

    def test_reads_follow_the_channel(self, board):
        run = board.run([(BOOT_DONE_US, "cmd", "c 9"), air_read(BOOT_DONE_US + 2000, 76, bytes(32)),
                         air_read(BOOT_DONE_US + 3000, 9, bytes([9] * 32))], end=BOOT_DONE_US + 6000)
        assert [(ch, data) for _, ch, _, data in reads_of(run)] == [(9, bytes([9] * 32))]
        assert [why for _, _, why in run.missed] == ["other-channel"]


# ---------------------------------------------------------------------------
# A burst faster than the serial line, at 2 Mbps: a read every 150 us is about as fast as frames come
# (a 128 us window, then the next frame's preamble and address); every 130 us, faster than the air allows,
# the radio's FIFO fills while the board is busy.

def burst_events(spacing_us, count, rate="2m"):
    """Version 2, the rate, then count reads spacing_us apart; each read's first two bytes are its index."""
    payloads = [bytes([n & 0xFF, n >> 8]) + bytes(random.Random(n).getrandbits(8) for _ in range(30))
                for n in range(count)]
    events = [(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 2000, "cmd", "r " + rate)]
    events += [air_read(BOOT_DONE_US + 5000 + n * spacing_us, 76, p) for n, p in enumerate(payloads)]
    return events, payloads


def fates(run):
    """What became of each injected read, in the order they were put on the air: None (heard) or why not."""
    records = sorted([(t, None) for t, _ in run.heard] + [(t, why) for t, _, why in run.missed])
    return [why for _, why in records]


class TestBurst:
    @pytest.mark.parametrize("spacing_us,count", [(130, 600), (150, 300), (400, 200), (900, 60)])
    def test_every_read_printed_or_counted_and_fifo_full_reported(self, board, spacing_us, count):
        events, payloads = burst_events(spacing_us, count)
        run = board.run(events, end=BOOT_DONE_US + 5000 + count * spacing_us + 400000)
        assert run.faults == []
        fate = fates(run)
        assert set(fate) <= {None, "fifo-full"}
        printed, lost, pending_lost, full_lines, last_index = [], 0, 0, [], -1
        for text in run.texts():
            if text.startswith(("#boot ", "#sniffer ")):
                continue
            if text.startswith("#lost "):
                n = int(text.split()[1])
                assert n >= 1
                pending_lost += n
                continue
            if text.startswith("#full "):
                full_lines.append((last_index, int(text.split()[1], 16)))
                continue
            stamp, ch, mode, data, rate, rpd, kind = parse_read_v2(text)
            index = data[0] | data[1] << 8
            assert (ch, mode, data, rate) == (76, "p", payloads[index], "2m")
            # The #lost line came before the first read after the losses, and counted them exactly.
            skipped = [k for k in range(last_index + 1, index) if fate[k] is None]
            assert len(skipped) == pending_lost
            lost += pending_lost
            pending_lost = 0
            printed.append(index)
            last_index = index
        lost += pending_lost
        assert len(printed) + lost == fate.count(None)
        assert printed == sorted(set(printed))
        # Every read the radio dropped (its FIFO full) came before the first #full line whose time is not
        # earlier, and after the reads printed before that line.
        dropped = [(k, t) for k, (t, why) in enumerate(sorted([(t, None) for t, _ in run.heard] +
                                                              [(t, why) for t, _, why in run.missed]))
                   if why == "fifo-full"]
        for k, t_drop in dropped:
            line = next((n for n, (_, at) in enumerate(full_lines) if at + 1 >= t_drop), None)
            assert line is not None, (k, t_drop, full_lines)
            before, _ = full_lines[line]
            after = next((index for index in printed if index > before), count)
            assert before < k < after, (k, t_drop, full_lines[line])
        if spacing_us == 130:
            assert dropped and full_lines, "the burst did not fill the radio's FIFO"
        if spacing_us <= 150:
            assert lost > 0, "the burst did not outrun the serial line"
        for first, last, text in run.lines:
            assert last > first and len(text) + 1 <= 140


# ---------------------------------------------------------------------------
# No radio on the bus.

class TestNoRadio:
    @pytest.mark.parametrize("miso", ["high", "low"])
    def test_error_line_and_no_reads(self, board, miso):
        events = [air_read(BOOT_DONE_US + 1000 * n, 76, bytes([0x55] * 32)) for n in range(5)]
        events += [(BOOT_DONE_US + 6000, "cmd", "c 5"), (BOOT_DONE_US + 9000, "cmd", "?"),
                   (BOOT_DONE_US + 12000, "cmd", "r 9m"),
                   air_read(BOOT_DONE_US + 15000, 5, bytes(32))]
        run = board.run(events, end=BOOT_DONE_US + 20000, no_radio=miso)
        assert run.texts() == BOOT + [RADIO_ERROR,
                               "#sniffer v=1 fw=2.0 ch=5 rate=250k mode=p pre=aa hop=- dwell=0", RADIO_ERROR,
                               "#sniffer v=1 fw=2.0 ch=5 rate=250k mode=p pre=aa hop=- dwell=0", RADIO_ERROR,
                               '#error command: bad rate "r 9m"']


# ---------------------------------------------------------------------------
# RAM: 2 KiB on an ATmega328P.

class TestRam:
    def test_static_ram_and_stack_leave_256_bytes(self, board):
        """Everything at once: version 2, hopping over 16 channels, address mode, bad commands, a burst at
        2 Mbps, commands back to back, the radio resetting."""
        events = [(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 2000, "cmd", "h 125" + ",100" * 15 + " 50"),
                  (BOOT_DONE_US + 5000, "cmd", "a a8a8e1fc00"), (BOOT_DONE_US + 8000, "cmd", "x" * 80),
                  (BOOT_DONE_US + 11000, "cmd", "c 76"), (BOOT_DONE_US + 14000, "cmd", "r 2m")]
        events += [air_read(BOOT_DONE_US + 17000 + 150 * n, 76, bytes([n & 0xFF] * 32)) for n in range(300)]
        events += [(BOOT_DONE_US + 80000, "cmd", "?")] * 100
        events += [(BOOT_DONE_US + 400000, "dip")]
        run = board.run(events, end=BOOT_DONE_US + 1000000)
        assert run.stack > 50 and run.static <= 1536 and 2048 - run.static - run.stack >= 256, \
            (run.static, run.stack)
        assert "#radio reset" in " ".join(run.texts())      # the run went through the radio's reset too


# ---------------------------------------------------------------------------
# Hopping.

class TestHopping:
    def test_channel_changes_at_the_dwell_time_and_reads_carry_it(self, board):
        channels, dwell_ms = [3, 40, 125], 20
        start = BOOT_DONE_US
        events = [(start, "cmd", "h %s %d" % (",".join(map(str, channels)), dwell_ms))]
        # One read in the middle of each dwell, on the channel the board should be on then.
        for n in range(7):
            events.append(air_read(start + 1000 + n * dwell_ms * 1000 + dwell_ms * 500, channels[n % 3],
                                   bytes([n] * 32)))
        events.append((start + 1000 + 7 * dwell_ms * 1000 + 5000, "cmd", "c 50"))
        run = board.run(events, end=start + 1000 + 9 * dwell_ms * 1000)
        hops = [(t, value[0]) for t, reg, value in run.writes if reg == "RF_CH" and t > start]
        assert [ch for _, ch in hops] == [3, 40, 125, 3, 40, 125, 3, 40, 50]
        gaps = [b - a for (a, _), (b, _) in zip(hops, hops[1:8])]
        # Each dwell is timed from the start of the 1 ms tick, a little after the first channel is set.
        assert all(abs(gap - dwell_ms * 1000) < 100 for gap in gaps), gaps
        reads = reads_of(run)
        assert [(ch, data) for _, ch, _, data in reads] == [(channels[n % 3], bytes([n] * 32)) for n in range(7)]
        assert run.texts()[2] == "#sniffer v=1 fw=2.0 ch=3 rate=250k mode=p pre=aa hop=3,40,125 dwell=20"
        assert run.texts()[-1] == "#sniffer v=1 fw=2.0 ch=50 rate=250k mode=p pre=aa hop=- dwell=0"
        assert not any(t > hops[-1][0] + 100 for t, reg, _ in run.writes if reg == "RF_CH")

    def test_other_commands_keep_hopping(self, board):
        start = BOOT_DONE_US
        run = board.run([(start, "cmd", "h 1,2 10"), (start + 15000, "cmd", "r 1m"), (start + 16000, "cmd", "?")],
                        end=start + 45000)
        hops = [(t, value[0]) for t, reg, value in run.writes if reg == "RF_CH" and t > start]
        assert [ch for _, ch in hops] == [1, 2, 1, 2, 1]
        # "r 1m" did not restart the dwell: the hops stay 10 ms apart.
        assert all(abs(b - a - 10000) < 100 for (a, _), (b, _) in zip(hops, hops[1:]))
        assert run.texts()[-1].startswith("#sniffer v=1 fw=2.0 ch=") and run.texts()[-1].endswith(
            "rate=1m mode=p pre=aa hop=1,2 dwell=10")


# ---------------------------------------------------------------------------
# Faults a real board would hit: each case below fails on firmware 1.0.

EXTERNAL_RESET = 0x02   # MCUSR EXTRF: only the AVR reset (a host opened the port); the radio kept its supply


def reads_by_index(run):
    """The IRQ time of each injected read the radio heard, by its place on the air (the first two bytes of
    the tests' reads)."""
    records = sorted([(t, None) for t, _ in run.heard] + [(t, why) for t, _, why in run.missed])
    return {k: t for k, (t, why) in enumerate(records) if why is None}


def indexed(n, rest=30):
    return bytes([n & 0xFF, n >> 8]) + bytes(rest)


class TestPowerOn:
    def test_radio_set_up_after_its_power_on_reset(self, board):
        """The radio ignores SPI for 100 ms after power-on; without a boot loader nothing else waits."""
        run = board.run([air_read(BOOT_DONE_US + 1000, 76, bytes(range(32)))], end=BOOT_DONE_US + 4000)
        assert run.texts()[:2] == BOOT and RADIO_ERROR not in run.texts()
        assert [data for _, _, _, data in reads_of(run)] == [bytes(range(32))]

    @pytest.mark.parametrize("seed", range(1, 13))
    def test_no_datasheet_rule_broken_from_garbage_registers(self, board, seed):
        """Power-on garbage in the register file and RAM (the seed), then every kind of radio set-up: no
        Timer1 output on CE or CSN, no pull-up into the radio, CE-to-CSN and power-up waits, SPI clock."""
        events = [(BOOT_DONE_US, "cmd", "c 5"), (BOOT_DONE_US + 3000, "cmd", "r 2m"),
                  (BOOT_DONE_US + 6000, "cmd", "a a8a8e1fc00"), (BOOT_DONE_US + 9000, "cmd", "h 76,5 3"),
                  air_read(BOOT_DONE_US + 10500, 76, bytes(range(32)))]
        run = board.run(events, end=BOOT_DONE_US + 20000, seed=seed, mcusr=EXTERNAL_RESET)
        assert run.faults == []
        stamp, ch, mode, data = reads_of(run)[0]
        assert (ch, mode, data[5:]) == (76, "a", bytes(range(32)))
        assert_stamp(stamp, run.heard[0][0])


RESETS = [
    # MCUSR, or the flags Optiboot passes in r2 (MCUSR then reads 0), and the #boot line
    (0x01, None, "#boot reset=power-on"),
    (0x02, None, "#boot reset=external"),
    (0x04, None, "#boot reset=brown-out"),
    (0x08, None, "#boot reset=watchdog"),
    (0x0A, None, "#boot reset=external,watchdog"),
    (0x00, 0x02, "#boot reset=external"),
    (0x00, 0x08, "#boot reset=watchdog"),
]


class TestBootMarker:
    @pytest.mark.parametrize("mcusr,optiboot,line", RESETS)
    def test_reset_reason(self, board, mcusr, optiboot, line):
        run = board.run([], end=BOOT_DONE_US, mcusr=mcusr, optiboot=optiboot)
        assert run.texts() == [line, BOOT_LINE]


class TestVersion2:
    def test_asked_for_and_left(self, board):
        run = board.run([(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 2000, "cmd", "v 3"),
                         (BOOT_DONE_US + 4000, "cmd", "v 0"), (BOOT_DONE_US + 6000, "cmd", "v 1")],
                        end=BOOT_DONE_US + 9000)
        assert run.texts() == BOOT + ["#sniffer v=2 fw=2.0 ch=76 rate=250k mode=p pre=aa hop=- dwell=0",
                                      '#error command: bad version "v 3"', '#error command: bad version "v 0"',
                                      BOOT_LINE]

    @pytest.mark.parametrize("rate", ["250k", "1m", "2m"])
    def test_read_lines_carry_rate_rpd_and_stamp_kind(self, board, rate):
        events = [(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 2000, "cmd", "r " + rate),
                  (BOOT_DONE_US + 4000, "cmd", "a e7d3f0")]
        events += [air_read(BOOT_DONE_US + 7000 + 3000 * n, 76, indexed(n), rate=rate, rpd=n % 2)
                   for n in range(4)]
        run = board.run(events, end=BOOT_DONE_US + 20000)
        reads = [parse_read_v2(text) for text in run.texts() if not text.startswith("#")]
        assert [(ch, mode, data, r, rpd, kind) for _, ch, mode, data, r, rpd, kind in reads] == \
            [(76, "a", bytes.fromhex("e7d3f0") + indexed(n), rate, str(n % 2), "i") for n in range(4)]
        for (stamp, *_), (irq_us, _) in zip(reads, run.heard):
            assert_stamp(stamp, irq_us)


class TestHeardSettings:
    # The command's line end reaches the board 40 us after it starts; reads 150 us apart at 2 Mbps fall
    # at every moment of its handling, one run per 6 us step.
    @pytest.mark.parametrize("command,label", [("c 9", (9, "p")), ("a a8a8e1fc00", (76, "a"))])
    def test_reads_in_the_fifo_keep_the_settings_they_were_heard_with(self, board, command, label):
        mislabelled = []
        for step in range(-200, 200, 6):
            events = [(BOOT_DONE_US, "cmd", "r 2m"), (BOOT_DONE_US + 3000, "cmd", command)]
            events += [air_read(BOOT_DONE_US + 2740 + step + 150 * k, 76, indexed(k), rate="2m") for k in range(4)]
            run = board.run(events, end=BOOT_DONE_US + 12000, mcusr=EXTERNAL_RESET)
            reads = reads_of(run)
            assert len(reads) == len(run.heard)
            mislabelled += [(step, ch, mode) for _, ch, mode, _ in reads if (ch, mode) != (76, "p")]
        assert mislabelled == []

    def test_reads_in_the_fifo_at_a_hop_keep_their_channel(self, board):
        """Hopping over 1 and 2 every 2 ms, a read on both channels every 150 us at 2 Mbps: whichever the
        radio hears is printed with its channel (its second byte)."""
        events = [(BOOT_DONE_US, "cmd", "r 2m"), (BOOT_DONE_US + 3000, "cmd", "h 1,2 2")]
        for k in range(300):
            t = BOOT_DONE_US + 5000 + 150 * k
            events += [air_read(t, ch, bytes([k & 0xFF, ch]) + bytes(30), rate="2m") for ch in (1, 2)]
        run = board.run(events, end=BOOT_DONE_US + 200000, mcusr=EXTERNAL_RESET)
        reads = reads_of(run)
        assert len(reads) > 20
        assert [(ch, data[1]) for _, ch, _, data in reads if ch != data[1]] == []


class TestStamps:
    def test_never_earlier_than_the_irq(self, board):
        """Three reads back to back at 2 Mbps, 136 to 400 us apart, then a pause, over and over: the radio's
        IRQ, the clearing of its flag and the draining of its FIFO meet in every order."""
        early = []
        for gap in range(136, 400, 7):
            events, t, n = [(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 2000, "cmd", "r 2m")], \
                BOOT_DONE_US + 5000, 0
            for burst in range(12):
                for _ in range(3):
                    events.append(air_read(t, 76, indexed(n), rate="2m"))
                    n, t = n + 1, t + gap
                t += 1500 + 37 * burst
            run = board.run(events, end=t + 20000, mcusr=EXTERNAL_RESET)
            irq = reads_by_index(run)
            for text in run.texts():
                if text.startswith("#"):
                    continue
                stamp, _, _, data = parse_read(text)
                kind = parse_read_v2(text)[6] if READ_LINE_V2.match(text) else None
                late = stamp - irq[data[0] | data[1] << 8]
                if late <= -1 or (kind == "i" and not 0 <= late <= 4):
                    early.append((gap, text[:8], kind, late))
        assert early == []

    @pytest.mark.parametrize("line,spacing_us,commands", [("1m", 150, False), ("1m", 860, False),
                                                          ("2m", 150, False), ("2m", 600, False),
                                                          ("1m", 860, True), ("2m", 600, True)])
    def test_irq_stamps_within_4_us_with_the_line_full(self, board, fast_board, line, spacing_us, commands):
        """Reads back to back at 2 Mbps, 600 of them, with the serial line busy all the time (at the rate it
        sustains, and overloaded), and in two cases a "?" from the host every 3.3 ms: the UART's interrupts,
        the radio's reads and the lines written meet the IRQ at every moment. Every IRQ stamp (i) is 0 to
        4 us after the IRQ, every upper bound (u) after it."""
        events = [(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 2000, "cmd", "r 2m")]
        events += [air_read(BOOT_DONE_US + 5000 + spacing_us * n, 76, indexed(n), rate="2m") for n in range(600)]
        asked = spacing_us * 600 // 3333 if commands else 0
        events += [(BOOT_DONE_US + 5000 + 3333 * k, "cmd", "?") for k in range(asked)]
        run = (board if line == "1m" else fast_board).run(events, end=BOOT_DONE_US + 5000 + spacing_us * 600 + 20000,
                                                           mcusr=EXTERNAL_RESET)
        irq = reads_by_index(run)
        late = {"i": [], "u": []}
        for text in run.texts():
            if not text.startswith("#"):
                stamp, _, _, data, _, _, kind = parse_read_v2(text)
                late[kind].append(stamp - irq[data[0] | data[1] << 8])
        assert len(late["i"]) >= 10
        assert [t for t in late["i"] if not 0 <= t <= 4] == [] and [t for t in late["u"] if t <= -1] == []
        assert run.texts().count("#sniffer v=2 fw=2.0 ch=76 rate=2m mode=p pre=aa hop=- dwell=0") == 1 + asked


class TestRadioReset:
    def test_found_and_set_up_again_within_a_second(self, board):
        """The radio's supply dips at 0.3 s: it comes back powered down with its reset values. The board
        sets it up again with the settings in force; reads from then on are printed."""
        dip = BOOT_DONE_US + 300000
        events = [(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 2000, "cmd", "c 9"),
                  (BOOT_DONE_US + 4000, "cmd", "a a8a8e1fc00"), (dip - 1000, "dump"), (dip, "dip"),
                  (dip + 1000000, "dump")]
        events += [air_read(dip + 1000000 + 3000 * n, 9, indexed(n)) for n in range(3)]
        run = board.run(events, end=dip + 1020000, mcusr=EXTERNAL_RESET)
        assert [data[-32:] for _, _, _, data in reads_of(run)] == [indexed(n) for n in range(3)]
        status = "#sniffer v=2 fw=2.0 ch=9 rate=250k mode=a addr=a8a8e1fc00 hop=- dwell=0"
        texts = [text for text in run.texts() if text.startswith("#")]
        assert texts[-3:-1] == [status, texts[-2]] and texts[-1] == status
        assert re.fullmatch(r"#radio reset [0-9a-f]{8}", texts[-2])
        found = int(texts[-2].split()[2], 16)
        assert dip < found < dip + 1000000
        assert settled(run)[0] == settled(run)[1]
        assert [data[5:] for _, _, _, data in reads_of(run)] == [indexed(n) for n in range(3)]


class TestRadioFaults:
    def test_radio_that_answers_late_is_set_up_by_the_board_itself(self, board):
        run = board.run([air_read(1500000, 76, bytes(range(32)))], end=1510000, radio_on=500000)
        assert [data for _, _, _, data in reads_of(run)] == [bytes(range(32))]
        assert run.texts() == BOOT + [RADIO_ERROR, BOOT_LINE] + [run.texts()[-1]]
        ready = next(first for first, _, text in run.lines if text == BOOT_LINE and first > BOOT_DONE_US)
        assert 600000 < ready < 800000          # its reset ends at 0.6 s; the board looks every 131 ms

    def test_radio_without_250_kbps_is_told_apart(self, board):
        run = board.run([(BOOT_DONE_US, "cmd", "r 1m"), air_read(BOOT_DONE_US + 8000, 76, bytes(range(32)))],
                        end=BOOT_DONE_US + 12000, no_250k=True, mcusr=EXTERNAL_RESET)
        assert "#error radio: no 250 kbps" in run.texts()
        assert run.texts()[:4] == ["#boot reset=external", BOOT_LINE, "#error radio: no 250 kbps",
                                   "#sniffer v=1 fw=2.0 ch=76 rate=1m mode=p pre=aa hop=- dwell=0"]
        assert reads_of(run)[0][3] == bytes(range(32))

    def test_radio_gone_while_hopping_stops_the_interrupt_and_sleeps(self, board):
        """The radio is unplugged while hopping: the hop's read-back fails, the board says so once, and its
        floating IRQ line (a glitch at every frame on the air) does not keep the CPU awake."""
        gone = BOOT_DONE_US + 10000
        events = [(BOOT_DONE_US, "cmd", "h 1,2 5"), (gone, "unplug")]
        events += [air_read(gone + 1000 * n, 1, bytes(32)) for n in range(40)]
        events += [(gone + 50000, "dump")]      # the CPU's sleep is measured from here to the end
        run = board.run(events, end=gone + 150000, mcusr=EXTERNAL_RESET)
        assert run.asleep > 0.9 * 100000 * 16, run.asleep
        assert run.texts()[2:] == ["#sniffer v=1 fw=2.0 ch=1 rate=250k mode=p pre=aa hop=1,2 dwell=5", RADIO_ERROR]


# ---------------------------------------------------------------------------
# The 2,000,000 baud build (make SERIAL_BAUD=2000000).

class TestFasterLine:
    def test_lines_at_2_mbaud_and_commands_taken(self, fast_board):
        run = fast_board.run([(BOOT_DONE_US, "cmd", "v 2"), air_read(BOOT_DONE_US + 2000, 76, indexed(7), rpd=0)],
                       end=BOOT_DONE_US + 5000)
        texts = run.texts()
        assert texts[:3] == BOOT + ["#sniffer v=2 fw=2.0 ch=76 rate=250k mode=p pre=aa hop=- dwell=0"]
        assert parse_read_v2(texts[3])[1:] == (76, "p", indexed(7), "250k", "0", "i")
        # 10 bits a byte at 2,000,000 baud: 5 us. Status lines go out back to back; a read's line is sent as it
        # is written, which at this speed takes a little longer than the wire.
        per_byte = [(last - first) / (len(text) + 1) for first, last, text in run.lines]
        assert all(5 <= t < 5.5 for t in per_byte[:3]) and 5 <= per_byte[3] < 8, per_byte


# ---------------------------------------------------------------------------
# A network's traffic as the air model has the radio deliver it (tools/nrf24tools/air.py).

class TestAirModel:
    @pytest.mark.parametrize("rate", ["250k", "2m"])
    def test_every_read_of_a_network_printed_as_heard(self, board, rate):
        air = pytest.importorskip("nrf24tools.air", reason="the air model (tools/nrf24tools/air.py) is not here")
        rng = random.Random(20)
        timeline = air.network_timeline(rng, 1.0, rate=rate, packets_per_s=30.0)
        reads = air.Radio(rng, rate=rate, noise_per_s=10.0).reads(timeline)
        start = BOOT_DONE_US + 10000
        events = [(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 3000, "cmd", "r " + rate)]
        events += air_model_reads(reads, start)
        run = board.run(events, end=start + 1100000)
        assert run.faults == [] and run.missed == []
        printed = [parse_read_v2(text) for text in run.texts() if not text.startswith("#")]
        assert [(ch, mode, data, r) for _, ch, mode, data, r, _, _ in printed] == \
            [(76, "p", read.data, rate) for read in reads]
        # RPD as the air model has it, or unknown where a read came in behind; stamps at the IRQ, or later.
        assert [(n, rpd) for n, ((*_, rpd, _), read) in enumerate(zip(printed, reads)) if rpd not in ("-", str(read.rpd))] == []
        for (stamp, *_, kind), read in zip(printed, reads):
            if kind == "i":             # within the bound of doc/sniffer-protocol.md with the line busy
                assert 0 <= stamp - (start + read.end) <= 4, (stamp, start + read.end)
            else:
                assert stamp >= int(start + read.end)
        assert sum(1 for *_, kind in printed if kind == "i") > len(printed) // 2
