#!/usr/bin/env python3
"""Measures the sniffer firmware on the simulated board and prints the figures.

  bench/firmware_bench.py [--build build-tests]

Needs the firmware (both line speeds) and the simulated board built by CMake with
the tests (cmake -S . -B build-tests -DNRF24_BUILD_TESTS=ON ...; cmake --build
build-tests --target nrf24_firmware nrf24_board). Figures, all in simulated time
at 16 MHz, for the 1,000,000 and the 2,000,000 baud builds speaking version 2 of
the line protocol: sustained reads per second printed without loss, the burst a
board absorbs before the first loss, flash and RAM, the latency from a read's IRQ
to the end of its line on the UART, and its time stamp's error.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from nrf24_board import BOOT_DONE_US, Board, BoardMissing, air_read  # noqa: E402

WRAP = 1 << 32
START_US = BOOT_DONE_US + 10000         # after "v 2" and "r 2m" are answered


def payload(n):
    return bytes([n & 0xFF, (n >> 8) & 0xFF]) + bytes(((n * 7 + i) & 0xFF) for i in range(30))


def stream(board, spacing_us, count, mode_cmd=None):
    """count reads at 2 Mbps, spacing_us apart; returns (run, printed (stamp, index, end of line, kind), lost,
    IRQ time of each read the radio heard by index)."""
    events = [(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 3000, "cmd", "r 2m")]
    if mode_cmd:
        events.append((BOOT_DONE_US + 6000, "cmd", mode_cmd))
    events += [air_read(START_US + n * spacing_us, 76, payload(n), rate="2m") for n in range(count)]
    run = board.run(events, end=START_US + count * spacing_us + 100000)
    printed, lost = [], 0
    for first, last, text in run.lines:
        if text.startswith("#lost "):
            lost += int(text.split()[1])
        elif not text.startswith("#"):
            fields = text.split()
            data = bytes.fromhex(fields[3])[-32:]
            printed.append((int(fields[0], 16), data[0] | data[1] << 8, last, fields[6]))
    records = sorted([(t, None) for t, _ in run.heard] + [(t, why) for t, _, why in run.missed])
    irq = {k: t for k, (t, why) in enumerate(records) if why is None}
    return run, printed, lost, irq


def sustained(board, count):
    """The shortest spacing (1 us steps) at which count reads all come out."""
    lo, hi = 150, 3000
    while hi - lo > 1:
        mid = (lo + hi) // 2
        run, printed, lost, _ = stream(board, mid, count)
        if lost == 0 and len(printed) == count and not run.missed:
            hi = mid
        else:
            lo = mid
    return hi


def burst(board, spacing_us, count=400):
    """Reads printed before the first loss (the board's or the radio's) when they arrive spacing_us apart."""
    run, printed, lost, _ = stream(board, spacing_us, count)
    indices = [index for _, index, _, _ in printed]
    first_gap = next((i for i, index in enumerate(indices) if index != i), len(indices))
    return first_gap, len(run.missed), sum(1 for text in run.texts() if text.startswith("#full "))


def latency(board, mode_cmd, count=50, spacing_us=3000):
    run, printed, lost, irq = stream(board, spacing_us, count, mode_cmd)
    ends = [last - irq[index] for _, index, last, _ in printed]
    stamps = [stamp - irq[index] for stamp, index, _, _ in printed]
    return ends, stamps


def loaded_stamps(board, count=300, spacing_us=150):
    """Stamp error while the radio's FIFO and the UART are busy all the time: (IRQ stamps, upper bounds)."""
    run, printed, lost, irq = stream(board, spacing_us, count)
    exact = [stamp - irq[index] for stamp, index, _, kind in printed if kind == "i"]
    bounds = [stamp - irq[index] for stamp, index, _, kind in printed if kind == "u"]
    return exact, bounds


def flash_size(elf):
    """Flash: .text and the initial values of .data."""
    out = subprocess.run(["avr-size", "-A", elf], stdout=subprocess.PIPE, universal_newlines=True,
                         check=True).stdout
    sections = {m.group(1): int(m.group(2)) for m in re.finditer(r"^(\.\w+)\s+(\d+)", out, re.M)}
    return sections.get(".text", 0) + sections.get(".data", 0)


def stack_depth(board):
    """The deepest stack over a run that does everything: version 2, commands, hopping, a burst with losses,
    overrun, a radio reset."""
    events = [(BOOT_DONE_US, "cmd", "v 2"), (BOOT_DONE_US + 2000, "cmd", "h 125" + ",100" * 15 + " 50"),
              (BOOT_DONE_US + 5000, "cmd", "a a8a8e1fc00"), (BOOT_DONE_US + 8000, "cmd", "x" * 80),
              (BOOT_DONE_US + 11000, "cmd", "c 76"), (BOOT_DONE_US + 14000, "cmd", "r 2m")]
    events += [air_read(BOOT_DONE_US + 17000 + 150 * n, 76, payload(n)) for n in range(300)]
    events += [(BOOT_DONE_US + 80000, "cmd", "?")] * 100 + [(BOOT_DONE_US + 400000, "dip")]
    run = board.run(events, end=BOOT_DONE_US + 1000000)
    return run.static, run.stack


def figures(board, name):
    print("== %s" % name)
    flash = flash_size(board.elf)
    ram, stack = stack_depth(board)
    print("Flash: %d of 32768 bytes (%.1f%%)" % (flash, 100.0 * flash / 32768))
    print("RAM: %d of 2048 bytes static (%.1f%%) + %d bytes deepest stack seen = %d, %d free"
          % (ram, 100.0 * ram / 2048, stack, ram + stack, 2048 - ram - stack))
    spacing = sustained(board, 3000)
    print("Sustained, promiscuous reads at 2 Mbps (88-character lines): all of 3000 reads printed down to %d us"
          " apart = %d reads/s" % (spacing, 1000000 // spacing))
    for gap in (150, 200):
        run, printed, lost, _ = stream(board, gap, 5000)
        seconds = (printed[-1][2] - printed[0][2]) / 1e6
        print("Saturated (a read every %d us for %.2f s): %d lines/s printed, %d reads reported in #lost lines,"
              " %d dropped by the radio's full FIFO in %d #full episodes"
              % (gap, gap * 5000 / 1e6, len(printed) / seconds, lost, len(run.missed),
                 sum(1 for text in run.texts() if text.startswith("#full "))))
    for gap in (150, 300, 500):
        absorbed, missed, full = burst(board, gap)
        print("Burst, reads %d us apart: %d printed before the first loss; dropped by the radio's FIFO: %d"
              " (%d #full lines)" % (gap, absorbed, missed, full))
    for mode, cmd in (("promiscuous", None), ("address mode (5-byte address)", "a a8a8e1fc00")):
        ends, stamps = latency(board, cmd)
        print("Latency, %s, idle line: IRQ to end of line %.1f us median (%.1f..%.1f); stamp - IRQ %.1f..%.1f us"
              % (mode, statistics.median(ends), min(ends), max(ends), min(stamps), max(stamps)))
    for gap in (150, spacing):
        exact, bounds = loaded_stamps(board, count=2000, spacing_us=gap)
        print("Stamp - IRQ, reads %d us apart with the UART busy: %d IRQ stamps %.2f..%.2f us, %d upper bounds"
              " %.2f..%.2f us" % (gap, len(exact), min(exact), max(exact), len(bounds), min(bounds, default=0),
                                  max(bounds, default=0)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build-tests", help="the CMake build folder (default build-tests)")
    args = parser.parse_args()
    os.environ.setdefault("NRF24_BOARD", os.path.join(args.build, "firmware-sim", "nrf24_board"))
    builds = [("1,000,000 baud", os.path.join(args.build, "firmware", "build", "sniffer.elf")),
              ("2,000,000 baud", os.path.join(args.build, "firmware", "build-2m", "sniffer.elf"))]
    try:
        boards = [(name, Board(elf)) for name, elf in builds]
    except BoardMissing as why:
        print("firmware_bench: %s" % why, file=sys.stderr)
        return 2
    for name, board in boards:
        figures(board, name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
