"""tshark's standard output with the modules loaded: exactly what tshark writes without them, with our
fields in it; the modules' trace lines stay on standard error."""

import json
import os
import subprocess
import xml.etree.ElementTree as ET

import pytest

from nrf24_host import SAMPLE_CAPTURE, sample_lines

FRAMES = len(sample_lines())


def without_modules(host):
    """Overrides that make tshark load none of our modules (an empty plug-in root)."""
    empty = host.path("no-plugins")
    os.makedirs(empty, exist_ok=True)
    os.chmod(empty, 0o755)
    return {"WIRESHARK_PLUGIN_DIR": empty}


def run_bytes(host, *args, env=None):
    """tshark's stdout as bytes (the text runner would decode a capture)."""
    command = [host.tshark, "-r", host.copy(SAMPLE_CAPTURE)] + list(args)
    if host.as_root:
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + command
    environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": host.home, "TZ": "UTC",
                   "LC_ALL": "C.UTF-8", "WIRESHARK_PLUGIN_DIR": os.path.join(host.root, "plugins")}
    environment.update(env or {})
    proc = subprocess.run(command, env=environment, cwd=host.root, capture_output=True, timeout=300)
    assert proc.returncode == 0, proc.stderr.decode()
    return proc.stdout, proc.stderr.decode()


class TestCaptureOnStdout:
    @pytest.mark.parametrize("form", [(), ("-F", "pcap")], ids=["pcapng", "pcap"])
    def test_written_capture_is_whole_and_unchanged(self, host, form):
        # A display filter makes tshark dissect every frame it writes.
        with_modules, stderr = run_bytes(host, "-Y", "frame", "-w", "-", *form)
        plain, _ = run_bytes(host, "-Y", "frame", "-w", "-", *form, env=without_modules(host))
        assert with_modules == plain
        path = host.path("written.cap")
        with open(path, "wb") as f:
            f.write(with_modules)
        info = subprocess.run(["capinfos", "-c", "-M", path], capture_output=True, text=True)
        assert (info.returncode, info.stderr) == (0, "")
        assert "Number of packets:   %d" % FRAMES in info.stdout
        assert stderr.splitlines().count("dissect_nrf24") == FRAMES


class TestStructuredOutput:
    def test_json_parses_with_our_fields(self, host):
        packets = json.loads("\n".join(host.run("-r", host.copy(SAMPLE_CAPTURE), "-T", "json").output))
        assert len(packets) == FRAMES
        assert all("nrf24" in packet["_source"]["layers"] for packet in packets)

    def test_ek_is_one_json_object_a_line(self, host):
        lines = host.run("-r", host.copy(SAMPLE_CAPTURE), "-T", "ek").output
        objects = [json.loads(line) for line in lines]
        assert len([o for o in objects if "layers" in o]) == FRAMES

    def test_pdml_parses(self, host):
        result = host.run("-r", host.copy(SAMPLE_CAPTURE), "-T", "pdml")
        assert len(ET.fromstring("\n".join(result.output)).findall("packet")) == FRAMES

    def test_fields_hold_only_rows(self, host):
        result = host.fields(host.copy(SAMPLE_CAPTURE), "frame.number", "nrf24.ctrl.pid")
        assert [row.split("\t")[0] for row in result.output] == [str(n) for n in range(1, FRAMES + 1)]
        assert result.frame_trace.count("dissect_nrf24") == FRAMES

    def test_summary_identical_to_stdout_of_plain_tshark_but_for_our_columns(self, host):
        ours = host.run("-r", host.copy(SAMPLE_CAPTURE), "-T", "fields", "-e", "frame.number", "-e", "frame.len").output
        plain = host.run("-r", host.copy(SAMPLE_CAPTURE), "-T", "fields", "-e", "frame.number", "-e", "frame.len",
                         env=without_modules(host), user_dlt=False).output
        assert ours == plain
