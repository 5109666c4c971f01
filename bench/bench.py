#!/usr/bin/env python3
"""What the nrf24 module costs per frame, next to the host's own "data" dissector.

Both run in the real tshark on the same captures of random frames (DLT 147 mapped to
"nrf24" or to "data"), in three modes: summary lines, -T fields and -V. For each the
benchmark reports frames per second (median of --runs runs over --frames frames),
instructions per frame (callgrind, a 12,000-frame run minus a 2,000-frame run, so
that start-up cancels) and peak RSS (/usr/bin/time -v over the long run), then
nrf_crc16 alone for payloads of 0, 32 and 63 bytes. It prints a table and writes it
to RESULTS.md. It never fails on speed: the figures are for reading.

Run it through bench/run.sh, which builds the module and the CRC benchmark first.
"""

import argparse
import json
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "support"))

import nrf24_host  # noqa: E402  (private plug-in folder, empty HOME, unprivileged uid)
from nrf24_host import nrf24_encode  # noqa: E402

MAPPINGS = {name: 'uat:user_dlts:"User 0 (DLT=147)","%s","0","","0",""' % name for name in ("data", "nrf24")}
MODES = (("summary", []),
         ("-T fields", ["-T", "fields", "-e", "_ws.col.Protocol", "-e", "_ws.col.Info"]),
         ("-V", ["-V"]))
SMALL, LARGE = 2000, 12000
CRC_PAYLOADS = (0, 32, 63)
CRC_CALLS = 10000
GOALS = {"summary": 1.35, "-V": 1.10}
RSS_GOAL = 1.02
SEED = 2026
COST_ROWS = 12


def log(text):
    print(text, file=sys.stderr, flush=True)


def random_capture(folder, count):
    """A pcap of count random good-CRC frames (payloads 0..32 bytes), made once and kept."""
    path = os.path.abspath(os.path.join(folder, "random-%d-seed%d.pcap" % (count, SEED)))
    if not os.path.exists(path):
        log("encoding %d random frames into %s" % (count, path))
        rng = random.Random(SEED + count)
        frames = [nrf24_encode.encode_frame(addr=rng.randbytes(5), payload=rng.randbytes(rng.randint(0, 32)),
                                            pid=rng.randint(0, 3), noack=rng.randint(0, 1))
                  for _ in range(count)]
        with nrf24_encode.atomic_output(path) as out:
            out.write(nrf24_encode.pcap_bytes(nrf24_encode.stamp_frames([(None, frame) for frame in frames])))
    return path


class Tshark:
    """tshark with one module in a private plug-in folder, run as the test runner runs it."""

    def __init__(self, module):
        # The runner takes the module and its <major>.<minor> folder from the environment;
        # a build keeps the module in plugins/<major>.<minor>/epan.
        os.environ["NRF24_MODULES"] = module
        os.environ["NRF24_WS_VERSION_DIR"] = os.path.basename(os.path.dirname(os.path.dirname(module)))
        self.host = nrf24_host.Host()
        self.scratch = self.host.path("scratch")
        os.makedirs(self.scratch)
        if self.host.as_root:
            os.chown(self.scratch, nrf24_host.UNPRIVILEGED, nrf24_host.UNPRIVILEGED)

    def run(self, mapping, capture, args, wrapper=()):
        """One run, output thrown away; returns tshark's (or the wrapper's) stderr."""
        command = ["nice"] + list(wrapper) + [self.host.tshark, "-o", MAPPINGS[mapping], "-r", capture] + args
        if self.host.as_root:
            command = ["setpriv", "--reuid=%d" % nrf24_host.UNPRIVILEGED, "--regid=%d" % nrf24_host.UNPRIVILEGED,
                       "--clear-groups"] + command
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.host.home, "TZ": "UTC",
               "LC_ALL": "C.UTF-8", "WIRESHARK_PLUGIN_DIR": self.host.path("plugins")}
        proc = subprocess.run(command, env=env, cwd=self.scratch, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
        if proc.returncode != 0:
            raise RuntimeError("exit %d: %s\n%s" % (proc.returncode, " ".join(command), proc.stderr))
        return proc.stderr

    def callgrind(self, mapping, capture, args, name):
        """Total instructions of one run; the profile is kept for the cost breakdown."""
        out = os.path.join(self.scratch, re.sub(r"[^\w-]+", "", name) + ".callgrind")
        self.run(mapping, capture, args, ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out])
        return out, profile_total(out)

    def timed(self, mapping, capture, args):
        """Wall seconds, CPU seconds (user + system) and peak RSS (KiB) of one run."""
        start = time.monotonic()
        stderr = self.run(mapping, capture, args, ["/usr/bin/time", "-v"])
        wall = time.monotonic() - start
        figures = dict(re.findall(r"^\s*(User time \(seconds\)|System time \(seconds\)|"
                                  r"Maximum resident set size \(kbytes\)): ([\d.]+)$", stderr, re.M))
        return (wall, float(figures["User time (seconds)"]) + float(figures["System time (seconds)"]),
                int(figures["Maximum resident set size (kbytes)"]))


def profile_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("no instruction total in " + path)


ANNOTATE_LINE = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S.*?)(?: \[(.*)\])?$")


def function_costs(path):
    """Own instructions per (function, object file), from callgrind_annotate."""
    out = subprocess.run(["callgrind_annotate", "--threshold=100", "--auto=no", path],
                         capture_output=True, text=True, check=True).stdout
    costs = {}
    for line in out.splitlines():
        match = ANNOTATE_LINE.match(line)
        if match and "PROGRAM TOTALS" not in line:
            key = (match.group(2).split(":", 1)[-1], os.path.basename(match.group(3) or "?"))
            costs[key] = costs.get(key, 0) + int(match.group(1).replace(",", ""))
    return costs


def per_frame_costs(small, large):
    a, b = function_costs(small), function_costs(large)
    return {key: (b.get(key, 0) - a.get(key, 0)) / (LARGE - SMALL) for key in set(a) | set(b)}


def crc_figures(crc_bench, module, scratch):
    """Per payload: bits, instructions per call (with and without the byte fetches), ns per call."""
    env = dict(os.environ, NRF24_MODULE=module)
    proc = subprocess.run(["nice", crc_bench, "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true",
                           "--benchmark_format=json"], env=env, capture_output=True, text=True, check=True)
    ns = {}
    for row in json.loads(proc.stdout)["benchmarks"]:
        if row.get("aggregate_name") == "median":
            ns[int(row["run_name"].rsplit(":", 1)[1])] = row["cpu_time"]
    figures = {}
    for payload in CRC_PAYLOADS:
        out = os.path.join(scratch, "crc-%d.callgrind" % payload)
        subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=nrf_crc16", "--callgrind-out-file=" + out,
                        crc_bench, "--calls", str(CRC_CALLS), str(payload)],
                       env=env, capture_output=True, check=True)
        own = sum(cost for (name, _), cost in function_costs(out).items() if name == "nrf_crc16")
        figures[payload] = {"bits": 49 + 8 * payload, "all": profile_total(out) / CRC_CALLS,
                            "own": own / CRC_CALLS, "ns": ns[payload]}
    return figures


def tool_version(command, prefix=""):
    """The first line of a tool's output that starts with prefix, or "?"."""
    try:
        out = subprocess.run(command, capture_output=True, text=True).stdout
    except OSError:
        return "?"
    return next((line.strip() for line in out.splitlines() if line.strip() and line.startswith(prefix)), "?")


def package_version(package):
    return tool_version(["dpkg-query", "-W", "-f=${Version}", package])


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_gib = int(f.readline().split()[1]) / 2 ** 20
    debian = open("/etc/debian_version").read().strip() if os.path.exists("/etc/debian_version") else "?"
    return [("CPU", "%s, %d cores" % (model, os.cpu_count())), ("Memory", "%.1f GiB" % mem_gib),
            ("System", "Debian %s, Linux %s" % (debian, platform.release())),
            ("Host", tool_version(["tshark", "--version"], "TShark")),
            ("Compiler", tool_version(["c++", "--version"])),
            ("valgrind", tool_version(["valgrind", "--version"])),
            ("Google Benchmark", package_version("libbenchmark-dev")),
            ("Python", platform.python_version())]


def ratio(a, b):
    return "%.2f×" % (a / b) if b else "–"


def number(value):
    return "{:,.0f}".format(value)


def measure(tshark, small, large, big, args):
    """Per mode: instructions per frame, frames/s and peak RSS for both mappings, and the
    per-function costs of the modes that have goals."""
    rows, costs = [], {}
    for mode, mode_args in MODES:
        row = {"mode": mode}
        for mapping in ("data", "nrf24"):
            log("%s, %s: callgrind" % (mode, mapping))
            small_profile, small_total = tshark.callgrind(mapping, small, mode_args, "%s-%s-small" % (mapping, mode))
            large_profile, large_total = tshark.callgrind(mapping, large, mode_args, "%s-%s-large" % (mapping, mode))
            row[mapping + " ir"] = (large_total - small_total) / (LARGE - SMALL)
            if mode in GOALS:
                costs[(mode, mapping)] = per_frame_costs(small_profile, large_profile)
        # Per run, the long capture minus the small one, so that start-up cancels here too;
        # the mappings alternate, so that a change of load hits both alike.
        log("%s: %d runs over %d frames per mapping" % (mode, args.runs, args.frames))
        runs = {"data": [], "nrf24": []}
        for _ in range(args.runs):
            for mapping in runs:
                long_run, short_run = tshark.timed(mapping, big, mode_args), tshark.timed(mapping, small, mode_args)
                runs[mapping].append((long_run[0] - short_run[0], long_run[1] - short_run[1], long_run[2]))
        for mapping, timings in runs.items():
            row[mapping + " wall fps"] = (args.frames - SMALL) / statistics.median(t[0] for t in timings)
            row[mapping + " cpu fps"] = (args.frames - SMALL) / statistics.median(t[1] for t in timings)
            row[mapping + " rss"] = max(t[2] for t in timings)
        rows.append(row)
    return rows, costs


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--module", required=True, help="the built nrf24.so")
    parser.add_argument("--crc-bench", required=True, help="the built nrf_crc16_bench")
    parser.add_argument("--captures", required=True, help="folder that keeps the generated captures")
    parser.add_argument("--frames", type=int, default=1000000, help="frames in the wall-time capture (1000000)")
    parser.add_argument("--runs", type=int, default=3, help="wall-time runs per mode and mapping (3)")
    parser.add_argument("--baseline", metavar="NAME=MODULE",
                        help="another build of the module to count instructions for, e.g. before=old/nrf24.so")
    parser.add_argument("--results", default=os.path.join(HERE, "RESULTS.md"), help="where to write the table")
    args = parser.parse_args(argv)
    if args.frames < 1 or args.runs < 1:
        parser.error("--frames and --runs want a positive number")
    for path in (args.module, args.crc_bench):
        if not os.path.isfile(path):
            parser.error("%s: no such file (bench/run.sh builds it)" % path)
    baseline = None
    if args.baseline:
        name, sep, path = args.baseline.partition("=")
        if not sep or not name or not os.path.isfile(path):
            parser.error("--baseline wants NAME=MODULE with an existing module file")
        baseline = (name, path)

    load_before = os.getloadavg()
    os.makedirs(args.captures, exist_ok=True)
    small, large = random_capture(args.captures, SMALL), random_capture(args.captures, LARGE)
    big = random_capture(args.captures, args.frames)
    nrf24_host.make_readable(args.captures)

    tshark = Tshark(args.module)
    rows, costs = measure(tshark, small, large, big, args)

    crc = crc_figures(args.crc_bench, args.module, tshark.scratch)
    old_rows, old_crc = {}, None
    if baseline:
        old = Tshark(baseline[1])
        for mode, mode_args in MODES:
            log("%s, nrf24 %s: callgrind" % (mode, baseline[0]))
            _, small_total = old.callgrind("nrf24", small, mode_args, "old-%s-small" % mode)
            _, large_total = old.callgrind("nrf24", large, mode_args, "old-%s-large" % mode)
            old_rows[mode] = (large_total - small_total) / (LARGE - SMALL)
        old_crc = crc_figures(args.crc_bench, baseline[1], old.scratch)
    load_after = os.getloadavg()

    lines = report(rows, costs, crc, baseline and baseline[0], old_rows, old_crc, args, load_before, load_after)
    text = "\n".join(lines) + "\n"
    print(text)
    with nrf24_encode.atomic_output(args.results) as out:
        out.write(text.encode())
    log("wrote " + args.results)
    return 0


def difference_table(title, nrf24, data, group, limit):
    """Per-frame costs summed by group, largest difference first, with the totals."""
    sums = {}
    for costs, column in ((nrf24, 0), (data, 1)):
        for key, cost in costs.items():
            sums.setdefault(group(key), [0.0, 0.0])[column] += cost
    names = sorted((name for name in sums if max(map(abs, sums[name])) >= 1),
                   key=lambda name: sums[name][1] - sums[name][0])
    lines = ["| %s | nrf24 | data | difference |" % title, "|---|---:|---:|---:|"]
    for name in names[:limit]:
        lines.append("| %s | %s | %s | %s |" % (name, number(sums[name][0]), number(sums[name][1]),
                                                 number(sums[name][0] - sums[name][1])))
    total = [sum(column) for column in zip(*sums.values())]
    lines += ["| all | %s | %s | %s |" % (number(total[0]), number(total[1]), number(total[0] - total[1])), ""]
    return lines


def report(rows, costs, crc, old_name, old_rows, old_crc, args, load_before, load_after):
    """RESULTS.md: the tables, the cost breakdown and the machine."""
    out = ["# nrf24 benchmark", "",
           "Made by `bench/run.sh` on %s; random frames with good CRCs and payloads of 0..32 bytes "
           "(seed %d), DLT 147 mapped to \"nrf24\" (only nrf24.so loaded, so no member on its heuristic list) or to "
           "the host's \"data\" dissector." % (
               time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), SEED), "",
           "| Mode | Instructions/frame: data | nrf24 | nrf24/data | goal |", "|---|---:|---:|---:|---:|"]
    for row in rows:
        goal = "≤ %.2f×" % GOALS[row["mode"]] if row["mode"] in GOALS else ""
        out.append("| %s | %s | %s | %s | %s |" % (row["mode"], number(row["data ir"]), number(row["nrf24 ir"]),
                                                   ratio(row["nrf24 ir"], row["data ir"]), goal))
    out += ["", "callgrind, (%s-frame run − %s-frame run) / %s." % (number(LARGE), number(SMALL),
                                                                     number(LARGE - SMALL)), "",
            "| Mode | Frames per CPU second: data | nrf24 | Frames per second: data | nrf24 "
            "| Peak RSS MiB: data | nrf24 | nrf24/data |", "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for row in rows:
        out.append("| %s | %s | %s | %s | %s | %.1f | %.1f | %s |" % (
            row["mode"], number(row["data cpu fps"]), number(row["nrf24 cpu fps"]), number(row["data wall fps"]),
            number(row["nrf24 wall fps"]), row["data rss"] / 1024, row["nrf24 rss"] / 1024,
            ratio(row["nrf24 rss"], row["data rss"])))
    out += ["", "Medians of %d runs, each over %s frames minus one over %s, output to /dev/null, under `nice`; "
            "CPU seconds are user plus system time. Peak RSS: the largest of the long runs (goal: nrf24 within "
            "%d%% of data)." % (args.runs, number(args.frames), number(SMALL), round((RSS_GOAL - 1) * 100)), ""]
    out += ["## nrf_crc16", "",
            "| Payload | Bits | Instructions/call | per bit | own per bit | ns/call |",
            "|---:|---:|---:|---:|---:|---:|"]
    for payload, f in crc.items():
        out.append("| %d | %d | %s | %.2f | %.2f | %.0f |" % (payload, f["bits"], number(f["all"]),
                                                              f["all"] / f["bits"], f["own"] / f["bits"], f["ns"]))
    out += ["", "Instructions: callgrind with `--toggle-collect=nrf_crc16` over %s calls; \"per bit\" includes the "
            "host's `tvb_get_guint8` (one call per 8 bits) and `tvb_captured_length`, \"own per bit\" is the "
            "routine alone. ns/call: Google Benchmark, median CPU time of 5 repetitions." % number(CRC_CALLS), ""]
    if old_name:
        out += ["## Against %s" % old_name, "",
                "| Mode | nrf24 %s | nrf24 now | data |" % old_name, "|---|---:|---:|---:|"]
        for row in rows:
            old = old_rows[row["mode"]]
            out.append("| %s | %s (%s) | %s (%s) | %s |" % (
                row["mode"], number(old), ratio(old, row["data ir"]), number(row["nrf24 ir"]),
                ratio(row["nrf24 ir"], row["data ir"]), number(row["data ir"])))
        out += ["", "| nrf_crc16 payload | %s: instructions/call (per bit) | now | %s: ns/call | now |" % (
            old_name, old_name), "|---:|---:|---:|---:|---:|"]
        for payload, f in crc.items():
            o = old_crc[payload]
            out.append("| %d | %s (%.2f) | %s (%.2f) | %.0f | %.0f |" % (
                payload, number(o["all"]), o["all"] / o["bits"], number(f["all"]), f["all"] / f["bits"],
                o["ns"], f["ns"]))
        out.append("")
    out += ["## Where the difference sits", "",
            "Own instructions per frame, nrf24 minus data, from callgrind_annotate of the same profiles: by object "
            "file (nrf24.so is the module's own code, the rest is the host working for it), then the %d functions "
            "that differ most." % COST_ROWS, ""]
    for mode in GOALS:
        nrf24, data = costs[(mode, "nrf24")], costs[(mode, "data")]
        out += difference_table(mode + ": object file", nrf24, data, lambda key: key[1], None)
        out += difference_table(mode + ": function", nrf24, data, lambda key: "`%s` (%s)" % key, COST_ROWS)
    out += ["## Machine", ""]
    out += ["- %s: %s" % (key, value) for key, value in machine()]
    out += ["- Load average (1 min) at start and end: %.2f, %.2f" % (load_before[0], load_after[0]), "",
            "Other jobs share the cores, so frames/s and ns figures are noisy (several per cent from run to run); "
            "the instruction counts do not depend on load and are what the goals are judged by."]
    return out


if __name__ == "__main__":
    sys.exit(main())
