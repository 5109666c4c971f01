#!/usr/bin/env python3
"""Builds and tests the project on every supported Wireshark host, from one clean clone of HEAD.

Debian 11 (Wireshark 3.4) and Debian 13 (4.4) each get a fresh minimal debootstrap chroot
that installs its own suite's Wireshark and build packages (through tools/install-deps)
from this machine's Debian mirror; Debian 12 (4.0) is this machine. Each host builds
with -Werror and runs every test of the project. One line per host, then a total;
exit status 1 when any host fails.

Needs root for debootstrap and chroot: re-runs itself through sudo when it may, and
fails with a message when it may not. All it makes is in one temporary folder, a tmpfs
mounted in the script's own private mount namespace: the mount (and each chroot's /proc)
goes away with the script's processes, even when it is killed; at the end the folder
is unmounted and removed.

    tests/hosts/host_matrix.py [--suites "bullseye trixie"] [--logs DIR]

DIR gets one log per host and summary.txt, the lines printed at the end.

NRF24_DEBIAN_MIRROR overrides the mirror read from /etc/apt/sources.list{,.d}.
"""

import argparse
import concurrent.futures
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TRIES = 3
RUNNING = set()  # child processes, each the leader of its own process group
STOPPING = False

# Runs inside each host, in the clean clone: packages, a warning-free build, every test.
# The matrix itself is left out there, it would recurse.
BUILD_AND_TEST = """
set -e
for try in 1 2 3; do
  tools/install-deps && break
  [ "$try" = 3 ] && exit 1
  sleep 15
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNRF24_BUILD_TESTS=ON -DNRF24_HOST_MATRIX=OFF \
      -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror
cmake --build build -j2
cd build && ctest --output-on-failure
"""

CTEST_SUMMARY = re.compile(r"\d+% tests passed, (\d+) tests? failed out of (\d+)")


def need_root():
    if os.geteuid() == 0:
        return
    if shutil.which("sudo") and subprocess.run(["sudo", "-n", "true"], capture_output=True).returncode == 0:
        keep = ["%s=%s" % (name, os.environ[name]) for name in ("NRF24_DEBIAN_MIRROR",) if name in os.environ]
        os.execvp("sudo", ["sudo", "-n", "env"] + keep + [sys.executable, os.path.abspath(__file__)] + sys.argv[1:])
    sys.exit("host matrix: FAILED: debootstrap and chroot need root; run as root or as a user who may sudo")


def os_release(root="/"):
    with open(os.path.join(root, "etc/os-release")) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def debian_mirror():
    """The mirror that serves this machine's own release, from either sources format."""
    if os.environ.get("NRF24_DEBIAN_MIRROR"):
        return os.environ["NRF24_DEBIAN_MIRROR"]
    codename = os_release()["VERSION_CODENAME"]
    entries = []  # (uri, suites)
    for name in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        if os.path.exists(name):
            with open(name) as f:
                for line in f:
                    words = re.sub(r"\[[^]]*\]", "", line.split("#", 1)[0]).split()
                    if len(words) >= 3 and words[0] == "deb":
                        entries.append((words[1], [words[2]]))
    for name in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        with open(name) as f:
            for stanza in re.split(r"\n\s*\n", f.read()):
                fields = {}
                for line in stanza.splitlines():
                    if ":" in line and not line.startswith("#"):
                        key, value = line.split(":", 1)
                        fields[key.strip().lower()] = value.split()
                if "deb" in fields.get("types", []) and fields.get("enabled", ["yes"]) != ["no"]:
                    entries += [(uri, fields.get("suites", [])) for uri in fields.get("uris", [])]
    for uri, suites in entries:
        if codename in suites:
            return uri
    sys.exit("host matrix: FAILED: no Debian mirror for %s in /etc/apt/sources.list{,.d}; "
             "set NRF24_DEBIAN_MIRROR" % codename)


class Host:
    """One host of the matrix: a chroot of a Debian suite, or this machine (suite None)."""

    def __init__(self, suite, workdir, logs):
        self.suite = suite
        self.root = os.path.join(workdir, suite or "machine")
        self.log_path = os.path.join(logs, "%s.log" % (suite or os_release()["VERSION_CODENAME"]))
        self.step = "start"
        self.version = "?"
        self.counts = None  # (passed, failed)
        self.seconds = 0

    def run(self, command, **kwargs):
        if STOPPING:
            raise RuntimeError("stopped")
        with open(self.log_path, "a") as log:
            log.write("\n$ %s\n" % " ".join(command))
            log.flush()
            proc = subprocess.Popen(["nice", "-n", "10"] + command, stdout=log, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, start_new_session=True, **kwargs)
            RUNNING.add(proc)
            try:
                return proc.wait()
            finally:
                RUNNING.discard(proc)

    def in_host(self, script):
        """A shell script run inside the host; in a chroot, with /proc and a pseudo-terminal
        instance of its own mounted privately."""
        if self.suite is None:
            return self.run(["sh", "-c", script], cwd=os.path.join(self.root, "src"))
        return self.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                         'mount -t proc proc "$1/proc" && '
                         'mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$1/dev/pts" && '
                         'exec chroot "$1" sh -c "cd /root/src && $2"',
                         "sh", self.root, script])

    def debootstrap(self, mirror):
        for attempt in range(1, TRIES + 1):
            if self.run(["debootstrap", "--variant=minbase", self.suite, self.root, mirror]) == 0:
                return True
            remove_tree(self.root)
            if attempt < TRIES and not STOPPING:
                time.sleep(15)
        return False

    def prepare_chroot(self):
        with open(os.path.join(self.root, "etc/apt/apt.conf.d/80nrf24-retries"), "w") as f:
            f.write('Acquire::Retries "5";\n')
        policy = os.path.join(self.root, "usr/sbin/policy-rc.d")  # no service starts in the chroot
        with open(policy, "w") as f:
            f.write("#!/bin/sh\nexit 101\n")
        os.chmod(policy, 0o755)

    def test(self, clone, mirror):
        started = time.monotonic()
        try:
            if self.suite is not None:
                self.step = "debootstrap"
                if not self.debootstrap(mirror):
                    return
                self.prepare_chroot()
            shutil.copytree(clone, os.path.join(self.root, "root/src" if self.suite else "src"), symlinks=True)
            self.step = "build and test"
            self.in_host(BUILD_AND_TEST)
            version = subprocess.run((["chroot", self.root] if self.suite else []) +
                                     ["dpkg-query", "-W", "-f=${Version}", "tshark"],
                                     capture_output=True, text=True).stdout
            self.version = version.split("-")[0] or "?"
            with open(self.log_path) as f:
                found = CTEST_SUMMARY.findall(f.read())
            if found:
                failed, total = (int(n) for n in found[-1])
                self.counts = (total - failed, failed)
        finally:
            self.seconds = time.monotonic() - started

    def passed(self):
        return self.counts is not None and self.counts[1] == 0

    def line(self):
        try:
            release = os_release(self.root if self.suite else "/")
        except OSError:
            release = {"VERSION_CODENAME": self.suite}
        name = "Debian %s (%s)" % (release.get("VERSION_ID", "?").strip('"'), release.get("VERSION_CODENAME", "?"))
        where = "chroot" if self.suite else "this machine"
        if self.counts is None:
            return "%s, Wireshark %s: FAILED at %s (%s, %d s; log %s)" % (
                name, self.version, self.step, where, self.seconds, self.log_path)
        return "%s, Wireshark %s: %d passed, %d failed (%s, %d s)" % (
            name, self.version, self.counts[0], self.counts[1], where, self.seconds)


def stop(signum, _frame):
    """Ends every child's process group; the threads then fail their hosts."""
    global STOPPING
    STOPPING = True
    for proc in list(RUNNING):
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    sys.exit("host matrix: FAILED: stopped by signal %d" % signum)


def remove_tree(path):
    """Unmounts whatever is mounted at or below path, then removes it, never crossing a mount."""
    if not os.path.exists(path):
        return
    with open("/proc/self/mountinfo") as f:
        mounts = [line.split()[4] for line in f]
    for mount in sorted((m for m in mounts if m == path or m.startswith(path + "/")), reverse=True):
        subprocess.run(["umount", "--lazy", mount], check=False)
    subprocess.run(["rm", "-rf", "--one-file-system", path], check=False)


def clean_clone(workdir):
    """A clone of the checkout's HEAD: what is committed, nothing else."""
    clone = os.path.join(workdir, "src")
    git = ["git", "-c", "safe.directory=*"]
    head = subprocess.run(git + ["-C", SOURCE_DIR, "rev-parse", "HEAD"], check=True, capture_output=True,
                          text=True).stdout.strip()
    subprocess.run(git + ["clone", "--quiet", "--no-checkout", SOURCE_DIR, clone], check=True)
    subprocess.run(git + ["-C", clone, "checkout", "--quiet", "--detach", head], check=True)
    return clone


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--suites", default="bullseye trixie", help="Debian suites to test in chroots")
    parser.add_argument("--logs", help="folder for one log per host (default: the temporary folder)")
    args = parser.parse_args()
    need_root()
    if os.environ.get("NRF24_HOST_MATRIX_NAMESPACE") != "1":
        # The whole run in a private mount namespace: whatever it mounts goes away with it.
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", "env",
                              "NRF24_HOST_MATRIX_NAMESPACE=1", sys.executable, os.path.abspath(__file__)]
                  + sys.argv[1:])
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop)

    started = time.monotonic()
    extra = (os.environ.get("NRF24_EXTRA_PACKAGES", "") + " debootstrap").strip()
    subprocess.run([os.path.join(SOURCE_DIR, "tools/install-deps")], check=True,
                   env=dict(os.environ, NRF24_EXTRA_PACKAGES=extra))
    mirror = debian_mirror()
    workdir = tempfile.mkdtemp(prefix="nrf24-hosts-")
    try:
        # In memory: dpkg's many syncs cost nothing there, and removing two fresh chroots
        # from a disk mounted with discard takes minutes.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0700", "nrf24-hosts", workdir], check=True)
        logs = args.logs or workdir
        os.makedirs(logs, exist_ok=True)
        clone = clean_clone(workdir)
        machine = os_release()["VERSION_CODENAME"]
        hosts = [Host(None, workdir, logs)] + [Host(suite, workdir, logs) for suite in args.suites.split()
                                               if suite != machine]
        for host in hosts:
            if os.path.exists(host.log_path):
                os.remove(host.log_path)
        print("host matrix: %s from %s, one clone of %s" % (" ".join(args.suites.split()), mirror, SOURCE_DIR),
              flush=True)
        with concurrent.futures.ThreadPoolExecutor(len(hosts)) as pool:
            for future in [pool.submit(host.test, clone, mirror) for host in hosts]:
                future.result()
        failed = [host for host in hosts if not host.passed()]
        summary = [host.line() for host in hosts] + ["host matrix: %d hosts, %s, %d s" % (
            len(hosts), "%d FAILED" % len(failed) if failed else "all passed", time.monotonic() - started)]
        with open(os.path.join(logs, "summary.txt"), "w") as f:  # ctest shows output only on failure
            f.write("\n".join(summary) + "\n")
        for host in failed:
            with open(host.log_path) as f:
                print("last lines of %s:\n%s" % (host.log_path, "".join(f.readlines()[-40:])))
        print("\n".join(summary))
        return 1 if failed else 0
    finally:
        remove_tree(workdir)


if __name__ == "__main__":
    sys.exit(main())
