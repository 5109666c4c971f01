"""The nrf24 module in the real tshark: registry, columns, CRC, tree, malformed frames."""

import re

import pytest

from nrf24_host import COLUMNS, nrf24_encode, shown_hex


class TestRegistry:
    def test_fields_in_table_order(self, host):
        rows = [line for line in host.run("-G", "fields").output
                if re.match(r"P\t[^\t]*\tnrf24$|F(\t[^\t]*){3}\tnrf24\t", line)]
        assert rows == [
            "P\tNRF24\tnrf24",
            "F\tNode address\tnrf24.node\tFT_UINT64\tnrf24\tBASE_HEX\t0x0\t",
            "F\tControl field\tnrf24.ctrl\tFT_UINT16\tnrf24\tBASE_HEX\t0x0\t",
            "F\tPayload length\tnrf24.ctrl.len\tFT_UINT16\tnrf24\tBASE_DEC\t0xfc00\t",
            "F\tPID\tnrf24.ctrl.pid\tFT_UINT16\tnrf24\tBASE_DEC\t0x300\t",
            "F\tNo ack\tnrf24.ctrl.noack\tFT_UINT16\tnrf24\tBASE_DEC\t0x80\t",
            "F\tCRC\tnrf24.crc\tFT_UINT16\tnrf24\tBASE_HEX\t0x0\t",
            "F\tCRC Valid\tnrf24.crcvalid\tFT_BOOLEAN\tnrf24\t0\t0x0\t",
        ]

    def test_noack_values(self, host):
        # The link analysis, loaded beside the module, has value tables of its own (nrf24.analysis.*).
        rows = [line for line in host.run("-G", "values").output
                if "\tnrf24." in line and "\tnrf24.analysis." not in line]
        assert rows == ["V\tnrf24.ctrl.noack\t0\tACK", "V\tnrf24.ctrl.noack\t1\tNO_ACK"]

    @pytest.mark.parametrize("report", ["dissector-tables", "decodes"])
    def test_reached_by_name_only(self, host, forms, report):
        # No table hands frames to "nrf24"; hosts that list heuristic lists there show ours.
        ours = ["nrf24\tnrf24\theuristic\tnrf24"] if forms.heuristic_tables and report == "dissector-tables" else []
        assert [line for line in host.run("-G", report).output if "nrf24" in line] == ours

    def test_startup_trace_in_order(self, host, forms):
        result = host.run("-G", "protocols")
        proto_id = re.fullmatch(r"register_dissector proto_nrf24=(\d+)", result.trace[2]).group(1)
        assert result.trace == [
            "plugin_register",
            "Done plugin_register",
            "register_dissector proto_nrf24=" + proto_id,
            "register_heur_dissector_list",
            "proto_register_field_array",
            "proto_register_subtree_array",
            "proto_reg_handoff_nrf24 (proto_nrf24=%s)" % proto_id,
            "Done proto_reg_handoff_nrf24",
        ]
        assert "NRF24\tnrf24\tnrf24" + forms.protocol_flags in result.output


PAYLOAD_63 = bytes(range(0x80, 0x80 + 63)).hex()

# frame, then Protocol, Length, Info, Source, Destination
COLUMN_CASES = [
    ("addr=0102030405 pid=1",
     "nrf24", "9", "Adr:0x0102030405, Len:0(ack), Pid:1, Ack", "?", "5"),
    ("addr=0102030405 payload=%s pid=3 noack=1" % ("ab" * 12),
     "nrf24", "21", "Adr:0x0102030405, Len:12, Pid:3, NoAck", "?", "5"),
    ("addr=a1b2c3d4e5 payload=%s pid=2" % PAYLOAD_63,
     "nrf24", "72", "Adr:0xa1b2c3d4e5, Len:63, Pid:2, Ack", "?", "229"),
    ("addr=ffffffffff payload=00 pid=0",
     "nrf24", "10", "Adr:0xffffffffff, Len:1, Pid:0, Ack", "?", "255"),
    ("addr=0000000000 noack=1",
     "nrf24", "9", "Adr:0x0000000000, Len:0(ack), Pid:0, NoAck", "?", "0"),
    ("addr=0102030405 payload=1122 extra=deadbeef",
     "nrf24", "15", "Adr:0x0102030405, Len:2, Pid:0, Ack", "?", "5"),
    ("addr=0102030405 payload=1122 crc=0x0000",
     "nrf24", "11", "CRC Error", "", ""),
]


class TestColumns:
    @pytest.mark.parametrize("mode", [(), ("-V",)], ids=["no-tree", "tree"])
    def test_columns_per_frame(self, host, mode):
        capture = host.capture([case[0] for case in COLUMN_CASES])
        rows = host.fields(capture, *COLUMNS, extra=mode).output
        assert [row.split("\t") for row in rows] == [list(case[1:]) for case in COLUMN_CASES]

    def test_summary_output_passes_no_tree(self, host):
        # Plain summary output calls the dissector without a tree: same columns.
        capture = host.capture([case[0] for case in COLUMN_CASES[:3]])
        lines = host.run("-r", capture, "-T", "tabs").output
        assert [[cell.strip() for cell in line.split("\t")[2:]] for line in lines] == [
            ["?", "→", "5", "nrf24", "9", "Adr:0x0102030405, Len:0(ack), Pid:1, Ack"],
            ["?", "→", "5", "nrf24", "21", "Adr:0x0102030405, Len:12, Pid:3, NoAck"],
            ["?", "→", "229", "nrf24", "72", "Adr:0xa1b2c3d4e5, Len:63, Pid:2, Ack"],
        ]


def read_frame(capture, size):
    with open(capture, "rb") as f:
        return f.read()[-size:]


class TestCrc:
    def test_trace_per_frame(self, host):
        capture = host.capture(["pid=1", "payload=aa crc=0x1234", "payload=aa crc=0xffff noack=1"])
        frame_bits = nrf24_encode.bits_of(nrf24_encode.encode_frame(payload=b"\xaa", noack=1))
        calculated = nrf24_encode.crc16_bits(frame_bits[:57])
        assert host.run("-r", capture).frame_trace == [
            "dissect_nrf24", "CRC OK", "Done dissect_nrf24",
            "dissect_nrf24", "CRC ERR: [CRC calculated, CRC packet] = [34673, 4660]",
            "  call_dissector", "Done dissect_nrf24",
            "dissect_nrf24", "CRC ERR: [CRC calculated, CRC packet] = [%d, 65535]" % calculated,
            "  call_dissector", "Done dissect_nrf24",
        ]

    def test_every_single_bit_error_is_caught(self, host, forms):
        good = host.capture(["addr=0a0b0c0d0e payload=c0ffee pid=2"])
        frame = bytearray(read_frame(good, 12))
        flipped = []
        # Every bit of the 89-bit packet but the length field, which changes where the CRC is.
        for bit in [b for b in range(12 * 8 - 7) if not 40 <= b < 46]:
            damaged = bytearray(frame)
            damaged[bit // 8] ^= 0x80 >> (bit % 8)
            flipped.append(bytes(damaged))
        rows = host.fields(host.capture([bytes(frame)] + flipped), "nrf24.crcvalid").output
        assert rows == [forms.true] + [forms.false] * len(flipped)

    def test_padding_bits_after_crc_are_ignored(self, host, forms):
        frame = bytearray(read_frame(host.capture(["payload=5a"]), 10))
        frame[-1] |= 0x7F
        assert host.fields(host.capture([bytes(frame)]), "nrf24.crcvalid").output == [forms.true]


def describe(proto):
    """The nrf24 item and its fields: name, position, size, value."""
    return [(proto.get("name"), proto.get("pos"), proto.get("size"), proto.get("showname"))] + [
        (f.get("name"), f.get("pos"), f.get("size"), f.get("show")) for f in proto.iter("field")]


class TestTree:
    def test_items_positions_sizes_values(self, host, forms):
        capture = host.capture(["addr=0102030405 pid=1",
                                "addr=a1b2c3d4e5 payload=%s pid=3 noack=1" % PAYLOAD_63,
                                "addr=0102030405 payload=0102 crc=0x1234 extra=ffff"])
        packets = host.run("-r", capture, "-T", "pdml").pdml_packets()
        ack, full, bad = (describe(packet.find("proto[@name='nrf24']")) for packet in packets)
        assert ack == [
            ("nrf24", "0", "9", "NRF24 - Adr:0x0102030405, Len:0(ack), Pid:1, Ack"),
            ("nrf24.node", "0", "5", "0x0000000102030405"),
            ("nrf24.ctrl", "5", "2", shown_hex(0x012f, 4)),
            ("nrf24.ctrl.len", "5", "2", "0"),
            ("nrf24.ctrl.pid", "5", "2", "1"),
            ("nrf24.ctrl.noack", "5", "2", "0"),
            ("nrf24.crc", "6", "3", shown_hex(0x5fd7, 4)),
            ("nrf24.crcvalid", "7", "2", forms.true),
        ]
        assert full[0] == ("nrf24", "0", "72", "NRF24 - Adr:0xa1b2c3d4e5, Len:63, Pid:3, NoAck")
        assert full[2:7] == [
            ("nrf24.ctrl", "5", "2", shown_hex(0xffc0, 4)),
            ("nrf24.ctrl.len", "5", "2", "63"),
            ("nrf24.ctrl.pid", "5", "2", "3"),
            ("nrf24.ctrl.noack", "5", "2", "1"),
            ("nrf24.crc", "69", "3", full[6][3]),
        ]
        assert full[7] == ("nrf24.crcvalid", "7", "8", forms.true)
        assert bad == [
            ("nrf24", "0", "11", "NRF24"),
            ("nrf24.node", "0", "5", "0x0000000102030405"),
            ("nrf24.ctrl", "5", "2", shown_hex(0x0800, 4)),
            ("nrf24.ctrl.len", "5", "2", "2"),
            ("nrf24.ctrl.pid", "5", "2", "0"),
            ("nrf24.ctrl.noack", "5", "2", "0"),
            ("nrf24.crc", "8", "3", shown_hex(0x1234, 4)),
            ("nrf24.crcvalid", "7", "4", forms.false),
        ]

    def test_crc_valid_is_generated(self, host):
        text = host.run("-r", host.capture(["payload=01"]), "-V").output
        assert "    [CRC Valid: True]" in text
        assert "        .... .... 0... .... = No ack: ACK (0)" in text

    @pytest.mark.parametrize("expression, frames", [
        ("nrf24.crcvalid == 0", ["3"]), ("nrf24.ctrl.len == 0", ["1"]), ("nrf24.ctrl.noack == 1", ["2"]),
        ("nrf24.ctrl.pid == 2", ["2"]), ("nrf24.node == 0x0102030405", ["1", "2", "3"]),
        ("nrf24.crc == 0x0001", ["3"])])
    def test_filters(self, host, expression, frames):
        capture = host.capture(["pid=1", "payload=01 noack=1 pid=2", "payload=0203 crc=0x0001"])
        assert host.fields(capture, "frame.number", extra=("-Y", expression)).output == frames


class TestMalformed:
    FRAMES = ["cut=%d" % n for n in (0, 1, 5, 6, 7, 8)] + ["payload=0102 cut=10"]

    @pytest.mark.parametrize("mode", [(), ("-V",)], ids=["no-tree", "tree"])
    def test_short_frames_end_in_bounds_exception(self, host, mode):
        result = host.fields(host.capture(self.FRAMES), *COLUMNS, extra=mode)
        assert result.frame_trace == ["dissect_nrf24"] * len(self.FRAMES)
        assert [row.split("\t") for row in result.output] == [
            ["nrf24", "0", "[Malformed Packet]", "", ""],
            ["nrf24", "1", "[Malformed Packet]", "", ""],
            ["nrf24", "5", "[Malformed Packet]", "", ""],
            ["nrf24", "6", "[Malformed Packet]", "", ""],
            ["nrf24", "7", "[Malformed Packet]", "", ""],
            ["nrf24", "8", "[Malformed Packet]", "", ""],
            ["nrf24", "10", "[Malformed Packet]", "", ""],
        ]

    def test_tree_says_malformed_per_frame(self, host):
        text = host.run("-r", host.capture(self.FRAMES), "-V").output
        assert text.count("[Malformed Packet: nrf24]") == len(self.FRAMES)
