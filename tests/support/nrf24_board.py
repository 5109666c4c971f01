"""Runs the sniffer firmware on the simulated board (firmware/sim/nrf24_board.c).

A run takes a list of events at simulated times in microseconds since reset and
returns what the board printed and what happened to its radio:

    run = Board().run([(5000, "cmd", "c 5"), (9000, "dump")], end=10000)
    run.lines           [(first_us, last_us, text)] lines on the UART
    run.dumps           [(t_us, {REG: int or bytes})] register dumps
    run.writes          [(t_us, REG, bytes)] W_REGISTER transactions
    run.heard, run.missed   [(t_us, ch)], [(t_us, ch, why)] injected reads
    run.stack, run.static   RAM: the deepest the firmware's stack went, .data + .bss (bytes)
"""

import os
import subprocess
import tempfile

BOOT_DONE_US = 5000     # the boot status line is out well before this


class BoardMissing(Exception):
    """The firmware or the simulator was not built (no AVR toolchain or simavr)."""


class Run:
    def __init__(self, output):
        self.lines, self.dumps, self.writes, self.heard, self.missed = [], [], [], [], []
        for record in output.splitlines():
            kind, _, rest = record.partition(" ")
            if kind == "uart":
                first, last, text = rest.split(" ", 2)
                self.lines.append((float(first), float(last), text))
            elif kind == "dump":
                stamp, *regs = rest.split(" ")
                values = {}
                for reg in regs:
                    name, value = reg.split("=")
                    raw = bytes.fromhex(value)
                    values[name] = raw[0] if len(raw) == 1 else raw
                self.dumps.append((float(stamp), values))
            elif kind == "write":
                stamp, reg, value = rest.split(" ")
                self.writes.append((float(stamp), reg, bytes.fromhex(value)))
            elif kind == "heard":
                stamp, ch = rest.split(" ")
                self.heard.append((float(stamp), int(ch)))
            elif kind == "end":
                fields = dict(word.split("=") for word in rest.split()[1:])
                self.stack, self.static = int(fields["stack"]), int(fields["static"])
            elif kind == "missed":
                stamp, ch, why = rest.split(" ")
                self.missed.append((float(stamp), int(ch), why))

    def texts(self):
        return [text for _, _, text in self.lines]


class Board:
    def __init__(self):
        missing = os.environ.get("NRF24_FIRMWARE_MISSING")
        if missing:
            raise BoardMissing(missing)
        self.elf = os.environ.get("NRF24_FIRMWARE_ELF")
        self.sim = os.environ.get("NRF24_BOARD")
        if not (self.elf and self.sim and os.path.exists(self.elf) and os.path.exists(self.sim)):
            raise BoardMissing("firmware or simulated board not built (NRF24_FIRMWARE_ELF, NRF24_BOARD; "
                               "configure with -DNRF24_BUILD_TESTS=ON and build)")

    def run(self, events, end, no_radio=None, timeout=600):
        """Events: (t_us, "read", ch, 32 bytes), (t_us, "cmd", text), (t_us, "send", text), (t_us, "dump").

        "cmd" sends text and a line end, "send" the text alone."""
        script = []
        for event in sorted(events, key=lambda e: e[0]):
            t, kind = event[0], event[1]
            if kind == "read":
                script.append("%s read %d %s" % (t, event[2], event[3].hex()))
            elif kind in ("cmd", "send"):
                script.append("%s %s %s" % (t, kind, event[2]))
            else:
                script.append("%s %s" % (t, kind))
        script.append("%s end" % end)
        with tempfile.NamedTemporaryFile("w", suffix=".script") as f:
            f.write("\n".join(script) + "\n")
            f.flush()
            argv = [self.sim] + (["--no-radio", no_radio] if no_radio else []) + [self.elf, f.name]
            done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                                  universal_newlines=True)
        if done.returncode != 0:
            raise RuntimeError("nrf24_board failed (%d): %s" % (done.returncode, done.stderr.strip()))
        return Run(done.stdout)
