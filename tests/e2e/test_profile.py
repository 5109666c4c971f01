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


ENCRYPTED_NETWORK = "99dedd24"  # the sample's second network, encrypted with the password "mysecret"


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
        # Every payload with a good CRC is a MySensors message that the companion module takes, but the
        # encrypted network's, which need its key.
        protocols = ["exported_pdu:nrf24:mysensors" if "payload" in d and d.get("crc", "good") == "good"
                     and not d["addr"].startswith(ENCRYPTED_NETWORK) else "exported_pdu:nrf24" for d in descriptions]
        self.assertEqual([row.split("\t") for row in rows],
                         [[p] + expected_fields(d) for p, d in zip(protocols, descriptions)])
        decrypted = HOST.run("-r", sample, "-o", "mysensors.key:mysecret", "-Y", "mysensors.decrypted",
                             "-T", "fields", "-e", "_ws.col.Info", user_dlt=False).output
        self.assertEqual(decrypted, [
            "Adr:0x99dedd2400, Len:32, Pid:0, Ack [46→0 INTERNAL I_SKETCH_NAME node: Greenhouse, decrypted]",
            "Adr:0x99dedd2400, Len:16, Pid:1, Ack [46→0 INTERNAL I_BATTERY_LEVEL node: 102, decrypted]"])


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

    def test_filter_buttons_select_what_they_say(self):
        selects = {
            "Bad CRC": lambda d: d.get("crc", "good") != "good",
            "Acks": lambda d: "payload" not in d,
            "No ack": lambda d: d.get("noack") == "1",
        }
        with open(os.path.join(PROFILE, "dfilter_buttons")) as f:
            buttons = list(csv.reader(line for line in f if not line.startswith("#")))
        self.assertEqual([button[1] for button in buttons], list(selects))
        for shown, label, expression, _ in buttons:
            with self.subTest(button=label):
                self.assertEqual(shown, "TRUE")
                frames = self.run_profile("-Y", expression, "-T", "fields", "-e", "frame.number")
                expected = [str(n) for n, d in enumerate(self.descriptions, 1) if selects[label](d)]
                self.assertTrue(expected)
                self.assertEqual(frames, expected)

    def test_bad_crc_frames_are_coloured(self):
        rules = self.run_profile("--color", "-T", "fields", "-e", "frame.coloring_rule.name")
        self.assertEqual(rules, ["" if d.get("crc", "good") == "good" else "nRF24 bad CRC" for d in self.descriptions])


if __name__ == "__main__":
    unittest.main()
