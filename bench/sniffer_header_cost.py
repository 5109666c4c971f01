#!/usr/bin/env python3
"""What the sniffer header (nrf24_sniffer.so) adds to a frame's cost.

The same random frames with good CRCs (payloads 0..32 bytes), once as exported PDUs tagged "nrf24" and once
tagged "nrf24_sniffer" behind a header with every item a live capture writes (channel, rate, mode, bit offset,
read window, board clock, how the frame was taken, ack observability, lost reads, RPD, the port's name), in
captures of 2,000 and 12,000 frames read by the real tshark in summary mode and with -V; instructions per frame
from callgrind (the larger run minus the smaller, so start-up cancels), as bench/bench.py counts them. The
header's share is what the second capture costs more, over what it costs: the module, and the host's work on
the longer record. Prints the table; never fails on a figure.

usage: sniffer_header_cost.py BUILD   (BUILD: a build folder holding plugins/<major>.<minor>/epan/*.so)
example: bench/sniffer_header_cost.py build-tests
"""

import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import bench  # noqa: E402  (SMALL, LARGE, number)
from bench import nrf24_encode  # noqa: E402
from module_cost import MODES, built_modules, per_frame, tshark_with  # noqa: E402
from test_sniffer_header import sh, sniffer_capture  # noqa: E402

SEED = 2019


def frames(count):
    rng = random.Random(SEED + count)
    return [nrf24_encode.encode_frame(addr=rng.randbytes(5), payload=rng.randbytes(rng.randint(0, 32)),
                                      pid=rng.randint(0, 3), noack=rng.randint(0, 1)) for _ in range(count)]


def header(n):
    """A header as a hopping promiscuous capture writes it, different for each frame."""
    end = (1000 * n) & 0xFFFFFFFF
    return sh.sniffer_header(channel=(2, 40, 76)[n % 3], rate_kbps=250, mode=(sh.MODE_PROMISCUOUS, 0xAA),
                             bit_offset=n % 16, read_window=((end - 1024) & 0xFFFFFFFF, end, sh.STAMP_IRQ),
                             board_clock=1000 * n, taken=sh.TAKEN_KNOWN_ADDRESS, ack=sh.ACK_AFTER_READ,
                             lost=(n % 7 == 0, 0), rpd=n % 2, sniffer="/dev/ttyUSB0")


def main(argv):
    if len(argv) != 2 or argv[1] in ("-h", "--help"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    paths = built_modules(argv[1], ("nrf24.so", "nrf24_sniffer.so"), "sniffer_header_cost")
    if not paths:
        return 2
    nrf24, sniffer = paths
    alone, both = tshark_with([nrf24]), tshark_with([nrf24, sniffer])
    plain, headed = {}, {}
    for count in (bench.SMALL, bench.LARGE):
        built = frames(count)
        plain[count] = alone.host.capture(built, linktype=nrf24_encode.LINKTYPE_EXPORTED_PDU)
        headed[count] = sniffer_capture(both.host, [header(n) + frame for n, frame in enumerate(built)])
    print("| Mode | tagged nrf24 | behind the header | header | header share |")
    print("|---|---:|---:|---:|---:|")
    for mode, args in MODES:
        base = per_frame(alone, plain[bench.SMALL], plain[bench.LARGE], args, "plain-" + mode)
        with_header = per_frame(both, headed[bench.SMALL], headed[bench.LARGE], args, "header-" + mode)
        print("| %s | %s | %s | %s | %.1f %% |" % (mode, bench.number(base), bench.number(with_header),
                                                 bench.number(with_header - base),
                                                 100 * (with_header - base) / with_header))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
