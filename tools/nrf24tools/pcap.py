"""Capture files: classic pcap records of nRF24 frames, and output that never leaves a partial file."""

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
    record = (EXPORTED_PDU_HEADER if linktype == LINKTYPE_EXPORTED_PDU else b"") + frame
    return struct.pack("<IIII", usec // 1000000, usec % 1000000, len(record), len(record)) + record


def pcap_bytes(frames, linktype=LINKTYPE_USER0):
    """A classic pcap file of (time stamp in microseconds, frame) records."""
    return pcap_header(linktype) + b"".join(pcap_record(stamp, frame, linktype) for stamp, frame in frames)


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
