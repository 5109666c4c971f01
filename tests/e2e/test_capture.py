"""The capture tool: sniffer lines in, a pcap out that the real tshark decodes, bad lines named; raw reads of
the sniffer line protocol recovered into frames, status lines on stderr, a sniffer on a serial port. Raw reads
are what one radio hears of a timeline on the air model (tools/nrf24tools/air.py, tests/support/air_reads.py)."""

import glob
import os
import pty
import random
import re
import select
import signal
import struct
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from pty_board import FakeBoard  # noqa: E402
from air_reads import board_lines, radio_reads, tries  # noqa: E402
from nrf24_host import SOURCE_DIR, nrf24_encode  # noqa: E402

from nrf24tools import air, lineproto, recover, serialport  # noqa: E402
from test_extcap import assert_on_time, capture_blocks, demo_on_the_air, pcap_records  # noqa: E402

CAPTURE = os.path.join(SOURCE_DIR, "tools", "nrf24_capture.py")
SAMPLE = os.path.join(SOURCE_DIR, "captures", "sample.txt")
DEMO = os.path.join(SOURCE_DIR, "captures", "demo-session.txt")
# The tool must flush by itself, not because the environment makes Python unbuffered.
TOOL_ENV = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
PCAP_HEADER = 24
RECORD_HEADER = 16
HOST_USEC = 1700000000 * 1000000


@pytest.fixture
def folder(host, request):
    """An empty folder of the test's own, to see that no file is left behind."""
    path = os.path.join(host.root, request.node.name.replace("/", "_"))
    os.mkdir(path)
    return path


def sample_frames():
    with open(SAMPLE) as f:
        specs = [line for line in f.read().splitlines() if line.strip() and not line.startswith("#")]
    return nrf24_encode.stamp_frames([nrf24_encode.parse_frame(spec) for spec in specs])


def sniffer_text(frames):
    """What a sniffer prints: time stamp and hex, one frame per line."""
    return "".join("%d.%06d %s\n" % (usec // 1000000, usec % 1000000, frame.hex()) for usec, frame in frames)


def run_capture(*args, stdin="", form="pcap"):
    return subprocess.run([sys.executable, CAPTURE, "--format", form] + list(args), input=stdin.encode(),
                          capture_output=True, env=TOOL_ENV)


def start_capture(*args):
    return subprocess.Popen([sys.executable, CAPTURE, "--format", "pcap"] + list(args), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=TOOL_ENV)


def read_exactly(stream, size, timeout=30):
    data = b""
    while len(data) < size:
        ready, _, _ = select.select([stream], [], [], timeout)
        if not ready:
            raise AssertionError("no output within %d s, got %r" % (timeout, data))
        chunk = os.read(stream.fileno(), size - len(data))
        if not chunk:
            raise AssertionError("output ended after %r" % data)
        data += chunk
    return data


class TestOutput:
    def test_sniffer_lines_make_the_encoders_capture(self, host):
        frames = sample_frames()
        lines = host.path("sample-sniffer.txt")
        with open(lines, "w") as f:
            f.write(sniffer_text(frames))
        protocols = {}
        for link, linktype in nrf24_encode.LINKTYPES.items():
            output = host.path("sample-%s.pcap" % link)
            proc = run_capture("--link", link, "-i", lines, "-o", output)
            assert (link, proc.returncode, proc.stderr) == (link, 0, b"")
            with open(output, "rb") as f:
                assert f.read() == nrf24_encode.pcap_bytes(frames, linktype), link
            result = host.run("-r", output, "-T", "fields", "-e", "frame.protocols", user_dlt=False)
            protocols[link] = set(result.output)
        # Exported PDU needs no user_dlts entry; DLT 147 without one stays undecoded.
        assert protocols == {"exported-pdu": {"exported_pdu:nrf24", "exported_pdu:nrf24:mysensors"},
                             "user0": {"user_dlt:data"}}

    def test_lines_without_time_stamp_get_the_reading_time(self):
        before = time.time_ns() // 1000
        proc = run_capture(stdin="%s\n12.5 %s\n" % (GOOD, GOOD))
        after = time.time_ns() // 1000
        stamps = record_stamps(proc.stdout)
        assert before <= stamps[0] <= after, stamps
        assert stamps[1] == 12500000

    def test_pipe_into_tshark_capturing_from_stdin(self, host, forms):
        # What "nrf24_capture.py < serial | wireshark -k -i -" does, with tshark in Wireshark's place.
        lines = host.path("sniffer.txt")
        with open(lines, "w") as f:
            # an acknowledgement, a damaged frame, its retransmission and acknowledgement, the next frame
            f.write(sniffer_text(sample_frames()[12:17]))
        # 3.4's dumpcap at times loses a short pcapng stream from a pipe (once in three host-matrix runs; classic
        # pcap never): the README tells 3.4 users to pipe classic pcap.
        classic = ["--format", "pcap"] if forms.since < (4, 0) else []
        tool = subprocess.Popen([sys.executable, CAPTURE, "-i", lines] + classic, stdout=subprocess.PIPE,
                                env=TOOL_ENV)
        result = host.run("-i", "-", "-T", "fields", "-e", "nrf24.ctrl.pid", "-e", "nrf24.crcvalid",
                          stdin=tool.stdout, user_dlt=False)
        tool.stdout.close()
        assert tool.wait() == 0
        good, bad = forms.true, forms.false
        assert result.output == ["0\t" + good, "1\t" + bad, "1\t" + good, "1\t" + good, "2\t" + good]


GOOD = nrf24_encode.encode_frame(addr=bytes.fromhex("a8a8e1fc00")).hex()
# A packet sent with the no-ack flag: alone on the air, no ack or retry after it.
LONE = nrf24_encode.encode_frame(addr=bytes.fromhex("a8a8e1fc00"), payload=b"\x5a", noack=1)
# One whose address begins with a 0 bit: its preamble is 0x55.
LONE_55 = nrf24_encode.encode_frame(addr=bytes.fromhex("1a2be1fc00"), payload=b"\x5a", noack=1)


def record_stamps(data):
    """The time stamps of the records of a capture's bytes."""
    return [stamp for stamp, _ in capture_blocks(data)[0]]


class TestBadInput:
    # a bad line, then the message that names it
    CASES = [
        ("a8a8e1fc0000f2ea8", "frame: odd number of hex digits"),
        ("a8a8e1fc0000f2eazz", "frame: not hex: 'a8a8e1fc0000f2eazz'"),
        ("1.5 a8a8 e1fc", "expected [time stamp] hex, got 3 words"),
        ("1.5s a8a8e1fc0000f2ea80", "time stamp: not a number: '1.5s'"),
        ("-1 a8a8e1fc0000f2ea80", "time stamp: -1 is not between 0 and 4294967295 seconds"),
        ("nan a8a8e1fc0000f2ea80", "time stamp: nan is not between 0 and 4294967295 seconds"),
        ("a8a8\xe9", "not text: byte 0xc3 at column 5"),
        ("00" * 65523, "frame is 65523 bytes, over 65522"),
        ("0012d687 76 p a8a8", "promiscuous read of 2 bytes, expected 32"),
        ("0012d687 76 q " + "00" * 32, "not a read: '0012d687 76 q " + "0" * 26 + "'"),
    ]

    @pytest.mark.parametrize("line, message", CASES, ids=[message for _, message in CASES])
    def test_each_bad_line_stops_with_its_line_number_and_no_file(self, folder, line, message):
        proc = run_capture("-o", os.path.join(folder, "out.pcap"),
                           stdin="# sniffer v1\n%s\n\n%s\n%s\n" % (GOOD, line, GOOD))
        assert (proc.returncode, proc.stderr.decode()) == (2, "nrf24_capture: line 4: %s\n" % message)
        assert os.listdir(folder) == []

    def test_skip_bad_reports_and_counts_every_bad_line(self, host, folder, forms):
        output = os.path.join(folder, "out.pcap")
        lines = [GOOD] + [line for line, _ in self.CASES] + [GOOD]
        proc = run_capture("--skip-bad", "-o", output, stdin="\n".join(lines))
        expected = ["nrf24_capture: line %d: %s (skipped)" % (n, message)
                    for n, (_, message) in enumerate(self.CASES, 2)]
        expected.append("nrf24_capture: %d bad lines skipped, 2 frames written" % len(self.CASES))
        assert (proc.returncode, proc.stderr.decode().splitlines()) == (0, expected)
        assert host.run("-r", output, "-T", "fields", "-e", "nrf24.crcvalid", user_dlt=False).output == \
            [forms.true] * 2

    def test_stream_keeps_whole_frames_before_a_bad_line(self, host, folder):
        output = os.path.join(folder, "out.pcap")
        proc = run_capture(stdin="%s\n%s\nzz\n%s\n" % (GOOD, GOOD, GOOD))
        assert (proc.returncode, proc.stderr) == (2, b"nrf24_capture: line 3: frame: not hex: 'zz'\n")
        with open(output, "wb") as f:
            f.write(proc.stdout)
        os.chmod(output, 0o644)
        result = host.run("-r", output, "-T", "fields", "-e", "nrf24.ctrl.len", user_dlt=False)
        assert result.output == ["0", "0"]

    def test_output_to_a_terminal_is_refused(self):
        master, slave = pty.openpty()
        on_terminal = subprocess.run([sys.executable, CAPTURE], stdin=subprocess.DEVNULL, stdout=slave,
                                     stderr=subprocess.PIPE)
        os.close(slave)
        os.close(master)
        assert (on_terminal.returncode, on_terminal.stderr) == (
            2, b"nrf24_capture: not writing a capture to a terminal: give -o FILE or pipe it\n")

    @pytest.mark.parametrize("case", ["missing input", "missing output folder", "settings without a port",
                                      "port and input", "bad channel", "missing port"])
    def test_bad_usage(self, folder, case):
        missing = os.path.join(folder, "missing")
        output = os.path.join(folder, "out.pcap")
        args, message = {
            "missing input": (["-i", missing, "-o", output], "nrf24_capture: %s: No such file or directory\n" % missing),
            "missing output folder": (["-o", os.path.join(missing, "out.pcap")],
                                      "nrf24_capture: %s/out.pcap: No such file or directory\n" % missing),
            "settings without a port": (["--channel", "5", "-o", output],
                                        "nrf24_capture: sniffer settings need --port\n"),
            "port and input": (["--port", missing, "-i", missing, "-o", output],
                               "nrf24_capture: give either --port or -i\n"),
            "bad channel": (["--port", missing, "--channel", "126", "-o", output],
                            "nrf24_capture: channel 126 is not 0..125\n"),
            "missing port": (["--port", missing, "-o", output],
                             "nrf24_capture: cannot open %s: No such file or directory\n" % missing),
        }[case]
        proc = run_capture(*args, stdin=GOOD)
        assert (proc.returncode, proc.stderr.decode()) == (2, message)
        assert os.listdir(folder) == []


class TestLive:
    def test_header_at_once_then_each_frame_as_its_line_arrives(self):
        with start_capture() as tool:
            assert read_exactly(tool.stdout, PCAP_HEADER) == nrf24_encode.pcap_header(252)
            for stamp in ("1.000001", "2.000002"):
                tool.stdin.write(("%s %s\n" % (stamp, GOOD)).encode())
                tool.stdin.flush()
                usec = int(stamp.replace(".", ""))
                expected = nrf24_encode.pcap_record(usec, bytes.fromhex(GOOD), 252)
                assert read_exactly(tool.stdout, len(expected)) == expected
            tool.stdin.close()
            assert tool.stdout.read() == b""
            assert tool.wait(30) == 0

    @pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
    def test_interrupt_ends_the_capture_with_every_frame_read(self, host, folder, signum):
        output = os.path.join(folder, "live.pcap")
        with start_capture("-o", output) as tool:
            tool.stdin.write(("1.5 %s\n2.5 %s\n" % (GOOD, GOOD)).encode())
            tool.stdin.flush()
            expected = PCAP_HEADER + 2 * (RECORD_HEADER + 13 + 9)
            deadline = time.monotonic() + 30
            while sum(os.path.getsize(p) for p in glob.glob(os.path.join(glob.escape(folder), ".nrf24-*"))) < expected:
                assert time.monotonic() < deadline, "the frames never reached the file"
                time.sleep(0.05)
            tool.send_signal(signum)
            assert tool.wait(30) == 0
            assert tool.stderr.read() == b"nrf24_capture: stopped after 2 frames\n"
        assert os.listdir(folder) == ["live.pcap"]
        result = host.run("-r", output, "-T", "fields", "-e", "frame.time_epoch", user_dlt=False)
        assert result.output == ["1.500000000", "2.500000000"]


def gaps(records):
    return [(stamp - records[0][0], data) for stamp, data in records]


SETTINGS = "#sniffer v=1 ch=76 rate=250k mode=p pre=aa hop=- dwell=0"
SETTINGS_SHOWN = "sniffer: v=1 ch=76 rate=250k mode=p pre=aa hop=- dwell=0"


class TestHoppingRadio:
    """The air model's radio hopping as the firmware does: a read heard on the channel it dwells on, none while it
    settles after a hop (130 us), a read still open at the hop lost, nothing from the other channels."""

    ADDRESS = bytes.fromhex("a8a8e1fc00")

    def transmission(self, time, channel):
        frame = nrf24_encode.encode_frame(addr=self.ADDRESS, payload=b"\x01\x02", pid=1)
        return air.Transmission(time, channel, "250k", frame, "data", 0, False)

    def test_hears_only_the_channel_it_dwells_on(self):
        # address mode at 250 kbit/s: a read opens 192 us after the preamble starts and lasts 1,024 us; 2 ms on
        # 76 from 0, on 90 from 2,000, on 76 again from 4,000
        radio = air.HoppingRadio(random.Random(1), (76, 90), 2, address=self.ADDRESS)
        timeline = [self.transmission(200, 76),      # heard on 76
                    self.transmission(1000, 90),     # on 90 while the radio is on 76: not heard
                    self.transmission(2050, 90),     # its address 82 us into the dwell on 90: still settling
                    self.transmission(2500, 90),     # heard on 90
                    self.transmission(3800, 90),     # its read would end at 5,016: lost at the hop
                    self.transmission(4200, 76)]     # heard on 76: the lost read kept the radio busy only to the hop
        reads = radio.reads(timeline)
        assert [(read.channel, read.start, read.end, [tx.time for tx, _, _ in read.contents]) for read in reads] == [
            (76, 392.0, 1416.0, [200]), (90, 2692.0, 3716.0, [2500]), (76, 4392.0, 5416.0, [4200])]
        assert [line[:12] for line in air.session_lines(radio, reads, clock=0x1000)] == [
            "#boot reset=", "#sniffer v=1", "#sniffer v=1", "00001589 76 ", "00001e84 90 ", "00002529 76 "]
        assert air.session_lines(radio, reads)[1:3] == [
            "#sniffer v=1 fw=2.0 ch=76 rate=250k mode=p pre=aa hop=- dwell=0",
            "#sniffer v=1 fw=2.0 ch=76 rate=250k mode=a addr=a8a8e1fc00 hop=76,90 dwell=2"]

    def test_noise_reads_lie_inside_a_dwell_once_the_radio_listens(self):
        radio = air.HoppingRadio(random.Random(2), (2, 40, 80), 3, start=-500.0, noise_per_s=20000)
        # noise from 0 to 60 ms; the dwells from -0.5 ms: 21 of them, each with reads on its own channel only
        reads = radio.reads([], until=60000)
        dwells = [(int((read.start + 500) // 3000), read) for read in reads]
        assert len({dwell for dwell, _ in dwells}) == 21
        outside = [(dwell, read.channel, read.start, read.end) for dwell, read in dwells
                   if read.channel != (2, 40, 80)[dwell % 3] or read.start < dwell * 3000 - 500 + 130
                   or read.end > (dwell + 1) * 3000 - 500]
        assert outside == []

    @pytest.mark.parametrize("args, message", [
        (["--hop", "76,90"], "nrf24_session.py: error: --hop and --dwell go together, the dwell 1..60000 ms"),
        (["--hop", "76,90", "--dwell", "0"], "nrf24_session.py: error: --hop and --dwell go together, the dwell "
                                               "1..60000 ms"),
        (["--hop", "76,,90", "--dwell", "5"], "nrf24_session.py: error: argument --hop: hop list '76,,90' is not "
                                                "1 to 16 channels separated by commas"),
        (["--hop", "76,126", "--dwell", "5"], "nrf24_session.py: error: argument --hop: channel '126' is not 0..125"),
        (["--network", "90"], "nrf24_session.py: error: argument --network: '90' is not CH:FILE"),
        (["--network", "90:missing.txt"], "nrf24_session: missing.txt: [Errno 2] No such file or directory: "
                                          "'missing.txt'"),
    ], ids=["hop without dwell", "dwell 0", "empty channel", "channel 126", "network without file",
            "network file missing"])
    def test_session_tool_refuses_bad_hopping_options(self, host, args, message):
        proc = subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "tools", "nrf24_session.py"), "-i",
                               SAMPLE, "-o", host.path("session.txt"), *args], cwd=host.root, capture_output=True,
                              text=True)
        assert (proc.returncode, proc.stderr.splitlines()[-1]) == (2, message)
        assert not os.path.exists(host.path("session.txt"))


class TestSnifferLines:
    def test_demo_session_gives_the_frames_on_the_air_at_their_times(self, host):
        # with a prefix every frame of that network the reads hold whole; without, an address heard once (the
        # broadcast, a mesh address and the encrypted network's one frame heard while the radio dwelt there) is never
        # confirmed
        heard = demo_on_the_air()
        once = [frame[:5] for _, frame in heard if sum(f[:5] == frame[:5] for _, f in heard) == 1]
        assert once == [bytes.fromhex("a8a8e1fcff"), bytes.fromhex("cccccccce3"), bytes.fromhex("99dedd2400")]
        for args, expected in ((["--prefix", "a8a8e1fc"], demo_on_the_air(bytes.fromhex("a8a8e1fc"))),
                               ([], [(t, frame) for t, frame in heard if frame[:5] not in once])):
            output = host.path("demo-%d.pcap" % len(args))
            proc = run_capture("-i", DEMO, "-o", output, *args, form="pcapng")
            assert (proc.returncode, proc.stderr.decode().splitlines()) == (0, [
                "nrf24_capture: line 2: sniffer restarted (reset=power-on): its clock starts again",
                "nrf24_capture: line 3: sniffer: v=1 fw=2.0 ch=76 rate=250k mode=p pre=aa hop=- dwell=0",
                "nrf24_capture: line 4: sniffer: v=1 fw=2.0 ch=76 rate=250k mode=p pre=aa hop=76,90,100 dwell=50"])
            # a frame that confirmed an address is written after the first frame of that address
            assert_on_time(sorted(pcap_records(output)), expected)

    def test_demo_session_is_the_air_models_output(self, host):
        # the command in its first line remakes it
        with open(DEMO) as f:
            kept = f.read().splitlines()
        assert kept[0] == ("# made by: tools/nrf24_session.py -i captures/sample.txt --network "
                           "90:captures/rf24network.txt --hop 76,90,100 --dwell 50 -o captures/demo-session.txt")
        output = host.path("demo-session.txt")
        args = kept[0].split()[4:-2] + ["-o", output]
        proc = subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "tools", "nrf24_session.py"), *args],
                              cwd=SOURCE_DIR, capture_output=True, text=True)
        assert (proc.returncode, proc.stderr) == (0, "")
        with open(output) as made:
            assert made.read().splitlines()[1:] == kept[1:]

    def test_status_lines_go_to_stderr_and_frames_keep_the_board_clock(self, host):
        # on the air at 1 ms and 3 ms: the first in a read it started 4 bits before its address, the second in a
        # read noise started 20 bits before its address; the board's clock wraps between the two reads
        reads = radio_reads(tries([(1, LONE), (3, LONE)]), lead=4, noise_at=[2952.0], latency=2.0)
        assert [(read.noise, read.contents[0][1]) for read in reads] == [(False, 4), (True, 20)]
        # stamped 2042 µs and 3978 µs into the timeline, the board's clock at 2^32 - 3000 at its start
        first, second = board_lines(reads, (1 << 32) - 3000)
        assert (first[:8], second[:8]) == ("fffffc42", "000003d2")
        lines = [SETTINGS, first, "#lost 3", "#bogus 1", "1.5 " + GOOD, second,
                 "#error radio: no answer on SPI", "#lost 1"]
        before = time.time_ns() // 1000
        proc = run_capture("--prefix", "a8", stdin="\n".join(lines) + "\n")
        after = time.time_ns() // 1000
        assert proc.stderr.decode().splitlines() == [
            "nrf24_capture: line 1: " + SETTINGS_SHOWN,
            "nrf24_capture: line 3: sniffer lost 3 reads (its output was full), 3 in all",
            "nrf24_capture: line 4: unknown status line: #bogus 1",
            "nrf24_capture: line 7: sniffer error: radio: no answer on SPI",
            "nrf24_capture: line 8: sniffer lost 1 reads (its output was full), 4 in all"]
        stamps = record_stamps(proc.stdout)
        assert proc.returncode == 0 and len(stamps) == 3
        # the first read is anchored to the time its line was read; a frame is stamped at its preamble's start,
        # which was on the air 1042 µs before its read's stamp (2042 µs); the frames are 2 ms apart on the air,
        # across the wrap
        assert before - 1042 <= stamps[0] <= after - 1042 and stamps[1] == 1500000
        assert stamps[2] - stamps[0] == 2000

    def test_port_gets_the_settings_and_an_unplugged_sniffer_ends_the_capture(self, host, folder):
        frame = LONE_55
        reads = radio_reads(tries([(1, frame), (2, frame)], rate="2m", channel=5), rate="2m", lead=2,
                            preamble=0x55, latency=2.0, channel=5)
        script = board_lines(reads, 0) + [("sleep", 0.5), ("unplug",)]
        board = FakeBoard(script, 4)
        output = os.path.join(folder, "port.pcap")
        try:
            proc = subprocess.run([sys.executable, CAPTURE, "--port", board.path, "--channel", "5", "--rate", "2m",
                                   "--preamble", "55", "--prefix", "1a2b", "-o", output], capture_output=True,
                                  env=TOOL_ENV, timeout=60)
        finally:
            board.stop()
        assert board.commands == ["v 2", "r 2m", "p 55", "c 5"]
        messages = proc.stderr.decode().splitlines()
        assert messages[-2].endswith(": sniffer: v=1 ch=5 rate=2m mode=p pre=55 hop=- dwell=0"), messages
        assert (proc.returncode, messages[-1]) == (
            1, "nrf24_capture: %s: sniffer gone: end of input (2 frames written)" % board.path)
        assert gaps(pcap_records(output)) == [(0, frame), (1000, frame)]


def pcapng_options(body):
    """A pcapng block's options after its fixed part, as {code: value}."""
    options, at = {}, 0
    while at + 4 <= len(body):
        code, size = struct.unpack_from("<HH", body, at)
        if code == 0:
            break
        options[code] = body[at + 4:at + 4 + size]
        at += 4 + size + (-size % 4)
    return options


class TestPcapng:
    def test_interface_names_the_sniffer_and_counts_the_lost_reads(self, host):
        # the frame on the air at 1 ms and 9 ms, noise starting a read at 5 ms
        reads = radio_reads(tries([(1, LONE_55), (9, LONE_55)], rate="1m", channel=5), rate="1m", lead=3,
                            noise_at=[5000.0], preamble=0x55, latency=2.0, channel=5)
        first, noise, second = board_lines(reads, 0)
        lines = ["#sniffer v=1 fw=2.0 ch=5 rate=1m mode=p pre=55 hop=- dwell=0", first, "#lost 3", noise, second,
                 "#lost 2"]
        output = host.path("lost.pcapng")
        proc = run_capture("--prefix", "1a", "-i", "-", "-o", output, stdin="\n".join(lines) + "\n", form="pcapng")
        assert proc.returncode == 0, proc.stderr
        with open(output, "rb") as f:
            packets, blocks = capture_blocks(f.read())
        assert [kind for kind, _ in blocks] == [0x0A0D0D0A, 1, 6, 6, 5]
        assert pcapng_options(blocks[0][1][16:]) == {4: b"nrf24-capture"}
        assert pcapng_options(blocks[1][1][8:]) == {
            2: b"nrf24 sniffer recorded",
            3: b"nRF24 sniffer, firmware 2.0, line protocol 1; channel 5, 1 Mbps, promiscuous 55, no hopping",
            9: b"\x06"}
        # 3 reads printed and 5 lost: the drop count Wireshark shows
        statistics = pcapng_options(blocks[4][1][12:])
        assert (statistics[4], statistics[5]) == (struct.pack("<Q", 8), struct.pack("<Q", 5))
        # as far apart as on the air
        assert packets[1][0] - packets[0][0] == 8000

    def test_tshark_reads_the_frames_and_the_drop_count(self, host):
        output = host.path("demo.pcapng")
        proc = run_capture("-i", DEMO, "--prefix", "a8a8e1fc", "-o", output, form="pcapng")
        assert proc.returncode == 0, proc.stderr
        os.chmod(output, 0o644)
        rows = host.run("-r", output, "-T", "fields", "-e", "nrf24.ctrl.len", user_dlt=False).output
        assert len(rows) == len(demo_on_the_air(bytes.fromhex("a8a8e1fc")))


class TestLineProtocol2:
    def test_a_read_of_version_2_brings_its_rate(self):
        line = "0012d687 76 p " + "00" * 32 + " 2m 1 i"
        assert lineproto.parse_line(line) == lineproto.Read(0x12D687, 76, "p", b"", bytes(32), "2m", 1, "i")
        assert lineproto.parse_line(line[:-7] + " 250k - u extra") == lineproto.Read(
            0x12D687, 76, "p", b"", bytes(32), "250k", None, "u")

    def test_stamps_follow_each_reads_rate_and_a_boot_adds_no_wrap(self, host):
        # a frame on the air at 1 ms at 2 Mbps, its read printed 134 µs later (4 µs of preamble, 128 µs of read,
        # 2 µs stamp latency) near the board clock's wrap; then the board restarts, its clock at 0, and hears the
        # frame at 3 ms at 250 kbps
        fast = radio_reads(tries([(1, LONE)], rate="2m"), rate="2m", latency=2.0)
        slow = radio_reads(tries([(3, LONE)]), latency=2.0)
        lines = [SETTINGS, board_lines(fast, (1 << 32) - 4096)[0] + " 2m 1 i", "#boot reset=external",
                 board_lines(slow, 0)[0] + " 250k 0 i"]
        assert (lines[1][:8], lines[3][:8]) == ("fffff46e", "00000fda")
        proc = run_capture("--prefix", "a8", stdin="\n".join(lines) + "\n")
        stamps = record_stamps(proc.stdout)
        # the board's clock restarts at the #boot line, right after the first read: the second frame is 3 ms
        # after it, not a wrap later
        assert (proc.returncode, stamps[1] - stamps[0]) == (0, 134 + 3000)
        assert "sniffer restarted (reset=external): its clock starts again" in proc.stderr.decode()


class TestInterfaceDescription:
    CASES = [
        ("#sniffer v=2 fw=2.0 ch=76 rate=250k mode=p pre=aa hop=- dwell=0",
         "nRF24 sniffer, firmware 2.0, line protocol 2, 1000000 baud; channel 76, 250 kbps, promiscuous aa, "
         "no hopping"),
        ("#sniffer v=1 ch=5 rate=2m mode=a addr=a8a8e1fc00 hop=1,2,3 dwell=50",
         "nRF24 sniffer, firmware unknown, line protocol 1, 1000000 baud; channel 5, 2 Mbps, address a8a8e1fc00, "
         "hopping 1,2,3 every 50 ms"),
    ]

    @pytest.mark.parametrize("line, description", CASES)
    def test_the_board_its_firmware_and_settings(self, line, description):
        session = serialport.Session(recover.Recovery(), None, lambda text, kind: None, False,
                                     sniffer="/dev/ttyUSB0", baud=1000000)
        session.line(HOST_USEC, line.encode())
        assert session.description() == description


class TestMissingReads:
    def test_lost_reads_and_possible_gaps_go_with_the_next_frame(self):
        frames, messages = [], []
        session = serialport.Session(recover.Recovery([b"\xa8"]), lambda stamp, data: frames.append(data),
                                     lambda text, kind: messages.append(kind), False)
        for line in (b"#lost 2", b"#full 0012d687", b"#radio reset 0014a000", b"#boot reset=external", b"#lost 1"):
            session.line(HOST_USEC, line)
        # counted: 3 lost; flagged: the radio's FIFO full (1), the radio reset (2), the board reset (4)
        assert (session.lost_before, session.lost, session.reads) == ((3, 7), 3, 3)
        assert messages == ["lost", "lost", "boot", "lost"]
        session.line(HOST_USEC, board_lines(radio_reads(tries([(1, LONE)]), lead=2), 0)[0].encode())
        assert (len(frames), session.lost_before, session.reads) == (1, (0, 0), 4)


def port_script(*chunks):
    """A pipe that plays a port: the chunks written at once; the commands the host writes are kept."""
    read_end, write_end = os.pipe()
    for chunk in chunks:
        os.write(write_end, chunk.encode())
    written = []
    return read_end, write_end, written, lambda data: written.append(data.decode())


class TestPortLines:
    READ = lineproto.read_line(0x10, 76, bytes(32))

    @pytest.mark.parametrize("first, kept", [(READ, True), (READ[5:], False), ("#sniffer v=1 ch=76", True),
                                             ("iffer v=1 ch=76", False)])
    def test_the_first_line_is_kept_when_whole(self, first, kept):
        read_end, write_end, _, write = port_script(first + "\n" + self.READ + "\n")
        lines = serialport.port_lines(read_end, write, [])
        got = [next(lines)[1] for _ in range(1 + kept)]
        os.close(write_end)
        os.close(read_end)
        assert got == ([first.encode()] if kept else []) + [self.READ.encode()]

    def test_commands_go_one_after_the_others_answer(self):
        read_end, write_end, written, write = port_script(self.READ + "\n")
        lines = serialport.port_lines(read_end, write, ["r 2m", "c 5"])
        next(lines)
        assert written == ["v 2\n"]
        os.write(write_end, b'#error command: unknown command "v 2"\n')
        next(lines)
        assert written == ["v 2\n", "r 2m\n"]
        os.write(write_end, b"#sniffer v=1 ch=76 rate=2m mode=p pre=aa hop=- dwell=0\n")
        next(lines)
        assert written == ["v 2\n", "r 2m\n", "c 5\n"]
        # a board that restarts is set up again once it says its settings
        os.write(write_end, b"#boot reset=external\n#sniffer v=1 ch=76 rate=250k mode=p pre=aa hop=- dwell=0\n")
        next(lines)
        next(lines)
        os.close(write_end)
        os.close(read_end)
        assert written == ["v 2\n", "r 2m\n", "c 5\n", "v 2\n"]


class TestPortFaults:
    def test_a_garbled_line_is_reported_and_every_frame_kept(self, host, folder):
        frame = LONE
        first, second = board_lines(radio_reads(tries([(1, frame), (3, frame)]), lead=1), 0)
        script = [first, "0012\x01zz garbled", second, ("sleep", 0.5), ("unplug",)]
        board = FakeBoard(script, 1)            # no settings given: "v 2" is the only command
        output = os.path.join(folder, "port.pcapng")
        try:
            proc = subprocess.run([sys.executable, CAPTURE, "--port", board.path, "--prefix", "a8a8", "-o", output],
                                  capture_output=True, env=TOOL_ENV, timeout=60)
        finally:
            board.stop()
        messages = proc.stderr.decode().splitlines()
        # its number counts the noise reads the board printed before the host's command
        garbled = re.compile(r"nrf24_capture: line \d+: time stamp: not a number: '0012\\x01zz' \(skipped\)")
        assert [message for message in messages if garbled.fullmatch(message)], messages
        assert (proc.returncode, messages[-2:]) == (1, [
            "nrf24_capture: %s: sniffer gone: end of input (2 frames written)" % board.path,
            "nrf24_capture: 1 bad lines skipped, 2 frames written"])
        assert [data for _, data in pcap_records(output)] == [frame, frame]


class TestSnifferHeader:
    def test_each_frame_carries_where_it_was_found_and_its_acks_observability(self):
        sniffer_header = pytest.importorskip(
            "nrf24tools.sniffer_header", reason="the sniffer header's encoder (tools/nrf24tools/sniffer_header.py) "
                                                "is not in this tree")
        packet = nrf24_encode.encode_frame(addr=bytes.fromhex("a8a8e1fc00"), payload=bytes(12), pid=1)
        got = []
        session = serialport.Session(recover.Recovery([b"\xa8"]), lambda stamp, data: got.append(data),
                                     lambda text, kind: None, False, sniffer="/dev/ttyUSB0")
        session.line(HOST_USEC, b"#sniffer v=2 fw=2.0 ch=76 rate=1m mode=p pre=aa hop=- dwell=0")
        session.line(HOST_USEC, b"#lost 2")
        # the packet on the air at 1 ms, its read starting 7 bits before its address and printed 259 µs later
        # (0x1000 on the board's clock), then its ack in a read of its own
        timeline, _ = air.exchange(1000.0, packet, rate="1m")
        reads = radio_reads(timeline, rate="1m", lead=7, latency=2.0)
        for line in board_lines(reads, 0x1000 - 1259):
            session.line(HOST_USEC, (line + " 1m 1 i").encode())
        session.finish()
        [data, ack] = got
        tags = sniffer_header.EXPORTED_PDU_TAGS
        version, length, items = sniffer_header.decode(data[len(tags):])
        assert data[:len(tags)] == tags and data[len(tags) + length:] == packet
        # at 1 Mbps a 12-byte packet's ack begins after the read: heard unless another read ran (none did)
        assert dict(items) == {1: (76,), 2: (1000,), 3: (0, 0xAA), 4: (7,), 5: (0x1000 - 256, 0x1000, 1),
                               6: (0x1000,), 7: (2,), 8: (3,), 9: (2, 0), 10: (1,), 11: "/dev/ttyUSB0"}
        # the ack starts 130 µs after the packet's 169 µs: its read ends 299 µs after the packet's
        version, length, items = sniffer_header.decode(ack[len(tags):])
        assert ack[len(tags) + length:] == timeline[1].frame
        assert dict(items) == {1: (76,), 2: (1000,), 3: (0, 0xAA), 4: (7,), 5: (0x1000 + 43, 0x1000 + 299, 1),
                               6: (0x1000 + 299,), 7: (2,), 9: (0, 0), 10: (1,), 11: "/dev/ttyUSB0"}
