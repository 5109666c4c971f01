"""The payload hand-off in the real tshark: data source, heuristic list, final Protocol column."""

import os
import random
import re

import pytest

from nrf24_host import EXAMPLE_LUA, shown_hex

PROBE_LUA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "probe.lua")
pytestmark = pytest.mark.lua_scripts(PROBE_LUA, EXAMPLE_LUA)


def payload_views(result):
    """The "NRF24 Payload Data" byte views that tshark -x prints, as bytes, frame by frame."""
    views, current = [], None
    for line in result.output:
        if line.startswith("NRF24 Payload Data ("):
            current = bytearray()
            views.append(current)
        elif current is not None and re.match(r"[0-9a-f]{4}  ", line):
            current += bytes.fromhex(line[6:54].replace(" ", ""))
        else:
            current = None
    return [bytes(view) for view in views]


class TestHandOff:
    # frame, then Protocol column, probe called with, probe item present, "  call_dissector" written
    CASES = [
        ("payload=03aa55", "probe", "03AA55", True, False),       # taken by the probe, which labels it
        ("payload=0405", "nrf24", "0405", False, True),           # good CRC, nobody takes it
        ("payload=03aa55 crc=0x0000", "nrf24", None, False, True),  # bad CRC: nobody is asked
        ("pid=3", "nrf24", None, False, False),                   # no payload
        ("pid=3 crc=0x0000", "nrf24", None, False, False),        # no payload, bad CRC
    ]

    @pytest.mark.parametrize("mode", [(), ("-V",)], ids=["no-tree", "tree"])
    def test_cases(self, host, mode):
        result = host.fields(host.capture([case[0] for case in self.CASES]), "_ws.col.Protocol", "nrf24probe.first",
                             extra=mode)
        per_frame = result.per_frame()
        rows = result.output
        assert len(per_frame) == len(self.CASES)
        seen = [(row.split("\t"), re.findall(r"probe called with (\w+)", text), "  call_dissector" in text.splitlines())
                for text, row in zip(per_frame, rows)]
        assert seen == [([protocol, shown_hex(0x03, 2) if taken else ""], [probed] if probed else [], call_dissector)
                        for _, protocol, probed, taken, call_dissector in self.CASES]

    def test_sub_dissector_items_beside_nrf24(self, host):
        packet, = host.run("-r", host.capture(["payload=03aa55"]), "-T", "pdml").pdml_packets()
        # Lua's own hidden items; the link analysis, a post-dissector, comes after every protocol of the frame
        names = [proto.get("name") for proto in packet.findall("proto")
                 if proto.get("name") not in ("fake-field-wrapper", "nrf24.analysis")]
        assert names[names.index("nrf24"):] == ["nrf24", "nrf24probe"]
        probe = packet.find("proto[@name='nrf24probe']")
        assert [(f.get("name"), f.get("show")) for f in probe.iter("field")] == [
            ("nrf24probe.first", shown_hex(0x03, 2)), ("nrf24probe.len", "3")]

    def test_example_sub_dissector(self, host):
        capture = host.capture(["payload=a5020102", "payload=a5030102"])
        rows = host.fields(capture, "_ws.col.Protocol", "_ws.col.Info", "nrf24hello.count", "nrf24hello.data").output
        assert rows == [
            "nrf24hello\tAdr:0x0102030405, Len:4, Pid:0, Ack [hello, 2 bytes]\t2\t0102",
            "nrf24\tAdr:0x0102030405, Len:4, Pid:0, Ack\t\t",
        ]


class TestPayloadBytes:
    def test_data_source_bytes(self, host):
        rng = random.Random(24)
        payloads = [bytes([0x03]), bytes(range(0x40, 0x40 + 63))] + [
            bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64))) for _ in range(20)]
        specs = ["payload=%s pid=%d noack=%d" % (p.hex(), i % 4, i % 2) for i, p in enumerate(payloads)]
        specs.append("payload=%s crc=0x0000" % payloads[-1].hex())
        payloads.append(payloads[-1])
        result = host.run("-r", host.capture(specs + ["pid=1"]), "-x")
        assert payload_views(result) == payloads
        assert "NRF24 Payload Data (63 bytes):" in result.output

    def test_payload_straddles_byte_boundary(self, host):
        # Frame bytes 6 and 7 = 0x81 0x80 with length 1: the payload byte is 0x03.
        frame = bytes.fromhex("0102030405" "04" "8180" "0000")
        assert payload_views(host.run("-r", host.capture([frame]), "-x")) == [b"\x03"]
