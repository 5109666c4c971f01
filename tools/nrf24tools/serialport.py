"""Talk to a sniffer board over its serial line (doc/sniffer-protocol.md) and turn what it prints into frames.

The line source of a serial port (or any tty, pipe or file descriptor that behaves like one), of a stream, and
of a recorded session played in real time; the loop that feeds lines to the recovery and reports status lines.
"""

import errno
import os
import select
import time

from . import lineproto, recover

DEFAULT_BAUD = 1000000
MAX_LINE = 140  # the longest line the protocol allows, line end included
# A board that says nothing for POLL_AFTER seconds is asked for its status ("?"); one that still says
# nothing SILENT_AFTER seconds after its last line is taken as gone.
POLL_AFTER = 2.0
SILENT_AFTER = 5.0
# A board that resets when its port is opened prints its boot line within this time; one that does not
# reset may print nothing: the commands go out after it anyway.
BOOT_WAIT = 2.0


class SnifferError(Exception):
    """The capture cannot go on: the one-line reason."""


def now_usec():
    return time.time_ns() // 1000


def split_lines(fd, buffered, timeout):
    """Read what fd has within timeout; (complete lines, what is left). EOF and read errors raise
    SnifferError; a line over MAX_LINE characters is returned cut, to be reported as bad."""
    ready, _, _ = select.select([fd], [], [], timeout)
    if not ready:
        return [], buffered
    try:
        chunk = os.read(fd, 4096)
    except OSError as err:
        if err.errno == errno.EAGAIN:
            return [], buffered
        raise SnifferError("sniffer gone: %s" % (err.strerror or err)) from None
    if not chunk:
        raise SnifferError("sniffer gone: end of input")
    buffered += chunk
    lines = buffered.split(b"\n")
    buffered = lines.pop()
    if len(buffered) > MAX_LINE:
        lines.append(buffered)
        buffered = b""
    return lines, buffered


def open_port(path, baud):
    """A serial port (or a pseudo-terminal that plays one) opened raw at baud: (file descriptor, write, close).
    Errors raise SnifferError."""
    try:
        import serial  # Debian's python3-serial; only a capture from a port needs it
    except ImportError:
        raise SnifferError("%s: python3-serial is missing (apt-get install python3-serial)" % path) from None
    try:
        port = serial.Serial(path, baud, timeout=0, write_timeout=2)
    except (serial.SerialException, OSError, ValueError) as err:
        errnum = getattr(err, "errno", None)
        raise SnifferError("cannot open %s: %s" % (path, os.strerror(errnum) if errnum else err)) from None

    def write(data):
        try:
            port.write(data)
            port.flush()
        except (serial.SerialException, OSError) as err:
            raise SnifferError("sniffer gone: %s" % (getattr(err, "strerror", None) or err)) from None
    return port.fileno(), write, port.close


def port_lines(fd, write, settings):
    """(host time in microseconds, line) from a board on fd, after sending it the commands settings.

    Everything up to the first line end is dropped (the port may have been opened mid-line); the commands
    go out at that line end, or after BOOT_WAIT. A silent board is polled and, if it stays silent, a
    SnifferError ends the stream."""
    buffered = b""
    started = time.monotonic()
    sent = synced = polled = False
    last_heard = started
    while True:
        now = time.monotonic()
        if not sent:
            wait = BOOT_WAIT - (now - started)
            if wait <= 0:
                for command in settings:
                    write((command + "\n").encode())
                sent = True
                last_heard = now
                continue
        else:
            quiet = now - last_heard
            if quiet >= SILENT_AFTER:
                raise SnifferError("sniffer silent: no line for %g s, not even an answer to '?'" % SILENT_AFTER)
            if quiet >= POLL_AFTER and not polled:
                write(b"?\n")
                polled = True
            wait = (SILENT_AFTER if polled else POLL_AFTER) - quiet
        lines, buffered = split_lines(fd, buffered, max(wait, 0.0))
        if not lines:
            continue
        stamp = now_usec()
        if not synced:
            lines.pop(0)
            synced = True
        if not sent:
            for command in settings:
                write((command + "\n").encode())
            sent = True
        last_heard = time.monotonic()
        polled = False
        for line in lines:
            yield stamp, line


def stream_lines(stream):
    """(host time in microseconds, line) for every line of a binary stream, as it is read."""
    for line in stream:
        yield now_usec(), line.rstrip(b"\n")


def played_lines(path, loops=None):
    """(host time, line) from a recorded session, each read at the moment its board clock says, over and
    over (loops times, or for ever), the board clock running on across the repeats as a board's would."""
    with open(path, "rb") as f:
        lines = [line.rstrip(b"\n") for line in f if line.strip() and not line.startswith(b"# ")]
    clocks = []
    for line in lines:
        parsed = lineproto.parse_line(line.decode("ascii"))
        clocks.append(parsed.clock if isinstance(parsed, lineproto.Read) else None)
    timer = recover.Clock()
    unwrapped = [None if clock is None else timer.stamp(clock, 0) for clock in clocks]
    first = next(u for u in unwrapped if u is not None)
    period = max(u for u in unwrapped if u is not None) - first + 1000000
    start = time.monotonic()
    played = 0
    while loops is None or played < loops:
        for line, clock, at in zip(lines, clocks, unwrapped):
            if clock is None:
                if played == 0:
                    yield now_usec(), line
                continue
            due = played * period + at - first
            delay = start + due / 1e6 - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            if played:
                line = b"%08x%s" % ((clock + played * period) % lineproto.WRAP, line[8:])
            yield now_usec(), line
        played += 1


class Session:
    """Feeds lines to a Recovery; frames go to on_frame(stamp, frame), what the user should hear to
    on_message(text, kind), kind being settings, lost, error, unknown or skipped."""

    def __init__(self, recovery, on_frame, on_message, stop_on_error):
        self.recovery = recovery
        self.on_frame = on_frame
        self.on_message = on_message
        self.stop_on_error = stop_on_error
        self.settings = None
        self.lost = 0

    def line(self, stamp, raw, where=""):
        """One line from the board (bytes). A line the protocol does not allow raises LineError; one that
        ends the capture, SnifferError."""
        try:
            text = raw.decode("ascii")
        except UnicodeDecodeError as err:
            raise lineproto.LineError("not text: byte 0x%02x at column %d" % (raw[err.start], err.start + 1)) \
                from None
        parsed = lineproto.parse_line(text)
        if parsed is None:
            return
        if isinstance(parsed, lineproto.Read):
            short = self.recovery.short_address
            for frame in self.recovery.read(parsed, stamp):
                self.on_frame(*frame)
            if self.recovery.short_address > short and short == 0:
                self.on_message("%saddress-mode reads with a %d-byte address skipped: the frames here have "
                                "5-byte addresses" % (where, len(parsed.address)), "skipped")
            return
        word, text = parsed
        if word == "sniffer":
            if text != self.settings:
                self.settings = text
                self.on_message("%ssniffer: %s" % (where, text), "settings")
        elif word == "lost":
            self.lost += int(text) if text.isdigit() else 0
            self.on_message("%ssniffer lost %s reads (its output was full), %d in all" % (where, text, self.lost), "lost")
        elif word == "error":
            if self.stop_on_error:
                raise SnifferError("sniffer error: %s" % text)
            self.on_message("%ssniffer error: %s" % (where, text), "error")
        else:
            self.on_message("%sunknown status line: #%s %s" % (where, word, text), "unknown")
