#!/usr/bin/env python3
"""How well and how fast frames are recovered from a sniffer's raw reads (tools/nrf24tools/recover.py).

Prints its figures and never fails on them (some depend on the machine):
  - on the air model (tools/nrf24tools/air.py), at 250 kbps, 1 and 2 Mbps: a MySensors-like network (five
    nodes sending to shared addresses, payloads 1..23 bytes, 15 % of tries unanswered, 50 noise reads a
    second) heard by one radio: the share of the data frames and of the acks that the reads hold whole that
    are recovered, frames given out that were not on the air, the frames' stamps against their time on the
    air (99th percentile), and how many packets' acks could be heard;
  - which acks one radio can hear, by rate and payload length;
  - share recovered: frames at every bit offset 0..47 of their address in the read that heard them (0..15 when
    the frame started the read, further when noise had started it), acks after them where asked for, every
    payload length the read holds whole, random addresses and payloads;
  - false accepts: random noise reads that give a frame, with the confirmation rule and without it, per 10^6;
  - reads per CPU second on one core: whole lines (parse, find the frame, confirm, pcap record), reads noise
    started and reads a packet started (the air model's);
  - latency: from a line written into tools/nrf24_capture.py to its record read from the tool's output.

Usage: bench/recovery_bench.py [--reads N] [--seconds S]   (default 1000000 noise reads and 600 s of traffic a
rate; a few minutes on one core)
"""

import argparse
import collections
import os
import random
import statistics
import subprocess
import sys
import time

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")
sys.path.insert(0, TOOLS)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))

from air_reads import Scripted, board_lines  # noqa: E402
from nrf24tools import air, frames, lineproto, pcap, recover, serialport  # noqa: E402

SEED = 12
NETWORK = (bytes.fromhex("a8a8e1fc00"), bytes.fromhex("a8a8e1fc01"), bytes.fromhex("a8a8e1fc02"))
HOST_USEC = 1700000000 * 1000000


def random_address(rng):
    while True:
        address = rng.randbytes(5)
        if not recover.preamble_like(address):
            return address


def recovered_share(rng, rounds):
    """(recovered, placed) over every offset of a packet's address in the read that heard it, 0..47 bits (up to
    15 when the packet started the read, further when noise had started it before the packet came), and every
    length the read holds whole; the packet's ack after it when it asks for one."""
    recovered = placed = 0
    for _ in range(rounds):
        for lead_bits in range(48):
            for n in range(33):
                frame = frames.encode_frame(addr=random_address(rng), payload=rng.randbytes(n),
                                            pid=rng.randrange(4), noack=rng.randrange(2))
                timeline, _ = air.exchange(1000.0, frame)
                if lead_bits <= air.MAX_LEAD_BITS:
                    scripted = Scripted(rng.getrandbits(32), lead=lead_bits)
                else:
                    scripted = Scripted(rng.getrandbits(32), noise_at=[1000.0 + 4 * (air.PREAMBLE_BITS - lead_bits)])
                radio = air.Radio(scripted, preamble=air.preamble_of(frame), noise_per_s=1.0)
                read = radio.reads(timeline)[0]
                if (timeline[0], lead_bits, True) not in read.contents:
                    continue
                placed += 1
                recovered += (lead_bits, frame) in recover.find_frames(read.data)
    return recovered, placed


def false_accepts(rng, count):
    """Frames given out for count random reads, with the confirmation rule and without it."""
    confirmed, unconfirmed = recover.Recovery(), recover.Recovery(confirm=False)
    with_rule = without = 0
    for clock in range(count):
        read = lineproto.Read(clock, 76, "p", b"", rng.randbytes(32))
        with_rule += len(confirmed.read(read, HOST_USEC))
        without += len(unconfirmed.read(read, HOST_USEC))
    return with_rule, without


def on_the_air(rng, rate, seconds):
    """Recovery of one radio's reads of a network: a dict of figures."""
    timeline = air.network_timeline(rng, seconds, rate=rate, addresses=NETWORK)
    reads = air.Radio(rng, rate=rate, noise_per_s=50).reads(timeline)
    recovery = recover.Recovery()
    recovery.rate = rate
    out = []
    for read in reads:
        clock = int(read.stamp)
        out += recovery.read(lineproto.Read(clock % lineproto.WRAP, 76, "p", b"", read.data), HOST_USEC + clock)
    out += recovery.flush()
    whole = sorted((tx.time, tx.kind, tx.frame) for read in reads for tx, _, fits in read.contents if fits)
    # each recovered frame matched to the same frame on the air within 20 us
    times = collections.defaultdict(list)
    for sent, kind, frame in whole:
        times[frame].append((sent, kind))
    found, errors, false, acks = collections.Counter(), [], 0, collections.Counter()
    for frame in out:
        at = frame.stamp - HOST_USEC
        match = [(sent, kind) for sent, kind in times[frame.frame] if abs(sent - at) <= 20]
        if not match:
            false += 1
            continue
        times[frame.frame].remove(match[0])
        found[match[0][1]] += 1
        errors.append(abs(at - match[0][0]))
        if frame.ack is not None:
            acks[frame.ack] += 1
    errors.sort()
    counts = collections.Counter(kind for _, kind, _ in whole)
    return {"reads": len(reads), "noise": sum(read.noise for read in reads), "data": (found["data"], counts["data"]),
            "acks": (found["ack"], counts["ack"]), "false": false, "p99": errors[int(0.99 * len(errors))],
            "max": errors[-1], "observability": acks}


def ack_table():
    """Per rate, runs of payload lengths 0..32 with where the ack lies for one radio, for every lead 0..15."""
    table = {}
    for rate, bits in air.BITS_PER_US.items():
        runs = []
        for n in range(33):
            kinds = set()
            for lead in range(air.MAX_LEAD_BITS + 1):
                end = lead + 65 + 8 * n
                ack = end + air.ACK_DELAY_US * bits + air.PREAMBLE_BITS
                kinds.add("packet not heard whole" if end > 256 else "inside the read" if ack + 65 <= 256 else
                          "straddles the read's end: never heard" if ack < 256 else "after the read: heard")
            kind = " or ".join(sorted(kinds))
            if runs and runs[-1][2] == kind:
                runs[-1][1] = n
            else:
                runs.append([n, n, kind])
        table[rate] = runs
    return table


def lines_per_cpu_second(lines):
    """Whole lines through the session loop into pcap records, per CPU second of this process."""
    out = []
    session = serialport.Session(
        recover.Recovery(), lambda stamp, data: out.append(pcap.pcap_data_record(stamp, data)),
        lambda text, kind: None, stop_on_error=True)
    started = time.process_time()
    for line in lines:
        session.line(HOST_USEC, line)
    return len(lines) / (time.process_time() - started), len(out)


def latency(rng, count):
    """Seconds from a line written into the capture tool to its record read back, for count lines: a packet
    sent with the no-ack flag every 5 ms, one radio's reads of them."""
    frame = frames.encode_frame(addr=bytes.fromhex("a8a8e1fc00"), payload=b"\x01\x02\x03", noack=1)
    timeline = [tx for n in range(count) for tx in air.exchange(5000.0 * n, frame)[0]]
    record = 16 + len(pcap.EXPORTED_PDU_HEADER) + len(frame)
    tool = subprocess.Popen([sys.executable, os.path.join(TOOLS, "nrf24_capture.py"), "--format", "pcap",
                             "--prefix", "a8a8e1fc"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    os.read(tool.stdout.fileno(), 24)
    times = []
    for line in board_lines(air.Radio(rng).reads(timeline), 0):
        started = time.perf_counter()
        tool.stdin.write(line.encode() + b"\n")
        tool.stdin.flush()
        got = b""
        while len(got) < record:
            got += os.read(tool.stdout.fileno(), record - len(got))
        times.append(time.perf_counter() - started)
    tool.stdin.close()
    tool.wait()
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reads", type=int, default=1000000, help="noise reads for the false accepts")
    parser.add_argument("--seconds", type=float, default=600, help="seconds of traffic on the air model, per rate")
    args = parser.parse_args()
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # one core
    rng = random.Random(SEED)

    for rate in air.BITS_PER_US:
        f = on_the_air(rng, rate, args.seconds)
        seen = f["observability"]
        print("%s on the air model, %g s: %d reads (%d started by noise); recovered %d of %d data frames (%.2f %%) "
              "and %d of %d acks (%.2f %%) the reads hold whole; %d frames not on the air; stamp error p99 %.1f us, "
              "max %.1f us; acks inside the read %d, straddling its end %d, after it %d, while another read ran %d"
              % (rate, args.seconds, f["reads"], f["noise"], *f["data"], 100 * f["data"][0] / f["data"][1],
                 *f["acks"], 100 * f["acks"][0] / max(f["acks"][1], 1), f["false"], f["p99"], f["max"],
                 seen[recover.ACK_IN_READ], seen[recover.ACK_STRADDLES], seen[recover.ACK_AFTER_READ],
                 seen[recover.ACK_BLIND]))
    for rate, runs in ack_table().items():
        print("acks at %s: %s" % (rate, "; ".join("payload %s: %s" % ("%d" % lo if lo == hi else "%d-%d" % (lo, hi), kind)
                                                 for lo, hi, kind in runs)))

    recovered, placed = recovered_share(rng, 8)
    print("share recovered: %d of %d frames (%.2f %%) at bit offsets 0..47 in the read, payloads 0..what fits"
          % (recovered, placed, 100 * recovered / placed))

    with_rule, without = false_accepts(rng, args.reads)
    scale = 1e6 / args.reads
    print("false accepts in %d noise reads: %d with the confirmation rule (%.1f per 10^6), %d without (%.1f per "
          "10^6)" % (args.reads, with_rule, with_rule * scale, without, without * scale))

    # reads noise started, 50 a second; a packet every 3 ms and its ack, which straddles the end of its read
    noise = [line.encode() for line in board_lines(air.Radio(rng, noise_per_s=50).reads([], until=1e9), 0)]
    frame = frames.encode_frame(addr=bytes.fromhex("a8a8e1fc00"), payload=rng.randbytes(12))
    timeline = [tx for n in range(50000) for tx in air.exchange(3000.0 * n, frame)[0]]
    framed = [line.encode() for line in board_lines(air.Radio(rng).reads(timeline), 0)]
    noise_rate, _ = lines_per_cpu_second(noise)
    frame_rate, written = lines_per_cpu_second(framed)
    print("reads per CPU second on one core, whole lines to pcap records: %.0f noise reads, %.0f reads holding a "
          "frame (%d frames written)" % (noise_rate, frame_rate, written))

    times = sorted(latency(rng, 300))
    print("latency from a line written into nrf24_capture.py to its record read back: median %.2f ms, "
          "99th percentile %.2f ms, max %.2f ms (300 lines)" % (1e3 * statistics.median(times),
                                                                1e3 * times[int(0.99 * len(times))], 1e3 * times[-1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
