#!/usr/bin/env python3
"""How well and how fast frames are recovered from a sniffer's raw reads (tools/nrf24tools/recover.py).

Prints four figures and never fails on them (they depend on the machine):
  - share recovered: frames at every bit offset 0..15 after 0, 1 or 2 bytes of preamble or of random noise,
    every payload length that fits in the 32-byte read, random addresses and payloads;
  - false accepts: random noise reads that give a frame, with the confirmation rule and without it, per 10^6;
  - reads per CPU second on one core: whole lines (parse, find the frame, confirm, pcap record), noise reads
    and reads that hold a frame;
  - latency: from a line written into tools/nrf24_capture.py to its record read from the tool's output.

Usage: bench/recovery_bench.py [--reads N]   (default 1000000 noise reads; about a minute on one core)
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import time

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")
sys.path.insert(0, TOOLS)

import nrf24_session  # noqa: E402
from nrf24tools import frames, lineproto, pcap, recover, serialport  # noqa: E402

SEED = 12
HOST_USEC = 1700000000 * 1000000


def random_address(rng):
    while True:
        address = rng.randbytes(5)
        if not recover.preamble_like(address):
            return address


def recovered_share(rng, rounds):
    """(recovered, placed) over every lead (preamble or noise, 0..2 bytes then 0..15 bits) and length."""
    recovered = placed = 0
    for _ in range(rounds):
        for lead_bytes in range(3):
            for offset in range(16):
                lead_bits = 8 * lead_bytes + offset
                for n in range(33):
                    frame = frames.encode_frame(addr=random_address(rng), payload=rng.randbytes(n),
                                                      pid=rng.randrange(4), noack=rng.randrange(2))
                    for lead in (None, rng.getrandbits(lead_bits)):
                        raw = nrf24_session.promiscuous_read(frame, lead_bits, rng, lead)
                        if raw is None:
                            continue
                        placed += 1
                        recovered += any(found == frame for _, found in recover.find_frames(raw))
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


def lines_per_cpu_second(lines):
    """Whole lines through the session loop into pcap records, per CPU second of this process."""
    out = []
    session = serialport.Session(
        recover.Recovery(), lambda stamp, frame: out.append(pcap.pcap_record(stamp, frame, 252)),
        lambda text, kind: None, stop_on_error=True)
    started = time.process_time()
    for line in lines:
        session.line(HOST_USEC, line)
    return len(lines) / (time.process_time() - started), len(out)


def latency(rng, count):
    """Seconds from a line written into the capture tool to its record read back, for count lines."""
    frame = frames.encode_frame(addr=bytes.fromhex("a8a8e1fc00"), payload=b"\x01\x02\x03")
    record = 16 + len(pcap.EXPORTED_PDU_HEADER) + len(frame)
    tool = subprocess.Popen([sys.executable, os.path.join(TOOLS, "nrf24_capture.py"), "--prefix", "a8a8e1fc"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    os.read(tool.stdout.fileno(), 24)
    times = []
    for n in range(count):
        line = lineproto.read_line(1000 * n, 76, nrf24_session.promiscuous_read(frame, rng.randrange(32), rng))
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
    args = parser.parse_args()
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # one core
    rng = random.Random(SEED)

    recovered, placed = recovered_share(rng, 4)
    print("share recovered: %d of %d frames (%.2f %%) at bit offsets 0..15 after 0..2 bytes of preamble or noise, "
          "payloads 0..what fits" % (recovered, placed, 100 * recovered / placed))

    with_rule, without = false_accepts(rng, args.reads)
    scale = 1e6 / args.reads
    print("false accepts in %d noise reads: %d with the confirmation rule (%.1f per 10^6), %d without (%.1f per "
          "10^6)" % (args.reads, with_rule, with_rule * scale, without, without * scale))

    noise = [lineproto.read_line(n, 76, rng.randbytes(32)).encode() for n in range(50000)]
    frame = frames.encode_frame(addr=bytes.fromhex("a8a8e1fc00"), payload=rng.randbytes(12))
    framed = [lineproto.read_line(n, 76, nrf24_session.promiscuous_read(frame, rng.randrange(32), rng)).encode()
              for n in range(50000)]
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
