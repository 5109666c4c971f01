"""The frame encoder that users and the other tests share: bit layout and bad input."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
ENCODER = os.path.join(TOOLS, "nrf24_encode.py")
sys.path.insert(0, TOOLS)
import nrf24_encode  # noqa: E402


def run_encoder(*args, stdin=None):
    return subprocess.run([sys.executable, ENCODER] + list(args), input=stdin, capture_output=True, text=True)


class Layout(unittest.TestCase):
    def test_crc_catalogue_check_value(self):
        # CRC-16/CCITT-FALSE check value, Catalogue of parametrised CRC algorithms (reveng).
        self.assertEqual(nrf24_encode.crc16_bits(nrf24_encode.bits_of(b"123456789")), 0x29B1)

    def test_fields_packed_bit_after_bit(self):
        frame = nrf24_encode.encode_frame(addr=bytes.fromhex("a1b2c3d4e5"), payload=b"\x03", pid=2, noack=1)
        self.assertEqual(frame[:5], bytes.fromhex("a1b2c3d4e5"))
        self.assertEqual(frame[5], 0b00000110)           # length 1 (000001), PID 10
        self.assertEqual(frame[6], 0x81)                 # no-ack 1, payload bits 0000001
        self.assertEqual(frame[7] & 0x80, 0x80)          # last payload bit
        self.assertEqual(len(frame), 10)
        self.assertEqual(frame[9] & 0x7F, 0)             # padding after the 81st bit

    def test_extra_and_cut(self):
        full = nrf24_encode.encode_frame(payload=b"\x01\x02", extra=b"\xff\xee")
        self.assertEqual(full[-2:], b"\xff\xee")
        self.assertEqual(nrf24_encode.encode_frame(payload=b"\x01\x02", cut=7), full[:7])


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="nrf24-encoder-")
        self.output = os.path.join(self.folder, "out.pcap")

    def tearDown(self):
        for name in os.listdir(self.folder):
            os.unlink(os.path.join(self.folder, name))
        os.rmdir(self.folder)

    def test_writes_user0_and_exported_pdu_captures(self):
        for link, linktype, header in (("user0", 147, b""),
                                       ("exported-pdu", 252, bytes.fromhex("000c00056e72663234 00000000".replace(" ", "")))):
            with self.subTest(link=link):
                proc = run_encoder("-o", self.output, "--link", link, "pid=1")
                self.assertEqual((proc.returncode, proc.stderr), (0, ""))
                data = open(self.output, "rb").read()
                self.assertEqual(struct.unpack("<IHHiIII", data[:24])[6], linktype)
                self.assertEqual(data[40:], header + nrf24_encode.encode_frame(pid=1))

    def test_hex_format_and_stdin(self):
        proc = run_encoder("-o", "-", "--format", "hex", "-i", "-", stdin="# comment\n\nt=5 pid=1\n")
        self.assertEqual(proc.stdout, "5.000000 %s\n" % nrf24_encode.encode_frame(pid=1).hex())

    def test_bad_input_one_line_exit_2_no_file(self):
        cases = [
            (["payload=abc"], "nrf24_encode: argument 1: payload: odd number of hex digits\n"),
            (["addr=01020304"], "nrf24_encode: argument 1: address must be 5 bytes, got 4\n"),
            (["payload=" + "00" * 64], "nrf24_encode: argument 1: payload length 64 is over 63\n"),
            (["pid=1", "pid=4"], "nrf24_encode: argument 2: pid 4 is not 0..3\n"),
            (["noack=2"], "nrf24_encode: argument 1: noack 2 is not 0 or 1\n"),
            (["crc=0x10000"], "nrf24_encode: argument 1: crc 0x10000 is not 16 bits\n"),
            (["crc=bad"], "nrf24_encode: argument 1: crc: not a number: 'bad'\n"),
            (["payload=zz"], "nrf24_encode: argument 1: payload: not hex: 'zz'\n"),
            (["colour=red"], "nrf24_encode: argument 1: unknown word 'colour=red'\n"),
            (["pid=1 pid=2"], "nrf24_encode: argument 1: pid given twice\n"),
            (["cut=-1"], "nrf24_encode: argument 1: cut: -1 is negative\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                proc = run_encoder("-o", self.output, *args)
                self.assertEqual((proc.returncode, proc.stderr), (2, message))
                self.assertEqual(os.listdir(self.folder), [])

    def test_bad_line_in_file_names_the_line(self):
        frames = os.path.join(self.folder, "frames.txt")
        with open(frames, "w") as f:
            f.write("pid=1\n# ok\npayload=0\n")
        proc = run_encoder("-o", self.output, "-i", frames)
        self.assertEqual((proc.returncode, proc.stderr), (2, "nrf24_encode: line 3: payload: odd number of hex digits\n"))
        self.assertFalse(os.path.exists(self.output))

    def test_unwritable_output(self):
        proc = run_encoder("-o", os.path.join(self.folder, "missing", "out.pcap"), "pid=1")
        self.assertEqual(proc.returncode, 2)
        self.assertEqual(len(proc.stderr.splitlines()), 1)


if __name__ == "__main__":
    unittest.main()
