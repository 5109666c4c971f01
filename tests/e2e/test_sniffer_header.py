"""The sniffer-header module (nrf24_sniffer.so) in the real tshark: every item of doc/sniffer-header.md decoded
from captures built with the tools' header encoder, hopping with the exact channel per frame, lost reads,
malformed and truncated headers, unknown items, the frame after the header decoded by "nrf24" exactly as
without it, captures tagged "nrf24" as before, the per-channel statistics, and the second sample
(captures/sample-sniffer.pcapng: the hopping demo session through the capture tool)."""

import os
import re
import struct
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import nrf24_encode  # noqa: E402
from nrf24_host import SOURCE_DIR, sample_lines, shown_hex  # noqa: E402
from nrf24tools import sniffer_header as sh  # noqa: E402
from test_capture import pcapng_options  # noqa: E402
from test_extcap import capture_blocks  # noqa: E402

A = "a8a8e1fc00"
NODE = "0x000000a8a8e1fc00"  # nrf24.node as -T fields writes it
DECODED = "nrf24\tAdr:0xa8a8e1fc00, Len:2, Pid:1, Ack"  # FRAME's Protocol and Info columns
MALFORMED = "nrf24_sniffer\tMalformed sniffer header"
FRAME = "addr=%s pid=1 payload=0102" % A
# The header of the example in doc/sniffer-header.md.
EXAMPLE = dict(channel=76, rate_kbps=250, mode=(sh.MODE_PROMISCUOUS, 0xAA), bit_offset=7,
               read_window=(0x0012D287, 0x0012D687, sh.STAMP_IRQ), board_clock=0x10012D687,
               taken=sh.TAKEN_KNOWN_ADDRESS, ack=sh.ACK_AFTER_READ, lost=(2, sh.LOST_FIFO_FULL), rpd=1,
               sniffer="/dev/ttyUSB0")
NRF24_COLUMNS = ("_ws.col.Protocol", "_ws.col.Info", "_ws.col.Source", "_ws.col.Destination")


def encoded(spec):
    """The frame bytes an encoder description gives."""
    return nrf24_encode.parse_frame(spec)[1]


def sniffer_capture(host, records):
    """A pcap (link type 252) of exported PDUs tagged nrf24_sniffer: each record a header followed by a frame,
    as bytes (1 ms after the record before) or as (time stamp in microseconds, bytes)."""
    stamped = nrf24_encode.stamp_frames([record if isinstance(record, tuple) else (None, record)
                                         for record in records])
    body = b""
    for usec, data in stamped:
        pdu = sh.EXPORTED_PDU_TAGS + data
        body += struct.pack("<IIII", usec // 1000000, usec % 1000000, len(pdu), len(pdu)) + pdu
    name = host.path("sniffer-%d.pcap" % len(os.listdir(host.root)))
    with open(name, "wb") as f:
        f.write(nrf24_encode.pcap_header(nrf24_encode.LINKTYPE_EXPORTED_PDU) + body)
    os.chmod(name, 0o644)
    return name


def rows(host, capture, *fields, extra=()):
    result = host.fields(capture, *fields, extra=extra)
    assert result.returncode == 0
    return result.output


class TestRegistry:
    def test_protocol_fields_and_statistics_are_registered(self, host):
        protocols = [line.split("\t") for line in host.run("-G", "protocols").output]
        assert ["nRF24 sniffer header", "nRF24 sniffer", "nrf24_sniffer"] in [row[:3] for row in protocols]
        fields = {line.split("\t")[2] for line in host.run("-G", "fields").output if line.startswith("F\t")}
        for name in ("channel", "frequency", "rate", "mode", "preamble", "address_width", "bit_offset",
                     "read_start", "read_end", "stamp", "board_clock", "taken", "ack", "lost_reads", "lost_flags",
                     "rpd", "sniffer", "item.type", "item.length", "item.unknown"):
            assert "nrf24_sniffer." + name in fields
        assert "     nrf24_channels,tree" in host.run("-z", "help").messages


# One row per item: the encoder's arguments, the fields asked for, what tshark writes for them. Hex fields are
# written by shown_hex (3.4 pads them to 8 digits).
ITEMS = [
    (dict(channel=0), ["channel", "frequency"], ["0", "2400"]),
    (dict(channel=125), ["channel", "frequency"], ["125", "2525"]),
    (dict(rate_kbps=250), ["rate"], ["250"]),
    (dict(rate_kbps=1000), ["rate"], ["1000"]),
    (dict(rate_kbps=2000), ["rate"], ["2000"]),
    (dict(mode=(sh.MODE_PROMISCUOUS, 0x55)), ["mode", "preamble", "address_width"], ["0", ("hex", 0x55, 2), ""]),
    (dict(mode=(sh.MODE_ADDRESS, 5)), ["mode", "preamble", "address_width"], ["1", "", "5"]),
    (dict(mode=(sh.MODE_ADDRESS, 3)), ["mode", "address_width"], ["1", "3"]),
    (dict(bit_offset=191), ["bit_offset"], ["191"]),
    (dict(read_window=(0xFFFFFC00, 0x00000000, sh.STAMP_UPPER_BOUND)), ["read_start", "read_end", "stamp"],
     ["4294966272", "0", "2"]),
    (dict(read_window=(100, 356, sh.STAMP_UNKNOWN)), ["read_start", "read_end", "stamp"], ["100", "356", "0"]),
    (dict(board_clock=(1 << 64) - 1), ["board_clock"], ["18446744073709551615"]),
    (dict(taken=sh.TAKEN_ADDRESS_MODE), ["taken"], ["1"]),
    (dict(taken=sh.TAKEN_PAIR), ["taken"], ["4"]),
    (dict(taken=sh.TAKEN_UNCONFIRMED), ["taken"], ["5"]),
    (dict(ack=sh.ACK_UNKNOWN), ["ack"], ["0"]),
    (dict(ack=sh.ACK_IN_READ), ["ack"], ["1"]),
    (dict(ack=sh.ACK_STRADDLES), ["ack"], ["2"]),
    (dict(ack=sh.ACK_BLIND), ["ack"], ["4"]),
    (dict(lost=(0, 0)), ["lost_reads", "lost_flags"], ["0", ("hex", 0, 2)]),
    (dict(lost=(70000, sh.LOST_RADIO_RESET | sh.LOST_BOARD_RESET)),
     ["lost_reads", "lost_flags.fifo_full", "lost_flags.radio_reset", "lost_flags.board_reset"],
     ["70000", "false", "true", "true"]),
    (dict(rpd=0), ["rpd"], ["0"]),
    (dict(sniffer="COM3"), ["sniffer"], ["COM3"]),
    (dict(sniffer="/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0"), ["sniffer"],
     ["/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0"]),
]


def expected_value(value, forms):
    if isinstance(value, tuple):
        return shown_hex(value[1], value[2])
    return {"true": forms.true, "false": forms.false}.get(value, value)


class TestItems:
    def test_the_documented_example(self, host, forms):
        """Every item of the example in doc/sniffer-header.md, in one header."""
        capture = sniffer_capture(host, [sh.sniffer_header(**EXAMPLE) + encoded(FRAME)])
        fields = ["version", "length", "channel", "frequency", "rate", "mode", "preamble", "bit_offset",
                  "read_start", "read_end", "stamp", "board_clock", "taken", "ack", "lost_reads",
                  "lost_flags.fifo_full", "rpd", "sniffer", "item.type"]
        assert rows(host, capture, *["nrf24_sniffer." + f for f in fields]) == ["\t".join([
            "1", "116", "76", "2476", "250", "0", shown_hex(0xAA, 2), "7", "1233543", "1234567", "1", "4296201863",
            "3", "3", "2", forms.true, "1", "/dev/ttyUSB0", "1,2,3,4,5,6,7,8,9,10,11"])]

    def test_the_documented_bytes(self):
        """The encoder writes the dump that doc/sniffer-header.md shows."""
        assert (sh.sniffer_header(**EXAMPLE) + encoded(FRAME)).hex() == (
            "010074000100010" "04c000000020002" "00fa00000003000200" "00aa0000040002000700000005000900"
            "87d2120087d61200010000000600080087d61200010000000700010003000000"
            "08000100030000000900050002000000010000000a000100010000000b000c00"
            "2f6465762f74747955534230" "a8a8e1fc00090081126280")

    @pytest.mark.parametrize("kwargs, fields, values", ITEMS, ids=[str(row[0]) for row in ITEMS])
    def test_item(self, host, forms, kwargs, fields, values):
        capture = sniffer_capture(host, [sh.sniffer_header(**kwargs) + encoded(FRAME)])
        assert rows(host, capture, *["nrf24_sniffer." + f for f in fields]) == [
            "\t".join(expected_value(v, forms) for v in values)]

    def test_tree(self, host):
        capture = sniffer_capture(host, [sh.sniffer_header(**EXAMPLE) + encoded(FRAME)])
        out = host.run("-r", capture, "-V", "-O", "nrf24_sniffer").output
        start = out.index("nRF24 sniffer header")
        assert out[start:] == [
            "nRF24 sniffer header",
            "    Version: 1",
            "    Reserved: 0x00",
            "    Header length: 116",
            "    Channel: 76 (2476 MHz)",
            "        Item type: Channel (1)",
            "        Item length: 1",
            "        Channel: 76",
            "        [Frequency (MHz): 2476]",
            "    Data rate: 250 kbit/s",
            "        Item type: Data rate (2)",
            "        Item length: 2",
            "        Data rate: 250 kbit/s (250)",
            "    Mode: Promiscuous, preamble 0xaa",
            "        Item type: Mode (3)",
            "        Item length: 2",
            "        Mode: Promiscuous (0)",
            "        Preamble: 0xaa",
            "    Bit offset: 7",
            "        Item type: Bit offset (4)",
            "        Item length: 2",
            "        Bit offset: 7",
            "    Read window: 1233543..1234567 \u00b5s",
            "        Item type: Read window (5)",
            "        Item length: 9",
            "        Read start (\u00b5s): 1233543",
            "        Read end (\u00b5s): 1234567",
            "        Stamp: The radio's IRQ (1)",
            "    Board clock: 4296201863 \u00b5s",
            "        Item type: Board clock (6)",
            "        Item length: 8",
            "        Board clock (\u00b5s): 4296201863",
            "    Taken: Confirmed address",
            "        Item type: Taken (7)",
            "        Item length: 1",
            "        Taken: Confirmed address (3)",
            "    Ack observability: Observable: after the read",
            "        Item type: Ack observability (8)",
            "        Item length: 1",
            "        Ack observability: Observable: after the read (3)",
            "    Lost reads: 2",
            "        Item type: Lost reads (9)",
            "        Item length: 5",
            "        Reads lost: 2",
            "            [Expert Info (Warning/Sequence): 2 reads lost before this frame]",
            "                [2 reads lost before this frame]",
            "                [Severity level: Warning]",
            "                [Group: Sequence]",
            "        Reads possibly missing: 0x01, Radio FIFO full",
            "            .... ...1 = Radio FIFO full: True",
            "            .... ..0. = Radio reset: False",
            "            .... .0.. = Board reset: False",
            "            [Expert Info (Note/Sequence): Reads may be missing before this frame]",
            "                [Reads may be missing before this frame]",
            "                [Severity level: Note]",
            "                [Group: Sequence]",
            "    RPD: Above -64 dBm",
            "        Item type: RPD (10)",
            "        Item length: 1",
            "        RPD: Above -64 dBm (1)",
            "    Sniffer: /dev/ttyUSB0",
            "        Item type: Sniffer (11)",
            "        Item length: 12",
            "        Sniffer: /dev/ttyUSB0",
            "NRF24 - Adr:0xa8a8e1fc00, Len:2, Pid:1, Ack",
            "",
        ]


HOPS = [2, 40, 76, 2, 100, 76, 76]


class TestHopping:
    def test_each_frame_keeps_its_channel(self, host):
        records = [sh.sniffer_header(channel=ch, rate_kbps=250) + encoded("addr=a8a8e1fc%02x payload=%02x" % (n, n))
                   for n, ch in enumerate(HOPS)]
        capture = sniffer_capture(host, records)
        assert rows(host, capture, "frame.number", "nrf24_sniffer.channel", "nrf24.node") == [
            "1\t2\t" + NODE,
            "2\t40\t0x000000a8a8e1fc01",
            "3\t76\t0x000000a8a8e1fc02",
            "4\t2\t0x000000a8a8e1fc03",
            "5\t100\t0x000000a8a8e1fc04",
            "6\t76\t0x000000a8a8e1fc05",
            "7\t76\t0x000000a8a8e1fc06",
        ]
        assert rows(host, capture, "frame.number", extra=["-Y", "nrf24_sniffer.channel == 76"]) == ["3", "6", "7"]


def stats_table(host, capture):
    """The channel statistics: each line's name and count, without the host's rates and header lines."""
    out = host.run("-r", capture, "-q", "-z", "nrf24_channels,tree").output
    return [" ".join(re.match(r"(.*?)\s{2,}(\d+)", line).groups()) for line in out
            if line.strip() and not line.startswith(("=", "-", "Topic / Item", "nRF24/Channels:"))]


class TestChannelStatistics:
    def test_frames_addresses_crc_errors_lost_reads_air_time(self, host):
        # Air time at 250 kbit/s: (73 + 8 n) bits of 4 us; at 2 Mbit/s of 0.5 us (rounded down).
        records = [
            sh.sniffer_header(channel=76, rate_kbps=250) + encoded("addr=a8a8e1fc00 payload=01020304"),  # 420
            sh.sniffer_header(channel=76, rate_kbps=250, lost=(3, 0)) + encoded("addr=a8a8e1fc00"),  # 292
            sh.sniffer_header(channel=76, rate_kbps=250) + encoded("addr=a8a8e1fc01 payload=01"),  # 324
            sh.sniffer_header(channel=76, rate_kbps=250) + encoded("addr=a8a8e1fc02 crc=0x1234"),  # 292
            sh.sniffer_header(channel=2, rate_kbps=2000, lost=(1, sh.LOST_FIFO_FULL)) + encoded("addr=a8a8e1fc00"),
            sh.sniffer_header(channel=2, rate_kbps=2000) + encoded("addr=a8a8e1fc00 payload=0102"),  # 44
            sh.sniffer_header(rate_kbps=250) + encoded("addr=a8a8e1fc03"),  # 292, no channel
        ]
        capture = sniffer_capture(host, records)
        for _ in range(2):
            assert stats_table(host, capture) == [
                "nRF24 channels 7",
                " Channel 2 (2402 MHz) 2",
                "  Addresses heard 1",
                "  CRC errors 0",
                "  Lost reads 1",
                " Channel 76 (2476 MHz) 4",
                "  Addresses heard 2",
                "  CRC errors 1",
                "  Lost reads 3",
                " Channel unknown 1",
                "  Addresses heard 1",
                "  CRC errors 0",
                "  Lost reads 0",
                "Air time by channel (us) 1700",
                " Channel 2 (2402 MHz) 80",
                " Channel 76 (2476 MHz) 1328",
                " Channel unknown 292",
            ]


# Records whose header is wrong: name, the record, its Protocol and Info columns, its expert messages, and the
# node the nRF24 module decodes from the frame where the header's length says it starts.
BAD_HEADERS = [
    ("shorter than the fixed part", b"\x01\x00\x10", MALFORMED, "Shorter than the header's fixed part", ""),
    ("length under 4", b"\x01\x00\x02\x00" + encoded(FRAME), MALFORMED,
     "Header length 2 in a packet of 15 bytes: no frame", ""),
    ("length past the packet", b"\x01\x00\xc8\x00" + encoded(FRAME), MALFORMED,
     "Header length 200 in a packet of 15 bytes: no frame", ""),
    ("header only", sh.sniffer_header(channel=5), "nrf24_sniffer\tNo frame after the sniffer header",
     "No frame after the header", ""),
    ("item passes the end", b"\x01\x00\x08\x00\x01\x00\x09\x00" + encoded(FRAME), DECODED,
     "Item of type 1 with 9 bytes passes the header's end", NODE),
    ("unaligned length", b"\x01\x00\x06\x00\x01\x00" + encoded(FRAME), DECODED,
     "Header length is not a multiple of 4,Item passes the header's end", NODE),
    ("item of the wrong size", sh.header([sh.item(sh.CHANNEL, b"\x05\x00"), sh.item(sh.RATE, b"\xe8\x03")]) +
     encoded(FRAME), DECODED, "Channel item of 2 bytes, expected 1: skipped", NODE),
    ("values out of range", sh.header([sh.item(sh.CHANNEL, b"\xc8"), sh.item(sh.RATE, b"\x2c\x01")]) +
     encoded(FRAME), DECODED, "Value out of range,Value out of range", NODE),
    ("unknown version", sh.header([sh.item(sh.CHANNEL, b"\x05")], version=2) + encoded(FRAME), DECODED,
     "Unknown header version 2: items not decoded", NODE),
]

class TestMalformed:
    @pytest.mark.parametrize("record, columns, experts, decoded", [row[1:] for row in BAD_HEADERS],
                             ids=[row[0] for row in BAD_HEADERS])
    def test_bad_header(self, host, record, columns, experts, decoded):
        """The bad header's frame where its length says, and the next record's frame, each decoded."""
        after = sh.sniffer_header(channel=9) + encoded("addr=a8a8e1fc01 pid=2 payload=0304")
        capture = sniffer_capture(host, [record, after])
        result = host.fields(capture, "_ws.col.Protocol", "_ws.col.Info", "_ws.expert.message", "nrf24.node")
        assert result.output == ["\t".join([columns, experts, decoded]),
                                 "nrf24\tAdr:0xa8a8e1fc01, Len:2, Pid:2, Ack\t\t0x000000a8a8e1fc01"]

    def test_values_out_of_range_and_wrong_sizes_stay_out_of_the_fields(self, host):
        capture = sniffer_capture(host, [
            sh.header([sh.item(sh.CHANNEL, b"\x05\x00"), sh.item(sh.RATE, b"\xe8\x03")]) + encoded(FRAME)])
        assert rows(host, capture, "nrf24_sniffer.channel", "nrf24_sniffer.rate") == ["\t1000"]

    @pytest.mark.parametrize("cut", range(1, 11))
    def test_cut_frame_is_nrf24s_own_malformed_frame(self, host, cut):
        """A frame cut short after a good header shows what "nrf24" shows for it without the header."""
        frame = encoded(FRAME)[:cut]
        with_header = sniffer_capture(host, [sh.sniffer_header(channel=3) + frame])
        without = host.capture([frame], linktype=nrf24_encode.LINKTYPE_EXPORTED_PDU)
        fields = NRF24_COLUMNS + ("nrf24.node", "nrf24.crcvalid", "nrf24_sniffer.channel")
        assert host.fields(with_header, *fields).output == [host.fields(without, *fields).output[0] + "3"]

    def test_every_truncation_of_a_header(self, host):
        """Each prefix of the example record decodes without an error from tshark; the nRF24 module decodes the
        frame once the whole header and the frame's control field (7 bytes) are there."""
        record = sh.sniffer_header(**EXAMPLE) + encoded(FRAME)
        capture = sniffer_capture(host, [record[:n] for n in range(len(record) + 1)])
        result = host.fields(capture, "frame.number", "nrf24.node")
        assert result.output == ["%d\t%s" % (n + 1, NODE if n >= 116 + 7 else "")
                                 for n in range(len(record) + 1)]


class TestUnknownItems:
    def test_skipped_with_a_note_and_the_rest_decoded(self, host):
        header = sh.sniffer_header(channel=40, rpd=1, extra_items=[sh.item(12, b""), sh.item(40000, b"xyz")])
        header = header[:4] + sh.item(32768, bytes(range(7))) + header[4:]
        header = header[:2] + struct.pack("<H", len(header)) + header[4:]
        capture = sniffer_capture(host, [header + encoded(FRAME)])
        assert rows(host, capture, "nrf24_sniffer.item.type", "nrf24_sniffer.item.unknown", "nrf24_sniffer.channel",
                    "nrf24_sniffer.rpd", "_ws.expert.message", "nrf24.node") == ["\t".join([
                        "32768,1,10,12,40000", "00010203040506,78797a", "40", "1",
                        "Unknown item type 32768: skipped,Unknown item type 12: skipped,"
                        "Unknown item type 40000: skipped", NODE])]
        tree = host.run("-r", capture, "-V", "-O", "nrf24_sniffer").output
        assert [line for line in tree if "Unknown item" in line and "[" not in line] == [
            "    Unknown item 32768", "        Unknown item: 00010203040506", "    Unknown item 12",
            "    Unknown item 40000", "        Unknown item: 78797a"]


class TestFrameUnchanged:
    def test_old_nrf24_capture_opens_as_before(self, host):
        capture = host.capture([FRAME], linktype=nrf24_encode.LINKTYPE_EXPORTED_PDU)
        assert rows(host, capture, "frame.protocols", "nrf24.node", "nrf24_sniffer.version") == [
            "exported_pdu:nrf24\t" + NODE + "\t"]

    def test_sample_identical_with_and_without_the_header(self, host):
        """Every frame of the sample: the columns, and the nRF24, MySensors and analysis items in PDML (name,
        shown text, value, size) are the same behind a header as without it."""
        specs = sample_lines()
        parsed = nrf24_encode.stamp_frames([nrf24_encode.parse_frame(spec) for spec in specs])
        without = host.capture(specs, linktype=nrf24_encode.LINKTYPE_EXPORTED_PDU)
        header = sh.sniffer_header(**EXAMPLE)
        with_header = sniffer_capture(host, [(stamp, header + frame) for stamp, frame in parsed])

        def items(capture):
            packets = host.run("-r", capture, "-T", "pdml").pdml_packets()
            return [[(f.get("name"), f.get("showname"), f.get("show"), f.get("value"), f.get("size"))
                     for proto in packet.findall("proto") if proto.get("name") in ("nrf24", "mysensors",
                                                                                   "nrf24.analysis")
                     for f in proto.iter("field")] for packet in packets]

        plain = items(without)
        assert len(plain) == len(specs) and all(plain)
        assert items(with_header) == plain
        assert host.fields(with_header, *NRF24_COLUMNS).output == host.fields(without, *NRF24_COLUMNS).output
        protocols = host.fields(with_header, "frame.protocols").output
        assert protocols == [p.replace("exported_pdu:", "exported_pdu:nrf24_sniffer:")
                             for p in host.fields(without, "frame.protocols").output]


class TestEncoder:
    """The tools' header encoder refuses what the header cannot carry, and its decoder reads what it wrote."""

    @pytest.mark.parametrize("kwargs, message", [
        (dict(channel=126), "channel 126 is not 0..125"),
        (dict(rate_kbps=500), "rate 500 kbit/s is not one of (250, 1000, 2000)"),
        (dict(mode=(sh.MODE_PROMISCUOUS, 0xA5)),
         "mode (0, 165): promiscuous takes preamble 0xaa or 0x55, address mode a width of 3..5"),
        (dict(mode=(sh.MODE_ADDRESS, 2)),
         "mode (1, 2): promiscuous takes preamble 0xaa or 0x55, address mode a width of 3..5"),
        (dict(bit_offset=65536), "bit offset 65536 is not 0..65535"),
        (dict(read_window=(0, 1 << 32, sh.STAMP_IRQ)), "read window (0, 4294967296, 1) is not on a 32-bit clock"),
        (dict(read_window=(0, 1, 3)), "stamp kind 3 is not 0..2"),
        (dict(board_clock=-1), "board clock -1 is not 0..2^64-1"),
        (dict(taken=0), "taken 0 is not 1..5"),
        (dict(ack=5), "ack observability 5 is not 0..4"),
        (dict(lost=(1 << 32, 0)), "lost reads (4294967296, 0) out of range"),
        (dict(rpd=2), "rpd 2 is not 0 or 1"),
        (dict(sniffer=""), "sniffer name of 0 bytes is not 1..255"),
        (dict(sniffer="x" * 256), "sniffer name of 256 bytes is not 1..255"),
    ])
    def test_refuses_values_out_of_range(self, kwargs, message):
        with pytest.raises(sh.HeaderError) as error:
            sh.sniffer_header(**kwargs)
        assert str(error.value) == message

    def test_decodes_what_it_encodes(self):
        extra = sh.item(40000, b"xyz")
        data = sh.sniffer_header(**EXAMPLE, extra_items=[extra]) + encoded(FRAME)
        assert sh.decode(data) == (1, 124, [
            (sh.CHANNEL, (76,)), (sh.RATE, (250,)), (sh.MODE, (0, 0xAA)), (sh.BIT_OFFSET, (7,)),
            (sh.READ_WINDOW, (0x0012D287, 0x0012D687, 1)), (sh.BOARD_CLOCK, (0x10012D687,)), (sh.TAKEN, (3,)),
            (sh.ACK, (3,)), (sh.LOST, (2, 1)), (sh.RPD, (1,)), (sh.SNIFFER, "/dev/ttyUSB0"), (40000, b"xyz")])

    @pytest.mark.parametrize("record, message", [
        (b"\x01\x00\x10", "3 bytes: shorter than the fixed part"),
        (b"\x01\x00\x08\x00", "header length 8 does not fit 4 bytes or is not a multiple of 4"),
        (b"\x01\x00\x06\x00\x00\x00", "header length 6 does not fit 6 bytes or is not a multiple of 4"),
        (b"\x01\x00\x08\x00\x01\x00\x09\x00", "item 1 at 4: its value passes the header's end"),
        (sh.header([sh.item(sh.CHANNEL, b"\x05\x00")]), "item 1: 2 bytes, expected 1"),
    ], ids=["shorter than the fixed part", "length past the data", "unaligned length", "item passes the end",
            "item of the wrong size"])
    def test_decoder_refuses_bad_headers(self, record, message):
        with pytest.raises(sh.HeaderError) as error:
            sh.decode(record)
        assert str(error.value) == message


class TestLinkAnalysisReadsTheHeader:
    # A lone 12-byte packet: at 250 kbit/s its ack would straddle the read's end; the header's rate or its own
    # verdict decides instead. Header items, then observable, timing, source, rate and the warning.
    CASES = [
        (dict(channel=76), False, "2", "1", "250", ""),
        (dict(channel=76, rate_kbps=2000), True, "3", "2", "2000", "No acknowledgement seen"),
        (dict(channel=76, rate_kbps=2000, ack=sh.ACK_BLIND), False, "4", "3", "2000", ""),
        (dict(channel=76, rate_kbps=250, ack=sh.ACK_IN_READ), True, "1", "3", "250", "No acknowledgement seen"),
        (dict(channel=76, ack=sh.ACK_UNKNOWN), False, "2", "1", "250", ""),
    ]

    def test_rate_and_ack_verdict_from_the_header(self, host, forms):
        records = [(100000 * n, sh.sniffer_header(**kwargs) + encoded("addr=%s pid=%d payload=%s" % (A, n % 4,
                                                                                                "%02x" % n * 12)))
                   for n, (kwargs, *_) in enumerate(self.CASES)]
        got = rows(host, sniffer_capture(host, records), "nrf24.analysis.ack_observable", "nrf24.analysis.ack_timing",
                   "nrf24.analysis.observability_source", "nrf24.analysis.data_rate", "_ws.expert.message",
                   extra=("-2",))
        assert got == ["\t".join((forms.true if observable else forms.false, timing, source, rate, warning))
                       for _, observable, timing, source, rate, warning in self.CASES]


class TestHoppingSample:
    """captures/sample-sniffer.pcapng, the demo session (a radio hopping over channels 76, 90 and 100 every 50 ms:
    the MySensors sample on 76, the RF24Network sample on 90, nothing on 100) through the capture tool."""

    SAMPLE = os.path.join(SOURCE_DIR, "captures", "sample-sniffer.pcapng")
    SESSION = os.path.join(SOURCE_DIR, "captures", "demo-session.txt")
    # Frame, channel, rate (kbit/s), how it was taken (3 confirmed address, 4 confirmed by a second frame), bit
    # offset in its read, ack observability (1 inside the read, 2 straddles its end; none for an ack), payload
    # length, PID.
    FRAMES = [
        "1\t76\t250\t4\t12\t1\t8\t0",
        "2\t76\t250\t4\t182\t\t0\t0",
        "3\t90\t250\t4\t5\t1\t10\t1",
        "4\t90\t250\t4\t190\t\t0\t1",
        "5\t90\t250\t4\t6\t2\t10\t0",
        "6\t90\t250\t4\t15\t2\t13\t2",
        "7\t90\t250\t4\t7\t2\t10\t2",
        "8\t90\t250\t4\t15\t2\t13\t0",
        "9\t90\t250\t4\t15\t2\t10\t3",
        "10\t90\t250\t4\t7\t1\t8\t1",
        "11\t90\t250\t3\t176\t\t0\t1",
        "12\t90\t250\t4\t7\t2\t10\t1",
        "13\t90\t250\t4\t15\t2\t16\t2",
        "14\t90\t250\t3\t9\t2\t16\t2",
        "15\t90\t250\t3\t6\t1\t8\t3",
        "16\t90\t250\t3\t176\t\t0\t3",
        "17\t90\t250\t3\t5\t\t0\t3",
        "18\t90\t250\t3\t7\t\t0\t0",
        "19\t90\t250\t3\t15\t\t0\t1",
        "20\t90\t250\t3\t6\t\t0\t0",
        "21\t90\t250\t3\t12\t\t0\t2",
        "22\t90\t250\t3\t7\t\t0\t3",
        "23\t90\t250\t3\t14\t\t0\t1",
        "24\t90\t250\t3\t15\t\t0\t0",
        "25\t90\t250\t3\t6\t\t0\t1",
        "26\t90\t250\t3\t7\t\t0\t2",
        "27\t90\t250\t3\t13\t\t0\t2",
        "28\t90\t250\t3\t9\t\t0\t3",
        "29\t76\t250\t4\t13\t2\t12\t2",
        "30\t76\t250\t4\t1\t2\t18\t3",
        "31\t76\t250\t3\t3\t2\t12\t0",
        "32\t76\t250\t3\t5\t2\t12\t1",
        "33\t76\t250\t3\t8\t1\t8\t0",
        "34\t76\t250\t3\t6\t1\t8\t0",
        "35\t76\t250\t3\t176\t\t0\t0",
    ]

    def test_channel_rate_and_how_taken_for_every_frame(self, host):
        assert rows(host, host.copy(self.SAMPLE), "frame.number", "nrf24_sniffer.channel", "nrf24_sniffer.rate",
                    "nrf24_sniffer.taken", "nrf24_sniffer.bit_offset", "nrf24_sniffer.ack", "nrf24.ctrl.len",
                    "nrf24.ctrl.pid") == self.FRAMES

    def test_channel_statistics_show_where_the_traffic_was(self, host):
        # channel 100 carried nothing: only noise reads, no frame
        assert stats_table(host, host.copy(self.SAMPLE)) == [
            "nRF24 channels 35",
            " Channel 76 (2476 MHz) 9",
            "  Addresses heard 2",
            "  CRC errors 0",
            "  Lost reads 0",
            " Channel 90 (2490 MHz) 26",
            "  Addresses heard 5",
            "  CRC errors 0",
            "  Lost reads 0",
            "Air time by channel (us) 16684",
            " Channel 76 (2476 MHz) 5124",
            " Channel 90 (2490 MHz) 11560",
        ]

    def test_interface_and_drop_count_are_the_boards(self):
        # every read of the session taken, none lost (at 250 kbit/s a read lasts 1,024 us and its line 800 us at
        # most at 1,000,000 baud: the board's output never falls behind), as the interface statistics say
        with open(self.SESSION) as f:
            session = f.read().splitlines()
        assert (sum(re.fullmatch(r"[0-9a-f]{8} \d+ p [0-9a-f]{64}", line) is not None for line in session),
                [line for line in session if line.startswith("#lost")]) == (163, [])
        with open(self.SAMPLE, "rb") as f:
            _, blocks = capture_blocks(f.read())
        descriptions = [pcapng_options(body[8:]) for kind, body in blocks if kind == 1]
        assert descriptions == [{2: b"nrf24 sniffer recorded", 3: b"nRF24 sniffer, firmware 2.0, line protocol 1; "
                                 b"channel 76, 250 kbps, promiscuous aa, hopping 76,90,100 every 50 ms", 9: b"\x06"}]
        statistics = [pcapng_options(body[12:]) for kind, body in blocks if kind == 5]
        assert [(stats[4], stats[5]) for stats in statistics] == [(struct.pack("<Q", 163), struct.pack("<Q", 0))]

    @pytest.mark.parametrize("preference", [(), ("-o", "nrf24.analysis.data_rate:2M")], ids=["none", "2M"])
    def test_analysis_takes_the_rate_from_the_header(self, host, forms, preference):
        # the ack verdicts and rate of the header, whatever the preference says: frame, rate, source (3: the
        # header), timing (1 inside the read, 2 across its end), observable; the acks 128 to 132 us after their
        # packets' ends
        no, yes = forms.false, forms.true
        assert rows(host, host.copy(self.SAMPLE), "frame.number", "nrf24.analysis.data_rate",
                    "nrf24.analysis.observability_source", "nrf24.analysis.ack_timing",
                    "nrf24.analysis.ack_observable", "nrf24.analysis.acked_in", "nrf24.analysis.ack_time",
                    extra=("-2", "-Y", "nrf24.analysis.data_rate or nrf24.analysis.acked_in") + preference) == [
            "1\t\t\t\t\t2\t132",
            "3\t\t\t\t\t4\t128",
            "5\t250\t3\t2\t" + no + "\t\t",
            "6\t250\t3\t2\t" + no + "\t\t",
            "7\t250\t3\t2\t" + no + "\t\t",
            "8\t250\t3\t2\t" + no + "\t\t",
            "9\t250\t3\t2\t" + no + "\t\t",
            "10\t\t\t\t\t11\t128",
            "12\t250\t3\t2\t" + no + "\t\t",
            "13\t250\t3\t2\t" + no + "\t\t",
            "14\t250\t3\t2\t" + no + "\t\t",
            "15\t\t\t\t\t16\t132",
            "29\t250\t3\t2\t" + no + "\t\t",
            "30\t250\t3\t2\t" + no + "\t\t",
            "31\t250\t3\t2\t" + no + "\t\t",
            "32\t250\t3\t2\t" + no + "\t\t",
            "33\t250\t3\t1\t" + yes + "\t\t",
            "34\t\t\t\t\t35\t132",
        ]

    def test_the_recorded_command_remakes_it(self, host):
        # the capture tool stamps a file's frames from the time it reads it: the same records, the same gaps
        output = host.path("sample-sniffer.pcapng")
        proc = subprocess.run([sys.executable, "tools/nrf24_capture.py", "-i", "captures/demo-session.txt", "-o",
                               output], cwd=SOURCE_DIR, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        with open(output, "rb") as made, open(self.SAMPLE, "rb") as kept:
            (made_packets, made_blocks), (kept_packets, kept_blocks) = capture_blocks(made.read()), \
                capture_blocks(kept.read())
        assert [(stamp - made_packets[0][0], data) for stamp, data in made_packets] == \
            [(stamp - kept_packets[0][0], data) for stamp, data in kept_packets]
        assert [body for kind, body in made_blocks if kind == 1] == [body for kind, body in kept_blocks if kind == 1]
        assert len(kept_packets) == 35
