#!/usr/bin/env python3
"""Writes the seed corpus of nrf24_fuzz: one file per input, a control byte and then frames, each after a
length byte (the format nrf24_fuzz.cpp describes).

- nRF24 frames from the encoder for every payload length 0..63, with good and bad CRCs, cut short and with
  bytes after the packet; an ack cut at 0..8 bytes (CRCs left as they are);
- every catalogued MySensors vector, the payloads the heuristic refuses and the malformed ones (strictness
  "receiver"), the messages the library sends, the encrypted ones (with the key set), all taken from the
  MySensors tests (tests/e2e/test_mysensors.py), so that corpus and tests cannot drift apart;
- the sample capture (captures/sample.txt) as sequences of eight frames;
- frames behind sniffer headers: each item of the header tests, the malformed headers, and MySensors messages
  behind the documented example header (tests/e2e/test_sniffer_header.py); the records of the second sample
  (captures/sample-sniffer.pcapng, a hopping capture) as sequences of eight;
- the RF24Network vectors (tests/vectors/rf24network/vectors.txt, read by the RF24Network tests) as sequences
  of eight frames, with their CRCs repaired, under each strictness (bit 3).
Frames with bad CRCs or cut short, the refused and the encrypted payloads ask for the frames as they are;
the others for repaired CRCs and MySensors headers and strictness "receiver", which keep more of their
mutations MySensors messages.

usage: make_corpus.py DIR   (writes DIR/<name>; run from anywhere)
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import nrf24_encode  # noqa: E402
import test_mysensors as mys  # noqa: E402
import test_rf24network as rf24  # noqa: E402
import test_sniffer_header as sniffer  # noqa: E402
from test_extcap import capture_blocks  # noqa: E402

HEADER_BITS = 49  # address and control field
HEADER_BYTES = 7
AS_IS, REPAIR, SENDER, KEY, SNIFFER, REPAIR_CRC = 0x00, 0x01, 0x08, 0x10, 0x40, 0x80
MYSENSORS_ADDRESS = bytes.fromhex(mys.GATEWAY)


def sequence(control, frames):
    """One input: the control byte, then each frame after its length."""
    return bytes([control]) + b"".join(bytes([len(frame)]) + frame for frame in frames)


def nrf24_frames():
    """(name, frame) for every payload length, the same on every run."""
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


def mysensors(payload_hex):
    return nrf24_encode.encode_frame(addr=MYSENSORS_ADDRESS, payload=bytes.fromhex(payload_hex))


def inputs():
    """(name, input) for the whole corpus."""
    for name, frame in nrf24_frames():
        control = REPAIR if name.endswith(("good", "extra")) else AS_IS | SENDER
        yield name, sequence(control, [frame])
    for row in mys.VECTORS:
        yield "mys-" + row[0].replace(" ", "-"), sequence(REPAIR, [mysensors(row[2])])
    for name, payload, *_ in mys.TestHeuristic.SENDER_RULES + mys.TestHeuristic.REFUSED:
        yield ("mys-refused-" + name.replace(" ", "-").replace(":", ""),
               sequence(AS_IS | SENDER, [mysensors(payload)]))
    for number, (payload, _, _) in enumerate(mys.TestMalformed.CASES):
        yield "mys-malformed-%d" % number, sequence(AS_IS, [mysensors(payload)])
    for number, (_, payload, _, _, _) in enumerate(mys.TestValues.CASES):
        yield "mys-value-%d" % number, sequence(REPAIR, [mysensors(payload)])
    for name, payload, _ in mys.DECRYPTION_CASES:
        yield "mys-encrypted-" + name.replace(" ", "-"), sequence(AS_IS | SENDER | KEY,
                                                                 [mysensors(payload)])
    messages = mys.library_messages()
    for start in range(0, len(messages), 8):
        yield "mys-library-%04d" % start, sequence(REPAIR,
                                                   [mysensors(m.hex()) for m in messages[start:start + 8]])
    with open(os.path.join(HERE, "..", "captures", "sample.txt")) as f:
        lines = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    for start in range(0, len(lines), 8):
        yield "sample-%02d" % start, sequence(AS_IS,
                                              [nrf24_encode.parse_frame(line)[1] for line in lines[start:start + 8]])
    for number, (kwargs, _, _) in enumerate(sniffer.ITEMS):
        record = sniffer.sh.sniffer_header(**kwargs) + mysensors(mys.VECTORS[0][2])
        yield "sniffer-item-%02d" % number, sequence(SNIFFER | REPAIR, [record])
    for name, record, _, _, _ in sniffer.BAD_HEADERS:
        yield "sniffer-bad-" + name.replace(" ", "-"), sequence(SNIFFER, [record])
    example = sniffer.sh.sniffer_header(**sniffer.EXAMPLE)
    yield "sniffer-example-library", sequence(SNIFFER | REPAIR,
                                              [example + mysensors(m.hex()) for m in messages[:8]])
    with open(os.path.join(HERE, "..", "captures", "sample-sniffer.pcapng"), "rb") as f:
        records = [data[len(sniffer.sh.EXPORTED_PDU_TAGS):] for _, data in capture_blocks(f.read())[0]]
    for start in range(0, len(records), 8):
        yield "sample-sniffer-%02d" % start, sequence(SNIFFER, records[start:start + 8])
    frames = [nrf24_encode.encode_frame(addr=bytes.fromhex(f.addr), payload=bytes.fromhex(f.payload))
              for f in rf24.FRAMES]
    for start in range(0, len(frames), 8):
        control = REPAIR_CRC | (0 if start // 8 % 2 else SENDER)
        yield "rf24network-%03d" % start, sequence(control, frames[start:start + 8])

def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    os.makedirs(argv[1], exist_ok=True)
    for name, data in inputs():
        with open(os.path.join(argv[1], name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
