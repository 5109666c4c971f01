"""Talk to a sniffer board over its serial line (doc/sniffer-protocol.md) and turn what it prints into frames.

The line source of a serial port (or any tty, pipe or file descriptor that behaves like one), of a stream, and
of a recorded session played in real time; the loop that feeds lines to the recovery and reports status lines.
"""

import errno
import os
import select
import time

from . import air, lineproto, pcap, recover

try:
    from . import sniffer_header
except ImportError:  # without the header's encoder, frames are written as the nrf24 module takes them
    sniffer_header = None

DEFAULT_BAUD = 1000000
MAX_LINE = 140  # the longest line the protocol allows, line end included
# A board that says nothing for POLL_AFTER seconds is asked for its status ("?"); one that still says
# nothing SILENT_AFTER seconds after its last line is taken as gone.
POLL_AFTER = 2.0
SILENT_AFTER = 5.0
# A board that resets when its port is opened prints its boot line within this time; one that does not
# reset may print nothing: the commands go out after it anyway.
BOOT_WAIT = 2.0
# A command that gets no answer within this time is taken as lost, and the next one goes out.
ANSWER_WAIT = 1.0
VERSION_COMMAND = "v 2"
IDLE_TICK = 0.25


# The per-frame flags of reads that may be missing (doc/sniffer-header.md's lost-reads item).
LOST_FIFO_FULL, LOST_RADIO_RESET, LOST_BOARD_RESET = 0x01, 0x02, 0x04
STAMP_KINDS = {None: 0, "i": 1, "u": 2}
RATE_NAMES = {"250k": "250 kbps", "1m": "1 Mbps", "2m": "2 Mbps"}
# What a board that speaks only version 1 answers to "v 2".
VERSION_REFUSED = 'command: unknown command "v 2"'


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
    """(host time in microseconds, line) from a board on fd, after sending it "v 2" and the commands settings;
    (host time, None) after IDLE_TICK seconds without a line.

    The first line is dropped unless it is a whole line of the protocol: the port may have been opened
    mid-line. The commands go out one at a time, the first at the first line end (or after BOOT_WAIT), each
    next one once the board answered the one before (its #sniffer or #error line) or after ANSWER_WAIT; a
    board without version 2 refuses "v 2" and goes on in version 1. After a #boot line (the board restarted
    with its defaults) they go out again once the board says its settings. A silent board is polled and, if
    it stays silent, a SnifferError ends the stream."""
    commands = [VERSION_COMMAND] + list(settings)
    queue = []
    answer_due = time.monotonic() + BOOT_WAIT
    buffered = b""
    started = synced = polled = False
    last_heard = time.monotonic()

    def send_next():
        nonlocal answer_due
        answer_due = None
        if queue:
            write((queue.pop(0) + "\n").encode())
            answer_due = time.monotonic() + ANSWER_WAIT

    while True:
        now = time.monotonic()
        if answer_due is not None and now >= answer_due:
            if not started:
                queue[:] = commands
                started = True
                last_heard = now
            send_next()
            continue
        quiet = now - last_heard
        if started and quiet >= SILENT_AFTER:
            raise SnifferError("sniffer silent: no line for %g s, not even an answer to '?'" % SILENT_AFTER)
        if started and quiet >= POLL_AFTER and not polled:
            write(b"?\n")
            polled = True
        wait = min((SILENT_AFTER if polled else POLL_AFTER) - quiet, IDLE_TICK)
        if answer_due is not None:
            wait = min(wait, answer_due - now)
        lines, buffered = split_lines(fd, buffered, max(wait, 0.0))
        if not lines:
            yield now_usec(), None
            continue
        stamp = now_usec()
        if not synced:
            synced = True
            if not whole_line(lines[0]):
                lines.pop(0)
            if not started:
                queue[:] = commands
                started = True
                send_next()
        last_heard = time.monotonic()
        polled = False
        for line in lines:
            if line.startswith(b"#boot"):
                queue[:] = commands
                answer_due = time.monotonic() + BOOT_WAIT
            elif line.startswith((b"#sniffer", b"#error command")) and answer_due is not None:
                send_next()
            yield stamp, line


def whole_line(raw):
    """Whether raw is a line the protocol allows: the first line of a port opened mid-line is not."""
    try:
        lineproto.parse_line(raw.decode("ascii"))
    except (UnicodeDecodeError, lineproto.LineError):
        return False
    return True


def list_ports():
    """The serial ports pyserial finds on a bus (USB, PCI: not the legacy ports every PC lists), as (device,
    description), sorted; none without pyserial."""
    try:
        from serial.tools import list_ports as ports
    except ImportError:
        return []
    return sorted((port.device, port.description) for port in ports.comports() if port.hwid not in (None, "n/a"))


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
    unwrapped = [None if clock is None else timer.stamp(clock, 0)[0] for clock in clocks]
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
    """Feeds lines to a Recovery; each frame goes to on_frame(time stamp, record data) as the capture
    carries it (by linktype: the frame alone, or exported-PDU tags and the frame, with the sniffer header of
    doc/sniffer-header.md when the header's encoder is there); what the user should hear goes to
    on_message(text, kind), kind being settings, lost, boot, error, unknown or skipped.

    It keeps what a capture says about the sniffer: its settings and firmware (the last #sniffer line), the
    reads it took (printed or lost) and lost (#lost), and what may be missing before each frame."""

    def __init__(self, recovery, on_frame, on_message, stop_on_error, linktype=pcap.LINKTYPE_EXPORTED_PDU,
                 sniffer=None, baud=None):
        self.recovery = recovery
        self.on_frame = on_frame
        self.on_message = on_message
        self.stop_on_error = stop_on_error
        self.linktype = linktype
        self.sniffer = sniffer
        self.baud = baud
        self.settings = None
        self.values = {}
        self.lost = 0
        self.reads = 0
        self.lost_before = (0, 0)

    def line(self, stamp, raw, where=""):
        """One line from the board (bytes), or None when the board said nothing for a while. A line the
        protocol does not allow raises LineError; one that ends the capture, SnifferError."""
        if raw is None:
            self.give(self.recovery.expire(stamp))
            return
        try:
            text = raw.decode("ascii")
        except UnicodeDecodeError as err:
            raise lineproto.LineError("not text: byte 0x%02x at column %d" % (raw[err.start], err.start + 1)) \
                from None
        parsed = lineproto.parse_line(text)
        if parsed is None:
            return
        if isinstance(parsed, lineproto.Read):
            self.reads += 1
            short = self.recovery.short_address
            self.give(self.recovery.read(parsed, stamp))
            if self.recovery.short_address > short and short == 0:
                self.on_message("%saddress-mode reads with a %d-byte address skipped: the frames here have "
                                "5-byte addresses" % (where, len(parsed.address)), "skipped")
            return
        word, text = parsed
        count, flags = self.lost_before
        if word == "sniffer":
            self.values = lineproto.settings(text)
            self.recovery.rate = self.values.get("rate", self.recovery.rate)
            if text != self.settings:
                self.settings = text
                self.on_message("%ssniffer: %s" % (where, text), "settings")
        elif word == "lost":
            lost = int(text) if text.isdigit() else 0
            self.lost += lost
            self.reads += lost
            self.lost_before = (count + lost, flags)
            self.on_message("%ssniffer lost %s reads (its output was full), %d in all" % (where, text, self.lost), "lost")
        elif word == "boot":
            self.recovery.clock.reset()
            self.lost_before = (count, flags | LOST_BOARD_RESET)
            self.on_message("%ssniffer restarted (%s): its clock starts again" % (where, text), "boot")
        elif word == "full":
            self.lost_before = (count, flags | LOST_FIFO_FULL)
        elif word == "radio":
            self.lost_before = (count, flags | LOST_RADIO_RESET)
            self.on_message("%ssniffer's radio reset by itself (%s): reads may be missing" % (where, text), "lost")
        elif word == "error":
            if text == VERSION_REFUSED:
                self.on_message("%ssniffer speaks line protocol version 1 only" % where, "settings")
            elif self.stop_on_error:
                raise SnifferError("sniffer error: %s" % text)
            else:
                self.on_message("%ssniffer error: %s" % (where, text), "error")
        else:
            self.on_message("%sunknown status line: #%s %s" % (where, word, text), "unknown")

    def finish(self):
        """The frames still waiting for the next read, at the end of the input."""
        self.give(self.recovery.flush())

    def give(self, recovered):
        for frame in recovered:
            self.on_frame(frame.stamp, self.record_data(frame))
            self.lost_before = (0, 0)

    def record_data(self, frame):
        if self.linktype != pcap.LINKTYPE_EXPORTED_PDU:
            return frame.frame
        if sniffer_header is None:
            return pcap.EXPORTED_PDU_HEADER + frame.frame
        read = frame.read
        rate = read.rate or self.recovery.rate
        kbps = round(1000 * air.BITS_PER_US[rate])
        if read.mode == "a":
            mode, offset = (sniffer_header.MODE_ADDRESS, len(read.address)), 0
        else:
            mode, offset = (sniffer_header.MODE_PROMISCUOUS, int(self.values.get("pre", "aa"), 16)), frame.offset
        window = ((read.clock - lineproto.READ_BITS * 1000 // kbps) % lineproto.WRAP, read.clock,
                  STAMP_KINDS[read.stamp])
        return sniffer_header.EXPORTED_PDU_TAGS + sniffer_header.sniffer_header(
            channel=read.channel, rate_kbps=kbps, mode=mode, bit_offset=offset, read_window=window,
            board_clock=frame.board, taken=frame.taken, ack=frame.ack, lost=self.lost_before, rpd=read.rpd,
            sniffer=self.sniffer) + frame.frame

    def describe(self, writer):
        """Give the writer the interface: the sniffer's port and what description() says."""
        writer.interface("nrf24 sniffer %s" % (self.sniffer or "recorded"), self.description())

    def description(self):
        """The sniffer, its firmware and settings as the interface description of a capture says them."""
        values = self.values
        mode = ("address %s" % values.get("addr", "?") if values.get("mode") == "a"
                else "promiscuous %s" % values.get("pre", "aa"))
        hop = values.get("hop", "-")
        text = "nRF24 sniffer, firmware %s, line protocol %s" % (values.get("fw", "unknown"), values.get("v", "1"))
        if self.baud:
            text += ", %d baud" % self.baud
        return text + "; channel %s, %s, %s, %s" % (
            values.get("ch", "?"), RATE_NAMES.get(values.get("rate"), values.get("rate", "?")), mode,
            "no hopping" if hop == "-" else "hopping %s every %s ms" % (hop, values.get("dwell", "?")))
