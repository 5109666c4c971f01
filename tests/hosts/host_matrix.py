#!/usr/bin/env python3
"""Builds, tests and packages the project on every supported Wireshark host, from one clean clone of HEAD.

Each suite (Debian 11 bullseye with Wireshark 3.4, 12 bookworm with 4.0, 13 trixie with 4.4, and forky, the
next release, with 4.6) gets a build host: this machine for its own suite, a fresh minimal debootstrap chroot
for the others, which installs its own suite's Wireshark and build packages (through tools/install-deps) from
this machine's Debian mirror. There it builds with -Werror, runs every test of the project and builds the
package (make deb). Then a clean chroot of the same suite installs the package with apt-get install
./wireshark-nrf24_*.deb, checks the installed files (tests/hosts/package_check.py: tshark decodes the sample with
no other step, the commands, the profile), runs the end-to-end tests over the installed modules, purges the
package and checks that nothing is left. Last, apt must refuse the package of the first suite in the last
suite's clean chroot, and the last suite's in the first suite's.
One line per host, then a total; exit status 1 when any host fails.

Needs root for debootstrap, mount and chroot (re-runs itself through sudo when it may), debootstrap and the
mirror: without them it reports itself skipped (exit status 77, CTest's skip; 1 with NRF24_NO_SKIPS=1). All
it makes is in one tmpfs; in a private mount namespace when the machine allows one, so that it goes away
even when the script is killed; otherwise (in a chroot or container) mounted directly and unmounted at the
end. At the end the folder is unmounted and removed.

    tests/hosts/host_matrix.py [--suites "bullseye bookworm trixie forky"] [--package-only] [--logs DIR]

--suites picks the hosts (one suite is the cheap way to try a change); --package-only leaves out the build
hosts' test runs. DIR gets one log per host and summary.txt, the lines printed at the end.

NRF24_DEBIAN_MIRROR overrides the mirror read from /etc/apt/sources.list{,.d}. A suite newer than this
machine's debootstrap knows is made with its script for sid; a suite whose Release file on the mirror has
expired (a mirror of the testing suite lags the clock) gets chroots whose apt accepts it.
"""

import argparse
import concurrent.futures
import datetime
import email.utils
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEBOOTSTRAP_SCRIPTS = "/usr/share/debootstrap/scripts"
TRIES = 3
RUNNING = set()  # child processes, each the leader of its own process group
STOPPING = False
SKIPPED = 77  # CTest's skip status (SKIP_RETURN_CODE)
PACKAGE_GLOB = "build-deb/wireshark-nrf24_*.deb"

# Runs inside each host, in the clean clone: packages, a warning-free build, every test, none
# of them skipped. The matrix itself is left out there, it would recurse.
BUILD_AND_TEST = """
set -e
export NRF24_NO_SKIPS=1
for try in 1 2 3; do
  tools/install-deps && break
  [ "$try" = 3 ] && exit 1
  sleep 15
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNRF24_BUILD_TESTS=ON -DNRF24_HOST_MATRIX=OFF \
      -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror
cmake --build build -j2
(cd build && ctest --output-on-failure)
"""

BUILD_PACKAGE = """
set -e
for try in 1 2 3; do
  { command -v make >/dev/null || { apt-get update -qq && apt-get install -y -qq make; }; } && make deb && break
  [ "$try" = 3 ] && exit 1
  sleep 15
done
"""

# Runs inside a clean chroot: the package from the network's point of view of a new user, then the
# end-to-end tests over the installed files, then the purge.
INSTALL_AND_REMOVE = """
set -e
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -q ./wireshark-nrf24.deb
python3 tests/hosts/package_check.py installed
apt-get install -y -q --no-install-recommends python3-pytest python3-cryptography binutils
python3 tests/hosts/package_check.py e2e
dpkg -L wireshark-nrf24 > /root/installed-files
apt-get purge -y -q wireshark-nrf24
python3 tests/hosts/package_check.py removed /root/installed-files
"""

CTEST_SUMMARY = re.compile(r"\d+% tests passed, (\d+) tests? failed out of (\d+)")
CTEST_SKIPPED = re.compile(r"^\s*\d+ - \S+ \(Skipped\)$", re.M)
PYTEST_SUMMARY = re.compile(r"^=+ (.*) in [\d.]+s.* =+$", re.M)


def skip(reason):
    """CTest's skip status with the reason; a failure where skips are not allowed (.ci/run)."""
    if os.environ.get("NRF24_NO_SKIPS") == "1":
        sys.exit("host matrix: FAILED (NRF24_NO_SKIPS=1): cannot run: %s" % reason)
    print("host matrix: SKIPPED: %s" % reason)
    sys.exit(SKIPPED)


def need_root():
    if os.geteuid() == 0:
        return
    if shutil.which("sudo") and subprocess.run(["sudo", "-n", "true"], capture_output=True).returncode == 0:
        keep = ["%s=%s" % (name, os.environ[name]) for name in ("NRF24_DEBIAN_MIRROR", "NRF24_NO_SKIPS")
                if name in os.environ]
        os.execvp("sudo", ["sudo", "-n", "env"] + keep + [sys.executable, os.path.abspath(__file__)] + sys.argv[1:])
    skip("debootstrap, mount and chroot need root; run as root or as a user who may sudo without a password")


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
    skip("no Debian mirror for %s in /etc/apt/sources.list{,.d}; set NRF24_DEBIAN_MIRROR" % codename)


def expired_suites(mirror, suites):
    """The suites whose Release file on the mirror is past its Valid-Until; skips when the mirror does not
    answer."""
    expired = set()
    for suite in suites:
        url = "%s/dists/%s/Release" % (mirror.rstrip("/"), suite)
        try:
            with urllib.request.urlopen(url, timeout=30) as answer:
                release = answer.read(4096).decode("utf-8", "replace")
        except OSError as err:
            skip("the mirror does not answer: %s: %s" % (url, err))
        valid_until = re.search(r"^Valid-Until: (.+)$", release, re.M)
        if valid_until and email.utils.parsedate_to_datetime(valid_until.group(1)) < datetime.datetime.now(
                datetime.timezone.utc):
            expired.add(suite)
    return expired


def private_namespace_possible():
    """unshare fails in a chroot (its root is no mount point) and where mounting is not allowed."""
    return shutil.which("unshare") is not None and subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "true"], capture_output=True).returncode == 0


def mount_host_filesystems(root):
    """/proc and a pseudo-terminal instance of its own for a chroot (private when the matrix runs in its own
    mount namespace); remove_tree unmounts them."""
    subprocess.run(["mount", "-t", "proc", "proc", os.path.join(root, "proc")], check=True)
    subprocess.run(["mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=0620", "devpts",
                    os.path.join(root, "dev/pts")], check=True)


def unmount_below(path):
    with open("/proc/self/mountinfo") as f:
        mounts = [line.split()[4] for line in f]
    for mount in sorted((m for m in mounts if m == path or m.startswith(path + "/")), reverse=True):
        subprocess.run(["umount", "--lazy", mount], check=False)


class Host:
    """One suite of the matrix: its build host (a chroot, or this machine for the machine's own suite) and
    the clean chroot that installs the package."""

    def __init__(self, suite, machine, workdir, logs, release_expired):
        self.suite = suite
        self.release_expired = release_expired
        self.on_machine = suite == machine
        self.root = os.path.join(workdir, "machine" if self.on_machine else suite)
        self.clean_root = os.path.join(workdir, suite + "-clean")
        self.log_path = os.path.join(logs, "%s.log" % suite)
        self.step = "start"
        self.version = "?"
        self.counts = None  # (passed, skipped, failed) of the build host's tests
        self.package = None  # the .deb built, once built
        self.package_result = None  # what the package checks said, once they ran
        self.package_only = False
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

    def in_root(self, root, script):
        """A shell script run in the source folder of a chroot, or of this machine (root None)."""
        if root is None:
            return self.run(["sh", "-c", script], cwd=os.path.join(self.root, "src"))
        return self.run(["chroot", root, "sh", "-c", "cd /root/src && " + script])

    def debootstrap(self, root, mirror):
        command = ["debootstrap", "--variant=minbase", self.suite, root, mirror]
        if not os.path.exists(os.path.join(DEBOOTSTRAP_SCRIPTS, self.suite)):
            command.append(os.path.join(DEBOOTSTRAP_SCRIPTS, "sid"))
        for attempt in range(1, TRIES + 1):
            if self.run(command) == 0:
                prepare_chroot(root, self.release_expired)
                return True
            remove_tree(root)
            if attempt < TRIES and not STOPPING:
                time.sleep(15)
        return False

    def test(self, clone, mirror, package_only):
        started = time.monotonic()
        self.package_only = package_only
        try:
            build_root = None if self.on_machine else self.root
            self.step = "debootstrap"
            if not self.debootstrap(self.clean_root, mirror):
                return
            if build_root:  # the build chroot starts as a copy of the clean one
                subprocess.run(["cp", "-a", self.clean_root, build_root], check=True)
                mount_host_filesystems(build_root)
            mount_host_filesystems(self.clean_root)
            for root in (self.root, self.clean_root):
                shutil.copytree(clone, os.path.join(root, "src" if root == self.root and self.on_machine
                                                    else "root/src"), symlinks=True)
            if not package_only:
                self.step = "build and test"
                self.in_root(build_root, BUILD_AND_TEST)
                with open(self.log_path) as f:
                    log = f.read()
                found = CTEST_SUMMARY.findall(log)
                if found:
                    failed, total = (int(n) for n in found[-1])
                    skipped = len(CTEST_SKIPPED.findall(log[log.rindex("tests passed"):]))
                    self.counts = (total - failed - skipped, skipped, failed)
            self.step = "package build"
            status = self.in_root(build_root, BUILD_PACKAGE)
            version = subprocess.run((["chroot", build_root] if build_root else []) +
                                     ["dpkg-query", "-W", "-f=${Version}", "libwireshark-dev"],
                                     capture_output=True, text=True).stdout
            self.version = version.split("-")[0] or "?"
            if status != 0:
                return
            built = glob.glob(os.path.join(self.root, "src" if self.on_machine else "root/src", PACKAGE_GLOB))
            if len(built) != 1:
                return
            self.package = built[0]
            shutil.copy(self.package, os.path.join(self.clean_root, "root/src/wireshark-nrf24.deb"))
            self.step = "package install, tests, purge"
            status = self.in_root(self.clean_root, INSTALL_AND_REMOVE)
            with open(self.log_path) as f:
                log = f.read()
            checks = log.count("\nok: ")
            e2e = PYTEST_SUMMARY.findall(log)
            self.package_result = "package: %d checks, e2e over the installed files %s, %s" % (
                checks, e2e[-1] if e2e else "not run", "purged clean" if status == 0 else "FAILED")
            if status == 0:
                self.step = "done"
        finally:
            self.seconds = time.monotonic() - started

    def passed(self):
        tests_ok = self.counts[2] == 0 if self.counts else self.package_only
        return self.step == "done" and tests_ok

    def line(self):
        try:
            release = os_release(self.clean_root)
        except OSError:
            release = {"VERSION_CODENAME": self.suite}
        codename = release.get("VERSION_CODENAME", "?")
        number = release.get("VERSION_ID", "").strip('"')  # none until the suite is released
        name = "Debian %s (%s)" % (number, codename) if number else "Debian %s (testing)" % codename
        where = "this machine" if self.on_machine else "chroot"
        if self.counts is None and not self.package_only:
            tests = "tests FAILED at %s" % self.step
        elif self.counts is None:
            tests = "tests not run"
        else:
            tests = "%d passed, %d skipped, %d failed" % self.counts
        package = self.package_result or "package FAILED at %s" % self.step
        end = "" if self.passed() else "; log %s" % self.log_path
        return "%s, Wireshark %s: %s (%s); %s (%d s%s)" % (name, self.version, tests, where, package, self.seconds,
                                                          end)


def prepare_chroot(root, release_expired):
    with open(os.path.join(root, "etc/apt/apt.conf.d/80host-matrix-retries"), "w") as f:
        f.write('Acquire::Retries "5";\n')
    if release_expired:
        with open(os.path.join(root, "etc/apt/apt.conf.d/80host-matrix-expired-release"), "w") as f:
            f.write('Acquire::Check-Valid-Until "false";\n')
    policy = os.path.join(root, "usr/sbin/policy-rc.d")  # no service starts in the chroot
    with open(policy, "w") as f:
        f.write("#!/bin/sh\nexit 101\n")
    os.chmod(policy, 0o755)


def refused(builder, host):
    """apt refuses the builder suite's package in the host suite's clean chroot (purged by then)."""
    if builder.package is None or not host.passed():
        return "apt refusal of another host's package: not tested (a host failed)", False
    shutil.copy(builder.package, os.path.join(host.clean_root, "root/src/other-host.deb"))
    host.step = "refusal"
    status = host.in_root(host.clean_root, "DEBIAN_FRONTEND=noninteractive apt-get install -y ./other-host.deb; "
                                           "status=$?; dpkg-query -W wireshark-nrf24 && exit 3; exit $status")
    with open(host.log_path) as f:
        tail = f.read()[-3000:]
    ok = status not in (0, 3) and "is not installable" in tail and "libwireshark" in tail
    return "apt refuses the %s package on %s: %s" % (builder.suite, host.suite, "yes" if ok else "NO (see %s)"
                                                     % host.log_path), ok


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
    unmount_below(path)
    subprocess.run(["rm", "-rf", "--one-file-system", path], check=False)


def clean_clone(workdir):
    """A clone of the checkout's HEAD: what is committed, nothing else."""
    clone = os.path.join(workdir, "src")
    git = ["git", "-c", "safe.directory=*"]
    head = subprocess.run(git + ["-C", SOURCE_DIR, "rev-parse", "HEAD"], capture_output=True, text=True)
    if head.returncode != 0:
        skip("%s is not a git checkout, and the matrix builds what is committed" % SOURCE_DIR)
    head = head.stdout.strip()
    subprocess.run(git + ["clone", "--quiet", "--no-checkout", SOURCE_DIR, clone], check=True)
    subprocess.run(git + ["-C", clone, "checkout", "--quiet", "--detach", head], check=True)
    return clone


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--suites", default="bullseye bookworm trixie forky", help="Debian suites, one host each")
    parser.add_argument("--package-only", action="store_true", help="leave out the build hosts' test runs")
    parser.add_argument("--logs", help="folder for one log per host (default: the temporary folder)")
    args = parser.parse_args()
    suites = args.suites.split()
    need_root()
    if os.environ.get("NRF24_HOST_MATRIX_NAMESPACE") is None:
        if private_namespace_possible():
            # The whole run in a private mount namespace: whatever it mounts goes away with it.
            os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", "env",
                                  "NRF24_HOST_MATRIX_NAMESPACE=1", sys.executable, os.path.abspath(__file__)]
                      + sys.argv[1:])
        os.environ["NRF24_HOST_MATRIX_NAMESPACE"] = "0"
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop)

    started = time.monotonic()
    mirror = debian_mirror()
    expired = expired_suites(mirror, suites)
    extra = (os.environ.get("NRF24_EXTRA_PACKAGES", "") + " debootstrap git").strip()
    if subprocess.run([os.path.join(SOURCE_DIR, "tools/install-deps")],
                      env=dict(os.environ, NRF24_EXTRA_PACKAGES=extra)).returncode != 0 or not (
                          shutil.which("debootstrap") and shutil.which("git")):
        skip("debootstrap or git is missing and could not be installed")
    workdir = tempfile.mkdtemp(prefix="nrf24-hosts-")
    try:
        # In memory: dpkg's many syncs cost nothing there, and removing fresh chroots
        # from a disk mounted with discard takes minutes.
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0700", "nrf24-hosts", workdir]).returncode != 0:
            skip("cannot mount a tmpfs here (a container without CAP_SYS_ADMIN?)")
        logs = args.logs or workdir
        os.makedirs(logs, exist_ok=True)
        clone = clean_clone(workdir)
        machine = os_release()["VERSION_CODENAME"]
        hosts = [Host(suite, machine, workdir, logs, suite in expired) for suite in suites]
        for host in hosts:
            if os.path.exists(host.log_path):
                os.remove(host.log_path)
        print("host matrix: %s from %s%s, one clone of %s, %s" % (
            " ".join(suites), mirror, "".join(" (%s's Release file expired, accepted there)" % suite
                                               for suite in suites if suite in expired),
            SOURCE_DIR, "in a private mount namespace"
            if os.environ["NRF24_HOST_MATRIX_NAMESPACE"] == "1" else "without a private mount namespace"),
            flush=True)
        with concurrent.futures.ThreadPoolExecutor(len(hosts)) as pool:
            for future in [pool.submit(host.test, clone, mirror, args.package_only) for host in hosts]:
                future.result()
        failed = [host for host in hosts if not host.passed()]
        summary = [host.line() for host in hosts]
        if len(hosts) > 1:  # the oldest suite's package on the newest, and the other way round
            for builder, host in ((hosts[0], hosts[-1]), (hosts[-1], hosts[0])):
                line, ok = refused(builder, host)
                summary.append(line)
                if not ok and host not in failed:
                    failed.append(host)
        else:
            summary.append("apt refusal of another host's package: not tested (one suite)")
        summary.append("host matrix: %d hosts, %s, %d s" % (
            len(hosts), "%d FAILED" % len(failed) if failed else "all passed", time.monotonic() - started))
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
