"""The bundled sample capture and the Wireshark profile, in the real tshark."""

import csv
import os
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nrf24_host import Host, SOURCE_DIR, host_forms, make_readable, nrf24_encode  # noqa: E402

CAPTURES = os.path.join(SOURCE_DIR, "captures")
PROFILE = os.path.join(SOURCE_DIR, "profile")
HOST = None


def setUpModule():
    global HOST
    HOST = Host()
    folder = os.path.join(HOST.home, ".config", "wireshark", "profiles")
    os.makedirs(folder)
    shutil.copytree(PROFILE, os.path.join(folder, "nrf24"), ignore=shutil.ignore_patterns("CMakeLists.txt"))
    make_readable(os.path.join(HOST.home, ".config"))


def sample_descriptions():
    """The frame descriptions of the sample, each as a dict of its words."""
    with open(os.path.join(CAPTURES, "sample.txt")) as f:
        lines = [line for line in f.read().splitlines() if line.strip() and not line.startswith("#")]
    return lines, [dict(word.split("=", 1) for word in line.split()) for line in lines]


def expected_fields(description):
    """Address, payload length, PID, no-ack flag and CRC validity the description asks for."""
    return ["0x000000" + description["addr"], str(len(description.get("payload", "")) // 2),
            description.get("pid", "0"), description.get("noack", "0"),
            host_forms().true if description.get("crc", "good") == "good" else host_forms().false]


def link_marks(descriptions):
    """Frames of the sample that the link analysis marks, by frame number: retransmissions (a good packet
    that repeats the last good packet on its address) and packets whose acknowledgement never came (the
    next good frame on their address is not an empty frame with their PID). The sample keeps every
    acknowledgement within the ack window, so time plays no part here."""
    retransmitted, unacked, last = set(), set(), {}
    good = [(n, d) for n, d in enumerate(descriptions, 1) if d.get("crc", "good") == "good"]
    for i, (n, d) in enumerate(good):
        if "payload" not in d:
            continue
        packet = (d.get("pid", "0"), d["payload"])
        if last.get(d["addr"]) == packet:
            retransmitted.add(n)
        last[d["addr"]] = packet
        after = next((e for _, e in good[i + 1:] if e["addr"] == d["addr"]), None)
        if d.get("noack") != "1" and (after is None or "payload" in after or after.get("pid", "0") != packet[0]):
            unacked.add(n)
    return retransmitted, unacked


class SampleCapture(unittest.TestCase):
    def test_is_what_its_description_makes(self):
        made = HOST.path("sample-made.pcap")
        subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "tools", "nrf24_encode.py"), "--link", "exported-pdu",
                        "-i", os.path.join(CAPTURES, "sample.txt"), "-o", made], check=True)
        with open(made, "rb") as f, open(os.path.join(CAPTURES, "sample.pcap"), "rb") as g:
            self.assertEqual(f.read(), g.read(), "captures/sample.pcap is stale: remake it from sample.txt")

    def test_decodes_with_no_set_up(self):
        sample = shutil.copy(os.path.join(CAPTURES, "sample.pcap"), HOST.root)
        os.chmod(sample, 0o644)
        fields = ["frame.protocols", "nrf24.node", "nrf24.ctrl.len", "nrf24.ctrl.pid", "nrf24.ctrl.noack",
                  "nrf24.crcvalid"]
        rows = HOST.run("-r", sample, "-T", "fields", *[arg for field in fields for arg in ("-e", field)], user_dlt=False).output
        _, descriptions = sample_descriptions()
        # Every payload with a good CRC is a MySensors message that the companion module takes.
        protocols = ["exported_pdu:nrf24:mysensors" if "payload" in d and d.get("crc", "good") == "good"
                     else "exported_pdu:nrf24" for d in descriptions]
        self.assertEqual([row.split("\t") for row in rows],
                         [[p] + expected_fields(d) for p, d in zip(protocols, descriptions)])


class Profile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lines, cls.descriptions = sample_descriptions()
        # DLT 147 and no mapping on the command line: only the profile's user_dlts entry decodes it.
        cls.capture = HOST.capture(lines, nrf24_encode.LINKTYPE_USER0)

    def run_profile(self, *args):
        return HOST.run("-C", "nrf24", "-r", self.capture, *args, user_dlt=False).output

    def test_columns_show_address_length_and_pid(self):
        rows = [line.split("\t") for line in self.run_profile("-T", "tabs")]
        self.assertEqual([row[2:5] for row in rows], [expected_fields(d)[:3] for d in self.descriptions])
        self.assertEqual({row[5] for row in rows}, {"nrf24", "mysensors"})

    def test_link_analysis_columns(self):
        # Both passes, as the GUI shows them: the retry number on retransmissions, the ack time on
        # acknowledged packets and on their acknowledgements.
        retransmitted, unacked = link_marks(self.descriptions)
        rows = [line.split("\t") for line in self.run_profile("-2", "-T", "tabs")]
        self.assertEqual([row[8] for row in rows],
                         ["1" if n in retransmitted else "" for n in range(1, len(rows) + 1)])
        # The sample's receivers all answer 130 us after a packet ends.
        no_ack_time = [n in unacked or d.get("noack") == "1" or d.get("crc", "good") != "good"
                       for n, d in enumerate(self.descriptions, 1)]
        self.assertEqual([row[9] for row in rows], ["" if none else "130" for none in no_ack_time])
        self.assertTrue(retransmitted and unacked)

    def test_filter_buttons_select_what_they_say(self):
        retransmitted, unacked = link_marks(self.descriptions)
        selects = {
            "Bad CRC": lambda n, d: d.get("crc", "good") != "good",
            "Acks": lambda n, d: "payload" not in d,
            "No ack": lambda n, d: d.get("noack") == "1",
            "Retransmissions": lambda n, d: n in retransmitted,
            "No ack seen": lambda n, d: n in unacked,
        }
        with open(os.path.join(PROFILE, "dfilter_buttons")) as f:
            buttons = list(csv.reader(line for line in f if not line.startswith("#")))
        self.assertEqual([button[1] for button in buttons], list(selects))
        for shown, label, expression, _ in buttons:
            with self.subTest(button=label):
                self.assertEqual(shown, "TRUE")
                # Two passes, as in the GUI: "no ack seen" needs the frames after the packet.
                frames = self.run_profile("-2", "-Y", expression, "-T", "fields", "-e", "frame.number")
                expected = [str(n) for n, d in enumerate(self.descriptions, 1) if selects[label](n, d)]
                self.assertTrue(expected)
                self.assertEqual(frames, expected)

    def test_bad_crc_frames_are_coloured(self):
        rules = self.run_profile("--color", "-T", "fields", "-e", "frame.coloring_rule.name")
        self.assertEqual(rules, ["" if d.get("crc", "good") == "good" else "nRF24 bad CRC" for d in self.descriptions])


if __name__ == "__main__":
    unittest.main()
