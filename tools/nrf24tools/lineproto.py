"""The sniffer's line protocol (doc/sniffer-protocol.md): its lines parsed and printed, and the commands for a
set of options."""

import collections
import re

READ_BYTES = 32
READ_BITS = 8 * READ_BYTES
WRAP = 1 << 32                          # the board's microsecond clock is 32 bits
RATES = ("250k", "1m", "2m")
PREAMBLES = ("aa", "55")
# Version 2 appends the rate, the RPD bit and the stamp kind; later versions may append more.
READ_LINE = re.compile(r"([0-9a-f]{8}) (\d{1,3}) ([pa]) ((?:[0-9a-f]{2})+)(?: (250k|1m|2m) ([01-]) ([iu])(?: .*)?)?")
STATUS_WORD = re.compile(r"#([a-z]+)(?: (.*))?")
HEX_ADDRESS = re.compile(r"(?:[0-9a-fA-F]{2}){3,5}")
HOP_LIST = re.compile(r"\d{1,3}(?:,\d{1,3}){0,15}")


class LineError(ValueError):
    """A line that is not what the line protocol allows."""


class OptionError(ValueError):
    """An option value the board would refuse."""


# A read; rate, rpd (1, 0, None: unknown) and stamp ("i", "u") only in version 2, else None.
Read = collections.namedtuple("Read", "clock channel mode address data rate rpd stamp", defaults=(None, None, None))
Status = collections.namedtuple("Status", "word text")


def parse_line(text):
    """One line of the protocol to a Read, a Status, or None for an empty line."""
    text = text.rstrip("\r\n")
    if not text:
        return None
    if text.startswith("#"):
        match = STATUS_WORD.fullmatch(text)
        if not match:
            raise LineError("status line without a word: %r" % text[:40])
        return Status(match.group(1), match.group(2) or "")
    match = READ_LINE.fullmatch(text)
    if not match:
        raise LineError("not a read: %r" % text[:40])
    clock, channel, mode, hexed, rate, rpd, stamp = match.groups()
    if int(channel) > 125:
        raise LineError("channel %s is not 0..125" % channel)
    data = bytes.fromhex(hexed)
    address = b""
    if mode == "a":
        address, data = data[:-READ_BYTES], data[-READ_BYTES:]
        if not 3 <= len(address) <= 5:
            raise LineError("address mode read of %d bytes: expected 3 to 5 address bytes and %d bytes"
                            % (len(address) + len(data), READ_BYTES))
    elif len(data) != READ_BYTES:
        raise LineError("promiscuous read of %d bytes, expected %d" % (len(data), READ_BYTES))
    return Read(int(clock, 16), int(channel), mode, address, data, rate,
                None if rpd in (None, "-") else int(rpd), stamp)


def settings(text):
    """The key=value words of a status line's text as a dict (words without '=' are left out)."""
    return dict(word.split("=", 1) for word in text.split() if "=" in word)


def read_line(clock, channel, data, address=b""):
    """One read as the board prints it."""
    return "%08x %d %s %s" % (clock % WRAP, channel, "a" if address else "p", (address + data).hex())


def commands(channel=None, rate=None, preamble=None, address=None, hop=None, dwell=None):
    """The command lines that put the board into these settings (None leaves a setting as it is)."""
    out = []
    if rate is not None:
        if rate not in RATES:
            raise OptionError("rate %r is not one of %s" % (rate, ", ".join(RATES)))
        out.append("r " + rate)
    if address is not None:
        if not HEX_ADDRESS.fullmatch(address):
            raise OptionError("address %r is not 3 to 5 bytes of hex" % address)
        out.append("a " + address.lower())
    elif preamble is not None:
        if preamble not in PREAMBLES:
            raise OptionError("preamble %r is not aa or 55" % preamble)
        out.append("p " + preamble)
    if hop:
        if not HOP_LIST.fullmatch(hop) or any(int(ch) > 125 for ch in hop.split(",")):
            raise OptionError("hop list %r is not 1 to 16 channels 0..125 separated by commas" % hop)
        if dwell is None or not 1 <= dwell <= 60000:
            raise OptionError("dwell %r is not 1..60000 ms" % dwell)
        out.append("h %s %d" % (hop, dwell))
    elif channel is not None:
        if not 0 <= channel <= 125:
            raise OptionError("channel %d is not 0..125" % channel)
        out.append("c %d" % channel)
    return out
