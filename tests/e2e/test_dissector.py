"""The nrf24 module in the real tshark: registry, columns, CRC, tree, malformed frames."""

import os
import re
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nrf24_host import Host, host_forms, nrf24_encode, shown_hex  # noqa: E402

HOST = None
FORMS = None
COLUMNS = ("_ws.col.Protocol", "_ws.col.Length", "_ws.col.Info", "_ws.col.Source", "_ws.col.Destination")


def setUpModule():
    global HOST, FORMS
    HOST = Host()
    FORMS = host_forms()


class Registry(unittest.TestCase):
    def test_fields_in_table_order(self):
        rows = [line for line in HOST.run("-G", "fields").output
                if re.match(r"P\t[^\t]*\tnrf24$|F(\t[^\t]*){3}\tnrf24\t", line)]
        self.assertEqual(rows, [
            "P\tNRF24\tnrf24",
            "F\tNode address\tnrf24.node\tFT_UINT64\tnrf24\tBASE_HEX\t0x0\t",
            "F\tControl field\tnrf24.ctrl\tFT_UINT16\tnrf24\tBASE_HEX\t0x0\t",
            "F\tPayload length\tnrf24.ctrl.len\tFT_UINT16\tnrf24\tBASE_DEC\t0xfc00\t",
            "F\tPID\tnrf24.ctrl.pid\tFT_UINT16\tnrf24\tBASE_DEC\t0x300\t",
            "F\tNo ack\tnrf24.ctrl.noack\tFT_UINT16\tnrf24\tBASE_DEC\t0x80\t",
            "F\tCRC\tnrf24.crc\tFT_UINT16\tnrf24\tBASE_HEX\t0x0\t",
            "F\tCRC Valid\tnrf24.crcvalid\tFT_BOOLEAN\tnrf24\t0\t0x0\t",
        ])

    def test_noack_values(self):
        rows = [line for line in HOST.run("-G", "values").output if "\tnrf24." in line]
        self.assertEqual(rows, ["V\tnrf24.ctrl.noack\t0\tACK", "V\tnrf24.ctrl.noack\t1\tNO_ACK"])

    def test_reached_by_name_only(self):
        # No table hands frames to "nrf24"; hosts that list heuristic lists there show ours.
        ours = ["nrf24\tnrf24\theuristic\tnrf24"] if FORMS.heuristic_tables else []
        for report, expected in (("dissector-tables", ours), ("decodes", [])):
            with self.subTest(report=report):
                self.assertEqual([line for line in HOST.run("-G", report).output if "nrf24" in line], expected)

    def test_host_accepts_module(self):
        plugins = [line.split() for line in HOST.run("-G", "plugins").output]
        self.assertIn(["nrf24.so", "3.2.3", "dissector"], [row[:3] for row in plugins])

    def test_startup_trace_in_order(self):
        result = HOST.run("-G", "protocols")
        proto_id = re.fullmatch(r"register_dissector proto_nrf24=(\d+)", result.trace[2]).group(1)
        self.assertEqual(result.trace, [
            "plugin_register",
            "Done plugin_register",
            "register_dissector proto_nrf24=" + proto_id,
            "register_heur_dissector_list",
            "proto_register_field_array",
            "proto_register_subtree_array",
            "proto_reg_handoff_nrf24 (proto_nrf24=%s)" % proto_id,
            "Done proto_reg_handoff_nrf24",
        ])
        self.assertIn("NRF24\tnrf24\tnrf24" + FORMS.protocol_flags, result.output)


PAYLOAD_63 = bytes(range(0x80, 0x80 + 63)).hex()


class Columns(unittest.TestCase):
    # frame, then Protocol, Length, Info, Source, Destination
    CASES = [
        ("addr=0102030405 pid=1",
         "nrf24", "9", "Adr:0x0102030405, Len:0(ack), Pid:1, Ack", "?", "5"),
        ("addr=0102030405 payload=%s pid=3 noack=1" % ("ab" * 12),
         "mysensors", "21", "Adr:0x0102030405, Len:12, Pid:3, NoAck", "?", "5"),
        ("addr=a1b2c3d4e5 payload=%s pid=2" % PAYLOAD_63,
         "mysensors", "72", "Adr:0xa1b2c3d4e5, Len:63, Pid:2, Ack", "?", "229"),
        ("addr=ffffffffff payload=00 pid=0",
         "mysensors", "10", "Adr:0xffffffffff, Len:1, Pid:0, Ack", "?", "255"),
        ("addr=0000000000 noack=1",
         "nrf24", "9", "Adr:0x0000000000, Len:0(ack), Pid:0, NoAck", "?", "0"),
        ("addr=0102030405 payload=1122 extra=deadbeef",
         "mysensors", "15", "Adr:0x0102030405, Len:2, Pid:0, Ack", "?", "5"),
        ("addr=0102030405 payload=1122 crc=0x0000",
         "nrf24", "11", "CRC Error", "", ""),
    ]

    def test_columns_per_frame(self):
        capture = HOST.capture([case[0] for case in self.CASES])
        for mode in ((), ("-V",)):
            rows = HOST.fields(capture, *COLUMNS, extra=mode).output
            for case, row in zip(self.CASES, rows):
                with self.subTest(frame=case[0], mode=mode):
                    self.assertEqual(row.split("\t"), list(case[1:]))
            self.assertEqual(len(rows), len(self.CASES))

    def test_summary_output_passes_no_tree(self):
        # Plain summary output calls the dissector without a tree: same columns.
        capture = HOST.capture([case[0] for case in self.CASES[:3]])
        lines = HOST.run("-r", capture, "-T", "tabs").output
        self.assertEqual([[cell.strip() for cell in line.split("\t")[2:]] for line in lines], [
            ["?", "→", "5", "nrf24", "9", "Adr:0x0102030405, Len:0(ack), Pid:1, Ack"],
            ["?", "→", "5", "mysensors", "21", "Adr:0x0102030405, Len:12, Pid:3, NoAck"],
            ["?", "→", "229", "mysensors", "72", "Adr:0xa1b2c3d4e5, Len:63, Pid:2, Ack"],
        ])


def read_frame(capture, size):
    with open(capture, "rb") as f:
        return f.read()[-size:]


class Crc(unittest.TestCase):
    def test_trace_per_frame(self):
        capture = HOST.capture(["pid=1", "payload=aa crc=0x1234", "payload=aa crc=0xffff noack=1"])
        frame_bits = nrf24_encode.bits_of(nrf24_encode.encode_frame(payload=b"\xaa", noack=1))
        calculated = nrf24_encode.crc16_bits(frame_bits[:57])
        self.assertEqual(HOST.run("-r", capture).frame_trace, [
            "dissect_nrf24", "CRC OK", "Done dissect_nrf24",
            "dissect_nrf24", "CRC ERR: [CRC calculated, CRC packet] = [34673, 4660]",
            "  call_dissector", "Done dissect_nrf24",
            "dissect_nrf24", "CRC ERR: [CRC calculated, CRC packet] = [%d, 65535]" % calculated,
            "  call_dissector", "Done dissect_nrf24",
        ])

    def test_every_single_bit_error_is_caught(self):
        good = HOST.capture(["addr=0a0b0c0d0e payload=c0ffee pid=2"])
        frame = bytearray(read_frame(good, 12))
        flipped = []
        # Every bit of the 89-bit packet but the length field, which changes where the CRC is.
        for bit in [b for b in range(12 * 8 - 7) if not 40 <= b < 46]:
            damaged = bytearray(frame)
            damaged[bit // 8] ^= 0x80 >> (bit % 8)
            flipped.append(bytes(damaged))
        rows = HOST.fields(HOST.capture([bytes(frame)] + flipped), "nrf24.crcvalid").output
        self.assertEqual(rows, [FORMS.true] + [FORMS.false] * len(flipped))

    def test_padding_bits_after_crc_are_ignored(self):
        frame = bytearray(read_frame(HOST.capture(["payload=5a"]), 10))
        frame[-1] |= 0x7F
        self.assertEqual(HOST.fields(HOST.capture([bytes(frame)]), "nrf24.crcvalid").output, [FORMS.true])


def pdml_nrf24(result):
    """The nrf24 proto elements of a PDML run, once the trace lines are taken out."""
    root = ET.fromstring("\n".join(result.output))
    return [packet.find("proto[@name='nrf24']") for packet in root.iter("packet")]


def describe(proto):
    return [(proto.get("name"), proto.get("pos"), proto.get("size"), proto.get("showname"))] + [
        (f.get("name"), f.get("pos"), f.get("size"), f.get("show")) for f in proto.iter("field")]


class Tree(unittest.TestCase):
    def test_items_positions_sizes_values(self):
        capture = HOST.capture(["addr=0102030405 pid=1",
                                "addr=a1b2c3d4e5 payload=%s pid=3 noack=1" % PAYLOAD_63,
                                "addr=0102030405 payload=0102 crc=0x1234 extra=ffff"])
        ack, full, bad = (describe(p) for p in pdml_nrf24(HOST.run("-r", capture, "-T", "pdml")))
        self.assertEqual(ack, [
            ("nrf24", "0", "9", "NRF24 - Adr:0x0102030405, Len:0(ack), Pid:1, Ack"),
            ("nrf24.node", "0", "5", "0x0000000102030405"),
            ("nrf24.ctrl", "5", "2", shown_hex(0x012f, 4)),
            ("nrf24.ctrl.len", "5", "2", "0"),
            ("nrf24.ctrl.pid", "5", "2", "1"),
            ("nrf24.ctrl.noack", "5", "2", "0"),
            ("nrf24.crc", "6", "3", shown_hex(0x5fd7, 4)),
            ("nrf24.crcvalid", "7", "2", FORMS.true),
        ])
        self.assertEqual(full[0], ("nrf24", "0", "72", "NRF24 - Adr:0xa1b2c3d4e5, Len:63, Pid:3, NoAck"))
        self.assertEqual(full[2:7], [
            ("nrf24.ctrl", "5", "2", shown_hex(0xffc0, 4)),
            ("nrf24.ctrl.len", "5", "2", "63"),
            ("nrf24.ctrl.pid", "5", "2", "3"),
            ("nrf24.ctrl.noack", "5", "2", "1"),
            ("nrf24.crc", "69", "3", full[6][3]),
        ])
        self.assertEqual(full[7], ("nrf24.crcvalid", "7", "8", FORMS.true))
        self.assertEqual(bad, [
            ("nrf24", "0", "11", "NRF24"),
            ("nrf24.node", "0", "5", "0x0000000102030405"),
            ("nrf24.ctrl", "5", "2", shown_hex(0x0800, 4)),
            ("nrf24.ctrl.len", "5", "2", "2"),
            ("nrf24.ctrl.pid", "5", "2", "0"),
            ("nrf24.ctrl.noack", "5", "2", "0"),
            ("nrf24.crc", "8", "3", shown_hex(0x1234, 4)),
            ("nrf24.crcvalid", "7", "4", FORMS.false),
        ])

    def test_crc_valid_is_generated(self):
        capture = HOST.capture(["payload=01"])
        text = HOST.run("-r", capture, "-V").output
        self.assertIn("    [CRC Valid: True]", text)
        self.assertIn("        .... .... 0... .... = No ack: ACK (0)", text)

    def test_filters(self):
        capture = HOST.capture(["pid=1", "payload=01 noack=1 pid=2", "payload=0203 crc=0x0001"])
        for expression, frames in [("nrf24.crcvalid == 0", ["3"]), ("nrf24.ctrl.len == 0", ["1"]),
                                   ("nrf24.ctrl.noack == 1", ["2"]), ("nrf24.ctrl.pid == 2", ["2"]),
                                   ("nrf24.node == 0x0102030405", ["1", "2", "3"]), ("nrf24.crc == 0x0001", ["3"])]:
            with self.subTest(expression=expression):
                self.assertEqual(HOST.fields(capture, "frame.number", extra=("-Y", expression)).output, frames)


class Malformed(unittest.TestCase):
    def test_short_frames_end_in_bounds_exception(self):
        frames = ["cut=%d" % n for n in (0, 1, 5, 6, 7, 8)] + ["payload=0102 cut=10"]
        capture = HOST.capture(frames)
        for mode in ((), ("-V",)):
            result = HOST.fields(capture, *COLUMNS, extra=mode)
            with self.subTest(mode=mode):
                self.assertEqual(result.frame_trace, ["dissect_nrf24"] * len(frames))
                self.assertEqual([row.split("\t") for row in result.output], [
                    ["nrf24", "0", "[Malformed Packet]", "", ""],
                    ["nrf24", "1", "[Malformed Packet]", "", ""],
                    ["nrf24", "5", "[Malformed Packet]", "", ""],
                    ["nrf24", "6", "[Malformed Packet]", "", ""],
                    ["nrf24", "7", "[Malformed Packet]", "", ""],
                    ["nrf24", "8", "[Malformed Packet]", "", ""],
                    ["nrf24", "10", "[Malformed Packet]", "", ""],
                ])
        self.assertEqual(HOST.run("-r", capture, "-V").output.count("[Malformed Packet: nrf24]"), len(frames))


if __name__ == "__main__":
    unittest.main()
