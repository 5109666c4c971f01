"""The MySensors module in the real tshark, beside nrf24: the catalogued frames field by field, columns,
filters, what the heuristic refuses, and payloads that do not fit their payload type."""

import os
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nrf24_host import Host, host_forms  # noqa: E402

HOST = None
FORMS = None
GATEWAY, NODE_101, BROADCAST = "a8a8e1fc00", "a8a8e1fc65", "a8a8e1fcff"
HMAC = bytes(range(0xe0, 0xe0 + 23)).hex()
NONCE = bytes(range(0x40, 0x40 + 25)).hex()
HEADER_FIELDS = ("last", "sender", "destination", "signed", "length", "command", "echo_request", "echo",
                 "payload_type")
FLAGS = ("signed", "echo_request", "echo")
NODE = "Child sensor id: Node itself (255)"


def setUpModule():
    global HOST, FORMS
    HOST = Host()
    FORMS = host_forms()


# MySensors 2.x frames catalogued with their decoded meaning, most from the library's own logs: name, nRF24
# address, payload, then last, sender, destination, signed, length, command, echo request, echo, payload
# type; the items from the type on as the tree shows them; the summary appended to Info.
VECTORS = [
    ("A1", BROADCAST, "6565ff020307ff", (101, 101, 255, 0, 0, 3, 0, 0, 0),
     ["Internal type: I_FIND_PARENT_REQUEST (7)", NODE], "101→255 INTERNAL I_FIND_PARENT_REQUEST node"),
    ("A2", NODE_101, "0000650a2308ff00", (0, 0, 101, 0, 1, 3, 0, 0, 1),
     ["Internal type: I_FIND_PARENT_RESPONSE (8)", NODE, "Value: 0"], "0→101 INTERNAL I_FIND_PARENT_RESPONSE node: 0"),
    ("A3 ping", GATEWAY, "6565000a2318ff01", (101, 101, 0, 0, 1, 3, 0, 0, 1),
     ["Internal type: I_PING (24)", NODE, "Value: 1"], "101→0 INTERNAL I_PING node: 1"),
    ("A3 pong", NODE_101, "0000650a2319ff01", (0, 0, 101, 0, 1, 3, 0, 0, 1),
     ["Internal type: I_PONG (25)", NODE, "Value: 1"], "0→101 INTERNAL I_PONG node: 1"),
    ("A4", GATEWAY, "65650012c30fff0100", (101, 101, 0, 0, 2, 3, 0, 0, 6),
     ["Internal type: I_SIGNING_PRESENTATION (15)", NODE, "Signing presentation version: 1", "Signing flags: 0x00",
      ".... ...0 = Requires signatures: False", ".... ..0. = Requires whitelisting: False"],
     "101→0 INTERNAL I_SIGNING_PRESENTATION node: 0100"),
    ("A5", GATEWAY, "6565002a0011ff322e332e32", (101, 101, 0, 0, 5, 0, 0, 0, 0),
     ["Sensor type: S_ARDUINO_NODE (17)", NODE, "Value: 2.3.2"], "101→0 PRESENTATION S_ARDUINO_NODE node: 2.3.2"),
    ("A6", GATEWAY, "6565000a2306ff00", (101, 101, 0, 0, 1, 3, 0, 0, 1),
     ["Internal type: I_CONFIG (6)", NODE, "Value: 0"], "101→0 INTERNAL I_CONFIG node: 0"),
    ("A7", GATEWAY, "6565005a030bff53656e736f722073313031", (101, 101, 0, 0, 11, 3, 0, 0, 0),
     ["Internal type: I_SKETCH_NAME (11)", NODE, "Value: Sensor s101"],
     "101→0 INTERNAL I_SKETCH_NAME node: Sensor s101"),
    ("A8 humidity", GATEWAY, "6565004200070048756d6964697479", (101, 101, 0, 0, 8, 0, 0, 0, 0),
     ["Sensor type: S_HUM (7)", "Child sensor id: 0", "Value: Humidity"],
     "101→0 PRESENTATION S_HUM child 0: Humidity"),
    ("A8 temperature", GATEWAY, "6565005a00060154656d7065726174757265", (101, 101, 0, 0, 11, 0, 0, 0, 0),
     ["Sensor type: S_TEMP (6)", "Child sensor id: 1", "Value: Temperature"],
     "101→0 PRESENTATION S_TEMP child 1: Temperature"),
    ("A9", GATEWAY, "2e2e000a2300ff66", (46, 46, 0, 0, 1, 3, 0, 0, 1),
     ["Internal type: I_BATTERY_LEVEL (0)", NODE, "Value: 102"], "46→0 INTERNAL I_BATTERY_LEVEL node: 102"),
    # Through a repeater: node 80 transmits this hop of node 79's message.
    ("A10", GATEWAY, "504f0022a316ff8d784300", (80, 79, 0, 0, 4, 3, 0, 0, 5),
     ["Internal type: I_HEARTBEAT_RESPONSE (22)", NODE, "Value: 4421773"],
     "79→0 INTERNAL I_HEARTBEAT_RESPONSE node: 4421773"),
    ("A11", BROADCAST, "0000ff020314ff", (0, 0, 255, 0, 0, 3, 0, 0, 0),
     ["Internal type: I_DISCOVER_REQUEST (20)", NODE], "0→255 INTERNAL I_DISCOVER_REQUEST node"),
    ("B1", GATEWAY, "5054002ae10005cdcc924202", (80, 84, 0, 0, 5, 1, 0, 0, 7),
     ["Variable type: V_TEMP (0)", "Child sensor id: 5", "Value: 73.40", "Precision: 2"],
     "84→0 SET V_TEMP child 5: 73.40"),
    ("B2", GATEWAY, "2e2e002ae100006666a24101", (46, 46, 0, 0, 5, 1, 0, 0, 7),
     ["Variable type: V_TEMP (0)", "Child sensor id: 0", "Value: 20.3", "Precision: 1"],
     "46→0 SET V_TEMP child 0: 20.3"),
    ("C1", NODE_101, "0000650a09020131", (0, 0, 101, 0, 1, 1, 1, 0, 0),
     ["Variable type: V_STATUS (2)", "Child sensor id: 1", "Value: 1"], "0→101 SET V_STATUS child 1: 1, echo request"),
    ("C2", GATEWAY, "6565000a11020131", (101, 101, 0, 0, 1, 1, 0, 1, 0),
     ["Variable type: V_STATUS (2)", "Child sensor id: 1", "Value: 1"], "101→0 SET V_STATUS child 1: 1, echo"),
    ("C3", GATEWAY, "0c0c004200030" "64d79204c69676874", (12, 12, 0, 0, 8, 0, 0, 0, 0),
     ["Sensor type: S_BINARY (3)", "Child sensor id: 6", "Value: My Light"],
     "12→0 PRESENTATION S_BINARY child 6: My Light"),
    ("C4 nonce request", GATEWAY, "65650002031001", (101, 101, 0, 0, 0, 3, 0, 0, 0),
     ["Internal type: I_NONCE_REQUEST (16)", "Child sensor id: 1"], "101→0 INTERNAL I_NONCE_REQUEST child 1"),
    ("C4 nonce response", NODE_101, "000065cac311ff" + NONCE, (0, 0, 101, 0, 25, 3, 0, 0, 6),
     ["Internal type: I_NONCE_RESPONSE (17)", NODE, "Value: " + NONCE],
     "0→101 INTERNAL I_NONCE_RESPONSE node: " + NONCE),
    ("C4 signed", GATEWAY, "6565000e2102010101" + HMAC, (101, 101, 0, 1, 1, 1, 0, 0, 1),
     ["Variable type: V_STATUS (2)", "Child sensor id: 1", "Value: 1", "Signature: 01" + HMAC,
      "Signing identifier: HMAC-SHA256 (1)", "Truncated HMAC: " + HMAC], "101→0 SET V_STATUS child 1: 1, signed"),
    ("C6", GATEWAY, "05050062c13900e100010000ac41012300ff5a", (5, 5, 0, 0, 12, 1, 0, 0, 6),
     ["Variable type: V_MULTI_MESSAGE (57)", "Child sensor id: 0",
      "Record 1: V_TEMP child 1: 21.5", ".... .001 = Command: C_SET (1)", "111. .... = Payload type: P_FLOAT32 (7)",
      "Variable type: V_TEMP (0)", "Child sensor id: 1", "Value: 21.5", "Precision: 1",
      "Record 2: I_BATTERY_LEVEL node: 90", ".... .011 = Command: C_INTERNAL (3)",
      "001. .... = Payload type: P_BYTE (1)", "Internal type: I_BATTERY_LEVEL (0)", NODE, "Value: 90"],
     "5→0 SET V_MULTI_MESSAGE child 0: 2 records"),
]


def header_shown(field, value):
    """A header field's value as PDML shows it: the flags are booleans."""
    if field in FLAGS:
        return FORMS.true if value else FORMS.false
    return str(value)


def vector_capture(rows):
    return HOST.capture(["addr=%s payload=%s" % (row[1], row[2]) for row in rows])


def mysensors_protos(result):
    """The mysensors element of each packet of a PDML run, or None."""
    root = ET.fromstring("\n".join(result.output))
    return [packet.find("proto[@name='mysensors']") for packet in root.iter("packet")]


class Vectors(unittest.TestCase):
    def test_tree_field_by_field(self):
        protos = mysensors_protos(HOST.run("-r", vector_capture(VECTORS), "-T", "pdml"))
        self.assertEqual(len(protos), len(VECTORS))
        for (name, _, payload, header, items, summary), proto in zip(VECTORS, protos):
            with self.subTest(vector=name):
                self.assertEqual((proto.get("size"), proto.get("showname")),
                                 (str(len(payload) // 2), "MySensors, " + summary))
                fields = {}
                for field in proto.iter("field"):  # the header's, not the records' command and payload type
                    fields.setdefault(field.get("name"), field.get("show"))
                names = HEADER_FIELDS + ("version",)
                self.assertEqual([fields["mysensors." + name] for name in names],
                                 [header_shown(name, value) for name, value in zip(names, header + (2,))])
                shown = [f.get("showname") for f in proto.iter("field") if f.get("hide") != "yes"]
                self.assertEqual(shown[12:], items)

    def test_columns(self):
        # Source is the hop's transmitter; Destination stays the next hop from the nRF24 address.
        capture = vector_capture(VECTORS)
        expected = [[str(header[0]), str(int(addr[-2:], 16)), "mysensors", str(len(payload) // 2 + 9),
                     "Adr:0x%s, Len:%d, Pid:0, Ack [%s]" % (addr, len(payload) // 2, summary)]
                    for _, addr, payload, header, _, summary in VECTORS]
        with_tree = HOST.fields(capture, "_ws.col.Source", "_ws.col.Destination", "_ws.col.Protocol",
                                "_ws.col.Length", "_ws.col.Info")
        self.assertEqual([row.split("\t") for row in with_tree.output], expected)
        self.assertNotIn("  call_dissector", with_tree.trace)
        without_tree = HOST.run("-r", capture, "-T", "tabs").output
        self.assertEqual([[cell.strip() for cell in line.split("\t")[2:]] for line in without_tree],
                         [row[:1] + ["→"] + row[1:] for row in expected])

    def test_filters(self):
        capture = vector_capture(VECTORS)
        for expression, names in [
                ("mysensors.var_type == 0", ["B1", "B2", "C6"]),
                ("mysensors.type == 0", ["A9", "B1", "B2"]),
                ("mysensors.last != mysensors.sender", ["A10", "B1"]),
                ("mysensors.signed == 1", ["C4 signed"]),
                ("mysensors.echo_request == 1", ["C1"]),
                ("mysensors.record", ["C6"]),
                ("mysensors.destination == 255", ["A1", "A11"]),
                ("mysensors.value.float > 50", ["B1"])]:
            with self.subTest(expression=expression):
                frames = HOST.fields(capture, "frame.number", extra=("-Y", expression)).output
                self.assertEqual([VECTORS[int(n) - 1][0] for n in frames], names)


class Registry(unittest.TestCase):
    def test_registered_beside_nrf24(self):
        self.assertIn("MySensors\tMySensors\tmysensors" + FORMS.protocol_flags, HOST.run("-G", "protocols").output)
        details = "\tT\tmysensors_nrf24\tMySensors over nRF24" if FORMS.heuristic_details else ""
        self.assertIn("nrf24\tmysensors\tT" + details, HOST.run("-G", "heuristic-decodes").output)
        plugins = [line.split()[:3] for line in HOST.run("-G", "plugins").output]
        self.assertIn(["mysensors.so", "1.0.0", "dissector"], plugins)


class Refused(unittest.TestCase):
    # Payloads that are not plain MySensors 2.x messages stay with nrf24.
    CASES = [
        ("C5 encrypted, 16 bytes", "b0e53bbfc5e7dad0b7b25296bc919bb5"),
        ("C5 encrypted, 32 bytes", "31b415c08b63908e377f79bee62de14e7f6343f5699c07dc51898b8e2ecc0e9b"),
        ("version 0", "2e2e00082300ff66"),
        ("version 1", "2e2e00092300ff66"),
        ("version 3", "2e2e000b2300ff66"),
        ("command 5", "2e2e000a2500ff66"),
        ("command 6", "2e2e000a2600ff66"),
        ("command 7", "2e2e000a2700ff66"),
        ("length field 26, signed", "656500d6210201" + "01" * 25),
        ("one byte short", "2e2e000a2300ff"),
        ("one byte over", "2e2e000a2300ff6600"),
        ("signed, not 32 bytes", "2e2e000e2300ff66" + "01" * 10),
        ("shorter than a header", "2e2e00022300"),
        ("33 bytes", "6565000e21020101" + "01" * 25),
    ]

    def test_not_taken(self):
        result = HOST.fields(HOST.capture(["payload=" + payload for _, payload in self.CASES]),
                             "_ws.col.Info", "mysensors.sender")
        per_frame = "\n".join(result.lines).split("\ndissect_nrf24\n")[1:]
        self.assertEqual(len(per_frame), len(self.CASES))
        for (name, payload), text, row in zip(self.CASES, per_frame, result.output):
            with self.subTest(case=name):
                self.assertIn("  call_dissector", text.splitlines())
                self.assertEqual(row, "Adr:0x0102030405, Len:%d, Pid:0, Ack\t" % (len(payload) // 2))


class Malformed(unittest.TestCase):
    # payload, the expert info, the summary
    CASES = [
        ("6565001221020101ff", "P_BYTE payload: length 2, expected 1", "101→0 SET V_STATUS child 1, malformed"),
        ("65650002410001", "P_INT16 payload: length 0, expected 2", "101→0 SET V_TEMP child 1, malformed"),
        ("65650022e10001000080bf", "P_FLOAT32 payload: length 4, expected 5", "101→0 SET V_TEMP child 1, malformed"),
        ("6565000ac30fff01", "I_SIGNING_PRESENTATION payload: length 1, expected 2",
         "101→0 INTERNAL I_SIGNING_PRESENTATION node, malformed"),
        ("05050052c13900e100010000ac4101e300", "Record 2: cut short",
         "5→0 SET V_MULTI_MESSAGE child 0: 1 record, malformed"),
        ("0505002ac139000300ff4f4b", "Record 1: payload type of no fixed size",
         "5→0 SET V_MULTI_MESSAGE child 0: 0 records, malformed"),
        ("050500cec10201" + "00" * 25, "Signed, but 25 payload bytes leave no room for the signature",
         "5→0 SET V_STATUS child 1: " + "00" * 25 + ", signed, malformed"),
    ]

    def test_expert_info_not_a_guess(self):
        capture = HOST.capture(["payload=" + payload for payload, _, _ in self.CASES])
        # Without the link analysis, whose PID gap notes these frames (all PID 0) would add.
        rows = HOST.fields(capture, "_ws.expert.message", "_ws.expert.group", "_ws.col.Info",
                           extra=("--disable-protocol", "nrf24.analysis")).output
        self.assertEqual(len(rows), len(self.CASES))
        for (payload, message, summary), row in zip(self.CASES, rows):
            with self.subTest(payload=payload):
                self.assertEqual(row.split("\t"), [message, "117440512",
                                                   "Adr:0x0102030405, Len:%d, Pid:0, Ack [%s]" % (len(payload) // 2,
                                                                                                  summary)])
        flagged = HOST.fields(capture, "frame.number", extra=("-Y", "mysensors.bad_length || mysensors.bad_record"))
        self.assertEqual(flagged.output, [str(n + 1) for n in range(len(self.CASES))])


if __name__ == "__main__":
    unittest.main()
