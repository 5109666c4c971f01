"""Runs the sniffer firmware on the simulated board (firmware/sim/nrf24_board.c).

A run takes a list of events at simulated times in microseconds since reset and
returns what the board printed and what happened to its radio:

    run = Board().run([(150000, "cmd", "c 5"), air_read(152000, 5, bytes(32)), (160000, "dump")], end=161000)
    run.lines           [(first_us, last_us, text)] lines on the UART
    run.dumps           [(t_us, {REG: int or bytes})] register dumps
    run.writes          [(t_us, REG, bytes)] W_REGISTER transactions
    run.heard, run.missed   [(t_us, ch)], [(t_us, ch, why)] injected reads: t_us is the read's IRQ
                        (the end of its window), or when it was lost
    run.faults          [(t_us, text)] datasheet rules the firmware broke (timing, pull-ups, pins)
    run.stack, run.static   RAM: the deepest the firmware's stack went, .data + .bss (bytes)
    run.asleep          CPU cycles spent asleep since the last event before the end

Every read the tests put on the air comes from air_read(), the one place that
describes a read for the simulated radio; air_model_reads() turns the reads of
the air model (tools/nrf24tools/air.py) into such events.
"""

import os
import subprocess
import tempfile

# The radio ignores SPI for 100 ms after power-on: the firmware sets it up after 131 ms (4 clock overflows),
# and the boot status line is out well before this.
BOOT_DONE_US = 140000
WINDOW_US = {"250k": 1024, "1m": 256, "2m": 128}   # a read's 256 bits at each rate


class BoardMissing(Exception):
    """The firmware or the simulator was not built (no AVR toolchain or simavr)."""


def air_read(t_us, channel, data, rate=None, rpd=1):
    """A read on the air: a frame's address matches at t_us on channel, and the radio reads the 32 bytes
    that follow in the window it opens (256 bits at its rate); rate: what the frame is sent at (None: the
    radio's, whatever it is), rpd: its power is above -64 dBm."""
    assert len(data) == 32
    return (t_us, "read", channel, bytes(data), rate, rpd)


def air_model_reads(reads, offset_us):
    """The events for the reads of the air model (tools/nrf24tools/air.py, Radio.reads: each read's window
    start, channel, rate, 32 bytes and RPD), offset_us later."""
    return [air_read(offset_us + read.start, read.channel, read.data, rate=read.rate, rpd=read.rpd) for read in reads]


class Run:
    def __init__(self, output):
        self.lines, self.dumps, self.writes, self.heard, self.missed, self.faults = [], [], [], [], [], []
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
            elif kind == "missed":
                stamp, ch, why = rest.split(" ")
                self.missed.append((float(stamp), int(ch), why))
            elif kind == "fault":
                stamp, text = rest.split(" ", 1)
                self.faults.append((float(stamp), text))
            elif kind == "end":
                fields = dict(word.split("=") for word in rest.split()[1:])
                self.stack, self.static = int(fields["stack"]), int(fields["static"])
                self.asleep = int(fields["asleep"])

    def texts(self):
        return [text for _, _, text in self.lines]


class Board:
    def __init__(self, elf=None):
        missing = os.environ.get("NRF24_FIRMWARE_MISSING")
        if missing:
            raise BoardMissing(missing)
        self.elf = elf or os.environ.get("NRF24_FIRMWARE_ELF")
        self.sim = os.environ.get("NRF24_BOARD")
        if not (self.elf and self.sim and os.path.exists(self.elf) and os.path.exists(self.sim)):
            raise BoardMissing("firmware or simulated board not built (NRF24_FIRMWARE_ELF, NRF24_BOARD; "
                               "configure with -DNRF24_BUILD_TESTS=ON and build)")

    def run(self, events, end, no_radio=None, seed=1, mcusr=None, optiboot=None, no_250k=False, radio_on=None,
            timeout=600):
        """Events: air_read(...), (t_us, "cmd", text), (t_us, "send", text), (t_us, "dip"), (t_us, "dump").

        "cmd" sends text and a line end, "send" the text alone, "dip" resets the radio alone (its supply
        dipped). seed: the garbage in the AVR's registers and RAM at power-on; mcusr: its reset flags
        (default power-on; without it the radio kept its supply); optiboot: the flags as Optiboot hands
        them over (MCUSR cleared, in r2); no_250k: an nRF24L01 without the +; radio_on: when the radio's
        supply comes up (us)."""
        script = []
        for event in sorted(events, key=lambda e: e[0]):
            t, kind = event[0], event[1]
            if kind == "read":
                _, _, channel, data, rate, rpd = event
                script.append("%s read %d %s%s rpd=%d" % (t, channel, data.hex(), " rate=" + rate if rate else "",
                                                           rpd))
            elif kind in ("cmd", "send"):
                script.append("%s %s %s" % (t, kind, event[2]))
            else:
                script.append("%s %s" % (t, kind))
        script.append("%s end" % end)
        options = ["--seed", str(seed)]
        if no_radio:
            options += ["--no-radio", no_radio]
        if mcusr is not None:
            options += ["--mcusr", str(mcusr)]
        if optiboot is not None:
            options += ["--optiboot", str(optiboot)]
        if no_250k:
            options += ["--no-250k"]
        if radio_on is not None:
            options += ["--radio-on", str(radio_on)]
        with tempfile.NamedTemporaryFile("w", suffix=".script") as f:
            f.write("\n".join(script) + "\n")
            f.flush()
            done = subprocess.run([self.sim] + options + [self.elf, f.name], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=timeout, universal_newlines=True)
        if done.returncode != 0:
            raise RuntimeError("nrf24_board failed (%d): %s" % (done.returncode, done.stderr.strip()))
        return Run(done.stdout)
