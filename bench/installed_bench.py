#!/usr/bin/env python3
"""What the installed modules cost per frame, on captures with and without nRF24 frames.

The package puts every module into the global plug-in folder, so every capture a user opens runs through them.
This counts, in the real tshark, the instructions per frame (callgrind, a 12,000-frame run minus a run over its
first 2,000 frames, so that start-up cancels, as bench.py counts them) with each set of modules in the private
plug-in folder: none, the nRF24 module alone, the nRF24 module with each other module (MySensors, RF24Network,
the link analysis, the sniffer header), and all of them (the others build on the nRF24 module and do nothing
without it). Captures:

- TCP: Wireshark's own `randpkt -t tcp` (Token Ring frames carrying TCP), no nRF24 frame;
- IEEE 802.15.4: `randpkt -t ieee802.15.4`, another low-power radio's frames, none of them nRF24;
- nRF24: the sample capture's frames repeated (10 s apart per copy, so that every exchange stays as it is),
  DLT 147 mapped to "nrf24".

Modes: summary lines, -V, two passes (-2), and the GUI's way: two passes with the colouring rules on (-2
--color). Wireshark reads a file in a first pass without a tree, then dissects the packet list's rows again
with the colouring rules primed (an invisible tree that the rules' fields are kept in); `tshark -2 --color`
does the same: a first pass without a tree, a second that primes and applies the colouring rules to every frame.
The rules are the host's default colorfilters (the empty HOME has none of its own), those of any user.

It prints the tables and writes them to --results; it never fails on a figure.

  bench/installed_bench.py build-tests --captures build-tests/bench-captures --jobs 2
"""

import argparse
import concurrent.futures
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench  # noqa: E402  (profile_total, LARGE, SMALL, number, machine, log)
from bench import nrf24_encode, nrf24_host  # noqa: E402

MODULES = {"nrf24": "nrf24.so", "MySensors": "mysensors.so", "RF24Network": "rf24network.so",
           "analysis": "nrf24_analysis.so", "sniffer header": "nrf24_sniffer.so"}
SETUPS = (("none", ()), ("nrf24", ("nrf24",)), ("nrf24 + MySensors", ("nrf24", "MySensors")),
          ("nrf24 + RF24Network", ("nrf24", "RF24Network")), ("nrf24 + analysis", ("nrf24", "analysis")),
          ("nrf24 + sniffer header", ("nrf24", "sniffer header")), ("all", tuple(MODULES)))
MODES = (("summary", []), ("-V", ["-V"]), ("two-pass", ["-2"]), ("GUI-like", ["-2", "--color"]))
ALL_MODES = [mode for mode, _ in MODES]
# What is measured, in this order (capture, set-ups, modes): the goals first, each module's share in summary
# mode after them, then the rest.
MODULE_SETUPS = ("nrf24", "nrf24 + MySensors", "nrf24 + RF24Network", "nrf24 + analysis", "nrf24 + sniffer header")
MATRIX = (("tcp", ("none", "all"), ALL_MODES),
          ("nrf24", ("nrf24", "nrf24 + analysis"), ALL_MODES),
          ("802.15.4", ("none", "all"), ALL_MODES),
          ("802.15.4", MODULE_SETUPS, ["summary"]),
          ("tcp", MODULE_SETUPS, ["summary"]),
          ("tcp", MODULE_SETUPS, ALL_MODES),
          ("802.15.4", MODULE_SETUPS, ALL_MODES),
          ("nrf24", ("all",), ALL_MODES))
OTHER_GOAL_PERCENT = 1.0
NRF24_GOALS = {"summary": 1.30, "-V": 1.10, "two-pass": 1.30, "GUI-like": 1.30}
SAMPLE_REPEAT_US = 10 * 1000000


class Setup:
    """A private plug-in folder holding some of the built modules, and tshark run over it as the tests run it.
    Its key names the modules by their contents, for the figures kept between runs."""

    def __init__(self, build, version_dir, names, root):
        self.root = tempfile.mkdtemp(prefix="setup-", dir=root)
        epan = os.path.join(self.root, "plugins", version_dir, "epan")
        os.makedirs(epan)
        digest = hashlib.sha256()
        for name in names:
            module = os.path.join(build, "plugins", version_dir, "epan", MODULES[name])
            shutil.copy(module, epan)
            with open(module, "rb") as f:
                digest.update(f.read())
        self.key = digest.hexdigest()[:16]
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        nrf24_host.make_readable(self.root)
        if os.geteuid() == 0:
            os.chown(self.home, nrf24_host.UNPRIVILEGED, nrf24_host.UNPRIVILEGED)
            os.chown(self.root, nrf24_host.UNPRIVILEGED, nrf24_host.UNPRIVILEGED)

    def instructions(self, capture, args, name):
        """Total instructions of one tshark run under callgrind, output thrown away."""
        out = os.path.join(self.root, name + ".callgrind")
        command = ["nice", "valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "tshark", "-r", capture]
        if os.geteuid() == 0:
            command = ["setpriv", "--reuid=%d" % nrf24_host.UNPRIVILEGED, "--regid=%d" % nrf24_host.UNPRIVILEGED,
                       "--clear-groups"] + command
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home, "TZ": "UTC",
               "LC_ALL": "C.UTF-8", "WIRESHARK_PLUGIN_DIR": os.path.join(self.root, "plugins")}
        proc = subprocess.run(command + args, env=env, cwd=self.root, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
        if proc.returncode != 0:
            raise RuntimeError("exit %d: %s\n%s" % (proc.returncode, " ".join(command + args), proc.stderr))
        total = bench.profile_total(out)
        os.remove(out)
        return total


def first_frames(path, count, out):
    """The first count frames of a capture (editcap), so that the small run is the large one's beginning."""
    subprocess.run(["editcap", "-F", "pcap", "-r", path, out, "1-%d" % count], check=True)
    return out


def randpkt_capture(folder, kind):
    """randpkt's frames of one kind, LARGE of them, made once and kept; and its first SMALL frames."""
    large = os.path.join(folder, "randpkt-%s-%d.pcap" % (kind, bench.LARGE))
    small = os.path.join(folder, "randpkt-%s-%d.pcap" % (kind, bench.SMALL))
    if not os.path.exists(large):
        bench.log("randpkt -t %s: %d frames" % (kind, bench.LARGE))
        subprocess.run(["randpkt", "-c", str(bench.LARGE), "-t", kind, large + ".tmp"], check=True)
        os.rename(large + ".tmp", large)
    if not os.path.exists(small):
        first_frames(large, bench.SMALL, small)
    return small, large


def sample_capture(folder):
    """The sample capture's frames repeated to LARGE frames, and its first SMALL frames."""
    large = os.path.join(folder, "sample-repeated-%d.pcap" % bench.LARGE)
    small = os.path.join(folder, "sample-repeated-%d.pcap" % bench.SMALL)
    if not os.path.exists(large):
        sample = [nrf24_encode.parse_frame(line) for line in nrf24_host.sample_lines()]
        frames = [(stamp + copy * SAMPLE_REPEAT_US, frame)
                  for copy in range(bench.LARGE // len(sample) + 1) for stamp, frame in sample][:bench.LARGE]
        with nrf24_encode.atomic_output(large) as out:
            out.write(nrf24_encode.pcap_bytes(frames))
    if not os.path.exists(small):
        first_frames(large, bench.SMALL, small)
    return small, large


def per_frame(setup, small, large, args, name):
    return (setup.instructions(large, args, name + "-large") -
            setup.instructions(small, args, name + "-small")) / (bench.LARGE - bench.SMALL)


def measure(setups, captures, jobs, kept_path):
    """Instructions per frame for each capture, set-up and mode of MATRIX, in its order: {(capture, setup, mode):
    figure}. Figures are kept in kept_path as they come, and a later run with the same modules and captures
    takes them from there (a run takes an hour or more on a shared machine)."""
    kept = {}
    if os.path.exists(kept_path):
        with open(kept_path) as f:
            kept = json.load(f)
    figures, runs, queued = {}, {}, set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(jobs, 1)) as pool:
        for capture, setup_names, modes in MATRIX:
            small, large, extra = captures[capture]
            for setup_name in setup_names:
                for mode, args in MODES:
                    if mode not in modes:
                        continue
                    key = "|".join((capture, setup_name, mode, setups[setup_name].key))
                    if key in kept:
                        figures[(capture, setup_name, mode)] = kept[key]
                        continue
                    if not jobs or key in queued:
                        continue
                    queued.add(key)
                    name = "".join(c for c in "%s-%s-%s" % (capture, setup_name, mode) if c.isalnum() or c == "-")
                    runs[pool.submit(per_frame, setups[setup_name], small, large, extra + args, name)] = (
                        (capture, setup_name, mode), key)
        for done in concurrent.futures.as_completed(runs):
            where, key = runs[done]
            figures[where] = kept[key] = done.result()
            with nrf24_encode.atomic_output(kept_path) as f:
                f.write(json.dumps(kept, indent=1).encode())
            bench.log("%s, %s, %s: %s" % (where + (bench.number(figures[where]),)))
    return figures


def table(title, figures, capture, setup_names, base, relation):
    """One capture's figures, a row per set-up measured, a column per mode, each with its relation to the base
    set-up; "–" where the figure was not measured (yet)."""
    out = ["| %s: modules | %s |" % (title, " | ".join(ALL_MODES)), "|---|" + "---:|" * len(MODES)]
    for setup_name in setup_names:
        if not any((capture, setup_name, mode) in figures for mode in ALL_MODES):
            continue
        cells = []
        for mode in ALL_MODES:
            value, reference = figures.get((capture, setup_name, mode)), figures.get((capture, base, mode))
            if value is None:
                cells.append("–")
            elif setup_name == base or reference is None:
                cells.append(bench.number(value))
            else:
                cells.append("%s (%s)" % (bench.number(value), relation(value, reference)))
        out.append("| %s | %s |" % (setup_name, " | ".join(cells)))
    return out + [""]


def percent_more(value, reference):
    return "%+.2f %%" % (100 * (value - reference) / reference)


def times(value, reference):
    return "%.2f×" % (value / reference)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", help="a build folder holding plugins/<major>.<minor>/epan/ with the modules")
    parser.add_argument("--captures", help="folder that keeps the generated captures (default BUILD/bench-captures)")
    parser.add_argument("--jobs", type=int, default=1, help="callgrind runs at once (1)")
    parser.add_argument("--results", default=os.path.join(HERE, "INSTALLED-RESULTS.md"),
                        help="where to write the tables (bench/INSTALLED-RESULTS.md)")
    parser.add_argument("--kept-only", action="store_true",
                        help="measure nothing: write the tables from the figures kept by earlier runs")
    args = parser.parse_args(argv)
    folders = sorted(glob.glob(os.path.join(args.build, "plugins", "*", "epan")))
    if not folders or not all(os.path.isfile(os.path.join(folders[-1], m)) for m in MODULES.values()):
        parser.error("%s: no plugins/<major>.<minor>/epan with %s (build the modules first)" % (
            args.build, ", ".join(MODULES.values())))
    if args.jobs < 1:
        parser.error("--jobs wants a positive number")
    version_dir = os.path.basename(os.path.dirname(folders[-1]))
    captures = os.path.abspath(args.captures or os.path.join(args.build, "bench-captures"))
    os.makedirs(captures, exist_ok=True)

    load_before = os.getloadavg()
    wanted = {"tcp": randpkt_capture(captures, "tcp") + ([],),
              "802.15.4": randpkt_capture(captures, "ieee802.15.4") + ([],),
              "nrf24": sample_capture(captures) + (["-o", nrf24_host.USER_DLT],)}
    nrf24_host.make_readable(captures)
    scratch = tempfile.mkdtemp(prefix="nrf24-installed-bench-")
    try:
        os.chmod(scratch, 0o755)
        setups = {name: Setup(args.build, version_dir, modules, scratch) for name, modules in SETUPS}
        figures = measure(setups, wanted, 0 if args.kept_only else args.jobs,
                          os.path.join(captures, "installed-bench-figures.json"))
    finally:
        shutil.rmtree(scratch, True)
    load_after = os.getloadavg()

    out = ["# What the installed modules cost", "",
           "Made by `bench/installed_bench.py` on %s. Instructions per frame: callgrind, (%s-frame run − run over "
           "its first %s frames) / %s; in brackets the difference to no module (captures without nRF24 frames) "
           "or the ratio to the nRF24 module alone (nRF24 frames). GUI-like is `-2 --color` with the host's "
           "default colouring rules." % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), bench.number(bench.LARGE),
                                         bench.number(bench.SMALL), bench.number(bench.LARGE - bench.SMALL)), ""]
    all_setups = [name for name, _ in SETUPS]
    other_goal = "Goal: all modules ≤ %+.0f %% against none, in every mode." % OTHER_GOAL_PERCENT
    out += table("TCP (randpkt)", figures, "tcp", all_setups, "none", percent_more) + [other_goal, ""]
    out += table("IEEE 802.15.4 (randpkt)", figures, "802.15.4", all_setups, "none", percent_more) + [other_goal, ""]
    out += table("nRF24 sample, repeated", figures, "nrf24", all_setups[1:], "nrf24", times)
    out += ["Goals for nrf24 + analysis against nrf24 alone: %s." % ", ".join(
        "%s ≤ %.2f×" % (mode, goal) for mode, goal in NRF24_GOALS.items()), ""]
    out += ["## Machine", ""] + ["- %s: %s" % row for row in bench.machine()]
    out += ["- Load average (1 min) at start and end: %.2f, %.2f" % (load_before[0], load_after[0]), "",
            "Instruction counts do not depend on the load."]
    text = "\n".join(out) + "\n"
    print(text)
    with nrf24_encode.atomic_output(args.results) as f:
        f.write(text.encode())
    bench.log("wrote " + args.results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
