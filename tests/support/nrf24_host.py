"""Runs the real tshark with the freshly built module, hermetically.

Every run gets a private plug-in folder holding only our module(s), an empty HOME
and TZ=UTC. As root, tshark ignores WIRESHARK_PLUGIN_DIR, so it is run as an
unprivileged uid then. The module's trace lines go to stderr; they are picked out
of it by exact match, beside tshark's own messages.
"""

import atexit
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))

import nrf24_encode  # noqa: E402  (the shared frame encoder)

EXAMPLE_LUA = os.path.join(SOURCE_DIR, "examples", "nrf24-hello.lua")
SAMPLE_TEXT = os.path.join(SOURCE_DIR, "captures", "sample.txt")
SAMPLE_CAPTURE = os.path.join(SOURCE_DIR, "captures", "sample.pcap")
USER_DLT = 'uat:user_dlts:"User 0 (DLT=147)","nrf24","0","","0",""'
UNPRIVILEGED = 65534

TRACE_LINES = re.compile(
    r"plugin_register|Done plugin_register|register_dissector proto_nrf24=-?\d+|"
    r"!!! register_dissector returned NULL|register_heur_dissector_list|"
    r"!!!!!!! heur_subdissector_list=NULL|proto_register_field_array|proto_register_subtree_array|"
    r"proto_reg_handoff_nrf24 \(proto_nrf24=-?\d+\)|Done proto_reg_handoff_nrf24|"
    r"dissect_nrf24|CRC OK|CRC ERR: \[CRC calculated, CRC packet\] = \[\d+, \d+\]|"
    r"  call_dissector|Done dissect_nrf24")

STARTUP_TRACE_LEN = 8
COLUMNS = ("_ws.col.Protocol", "_ws.col.Length", "_ws.col.Info", "_ws.col.Source", "_ws.col.Destination")

# Where the supported hosts write the same thing differently, by the first version that does it.
HostForms = collections.namedtuple("HostForms", [
    "since",
    "hex_digits",         # fewest digits of a hex integer in -T fields and PDML (3.4: 8 up to 32 bits)
    "true", "false",      # a boolean field in -T fields and PDML
    "protocol_flags",     # what -G protocols adds after the filter name
    "heuristic_tables",   # whether -G dissector-tables lists heuristic lists too
    "heuristic_details",  # whether -G heuristic-decodes adds the default, short name and display name
    "describe_symbols",   # exports a module adds for the host's plug-in list to show its kind
    "global_profiles",    # whether tshark -C finds a profile in the global folder (3.4: personal only)
    "control_escape",     # how a string's control byte is shown (4.4: \x01, before: \001)
    "conversation_sides", # -z conv columns: the side whose frames '<-' counts, then '->' (3.4: A first)
    "fields_backslash",   # how -T fields writes a backslash in a string (4.4: doubled)
])
HOST_FORMS = [
    HostForms((3, 4), 8, "1", "0", "", False, False, [], False, "\\%03o", "AB", "\\"),
    HostForms((4, 0), 0, "1", "0", "", False, False, [], True, "\\%03o", "BA", "\\"),
    HostForms((4, 4), 0, "True", "False", "\tT\tT\tT", True, True, ["plugin_describe"], True, "\\x%02x", "BA",
              "\\\\"),
]


def sample_lines():
    """The frame descriptions of the sample capture, one per frame, from captures/sample.txt."""
    with open(SAMPLE_TEXT) as f:
        return [line for line in f.read().splitlines() if line.strip() and not line.startswith("#")]


def sample_descriptions():
    """The sample's frames, each as a dict of its description's words."""
    return [dict(word.split("=", 1) for word in line.split()) for line in sample_lines()]


# The sample's second network, its messages encrypted with the password "mysecret".
ENCRYPTED_NETWORK = "99dedd24"


def sample_protocols():
    """frame.protocols of each frame of the sample: every payload with a good CRC is a MySensors
    message that the companion module takes, but the encrypted network's, which need its key."""
    return ["exported_pdu:nrf24:mysensors" if "payload" in d and d.get("crc", "good") == "good"
            and not d["addr"].startswith(ENCRYPTED_NETWORK) else "exported_pdu:nrf24" for d in sample_descriptions()]


def _env_path(name):
    path = os.environ.get(name)
    if not path:
        raise RuntimeError("%s is not set: run the tests through ctest" % name)
    return path


def dynamic_symbols(module):
    """The symbols a module file defines for the host to find (nm -D --defined-only): name to address."""
    lines = subprocess.run(["nm", "-D", "--defined-only", module], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    return {line.split()[-1]: int(line.split()[0], 16) for line in lines}


def make_readable(root):
    """Let the unprivileged uid read everything below root (and run what may be run)."""
    for folder, _, files in os.walk(root):
        os.chmod(folder, 0o755)
        for name in files:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                os.chmod(path, 0o755 if os.stat(path).st_mode & 0o100 else 0o644)


def host_forms(version=None):
    """The row of HOST_FORMS for a (major, minor) host, by default the one the module was built for."""
    version = version or (int(_env_path("NRF24_WS_MAJOR")), int(_env_path("NRF24_WS_MINOR")))
    return [forms for forms in HOST_FORMS if forms.since <= version][-1]


def shown_hex(value, digits):
    """A hex integer field of the given width as the host writes it in -T fields and PDML."""
    return "0x%0*x" % (max(digits, host_forms().hex_digits), value)


class Result:
    """One tshark run: tshark's own output lines; on stderr the module's trace lines and everything else
    (messages)."""

    def __init__(self, stdout, stderr, returncode):
        self.output = stdout.splitlines()
        self.stderr = stderr
        self.trace = [line for line in stderr.splitlines() if TRACE_LINES.fullmatch(line)]
        self.messages = [line for line in stderr.splitlines() if not TRACE_LINES.fullmatch(line)]
        self.frame_trace = self.trace[STARTUP_TRACE_LEN:]
        self.returncode = returncode

    def per_frame(self):
        """stderr split at each frame's "dissect_nrf24": what the module (and any Lua member of the heuristic
        list that reports on stderr) wrote per frame dissected, in order."""
        return ("\n" + self.stderr).split("\ndissect_nrf24\n")[1:]

    def pdml_packets(self, keep=lambda line: True):
        """The packet elements of a -T pdml run (without the lines keep refuses)."""
        return ET.fromstring("\n".join(line for line in self.output if keep(line))).findall("packet")


class Host:
    """A private plug-in folder and HOME for the tshark runs of one test (the fixture `host`)."""

    def __init__(self, lua_scripts=()):
        self.tshark = os.environ.get("TSHARK", "tshark")
        self.version_dir = _env_path("NRF24_WS_VERSION_DIR")
        self.root = tempfile.mkdtemp(prefix="nrf24-test-")
        atexit.register(shutil.rmtree, self.root, True)
        epan = os.path.join(self.root, "plugins", self.version_dir, "epan")
        os.makedirs(epan)
        for module in _env_path("NRF24_MODULES").split(os.pathsep):
            shutil.copy(module, epan)
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        self.lua_scripts = [shutil.copy(script, self.root) for script in lua_scripts]
        self._serial = 0
        self.as_root = os.geteuid() == 0
        make_readable(self.root)
        if self.as_root:
            os.chown(self.home, UNPRIVILEGED, UNPRIVILEGED)

    def close(self):
        shutil.rmtree(self.root, True)

    def path(self, name):
        return os.path.join(self.root, name)

    def copy(self, path):
        """A copy of a file that the unprivileged uid can read (the source tree may be private)."""
        copied = shutil.copy(path, self.root)
        os.chmod(copied, 0o644)
        return copied

    def folders(self):
        """tshark -G folders: folder name to path, for this host's HOME."""
        rows = [line.split("\t") for line in self.run("-G", "folders").output if "\t" in line]
        return {name.strip().rstrip(":"): path for name, path in rows}

    def install_extcap(self):
        """Install the project with the build's install step, staged below DESTDIR (the build installs into
        the global folders, which tshark as root ignores), and make this HOME's personal extcap folder the
        staged extcap folder: the interface tshark finds is the installed link to the installed tool."""
        folders = self.folders()
        personal = folders.get("Personal Extcap path", os.path.join(folders["Personal configuration"], "extcap"))
        stage = self.path("install-stage")
        subprocess.run([_env_path("NRF24_CMAKE"), "--install", _env_path("NRF24_BUILD_DIR")],
                       env=dict(os.environ, DESTDIR=stage), check=True, capture_output=True)
        make_readable(stage)
        os.makedirs(os.path.dirname(personal), exist_ok=True)
        os.symlink(stage + folders.get("Global Extcap path", folders.get("Extcap path")), personal)
        if self.as_root:
            for folder, _, _ in os.walk(self.home):
                os.chown(folder, UNPRIVILEGED, UNPRIVILEGED)
        return personal

    def capture(self, specs, linktype=nrf24_encode.LINKTYPE_USER0):
        """A pcap of frames given as encoder descriptions (str) or raw bytes."""
        frames = [(None, spec) if isinstance(spec, bytes) else nrf24_encode.parse_frame(spec) for spec in specs]
        self._serial += 1
        name = self.path("capture-%d.pcap" % self._serial)
        with open(name, "wb") as f:
            f.write(nrf24_encode.pcap_bytes(nrf24_encode.stamp_frames(frames), linktype))
        os.chmod(name, 0o644)
        return name

    def run(self, *args, check=True, user_dlt=True, env=None, stdin=None, prefix=()):
        """tshark with the user_dlts mapping (unless user_dlt is False) and any Lua scripts, as an
        unprivileged user; env overrides variables of the hermetic environment (None removes one),
        stdin is tshark's, prefix a command that runs tshark (valgrind and its options)."""
        lua = [option for script in self.lua_scripts for option in ("-X", "lua_script:" + script)]
        mapping = ["-o", USER_DLT] if user_dlt else []
        if args and args[0] == "-G":  # -G must come first
            command = list(prefix) + [self.tshark] + list(args[:2]) + lua + list(args[2:])
        else:
            command = list(prefix) + [self.tshark] + mapping + lua + list(args)
        env = dict({"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home, "TZ": "UTC",
                    "LC_ALL": "C.UTF-8", "WIRESHARK_PLUGIN_DIR": os.path.join(self.root, "plugins")}, **(env or {}))
        env = {name: value for name, value in env.items() if value is not None}
        if self.as_root:
            command = ["setpriv", "--reuid=%d" % UNPRIVILEGED, "--regid=%d" % UNPRIVILEGED, "--clear-groups"] + command
        proc = subprocess.run(command, env=env, cwd=self.root, stdin=stdin, capture_output=True, text=True,
                              timeout=300)
        if check and proc.returncode != 0:
            raise AssertionError("tshark exited %d: %s\n%s" % (proc.returncode, " ".join(command), proc.stderr))
        return Result(proc.stdout, proc.stderr, proc.returncode)

    def plugins(self, env=None):
        """tshark -G plugins: one row per module loaded (name, version, kind, path), and the run."""
        result = self.run("-G", "plugins", env=env)
        return [[cell.strip() for cell in line.split("\t")] for line in result.output if "\t" in line], result

    def fields(self, capture, *fields, extra=()):
        """-T fields output, one tab-separated row per frame, with the frames' trace lines."""
        args = ["-r", capture, "-T", "fields", "-E", "occurrence=a"] + list(extra)
        for field in fields:
            args += ["-e", field]
        return self.run(*args)
