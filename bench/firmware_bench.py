#!/usr/bin/env python3
"""Measures the sniffer firmware on the simulated board and prints the figures.

  bench/firmware_bench.py [--build build-tests]

Needs the firmware and the simulated board built by CMake with the tests
(cmake -S . -B build-tests -DNRF24_BUILD_TESTS=ON ...; cmake --build build-tests
--target nrf24_firmware nrf24_board). Figures, all in simulated time at 16 MHz:
sustained reads per second printed without loss at 1,000,000 baud, the burst a
board absorbs before the first loss, flash and RAM, and the latency from a read's
IRQ to the end of its line on the UART (and of its time stamp).
"""

import argparse
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from nrf24_board import BOOT_DONE_US, Board, BoardMissing  # noqa: E402

WRAP = 1 << 32


def payload(n):
    return bytes([n & 0xFF, (n >> 8) & 0xFF]) + bytes(((n * 7 + i) & 0xFF) for i in range(30))


def stream(board, spacing_us, count, mode_cmd=None):
    """count reads spacing_us apart; returns (run, printed reads, lost count, start of the reads)."""
    start = BOOT_DONE_US + (5000 if mode_cmd else 0)
    events = [(BOOT_DONE_US, "cmd", mode_cmd)] if mode_cmd else []
    events += [(start + n * spacing_us, "read", 76, payload(n)) for n in range(count)]
    run = board.run(events, end=start + count * spacing_us + 100000)
    printed, lost = [], 0
    for first, last, text in run.lines:
        if text.startswith("#lost "):
            lost += int(text.split()[1])
        elif not text.startswith("#"):
            fields = text.split()
            data = bytes.fromhex(fields[3])[-32:]
            printed.append((int(fields[0], 16), data[0] | data[1] << 8, last))
    return run, printed, lost, start


def sustained(board, count):
    """The shortest spacing (1 us steps) at which count reads all come out."""
    lo, hi = 100, 2000
    while hi - lo > 1:
        mid = (lo + hi) // 2
        run, printed, lost, _ = stream(board, mid, count)
        if lost == 0 and len(printed) == count and not run.missed:
            hi = mid
        else:
            lo = mid
    return hi


def burst(board, spacing_us, count=400):
    """Reads printed before the first loss when they arrive spacing_us apart."""
    run, printed, lost, _ = stream(board, spacing_us, count)
    indices = [index for _, index, _ in printed]
    first_gap = next((i for i, index in enumerate(indices) if index != i), len(indices))
    return first_gap, len(run.missed)


def latency(board, mode_cmd, count=50, spacing_us=3000):
    run, printed, lost, start = stream(board, spacing_us, count, mode_cmd)
    ends = [last - (start + index * spacing_us) for _, index, last in printed]
    stamps = [(stamp - (start + index * spacing_us)) % WRAP for stamp, index, _ in printed]
    return ends, stamps


def loaded_stamps(board, count=300, spacing_us=650):
    """Stamp error while the UART is busy all the time (reads just faster than lines)."""
    run, printed, lost, start = stream(board, spacing_us, count)
    return [(stamp - (start + index * spacing_us)) % WRAP for stamp, index, _ in printed if index > 0]


def flash_size(elf):
    """Flash: .text and the initial values of .data."""
    out = subprocess.run(["avr-size", "-A", elf], stdout=subprocess.PIPE, universal_newlines=True,
                         check=True).stdout
    sections = {m.group(1): int(m.group(2)) for m in re.finditer(r"^(\.\w+)\s+(\d+)", out, re.M)}
    return sections.get(".text", 0) + sections.get(".data", 0)


def stack_depth(board):
    """The deepest stack over a run that does everything: commands, hopping, a burst with losses, overrun."""
    events = [(BOOT_DONE_US, "cmd", "h 125" + ",100" * 15 + " 50"), (BOOT_DONE_US + 3000, "cmd", "a a8a8e1fc00"),
              (BOOT_DONE_US + 6000, "cmd", "x" * 80), (BOOT_DONE_US + 9000, "cmd", "c 76")]
    events += [(BOOT_DONE_US + 12000 + 200 * n, "read", 76, payload(n)) for n in range(300)]
    events += [(BOOT_DONE_US + 80000, "cmd", "?")] * 100
    run = board.run(events, end=BOOT_DONE_US + 400000)
    return run.static, run.stack


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build-tests", help="the CMake build folder (default build-tests)")
    args = parser.parse_args()
    sim_dir = os.path.join(args.build, "firmware-sim")
    os.environ.setdefault("NRF24_FIRMWARE_ELF", os.path.join(args.build, "firmware", "build", "sniffer.elf"))
    os.environ.setdefault("NRF24_BOARD", os.path.join(sim_dir, "nrf24_board"))
    try:
        board = Board()
    except BoardMissing as why:
        print("firmware_bench: %s" % why, file=sys.stderr)
        return 2

    flash = flash_size(board.elf)
    ram, stack = stack_depth(board)
    print("Flash: %d of 32768 bytes (%.1f%%)" % (flash, 100.0 * flash / 32768))
    print("RAM: %d of 2048 bytes static (%.1f%%) + %d bytes deepest stack seen = %d, %d free"
          % (ram, 100.0 * ram / 2048, stack, ram + stack, 2048 - ram - stack))

    spacing = sustained(board, 10000)
    print("Sustained, promiscuous reads (79-character lines): all of 10000 reads printed down to %d us apart"
          " = %d reads/s" % (spacing, 1000000 // spacing))
    run, printed, lost, start = stream(board, 200, 5000)
    seconds = (printed[-1][2] - printed[0][2]) / 1e6
    print("Saturated (a read every 200 us for 1 s): %d lines/s printed, %d reads reported in #lost lines,"
          " %d lost unreported" % (len(printed) / seconds, lost, 5000 - len(printed) - lost))
    for gap in (200, 300, 500):
        absorbed, missed = burst(board, gap)
        print("Burst, reads %d us apart: %d printed before the first loss; reads lost in the radio's own FIFO: %d"
              % (gap, absorbed, missed))
    for name, cmd in (("promiscuous", None), ("address mode (5-byte address)", "a a8a8e1fc00")):
        ends, stamps = latency(board, cmd)
        print("Latency, %s, idle line: IRQ to end of line %.1f us median (%.1f..%.1f); stamp - arrival %d..%d us"
              % (name, statistics.median(ends), min(ends), max(ends), min(stamps), max(stamps)))
    stamps = loaded_stamps(board)
    print("Stamp - arrival with the UART busy: %d..%d us (median %d)"
          % (min(stamps), max(stamps), statistics.median(stamps)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
