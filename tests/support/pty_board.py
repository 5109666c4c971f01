"""A pseudo-terminal that behaves like the sniffer firmware (doc/sniffer-protocol.md) of version 1: it
refuses "v 2" as such a board does.

The host side opens `board.path` as its serial port. Until the host has sent `commands_before` commands the
board prints noise reads (a receiver on an empty channel), so the host finds a line end at once; it answers
every command with the #sniffer line of its new settings (or the #error line a test asks for), records the
commands, then plays its script: lines to print, ("sleep", seconds), ("unplug",) which closes the
terminal as a board pulled out does, ("mute",) after which it answers nothing.
"""

import errno
import os
import random
import select
import threading
import time
import tty

BOOT = {"ch": "76", "rate": "250k", "mode": "p", "pre": "aa", "hop": "-", "dwell": "0"}


class FakeBoard:
    def __init__(self, script, commands_before, owner=None, refuse=None, radio_error=False):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        if owner is not None:
            os.chown(self.path, owner, -1)
        # Held until the host's first command: a master without any slave open reads as closed.
        self._slave = slave
        os.set_blocking(self.master, False)
        self.script = list(script)
        self.commands_before = commands_before
        self.refuse = refuse
        self.radio_error = radio_error
        self.commands = []
        self.settings = dict(BOOT)
        self.muted = False
        self.played = threading.Event()
        self.host_closed = threading.Event()
        self._stop = threading.Event()
        self._pending = b""
        self._random = random.Random(7)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def status_line(self):
        s = self.settings
        mode = "mode=a addr=%s" % s["addr"] if s["mode"] == "a" else "mode=p pre=%s" % s["pre"]
        return "#sniffer v=1 ch=%s rate=%s %s hop=%s dwell=%s" % (s["ch"], s["rate"], mode, s["hop"], s["dwell"])

    def stop(self):
        self._stop.set()
        self._thread.join(30)
        for fd in (self.master, self._slave):
            if fd is not None:
                os.close(fd)
        self.master = self._slave = None

    def _write(self, line, drop=False):
        data = (line + "\n").encode()
        while data:
            try:
                data = data[os.write(self.master, data):]
            except BlockingIOError:
                if drop:
                    return
                select.select([], [self.master], [], 0.1)

    def _answer(self, command):
        self.commands.append(command)
        if self._slave is not None:
            os.close(self._slave)
            self._slave = None
        if self.muted:
            return
        word, _, rest = command.partition(" ")
        if word == "v":
            self._write('#error command: unknown command "%s"' % command)
            return
        if self.refuse and command.startswith(self.refuse):
            self._write("#error command: not allowed: '%s'" % command)
            return
        if self.radio_error:
            self._write("#error radio: no answer on SPI")
            return
        if word == "c":
            self.settings.update(ch=rest, hop="-", dwell="0")
        elif word == "r":
            self.settings["rate"] = rest
        elif word == "p":
            self.settings.update(mode="p", pre=rest)
        elif word == "a":
            self.settings.update(mode="a", addr=rest)
        elif word == "h":
            hop, dwell = rest.split()
            self.settings.update(hop=hop, dwell=dwell)
        self._write(self.status_line())

    def _serve(self, timeout):
        """Take the host's commands for up to timeout seconds. A host that closed the port raises OSError."""
        deadline = time.monotonic() + timeout
        while True:
            ready, _, _ = select.select([self.master], [], [], max(0.0, deadline - time.monotonic()))
            if ready:
                try:
                    chunk = os.read(self.master, 1024)
                except BlockingIOError:
                    chunk = b""
                self._pending += chunk
                *lines, self._pending = self._pending.replace(b"\r", b"\n").split(b"\n")
                for line in lines:
                    if line:
                        self._answer(line.decode())
            if time.monotonic() >= deadline:
                return

    def _run(self):
        try:
            self._write(self.status_line(), drop=True)
            while len(self.commands) < self.commands_before and not self._stop.is_set():
                self._serve(0.02)
                noise = "%08x %s p %s" % (int(time.monotonic() * 1e6) % (1 << 32), self.settings["ch"],
                                          self._random.randbytes(32).hex())
                self._write(noise, drop=True)
            for step in self.script:
                if self._stop.is_set():
                    return
                if isinstance(step, str):
                    self._serve(0)
                    self._write(step)
                elif step[0] == "sleep":
                    self._serve(step[1])
                elif step[0] == "unplug":
                    os.close(self.master)
                    self.master = None
                    self.played.set()
                    return
                elif step[0] == "mute":
                    self.muted = True
            self.played.set()
            while not self._stop.is_set():
                self._serve(0.1)
        except OSError as err:
            if err.errno in (errno.EIO, errno.EBADF):
                self.host_closed.set()
            else:
                raise
