"""The frame encoder that users and the other tests share: bit layout and bad input."""

import os
import struct
import subprocess
import sys

import pytest

from nrf24_host import SOURCE_DIR, nrf24_encode

ENCODER = os.path.join(SOURCE_DIR, "tools", "nrf24_encode.py")


def run_encoder(*args, stdin=None):
    return subprocess.run([sys.executable, ENCODER] + list(args), input=stdin, capture_output=True, text=True)


class TestLayout:
    def test_crc_catalogue_check_value(self):
        # CRC-16/CCITT-FALSE check value, Catalogue of parametrised CRC algorithms (reveng).
        assert nrf24_encode.crc16_bits(nrf24_encode.bits_of(b"123456789")) == 0x29B1

    def test_fields_packed_bit_after_bit(self):
        frame = nrf24_encode.encode_frame(addr=bytes.fromhex("a1b2c3d4e5"), payload=b"\x03", pid=2, noack=1)
        assert frame[:5] == bytes.fromhex("a1b2c3d4e5")
        assert frame[5] == 0b00000110           # length 1 (000001), PID 10
        assert frame[6] == 0x81                 # no-ack 1, payload bits 0000001
        assert frame[7] & 0x80 == 0x80          # last payload bit
        assert len(frame) == 10
        assert frame[9] & 0x7F == 0             # padding after the 81st bit

    def test_extra_and_cut(self):
        full = nrf24_encode.encode_frame(payload=b"\x01\x02", extra=b"\xff\xee")
        assert full[-2:] == b"\xff\xee"
        assert nrf24_encode.encode_frame(payload=b"\x01\x02", cut=7) == full[:7]


class TestCommandLine:
    @pytest.mark.parametrize("link, linktype, header", [
        ("user0", 147, b""),
        ("exported-pdu", 252, bytes.fromhex("000c00056e72663234" "00000000"))])
    def test_writes_user0_and_exported_pdu_captures(self, tmp_path, link, linktype, header):
        output = tmp_path / "out.pcap"
        proc = run_encoder("-o", str(output), "--link", link, "pid=1")
        assert (proc.returncode, proc.stderr) == (0, "")
        data = output.read_bytes()
        assert struct.unpack("<IHHiIII", data[:24])[6] == linktype
        assert data[40:] == header + nrf24_encode.encode_frame(pid=1)

    def test_hex_format_and_stdin(self):
        proc = run_encoder("-o", "-", "--format", "hex", "-i", "-", stdin="# comment\n\nt=5 pid=1\n")
        assert proc.stdout == "5.000000 %s\n" % nrf24_encode.encode_frame(pid=1).hex()

    @pytest.mark.parametrize("args, message", [
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
    ])
    def test_bad_input_one_line_exit_2_no_file(self, tmp_path, args, message):
        proc = run_encoder("-o", str(tmp_path / "out.pcap"), *args)
        assert (proc.returncode, proc.stderr) == (2, message)
        assert os.listdir(tmp_path) == []

    def test_bad_line_in_file_names_the_line(self, tmp_path):
        frames = tmp_path / "frames.txt"
        frames.write_text("pid=1\n# ok\npayload=0\n")
        proc = run_encoder("-o", str(tmp_path / "out.pcap"), "-i", str(frames))
        assert (proc.returncode, proc.stderr) == (2, "nrf24_encode: line 3: payload: odd number of hex digits\n")
        assert os.listdir(tmp_path) == ["frames.txt"]

    def test_unwritable_output(self, tmp_path):
        proc = run_encoder("-o", str(tmp_path / "missing" / "out.pcap"), "pid=1")
        assert proc.returncode == 2
        assert len(proc.stderr.splitlines()) == 1
