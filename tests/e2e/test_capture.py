"""The capture tool: sniffer lines in, a pcap out that the real tshark decodes, bad lines named."""

import glob
import os
import pty
import select
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nrf24_host import Host, SOURCE_DIR, host_forms, nrf24_encode  # noqa: E402

CAPTURE = os.path.join(SOURCE_DIR, "tools", "nrf24_capture.py")
SAMPLE = os.path.join(SOURCE_DIR, "captures", "sample.txt")
HOST = None
# The tool must flush by itself, not because the environment makes Python unbuffered.
TOOL_ENV = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
PCAP_HEADER = 24
RECORD_HEADER = 16


def setUpModule():
    global HOST
    HOST = Host()


def sample_frames():
    with open(SAMPLE) as f:
        specs = [line for line in f.read().splitlines() if line.strip() and not line.startswith("#")]
    return nrf24_encode.stamp_frames([nrf24_encode.parse_frame(spec) for spec in specs])


def sniffer_text(frames):
    """What a sniffer prints: time stamp and hex, one frame per line."""
    return "".join("%d.%06d %s\n" % (usec // 1000000, usec % 1000000, frame.hex()) for usec, frame in frames)


def run_capture(*args, stdin=""):
    return subprocess.run([sys.executable, CAPTURE] + list(args), input=stdin.encode(), capture_output=True,
                          env=TOOL_ENV)


def start_capture(*args):
    return subprocess.Popen([sys.executable, CAPTURE] + list(args), stdin=subprocess.PIPE,
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


class Output(unittest.TestCase):
    def test_sniffer_lines_make_the_encoders_capture(self):
        frames = sample_frames()
        lines = HOST.path("sample-sniffer.txt")
        with open(lines, "w") as f:
            f.write(sniffer_text(frames))
        protocols = {}
        for link, linktype in nrf24_encode.LINKTYPES.items():
            with self.subTest(link=link):
                output = HOST.path("sample-%s.pcap" % link)
                proc = run_capture("--link", link, "-i", lines, "-o", output)
                self.assertEqual((proc.returncode, proc.stderr), (0, b""))
                with open(output, "rb") as f:
                    self.assertEqual(f.read(), nrf24_encode.pcap_bytes(frames, linktype))
                result = HOST.run("-r", output, "-T", "fields", "-e", "frame.protocols", user_dlt=False)
                protocols[link] = set(result.output)
        # Exported PDU needs no user_dlts entry; DLT 147 without one stays undecoded.
        self.assertEqual(protocols, {"exported-pdu": {"exported_pdu:nrf24", "exported_pdu:nrf24:mysensors"},
                                     "user0": {"user_dlt:data"}})

    def test_lines_without_time_stamp_get_the_reading_time(self):
        before = time.time_ns() // 1000
        proc = run_capture(stdin="%s\n12.5 %s\n" % (GOOD, GOOD))
        after = time.time_ns() // 1000
        data = proc.stdout
        first = PCAP_HEADER
        second = first + RECORD_HEADER + 13 + 9
        stamps = [int.from_bytes(data[at:at + 4], "little") * 1000000 + int.from_bytes(data[at + 4:at + 8], "little")
                  for at in (first, second)]
        self.assertTrue(before <= stamps[0] <= after, stamps)
        self.assertEqual(stamps[1], 12500000)

    def test_pipe_into_tshark_capturing_from_stdin(self):
        # What "nrf24_capture.py < serial | wireshark -k -i -" does, with tshark in Wireshark's place.
        lines = HOST.path("sniffer.txt")
        with open(lines, "w") as f:
            # an acknowledgement, a damaged frame, its retransmission and acknowledgement, the next frame
            f.write(sniffer_text(sample_frames()[12:17]))
        tool = subprocess.Popen([sys.executable, CAPTURE, "-i", lines], stdout=subprocess.PIPE, env=TOOL_ENV)
        result = HOST.run("-i", "-", "-T", "fields", "-e", "nrf24.ctrl.pid", "-e", "nrf24.crcvalid",
                          stdin=tool.stdout, user_dlt=False)
        tool.stdout.close()
        self.assertEqual(tool.wait(), 0)
        good, bad = host_forms().true, host_forms().false
        self.assertEqual(result.output, ["0\t" + good, "1\t" + bad, "1\t" + good, "1\t" + good, "2\t" + good])


GOOD = nrf24_encode.encode_frame(addr=bytes.fromhex("a8a8e1fc00")).hex()


class BadInput(unittest.TestCase):
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
    ]

    def setUp(self):
        self.folder = os.path.join(HOST.root, self.id().rsplit(".", 1)[-1])
        os.mkdir(self.folder)
        self.output = os.path.join(self.folder, "out.pcap")

    def test_each_bad_line_stops_with_its_line_number_and_no_file(self):
        for line, message in self.CASES:
            with self.subTest(line=line[:40]):
                proc = run_capture("-o", self.output, stdin="# sniffer v1\n%s\n\n%s\n%s\n" % (GOOD, line, GOOD))
                self.assertEqual((proc.returncode, proc.stderr.decode()), (2, "nrf24_capture: line 4: %s\n" % message))
                self.assertEqual(os.listdir(self.folder), [])

    def test_skip_bad_reports_and_counts_every_bad_line(self):
        lines = [GOOD] + [line for line, _ in self.CASES] + [GOOD]
        proc = run_capture("--skip-bad", "-o", self.output, stdin="\n".join(lines))
        expected = ["nrf24_capture: line %d: %s (skipped)" % (n, message)
                    for n, (_, message) in enumerate(self.CASES, 2)]
        expected.append("nrf24_capture: %d bad lines skipped, 2 frames written" % len(self.CASES))
        self.assertEqual((proc.returncode, proc.stderr.decode().splitlines()), (0, expected))
        self.assertEqual(HOST.run("-r", self.output, "-T", "fields", "-e", "nrf24.crcvalid", user_dlt=False).output,
                         [host_forms().true] * 2)

    def test_stream_keeps_whole_frames_before_a_bad_line(self):
        proc = run_capture(stdin="%s\n%s\nzz\n%s\n" % (GOOD, GOOD, GOOD))
        self.assertEqual((proc.returncode, proc.stderr), (2, b"nrf24_capture: line 3: frame: not hex: 'zz'\n"))
        with open(self.output, "wb") as f:
            f.write(proc.stdout)
        os.chmod(self.output, 0o644)
        result = HOST.run("-r", self.output, "-T", "fields", "-e", "nrf24.ctrl.len", user_dlt=False)
        self.assertEqual(result.output, ["0", "0"])

    def test_bad_usage(self):
        master, slave = pty.openpty()
        on_terminal = subprocess.run([sys.executable, CAPTURE], stdin=subprocess.DEVNULL, stdout=slave,
                                     stderr=subprocess.PIPE)
        os.close(slave)
        os.close(master)
        self.assertEqual((on_terminal.returncode, on_terminal.stderr),
                         (2, b"nrf24_capture: not writing a capture to a terminal: give -o FILE or pipe it\n"))
        missing = os.path.join(self.folder, "missing")
        for args, message in (
                (["-i", missing, "-o", self.output], "nrf24_capture: %s: No such file or directory\n" % missing),
                (["-o", os.path.join(missing, "out.pcap")],
                 "nrf24_capture: %s/out.pcap: No such file or directory\n" % missing)):
            with self.subTest(args=args):
                proc = run_capture(*args, stdin=GOOD)
                self.assertEqual((proc.returncode, proc.stderr.decode()), (2, message))
                self.assertEqual(os.listdir(self.folder), [])


class Live(unittest.TestCase):
    def test_header_at_once_then_each_frame_as_its_line_arrives(self):
        with start_capture() as tool:
            self.assertEqual(read_exactly(tool.stdout, PCAP_HEADER), nrf24_encode.pcap_header(252))
            for stamp in ("1.000001", "2.000002"):
                tool.stdin.write(("%s %s\n" % (stamp, GOOD)).encode())
                tool.stdin.flush()
                usec = int(stamp.replace(".", ""))
                expected = nrf24_encode.pcap_record(usec, bytes.fromhex(GOOD), 252)
                self.assertEqual(read_exactly(tool.stdout, len(expected)), expected)
            tool.stdin.close()
            self.assertEqual(tool.stdout.read(), b"")
            self.assertEqual(tool.wait(30), 0)

    def test_interrupt_ends_the_capture_with_every_frame_read(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signum):
                folder = os.path.join(HOST.root, "live-%d" % signum)
                os.mkdir(folder)
                output = os.path.join(folder, "live.pcap")
                with start_capture("-o", output) as tool:
                    tool.stdin.write(("1.5 %s\n2.5 %s\n" % (GOOD, GOOD)).encode())
                    tool.stdin.flush()
                    expected = PCAP_HEADER + 2 * (RECORD_HEADER + 13 + 9)
                    deadline = time.monotonic() + 30
                    while sum(os.path.getsize(p) for p in glob.glob(os.path.join(folder, ".nrf24-*"))) < expected:
                        self.assertLess(time.monotonic(), deadline, "the frames never reached the file")
                        time.sleep(0.05)
                    tool.send_signal(signum)
                    self.assertEqual(tool.wait(30), 0)
                    self.assertEqual(tool.stderr.read(), b"nrf24_capture: stopped after 2 frames\n")
                self.assertEqual(os.listdir(folder), ["live.pcap"])
                result = HOST.run("-r", output, "-T", "fields", "-e", "frame.time_epoch", user_dlt=False)
                self.assertEqual(result.output, ["1.500000000", "2.500000000"])


if __name__ == "__main__":
    unittest.main()
