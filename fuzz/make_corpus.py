#!/usr/bin/env python3
"""Writes the seed corpus: frames from the encoder for every payload length 0..63,
with good and bad CRCs, cut short and with bytes after the packet.

usage: make_corpus.py DIR   (writes DIR/<name>, one frame per file)
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import nrf24_encode  # noqa: E402

HEADER_BITS = 49  # address and control field
HEADER_BYTES = 7


def frames():
    """(name, frame bytes) for the whole corpus, the same on every run."""
    for length in range(nrf24_encode.MAX_PAYLOAD + 1):
        fields = dict(addr=bytes((length, 0xE7, 0xE7, 0xE7, 0xE7 ^ length)),
                      payload=bytes((length * 37 + i) & 0xFF for i in range(length)),
                      pid=length % 4, noack=length % 2)
        good = nrf24_encode.encode_frame(**fields)
        crc = int.from_bytes(good, "big") >> (8 * len(good) - HEADER_BITS - 8 * length - 16) & 0xFFFF
        yield "len%02d-good" % length, good
        yield "len%02d-badcrc" % length, nrf24_encode.encode_frame(**fields, crc=crc ^ (1 << length % 16))
        yield "len%02d-cut%d" % (length, len(good) - 1), good[:-1]
        cut = HEADER_BYTES + length * 7 % (len(good) - HEADER_BYTES)
        yield "len%02d-cut%d" % (length, cut), good[:cut]
        yield "len%02d-extra" % length, nrf24_encode.encode_frame(**fields, extra=b"\x55" * (length % 5 + 1))
    for cut in range(HEADER_BYTES + 2):
        yield "ack-cut%d" % cut, nrf24_encode.encode_frame()[:cut]


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    os.makedirs(argv[1], exist_ok=True)
    for name, frame in frames():
        with open(os.path.join(argv[1], name), "wb") as f:
            f.write(frame)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
