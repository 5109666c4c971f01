"""The payload hand-off in the real tshark: data source, heuristic list, final Protocol column."""

import os
import random
import re
import sys
import unittest
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nrf24_host import Host, shown_hex  # noqa: E402

EXAMPLE = os.path.join(HERE, "..", "..", "examples", "nrf24-hello.lua")
HOST = None


def setUpModule():
    global HOST
    HOST = Host(lua_scripts=[os.path.join(HERE, "probe.lua"), EXAMPLE])


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


class HandOff(unittest.TestCase):
    # frame, then Protocol column, probe called with, probe item present, "  call_dissector" written
    CASES = [
        ("payload=03aa55", "mysensors", "03AA55", True, False),   # taken by the probe
        ("payload=0405", "mysensors", "0405", False, True),       # good CRC, nobody takes it
        ("payload=03aa55 crc=0x0000", "nrf24", None, False, True),  # bad CRC: nobody is asked
        ("pid=3", "nrf24", None, False, False),                   # no payload
        ("pid=3 crc=0x0000", "nrf24", None, False, False),        # no payload, bad CRC
    ]

    def test_cases(self):
        capture = HOST.capture([case[0] for case in self.CASES])
        for mode in ((), ("-V",)):
            result = HOST.fields(capture, "_ws.col.Protocol", "nrf24probe.first", extra=mode)
            per_frame = "\n".join(result.lines).split("\ndissect_nrf24\n")[1:]
            rows = [line for line in result.output if not line.startswith("probe called")]
            self.assertEqual(len(per_frame), len(self.CASES))
            for case, text, row in zip(self.CASES, per_frame, rows):
                frame, protocol, probed, taken, call_dissector = case
                with self.subTest(frame=frame, mode=mode):
                    self.assertEqual(row.split("\t"), [protocol, shown_hex(0x03, 2) if taken else ""])
                    self.assertEqual(re.findall(r"probe called with (\w+)", text), [probed] if probed else [])
                    self.assertEqual("  call_dissector" in text.splitlines(), call_dissector)

    def test_sub_dissector_items_beside_nrf24(self):
        result = HOST.run("-r", HOST.capture(["payload=03aa55"]), "-T", "pdml")
        root = ET.fromstring("\n".join(line for line in result.output if not line.startswith("probe called")))
        names = [proto.get("name") for proto in root.find("packet").findall("proto")
                 if proto.get("name") not in ("fake-field-wrapper", "nrf24.analysis")]  # Lua's own hidden items; the
        # link analysis, a post-dissector, comes after every protocol of the frame
        self.assertEqual(names[names.index("nrf24"):], ["nrf24", "nrf24probe"])
        probe = root.find("packet/proto[@name='nrf24probe']")
        self.assertEqual([(f.get("name"), f.get("show")) for f in probe.iter("field")],
                         [("nrf24probe.first", shown_hex(0x03, 2)), ("nrf24probe.len", "3")])

    def test_example_sub_dissector(self):
        capture = HOST.capture(["payload=a5020102", "payload=a5030102"])
        rows = HOST.fields(capture, "_ws.col.Protocol", "_ws.col.Info", "nrf24hello.count", "nrf24hello.data").output
        self.assertEqual([row for row in rows if not row.startswith("probe called")], [
            "mysensors\tAdr:0x0102030405, Len:4, Pid:0, Ack [hello, 2 bytes]\t2\t0102",
            "mysensors\tAdr:0x0102030405, Len:4, Pid:0, Ack\t\t",
        ])


class PayloadBytes(unittest.TestCase):
    def test_data_source_bytes(self):
        rng = random.Random(24)
        payloads = [bytes([0x03]), bytes(range(0x40, 0x40 + 63))] + [
            bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64))) for _ in range(20)]
        specs = ["payload=%s pid=%d noack=%d" % (p.hex(), i % 4, i % 2) for i, p in enumerate(payloads)]
        specs.append("payload=%s crc=0x0000" % payloads[-1].hex())
        payloads.append(payloads[-1])
        result = HOST.run("-r", HOST.capture(specs + ["pid=1"]), "-x")
        self.assertEqual(payload_views(result), payloads)
        self.assertIn("NRF24 Payload Data (63 bytes):", result.output)

    def test_payload_straddles_byte_boundary(self):
        # Frame bytes 6 and 7 = 0x81 0x80 with length 1: the payload byte is 0x03.
        frame = bytes.fromhex("0102030405" "04" "8180" "0000")
        self.assertEqual(payload_views(HOST.run("-r", HOST.capture([frame]), "-x")), [b"\x03"])


if __name__ == "__main__":
    unittest.main()
