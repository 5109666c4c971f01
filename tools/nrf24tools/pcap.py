"""Capture files: pcapng (interface description, drop counts) or classic pcap records of nRF24 frames, and
output that never leaves a partial file."""

import contextlib
import os
import struct
import sys
import tempfile

LINKTYPE_USER0 = 147
LINKTYPE_EXPORTED_PDU = 252
LINKTYPES = {"user0": LINKTYPE_USER0, "exported-pdu": LINKTYPE_EXPORTED_PDU}
LINK_HELP = ("pcap link type: user0 (DLT 147, needs the user_dlts mapping) or "
             "exported-pdu (252, tagged nrf24, opens with no set-up)")
EXP_PDU_TAG_DISSECTOR_NAME = 12
# Exported-PDU records start with the tag that names the dissector, then the end tag.
EXPORTED_PDU_HEADER = struct.pack(">HH5sHH", EXP_PDU_TAG_DISSECTOR_NAME, 5, b"nrf24", 0, 0)
SNAPLEN = 65535


def pcap_header(linktype):
    """The header of a classic pcap file (microsecond time stamps)."""
    return struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, SNAPLEN, linktype)


def pcap_record(usec, frame, linktype):
    """One pcap record; an exported-PDU record is tagged with the dissector name "nrf24"."""
    return pcap_data_record(usec, (EXPORTED_PDU_HEADER if linktype == LINKTYPE_EXPORTED_PDU else b"") + frame)


def pcap_data_record(usec, data):
    """One pcap record of data as it is."""
    return struct.pack("<IIII", usec // 1000000, usec % 1000000, len(data), len(data)) + data


def pcap_bytes(frames, linktype=LINKTYPE_USER0):
    """A classic pcap file of (time stamp in microseconds, frame) records."""
    return pcap_header(linktype) + b"".join(pcap_record(stamp, frame, linktype) for stamp, frame in frames)


BLOCK_SHB, BLOCK_IDB, BLOCK_ISB, BLOCK_EPB = 0x0A0D0D0A, 1, 5, 6
OPT_SHB_USERAPPL, OPT_IF_NAME, OPT_IF_DESCRIPTION, OPT_IF_TSRESOL, OPT_IF_HARDWARE = 4, 2, 3, 9, 15
OPT_ISB_STARTTIME, OPT_ISB_ENDTIME, OPT_ISB_IFRECV, OPT_ISB_IFDROP = 2, 3, 4, 5
FORMATS = ("pcapng", "pcap")


def pcapng_options(options):
    """Options as (code, bytes value): each padded to 4 bytes, then the end of options."""
    out = b"".join(struct.pack("<HH", code, len(value)) + value + bytes(-len(value) % 4) for code, value in options)
    return out + struct.pack("<HH", 0, 0) if options else b""


def pcapng_block(kind, body):
    length = 12 + len(body)
    return struct.pack("<II", kind, length) + body + struct.pack("<I", length)


def pcapng_section(application):
    """A section header block naming the application."""
    return pcapng_block(BLOCK_SHB, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1) +
                        pcapng_options([(OPT_SHB_USERAPPL, application.encode())]))


def pcapng_interface(linktype, name, description, hardware=None):
    """An interface description block with microsecond time stamps."""
    options = [(OPT_IF_NAME, name.encode()), (OPT_IF_DESCRIPTION, description.encode()), (OPT_IF_TSRESOL, b"\x06")]
    if hardware:
        options.append((OPT_IF_HARDWARE, hardware.encode()))
    return pcapng_block(BLOCK_IDB, struct.pack("<HHI", linktype, 0, SNAPLEN) + pcapng_options(options))


def _usec_pair(usec):
    return struct.pack("<II", usec >> 32, usec & 0xFFFFFFFF)


def pcapng_packet(usec, data):
    """An enhanced packet block on interface 0."""
    return pcapng_block(BLOCK_EPB, struct.pack("<I", 0) + _usec_pair(usec) + struct.pack("<II", len(data), len(data))
                        + data + bytes(-len(data) % 4))


def pcapng_statistics(usec, start, end, received, dropped):
    """An interface statistics block for interface 0: reads received and dropped between start and end."""
    return pcapng_block(BLOCK_ISB, struct.pack("<I", 0) + _usec_pair(usec) + pcapng_options([
        (OPT_ISB_STARTTIME, _usec_pair(start)), (OPT_ISB_ENDTIME, _usec_pair(end)),
        (OPT_ISB_IFRECV, struct.pack("<Q", received)), (OPT_ISB_IFDROP, struct.pack("<Q", dropped))]))


class Writer:
    """Records to a binary stream, each flushed at once: pcapng (the section header at once, the interface
    description once its text is known, given by interface(); statistics at the end) or classic pcap."""

    def __init__(self, out, form, linktype, application):
        self.out = out
        self.form = form
        self.linktype = linktype
        self.described = False
        self.first = self.last = None
        self.write(pcapng_section(application) if form == "pcapng" else pcap_header(linktype))

    def write(self, data):
        self.out.write(data)
        self.out.flush()

    def interface(self, name, description, hardware=None):
        if self.form == "pcapng" and not self.described:
            self.write(pcapng_interface(self.linktype, name, description, hardware))
        self.described = True

    def packet(self, usec, data):
        """One record (data: what follows the link layer header, e.g. the exported-PDU tags and the frame)."""
        if self.first is None:
            self.first = usec
        self.last = usec
        self.write(pcapng_packet(usec, data) if self.form == "pcapng" else pcap_data_record(usec, data))

    def statistics(self, usec, received, dropped):
        if self.form == "pcapng" and self.described:
            self.write(pcapng_statistics(usec, self.first or usec, self.last or usec, received, dropped))


@contextlib.contextmanager
def atomic_output(path):
    """A binary stream to path, or stdout for "-". A file is written under a temporary name and renamed
    once the block ends normally, so no partial file is ever left; on an exception it is removed."""
    if path == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".nrf24-")
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
