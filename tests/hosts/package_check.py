#!/usr/bin/env python3
"""Checks the installed package wireshark-nrf24 on a clean host, as root, against the installed files only.

    package_check.py installed           the files are where the host looks, tshark decodes the sample with
                                         no other step, the commands and the profile work
    package_check.py e2e                 the end-to-end tests over the installed modules (needs pytest, binutils)
    package_check.py removed LIST        after the purge: nothing of LIST (dpkg -L before it) is left

The host matrix runs it in each host's clean chroot. One line per check; exit status 1 when any fails.
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))
from nrf24_host import SAMPLE_CAPTURE, TRACE_LINES, USER_DLT, host_forms, sample_descriptions, sample_protocols  # noqa: E402

PACKAGE = "wireshark-nrf24"
MODULES = ("nrf24.so", "mysensors.so", "nrf24_analysis.so", "nrf24_sniffer.so", "rf24network.so")
COMMANDS = ("nrf24-capture", "nrf24-encode")
# What the end-to-end tests need of the host; the install, capture, encoder and mutation tests need the build
# tree or the source's tools instead.
E2E_TESTS = ("test_module_file.py", "test_dissector.py", "test_handoff.py", "test_mysensors.py", "test_profile.py",
             "test_stateless.py", "test_analysis.py", "test_sniffer_header.py",
             "test_rf24network.py")
FAILED = []


def run(*command, **kwargs):
    """A command's result; the modules' trace lines are taken out of tshark's stderr."""
    proc = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, LC_ALL="C.UTF-8", TZ="UTC"),
                          **kwargs)
    if command[0] == "tshark":  # as root it also warns that it runs as root
        proc.stderr = "".join(line for line in proc.stderr.splitlines(True)
                              if not line.startswith("Running as user") and not TRACE_LINES.fullmatch(line.rstrip("\n")))
    return proc


def check(name, ok, detail=""):
    print("%s: %s%s" % ("ok" if ok else "FAILED", name, "" if ok else "\n    " + detail.replace("\n", "\n    ")))
    if not ok:
        FAILED.append(name)


def installed_files():
    return run("dpkg", "-L", PACKAGE).stdout.splitlines()


def host_version():
    """(major, minor) of the tshark installed."""
    return tuple(int(n) for n in run("dpkg-query", "-W", "-f=${Version}", "tshark").stdout.split(".")[:2])


def installed():
    files = installed_files()
    version = host_version()
    modules = sorted(path for path in files if path.endswith(".so"))
    check("the modules in the global plug-in folder of Wireshark %d.%d" % version,
          [os.path.basename(path) for path in modules] == sorted(MODULES)
          and all("/wireshark/plugins/%d.%d/epan/" % version in path for path in modules), "\n".join(modules))

    plugins = run("tshark", "-G", "plugins")
    listed = sorted(name for name in (line.split("\t")[0].strip() for line in plugins.stdout.splitlines())
                    if name in MODULES)
    check("tshark loads every module without a message", (listed, plugins.stderr) == (sorted(MODULES), ""),
          plugins.stdout + plugins.stderr)

    sample = run("tshark", "-r", SAMPLE_CAPTURE, "-T", "fields", "-e", "frame.protocols")
    check("tshark -r captures/sample.pcap decodes every frame", sample.stdout.splitlines() == sample_protocols()
          and sample.returncode == 0, sample.stdout + sample.stderr)
    summary = run("tshark", "-r", SAMPLE_CAPTURE)
    rows = [line for line in summary.stdout.splitlines() if " mysensors " in line or " nrf24 " in line]
    check("its packet list", summary.returncode == 0 and len(rows) == len(sample_protocols()), summary.stdout)

    for command in COMMANDS:
        helped = run(command, "--help")
        check("%s --help" % command, helped.returncode == 0 and helped.stdout.startswith("usage: "),
              helped.stdout + helped.stderr)
        check("manual page of %s" % command, "/usr/share/man/man1/%s.1.gz" % command in files)

    with tempfile.TemporaryDirectory() as folder:
        capture = os.path.join(folder, "piped.pcap")
        encoder = run("nrf24-encode", "-o", "-", "--format", "hex", "addr=a8a8e1fc02 payload=c0ffee pid=2")
        captured = run("nrf24-capture", "-o", capture, input=encoder.stdout)
        decoded = run("tshark", "-r", capture, "-T", "fields", "-e", "nrf24.ctrl.pid", "-e", "nrf24.crcvalid")
        check("nrf24-encode | nrf24-capture | tshark", (encoder.returncode, captured.returncode) == (0, 0)
              and decoded.stdout == "2\t%s\n" % host_forms(version).true, encoder.stderr + captured.stderr
              + decoded.stdout + decoded.stderr)

        # DLT 147 and no mapping on the command line: only the profile's user_dlts entry decodes it.
        user0 = os.path.join(folder, "user0.pcap")
        run("nrf24-encode", "--link", "user0", "-o", user0, "addr=a8a8e1fc02 payload=01 pid=2")
        profile = run("tshark", "-C", "nrf24", "-r", user0, "-T", "tabs")
        if host_forms(version).global_profiles:
            check("the global profile nrf24 through tshark -C nrf24",
                  profile.stdout.split("\t")[2:6] == ["0x000000a8a8e1fc02", "1", "2", "nrf24"],
                  profile.stdout + profile.stderr)
        else:
            check("tshark -C finds no global profile on this host, as the README says",
                  profile.stderr.splitlines() == ['tshark: Configuration Profile "nrf24" does not exist'],
                  profile.stderr)
        mapped = run("tshark", "-o", USER_DLT, "-r", user0, "-T", "fields", "-e", "nrf24.ctrl.len")
        check("the DLT 147 mapping", mapped.stdout == "1\n", mapped.stdout + mapped.stderr)

    # 3.4 and 4.0 name it "Extcap path", 4.2 on "Global Extcap path" beside a personal one.
    folders = [line.split("\t", 1) for line in run("tshark", "-G", "folders").stdout.splitlines() if "\t" in line]
    extcap = [path for key, path in folders if "Extcap path" in key and "Personal" not in key]
    check("the capture interface in the extcap folder that tshark -G folders names",
          len(extcap) == 1 and "%s/nrf24_extcap" % extcap[0] in files, "%s\n%s" % (extcap, "\n".join(files)))

    interfaces = run("tshark", "-D")
    check("tshark -D lists the capture interface's demo", any(line.endswith("nrf24-demo (nRF24 sniffer demo (a recorded "
                                                                          "MySensors network))")
                                                              for line in interfaces.stdout.splitlines()),
          interfaces.stdout + interfaces.stderr)
    with tempfile.TemporaryDirectory() as folder:
        live = os.path.join(folder, "demo.pcap")
        demo = run("tshark", "-i", "nrf24-demo", "-a", "packets:3", "-w", live, timeout=120)
        decoded = run("tshark", "-r", live, "-T", "fields", "-e", "frame.protocols")
        # Frames and acknowledgements of the sample network on channel 76 and of the RF24Network sample on 90, in
        # the order the recovery confirms their addresses.
        protocols = decoded.stdout.splitlines()
        check("a live capture from the demo interface decodes", demo.returncode == 0 and len(protocols) == 3
              and "exported_pdu:nrf24_sniffer:nrf24:mysensors" in protocols
              and set(protocols) <= {"exported_pdu:nrf24_sniffer:nrf24", "exported_pdu:nrf24_sniffer:nrf24:mysensors",
                                     "exported_pdu:nrf24_sniffer:nrf24:rf24network"},
              demo.stderr + decoded.stdout)

    check("the firmware image", "/usr/share/%s/firmware/nrf24-sniffer-atmega328p.hex" % PACKAGE in files)
    check("the documentation", {"/usr/share/doc/%s/README.md.gz" % PACKAGE, "/usr/share/doc/%s/copyright" % PACKAGE,
                                "/usr/share/doc/%s/sniffer-protocol.md.gz" % PACKAGE} <= set(files))


def e2e():
    """pytest over the installed modules: the tests copy them into their private plug-in folder."""
    modules = sorted((path for path in installed_files() if path.endswith(".so")), key=os.path.basename, reverse=True)
    major, minor = host_version()
    env = dict(os.environ, TSHARK="/usr/bin/tshark", NRF24_MODULES=os.pathsep.join(modules),
               NRF24_WS_VERSION_DIR="%d.%d" % (major, minor), NRF24_WS_MAJOR=str(major), NRF24_WS_MINOR=str(minor))
    return subprocess.run([sys.executable, "-m", "pytest", "-rs", "-p", "no:cacheprovider"] + list(E2E_TESTS),
                          cwd=os.path.join(SOURCE_DIR, "tests", "e2e"), env=env).returncode


def removed(listing):
    with open(listing) as f:
        files = f.read().splitlines()
    status = run("dpkg-query", "-W", "-f=${Status}", PACKAGE).stdout
    check("purged, not even configuration left", status in ("", "unknown ok not-installed"), status)
    # Folders that other packages own (/usr/bin, the plug-in folder) stay.
    left = [path for path in files if path != "/." and os.path.lexists(path)
            and not (os.path.isdir(path) and run("dpkg-query", "-S", path).returncode == 0)]
    check("no file of the package left", left == [], "\n".join(left))
    strays = run("find", "/usr", "/etc", "/var", "-xdev", "-name", "*nrf24*").stdout
    check("no file named nrf24 left anywhere (caches, compiled Python)", strays == "", strays)
    plugins = run("tshark", "-G", "plugins").stdout
    check("tshark no longer loads the modules", not any(module in plugins for module in MODULES), plugins)


def main():
    if sys.argv[1:2] == ["installed"]:
        installed()
    elif sys.argv[1:2] == ["e2e"]:
        return e2e()
    elif sys.argv[1:2] == ["removed"] and len(sys.argv) == 3:
        removed(sys.argv[2])
    else:
        sys.exit(__doc__)
    print("package checks: %s" % ("%d FAILED" % len(FAILED) if FAILED else "all passed"))
    return 1 if FAILED else 0


if __name__ == "__main__":
    sys.exit(main())
