"""The capture interface in the real tshark: listed, its link type and options, captures from a pseudo-terminal
that plays the sniffer firmware (commands, frames, exact time gaps, unplug, silence, error lines, bad lines,
lost reads, autostop), stops and the control pipe, and the demo interface. The pretend sniffer prints what one
radio hears of the air model's traffic (tools/nrf24tools/air.py): acks after their packets, reads noise started,
frames missed while a read runs."""

import os
import random
import re
import signal
import struct
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pty_board import FakeBoard  # noqa: E402
from air_reads import Scripted, board_lines, radio_reads, tries  # noqa: E402
from nrf24_host import SOURCE_DIR, UNPRIVILEGED, nrf24_encode  # noqa: E402

from nrf24tools import air, lineproto  # noqa: E402
from nrf24tools.frames import crc_good  # noqa: E402
import nrf24_session  # noqa: E402

EXPORT_HEADER = len(nrf24_encode.EXPORTED_PDU_HEADER)
SAMPLE = os.path.join(SOURCE_DIR, "captures", "sample.txt")
RF24NETWORK = os.path.join(SOURCE_DIR, "captures", "rf24network.txt")
WRAP = 1 << 32


@pytest.fixture
def extcap(host):
    """The interface installed by the build's install step into the host's personal extcap folder."""
    return os.path.join(host.install_extcap(), "nrf24_extcap")


def frame(addr, payload=b"", pid=0, crc=None, noack=0):
    return nrf24_encode.encode_frame(addr=bytes.fromhex(addr), payload=payload, pid=pid, crc=crc, noack=noack)


A1 = frame("a8a8e1fc00", bytes.fromhex("6565002a0011ff322e312e31") + bytes(8), pid=2)
A2 = frame("a8a8e1fc00", pid=2)                   # A1's ack
B1 = frame("e7e7e7e7e7", bytes(range(23)), pid=1)
B1_ACK = frame("e7e7e7e7e7", pid=1)
B2 = frame("e7e7e7e7e7", b"\x01", pid=3, noack=1)
ONCE = frame("c2c2c2c2c2", b"\x42\x43", noack=1)  # an address heard once: never confirmed
PREAMBLE = frame("5555555555", b"\x00", noack=1)  # preamble-like: never taken, however often heard

# On the air (time in µs, packet): A1 and B1 acked (their acks begin after their reads end, at every rate), the
# others sent with the no-ack flag; noise starts reads at 2.5 and 12 ms. A radio hopping over 3 channels every
# 50 ms is back on the first at 900 ms.
AIR = [(0, A1), (4000, PREAMBLE), (5000, ONCE), (7000, PREAMBLE), (8000, B1), (900000, B2)]
NOISE_AT = [2500.0, 12000.0]
# The board's clock when A1 goes on the air: it wraps 3 ms later.
T0 = WRAP - 3000


def promiscuous_script(rate="250k", channel=76, hop=()):
    """The lines a board in promiscuous mode (preamble aa) prints for AIR at a rate on a channel (hopping over
    hop, 50 ms each, from 1 ms before A1, if given): each read a frame starts beginning 4 bits before its
    address, stamped 2 µs after its window."""
    timeline = [tx for time, data in AIR for tx in air.exchange(float(time), data, channel, rate)[0]]
    scripted = Scripted(0, 4, NOISE_AT, 2.0)
    if hop:
        radio = air.HoppingRadio(scripted, hop, 50, -1000.0, rate, noise_per_s=1.0)
    else:
        radio = air.Radio(scripted, channel, rate, noise_per_s=1.0)
    return board_lines(radio.reads(timeline), T0)


PROMISCUOUS_SCRIPT = promiscuous_script()
# Each frame stamped at the start of its preamble on the air, in the board's whole µs; each ack 130 µs after its
# packet's end: A1 lasts 932 µs at 250 kbps, 233 µs at 1 Mbps, 116.5 µs at 2 Mbps; B1 1028, 257, 128.5 µs.
PROMISCUOUS_FRAMES = [(0, A1), (1062, A2), (8000, B1), (9158, B1_ACK), (900000, B2)]
FRAMES_1M = [(0, A1), (363, A2), (8000, B1), (8387, B1_ACK), (900000, B2)]
FRAMES_2M = [(0, A1), (246, A2), (8000, B1), (8258, B1_ACK), (900000, B2)]
# Two packets of an address that begins with a 0 bit (preamble 55), at 1 and 3 ms.
C1, C2 = frame("1a2be1fc00", b"\x01", noack=1), frame("1a2be1fc00", b"\x02", pid=1, noack=1)
SCRIPT_55 = board_lines(radio_reads(tries([(1, C1), (3, C2)]), preamble=0x55, latency=2.0), T0)

ADDRESS = bytes.fromhex("a8a8e1fc00")
BAD = frame("a8a8e1fc00", b"\x10\x20", crc=0x1234)


def address_read(clock, data):
    """An address-mode read of a frame: the address, then the 32 bytes that followed it."""
    return lineproto.read_line(clock, 76, (data[5:] + bytes(32))[:32], address=data[:5])


ADDRESS_SCRIPT = [address_read(T0, A1), address_read(T0 + 2500, BAD), address_read(T0 + 7000, A2)]
ADDRESS_FRAMES = [(0, A1), (2500, BAD), (7000, A2)]


def pref_name(interface, option):
    """Wireshark's preference for an option of an interface: in the interface's name every character but
    letters, digits and _ becomes _; the option is its --call name without the hyphens."""
    return "extcap.%s.%s" % (re.sub(r"[^a-zA-Z0-9_]", "_", interface).lower(), option.replace("-", ""))


def capture_blocks(data):
    """(time stamp in microseconds, record data) of each packet of a pcap or pcapng file's bytes, and the
    pcapng blocks as (type, body)."""
    packets, blocks = [], []
    if data[:4] == b"\xd4\xc3\xb2\xa1":
        at = 24
        while at < len(data):
            sec, usec, size, _ = struct.unpack_from("<IIII", data, at)
            packets.append((sec * 1000000 + usec, data[at + 16:at + 16 + size]))
            at += 16 + size
        return packets, blocks
    assert data[:4] == b"\x0a\x0d\x0d\x0a", data[:24]
    at = 0
    while at < len(data):
        kind, length = struct.unpack_from("<II", data, at)
        body = data[at + 8:at + length - 4]
        blocks.append((kind, body))
        if kind == 6:
            _, high, low, size, _ = struct.unpack_from("<IIIII", body)
            packets.append(((high << 32) | low, body[20:20 + size]))
        at += length
    return packets, blocks


def pcap_records(path):
    """(time stamp in microseconds, frame) of each exported-PDU record of a pcap or pcapng file."""
    with open(path, "rb") as f:
        packets, _ = capture_blocks(f.read())
    return [(stamp, record_frame(record)) for stamp, record in packets]


def record_frame(record):
    """The frame of an exported-PDU record: after the tag "nrf24", or after the tag "nrf24_sniffer" and the
    sniffer header."""
    if record[:EXPORT_HEADER] == nrf24_encode.EXPORTED_PDU_HEADER:
        return record[EXPORT_HEADER:]
    assert record[:17] == b"\x00\x0c\x00\x0dnrf24_sniffer", record[:24]
    header = record[21:]
    return header[struct.unpack_from("<H", header, 2)[0]:]


def demo_on_the_air(prefix=b""):
    """The frames of the demo session that its reads hold whole with a good CRC, (time from the first, frame),
    from the air model that made it with the command in its first line: the sample network on channel 76, the
    RF24Network sample on 90, a radio hopping over 76, 90 and 100 every 50 ms (seed 24, 20 noise reads a
    second)."""
    networks = [(76, nrf24_session.read_frames(SAMPLE)), (90, nrf24_session.read_frames(RF24NETWORK))]
    stamped = [(channel, nrf24_session.acks_after_packets(nrf24_encode.stamp_frames(parsed), "250k"))
               for channel, parsed in networks]
    first = min(pairs[0][0] for _, pairs in stamped)
    on_air = sorted((tx for channel, pairs in stamped for tx in nrf24_session.timeline(pairs, channel, "250k", first)),
                    key=lambda tx: tx.time)
    radio = air.HoppingRadio(random.Random(24), (76, 90, 100), 50, -nrf24_session.HOP_LEAD_US, noise_per_s=20)
    heard = sorted({(tx.time, tx.frame) for read in radio.reads(on_air)
                    for tx, _, whole in read.contents if whole and crc_good(tx.frame) and tx.frame.startswith(prefix)})
    return [(round(time - heard[0][0]), frame) for time, frame in heard]


def assert_on_time(records, expected, tolerance=4):
    """The same frames in the same order, each stamped within tolerance µs of its time on the air (the read's
    stamp latency, 0..4 µs, taken as 2; an ack's start rounded to whole bits inside its packet's read)."""
    assert [frame for _, frame in records] == [frame for _, frame in expected]
    late = [(got, want) for (got, _), (want, _) in zip(relative(records), relative(expected))
            if abs(got - want) > tolerance]
    assert late == []


def relative(records):
    """Records with time stamps relative to the first."""
    return [(stamp - records[0][0], data) for stamp, data in records]


class Capture:
    """One tshark capture from a fake board through the installed interface."""

    def __init__(self, host, board, options=(), stop=()):
        self.interface = "nrf24-" + board.path
        args = ["-i", self.interface]
        for name, value in options:
            args += ["-o", "%s:%s" % (pref_name(self.interface, name), value)]
        self.output = os.path.join(host.home, "capture-%d.pcap" % time.monotonic_ns())
        self.result = host.run(*args, *stop, "-w", self.output, "-F", "pcap", check=False,
                               env={"NRF24_SNIFFER_PORTS": board.path})
        assert os.path.exists(self.output), self.result.stderr
        self.records = pcap_records(self.output)
        # tshark shows what the interface wrote on stderr, the first line after a prefix of its own
        self.messages = [line[line.index("nrf24_extcap: "):] for line in self.result.stderr.splitlines()
                         if "nrf24_extcap: " in line]


def board(script, commands_before=4, **kwargs):
    """The pretend sniffer, its terminal given to the uid tshark runs as (as root, the unprivileged one)."""
    return FakeBoard(script, commands_before, owner=UNPRIVILEGED if os.geteuid() == 0 else None, **kwargs)


class TestListing:
    def test_interfaces_one_per_serial_port_and_the_demo(self, host, extcap):
        ports = ["/dev/pts/90", "/dev/ttyS7"]
        listed = host.run("-D", env={"NRF24_SNIFFER_PORTS": ":".join(ports)}).output
        ours = [line.split(". ", 1)[1] for line in listed if ". nrf24-" in line]
        machine = sorted(p for p in os.listdir("/dev") if p.startswith(("ttyUSB", "ttyACM")))
        expected = ["nrf24-%s (nRF24 sniffer)" % path for path in sorted(ports + ["/dev/" + p for p in machine])]
        assert ours == expected + ["nrf24-demo (nRF24 sniffer demo (a recorded MySensors network))"]

    def test_link_type_is_exported_pdu(self, host, extcap):
        for interface, env in (("nrf24-demo", {}), ("nrf24-/dev/pts/90", {"NRF24_SNIFFER_PORTS": "/dev/pts/90"})):
            assert host.run("-i", interface, "-L", env=env).output == [
                "Data link types of interface %s (use option -y to set):" % interface,
                "  EXPORTED_PDU (Exported PDU, frames tagged nrf24)"]

    def test_config_parses_with_a_tooltip_for_each_option(self, extcap):
        answer = subprocess.run([extcap, "--extcap-config", "--extcap-interface", "nrf24-/dev/ttyUSB0",
                                 "--extcap-version=4.0", "--some-later-option=1"],
                                capture_output=True, text=True, check=True).stdout.splitlines()
        args, values = {}, {}
        for line in answer:
            kind, rest = line.split(" ", 1)
            fields = dict(re.findall(r"\{(\w+)=((?:[^{}]|\{[^{}]*\})*)\}", rest))
            assert "".join("{%s=%s}" % item for item in fields.items()) == rest, line
            if kind == "arg":
                args[int(fields["number"])] = fields
                assert fields["tooltip"], line
            else:
                assert kind == "value", line
                values.setdefault(int(fields["arg"]), []).append(fields)
        calls = {fields["call"]: fields for fields in args.values()}
        assert sorted(calls) == ["--address", "--baud", "--channel", "--drop-bad-crc", "--dwell", "--hop",
                                 "--mode", "--prefix", "--rate"]
        # the dialog's default is the command line's: damaged frames are kept unless the flag is given
        assert (calls["--drop-bad-crc"]["type"], calls["--drop-bad-crc"]["default"]) == ("boolflag", "false")
        assert (calls["--channel"]["range"], calls["--channel"]["default"]) == ("0,125", "76")
        assert [(v["value"], v["default"]) for v in values[int(calls["--rate"]["number"])]] == [
            ("250k", "true"), ("1m", "false"), ("2m", "false")]
        assert [v["value"] for v in values[int(calls["--mode"]["number"])]] == ["p-aa", "p-55", "address"]
        assert calls["--baud"]["default"] == "1000000"
        checks = {"--address": (["", "a8A8e1fc00"], ["a8a8e1fc", "a8a8e1fc0g", "a8a8e1fc000"]),
                  "--prefix": (["", "a8", "a8a8e1fc00"], ["a", "a8a8e1fc0000"]),
                  "--hop": (["", "76", "2,76,125"], ["76,", "1;2", ",".join(["1"] * 17)])}
        for call, (good, bad) in checks.items():
            pattern = re.compile(calls[call]["validation"])
            assert [bool(pattern.search(text)) for text in good + bad] == [True] * len(good) + [False] * len(bad)


class TestSerialCapture:
    # options given to tshark, the commands the board must receive, the script it plays, the frames expected
    CASES = [
        ([], ["v 2", "r 250k", "p aa", "c 76"], PROMISCUOUS_SCRIPT, PROMISCUOUS_FRAMES),
        ([("channel", "5"), ("rate", "2m")], ["v 2", "r 2m", "p aa", "c 5"],
         promiscuous_script("2m", 5), FRAMES_2M),
        ([("rate", "1m"), ("hop", "76,80,90"), ("dwell", "50")], ["v 2", "r 1m", "p aa", "h 76,80,90 50"],
         promiscuous_script("1m", hop=(76, 80, 90)), FRAMES_1M),
        ([("mode", "p-55")], ["v 2", "r 250k", "p 55", "c 76"], SCRIPT_55, [(0, C1), (2000, C2)]),
        ([("mode", "address"), ("address", "A8A8E1FC00")], ["v 2", "r 250k", "a a8a8e1fc00", "c 76"],
         ADDRESS_SCRIPT, ADDRESS_FRAMES),
        ([("mode", "address"), ("address", "a8a8e1fc00"), ("drop-bad-crc", "true")],
         ["v 2", "r 250k", "a a8a8e1fc00", "c 76"], ADDRESS_SCRIPT, [ADDRESS_FRAMES[0], ADDRESS_FRAMES[2]]),
    ]

    @pytest.mark.parametrize("options, commands, script, frames", CASES)
    def test_commands_frames_and_exact_gaps(self, host, extcap, forms, options, commands, script, frames):
        fake = board(script, len(commands))
        try:
            capture = Capture(host, fake, options, ["-a", "packets:%d" % len(frames)])
        finally:
            fake.stop()
        assert fake.commands == commands
        assert relative(capture.records) == frames
        decoded = host.run("-r", capture.output, "-T", "fields", "-e", "nrf24.ctrl.len", "-e", "nrf24.crcvalid",
                           user_dlt=False).output
        assert decoded == ["%d\t%s" % (data[5] >> 2, forms.true if crc_good(data) else forms.false)
                           for _, data in frames]

    def test_autostop_ends_the_interface(self, host, extcap):
        fake = board(PROMISCUOUS_SCRIPT)
        try:
            capture = Capture(host, fake, stop=["-a", "packets:2"])
            assert fake.host_closed.wait(10), "the interface kept the port open"
        finally:
            fake.stop()
        assert (capture.result.returncode, relative(capture.records)) == (0, PROMISCUOUS_FRAMES[:2])


class TestSnifferTrouble:
    # what the board does after two frames, the last message tshark shows from the interface
    CASES = [
        ([("sleep", 0.5), ("unplug",)], {}, "nrf24_extcap: sniffer gone: end of input (2 frames captured)"),
        ([("mute",)], {},
         "nrf24_extcap: sniffer silent: no line for 5 s, not even an answer to '?' (2 frames captured)"),
        (["#error radio: no answer on SPI"], {}, "nrf24_extcap: sniffer error: radio: no answer on SPI "
                                                 "(2 frames captured)"),
    ]

    @pytest.mark.parametrize("after, options, message", CASES)
    def test_capture_ends_with_one_line_and_keeps_the_frames(self, host, extcap, after, options, message):
        fake = board(PROMISCUOUS_SCRIPT[:3] + after)
        try:
            capture = Capture(host, fake, options)
        finally:
            fake.stop()
        assert capture.messages == [message], capture.result.stderr
        assert relative(capture.records) == PROMISCUOUS_FRAMES[:2]
        if after == [("mute",)]:
            assert fake.commands[4:] == ["?"]

    def test_refused_command_and_dead_radio_end_at_once(self, host, extcap):
        for kwargs, options, message in (
                ({"refuse": "h"}, [("hop", "1,2"), ("dwell", "9")],
                 "nrf24_extcap: sniffer error: command: not allowed: 'h 1,2 9' (0 frames captured)"),
                ({"radio_error": True}, [], "nrf24_extcap: sniffer error: radio: no answer on SPI (0 frames captured)")):
            fake = board(PROMISCUOUS_SCRIPT, **kwargs)
            try:
                capture = Capture(host, fake, options)
            finally:
                fake.stop()
            assert (capture.messages, capture.records) == ([message], [])

    def test_bad_lines_and_lost_reads_are_reported_and_the_capture_goes_on(self, host, extcap):
        script = [PROMISCUOUS_SCRIPT[0], "#lost 3", "zz", "0012d687 76 p 00112233", "0012d687 200 p " + "00" * 32,
                  "0012d687 76 p \u00e9" + "00" * 31, "#lost 2", "#bogus radio warm", "1" * 150,
                  PROMISCUOUS_SCRIPT[1], ("sleep", 0.3), ("unplug",)]
        fake = board(script)
        try:
            capture = Capture(host, fake)
        finally:
            fake.stop()
        assert capture.messages == [
            "nrf24_extcap: sniffer lost 3 reads (its output was full), 3 in all",
            "nrf24_extcap: bad line skipped: not a read: 'zz'",
            "nrf24_extcap: bad line skipped: promiscuous read of 4 bytes, expected 32",
            "nrf24_extcap: bad line skipped: channel 200 is not 0..125",
            "nrf24_extcap: bad line skipped: not text: byte 0xc3 at column 15",
            "nrf24_extcap: sniffer lost 2 reads (its output was full), 5 in all",
            "nrf24_extcap: unknown status line: #bogus radio warm",
            "nrf24_extcap: bad line skipped: not a read: '%s'" % ("1" * 40),
            "nrf24_extcap: sniffer gone: end of input (2 frames captured)"]
        assert relative(capture.records) == PROMISCUOUS_FRAMES[:2]


def read_exactly(fd, size, timeout=30):
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < size:
        assert time.monotonic() < deadline, "only %r within %d s" % (data, timeout)
        chunk = os.read(fd, size - len(data))
        assert chunk, "the fifo ended after %r" % data
        data += chunk
    return data


SHB, IDB, ISB, EPB = 0x0A0D0D0A, 1, 5, 6


def read_block(fd):
    """(type, body) of the next pcapng block from a fifo."""
    kind, length = struct.unpack("<II", read_exactly(fd, 8))
    return kind, read_exactly(fd, length - 8)[:-4]


class TestStops:
    """The interface run as Wireshark runs it, into a fifo, stopped by a signal or by the fifo's reader."""

    def start(self, host, script, *extra):
        fake = FakeBoard(script, 4)
        fifo = host.path("fifo-%d" % time.monotonic_ns())
        os.mkfifo(fifo)
        proc = subprocess.Popen([sys.executable, os.path.join(SOURCE_DIR, "tools", "nrf24_extcap.py"),
                                 "--capture", "--extcap-interface", "nrf24-" + fake.path, "--fifo", fifo,
                                 "--extcap-version=4.0"] + list(extra),
                                stderr=subprocess.PIPE, text=True)
        reader = os.open(fifo, os.O_RDONLY)
        return fake, proc, reader

    def test_signal_ends_cleanly_with_every_frame(self, host):
        for signum in (signal.SIGTERM, signal.SIGINT):
            fake, proc, reader = self.start(host, PROMISCUOUS_SCRIPT[:3])
            try:
                assert [read_block(reader)[0] for _ in range(2)] == [SHB, IDB]
                records = [read_block(reader) for _ in PROMISCUOUS_FRAMES[:2]]
                assert [(kind, record_frame(body[20:20 + struct.unpack_from("<I", body, 12)[0]]))
                        for kind, body in records] == [(EPB, A1), (EPB, A2)]
                proc.send_signal(signum)
                assert (proc.wait(30), proc.stderr.read()) == (0, "")
                # the statistics close the capture
                assert read_block(reader)[0] == ISB
                assert os.read(reader, 100) == b""
            finally:
                os.close(reader)
                fake.stop()

    def test_closed_fifo_ends_cleanly(self, host):
        fake, proc, reader = self.start(host, PROMISCUOUS_SCRIPT[:3] + [("sleep", 1.0)] + PROMISCUOUS_SCRIPT[3:])
        try:
            read_block(reader)
            os.close(reader)
            assert (proc.wait(30), proc.stderr.read()) == (0, "")
        finally:
            fake.stop()

    def test_lost_reads_reach_the_status_bar_through_the_control_pipe(self, host):
        control = host.path("control-out")
        fake, proc, reader = self.start(host, PROMISCUOUS_SCRIPT[:1] + ["#lost 4"] + PROMISCUOUS_SCRIPT[1:2],
                                        "--extcap-control-out", control)
        try:
            assert [read_block(reader)[0] for _ in range(4)] == [SHB, IDB, EPB, EPB]
            proc.send_signal(signal.SIGTERM)
            assert (proc.wait(30), proc.stderr.read()) == (
                0, "nrf24_extcap: sniffer lost 4 reads (its output was full), 4 in all\n")
        finally:
            os.close(reader)
            fake.stop()
        with open(control, "rb") as f:
            data = f.read()
        messages = []
        while data:
            assert data[:1] == b"T"
            size = int.from_bytes(data[1:4], "big")
            messages.append((data[4], data[5], data[6:4 + size].decode()))
            data = data[4 + size:]
        settings = "sniffer: v=1 ch=76 rate=250k mode=p pre=aa hop=- dwell=0"
        lost = "sniffer lost 4 reads (its output was full), 4 in all"
        # (control number, command, text): 2 adds to the log control 0, 6 sets the status bar
        version = "sniffer speaks line protocol version 1 only"
        assert messages == [(0, 2, version + "\n"), (0, 6, "nRF24 " + version),
                            (0, 2, settings + "\n"), (0, 6, "nRF24 " + settings),
                            (0, 2, lost + "\n"), (0, 6, "nRF24 " + lost)]


class TestDemo:
    def test_demo_plays_the_sample_network_in_real_time(self, host, extcap):
        # the frames one radio hears whole, acks inside their packet's read too; the prefix takes the network's
        expected = demo_on_the_air(bytes.fromhex("a8a8e1fc"))
        output = os.path.join(host.home, "demo.pcap")
        started = time.monotonic()
        result = host.run("-i", "nrf24-demo", "-o", pref_name("nrf24-demo", "prefix") + ":a8a8e1fc",
                          "-a", "packets:%d" % len(expected), "-w", output, "-F", "pcap")
        took = time.monotonic() - started
        assert_on_time(pcap_records(output), expected)
        assert took >= expected[-1][0] / 1e6, "played faster than real time"
        assert "Error by extcap pipe" not in result.stderr
        # the hopping radio's header on every frame: the sample network's channel, its rate, taken by the prefix
        channels = host.fields(output, "nrf24_sniffer.channel", "nrf24_sniffer.rate", "nrf24_sniffer.taken")
        assert channels.output == ["76\t250\t2"] * len(expected)
