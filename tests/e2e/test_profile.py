"""The bundled sample capture and the Wireshark profile, in the real tshark."""

import csv
import os
import shutil
import subprocess
import sys

import pytest

from nrf24_host import (SAMPLE_CAPTURE, SAMPLE_TEXT, SOURCE_DIR, make_readable, nrf24_encode, sample_descriptions,
                        sample_lines, sample_protocols)
from test_sniffer_header import sh, sniffer_capture

PROFILE = os.path.join(SOURCE_DIR, "profile")


def expected_fields(description, forms):
    """Address, payload length, PID, no-ack flag and CRC validity the description asks for."""
    return ["0x000000" + description["addr"], str(len(description.get("payload", "")) // 2),
            description.get("pid", "0"), description.get("noack", "0"),
            forms.true if description.get("crc", "good") == "good" else forms.false]


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


class TestSampleCapture:
    def test_is_what_its_description_makes(self, host):
        made = host.path("sample-made.pcap")
        subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "tools", "nrf24_encode.py"), "--link", "exported-pdu",
                        "-i", SAMPLE_TEXT, "-o", made], check=True)
        with open(made, "rb") as f, open(SAMPLE_CAPTURE, "rb") as g:
            assert f.read() == g.read(), "captures/sample.pcap is stale: remake it from sample.txt"

    def test_decodes_with_no_set_up(self, host, forms):
        sample = shutil.copy(SAMPLE_CAPTURE, host.root)
        os.chmod(sample, 0o644)
        fields = ["frame.protocols", "nrf24.node", "nrf24.ctrl.len", "nrf24.ctrl.pid", "nrf24.ctrl.noack",
                  "nrf24.crcvalid"]
        rows = host.run("-r", sample, "-T", "fields", *[arg for field in fields for arg in ("-e", field)],
                        user_dlt=False).output
        assert [row.split("\t") for row in rows] == [
            [protocols] + expected_fields(d, forms) for protocols, d in zip(sample_protocols(), sample_descriptions())]
        decrypted = host.run("-r", sample, "-o", "mysensors.key:mysecret", "-Y", "mysensors.decrypted",
                             "-T", "fields", "-e", "_ws.col.Info", user_dlt=False).output
        assert decrypted == [
            "Adr:0x99dedd2400, Len:32, Pid:0, Ack [46→0 INTERNAL I_SKETCH_NAME node: Greenhouse, decrypted]",
            "Adr:0x99dedd2400, Len:16, Pid:1, Ack [46→0 INTERNAL I_BATTERY_LEVEL node: 92, decrypted]"]


@pytest.fixture
def profile_run(host):
    """tshark -C nrf24 over the sample as DLT 147 with no mapping on the command line: only the profile's
    user_dlts entry decodes it. The profile is the user's own, in the private HOME."""
    folder = os.path.join(host.home, ".config", "wireshark", "profiles")
    os.makedirs(folder)
    shutil.copytree(PROFILE, os.path.join(folder, "nrf24"), ignore=shutil.ignore_patterns("CMakeLists.txt"))
    make_readable(os.path.join(host.home, ".config"))
    capture = host.capture(sample_lines(), nrf24_encode.LINKTYPE_USER0)
    return lambda *args: host.run("-C", "nrf24", "-r", capture, *args, user_dlt=False).output


def bad_crc(d):
    return d.get("crc", "good") != "good"


class TestProfile:
    def test_columns_show_address_length_and_pid(self, profile_run, forms):
        rows = [line.split("\t") for line in profile_run("-T", "tabs")]
        assert [row[2:5] for row in rows] == [expected_fields(d, forms)[:3] for d in sample_descriptions()]
        assert {row[5] for row in rows} == {"nrf24", "mysensors"}

    def test_link_analysis_columns(self, profile_run):
        # Both passes, as the GUI shows them: the retry number on retransmissions, the ack time on
        # acknowledged packets and on their acknowledgements.
        descriptions = sample_descriptions()
        retransmitted, unacked = link_marks(descriptions)
        rows = [line.split("\t") for line in profile_run("-2", "-T", "tabs")]
        assert [row[8] for row in rows] == ["1" if n in retransmitted else "" for n in range(1, len(rows) + 1)]
        # The sample's receivers all answer 130 us after a packet ends.
        no_ack_time = [n in unacked or d.get("noack") == "1" or bad_crc(d) for n, d in enumerate(descriptions, 1)]
        assert [row[9] for row in rows] == ["" if none else "130" for none in no_ack_time]
        assert retransmitted and unacked

    def test_channel_column(self, host):
        """The last column is the channel of the sniffer header; empty for frames without one."""
        folder = os.path.join(host.home, ".config", "wireshark", "profiles")
        os.makedirs(folder)
        shutil.copytree(PROFILE, os.path.join(folder, "nrf24"), ignore=shutil.ignore_patterns("CMakeLists.txt"))
        make_readable(os.path.join(host.home, ".config"))
        frame = nrf24_encode.encode_frame(payload=b"\x01")
        capture = sniffer_capture(host, [sh.sniffer_header(channel=channel) + frame for channel in (2, 76)] +
                                  [sh.sniffer_header() + frame])
        rows = [line.split("\t") for line in host.run("-C", "nrf24", "-r", capture, "-T", "tabs").output]
        assert [row[10:] for row in rows] == [["2"], ["76"], [""]]

    SELECTS = {
        "Bad CRC": lambda n, d: bad_crc(d),
        "Acks": lambda n, d: "payload" not in d,
        "No ack": lambda n, d: d.get("noack") == "1",
        "Retransmissions": lambda n, d: n in link_marks(sample_descriptions())[0],
        "No ack seen": lambda n, d: n in link_marks(sample_descriptions())[1],
    }

    def test_filter_buttons_are_the_ones_described(self):
        with open(os.path.join(PROFILE, "dfilter_buttons")) as f:
            buttons = list(csv.reader(line for line in f if not line.startswith("#")))
        assert [(button[0], button[1]) for button in buttons] == [("TRUE", label) for label in self.SELECTS]

    @pytest.mark.parametrize("label", list(SELECTS))
    def test_filter_buttons_select_what_they_say(self, profile_run, label):
        with open(os.path.join(PROFILE, "dfilter_buttons")) as f:
            expression = {row[1]: row[2] for row in csv.reader(line for line in f if not line.startswith("#"))}[label]
        expected = [str(n) for n, d in enumerate(sample_descriptions(), 1) if self.SELECTS[label](n, d)]
        assert expected
        # Two passes, as in the GUI: "no ack seen" needs the frames after the packet.
        assert profile_run("-2", "-Y", expression, "-T", "fields", "-e", "frame.number") == expected

    def test_bad_crc_frames_are_coloured(self, profile_run):
        rules = profile_run("--color", "-T", "fields", "-e", "frame.coloring_rule.name")
        assert rules == ["nRF24 bad CRC" if bad_crc(d) else "" for d in sample_descriptions()]
