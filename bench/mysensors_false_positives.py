#!/usr/bin/env python3
"""How often the MySensors heuristic takes a payload that is not MySensors.

Random payloads of 7..32 bytes (uniform length, uniform bytes, fixed seed) go through the real tshark with both
modules loaded. Prints the share taken beside the share that the acceptance rule lets through by chance:
version bits 2 (1/4), command 0..4 (5/8), then either unsigned with the length field = size - 7 (1/2 * 1/32) or
signed, 32 bytes long, length field <= 25 (1/2 * 1/26 * 26/32): 5/1024. Exits 1 when the measure is more than
five standard deviations off that share, which a heuristic that skips or garbles a check would be.

Run by CTest (it needs the modules' paths from there): ctest -R mysensors_false_positives -V
"""

import math
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from nrf24_host import Host, nrf24_encode  # noqa: E402

COUNT = 100000
SEED = 7
RULE_SHARE = 5 / 1024


def main():
    rng = random.Random(SEED)
    frames = [nrf24_encode.encode_frame(payload=rng.randbytes(rng.randint(7, 32))) for _ in range(COUNT)]
    host = Host()
    rows = host.fields(host.capture(frames), "mysensors.sender").output
    if len(rows) != COUNT:
        print("tshark decoded %d frames of %d" % (len(rows), COUNT), file=sys.stderr)
        return 2
    taken = sum(1 for row in rows if row)
    expected = COUNT * RULE_SHARE
    spread = math.sqrt(COUNT * RULE_SHARE * (1 - RULE_SHARE))
    print("MySensors heuristic: %d of %d random payloads of 7..32 bytes taken (%.3f %%); "
          "the acceptance rule lets %.3f %% through by chance" % (taken, COUNT, 100 * taken / COUNT, 100 * RULE_SHARE))
    return 0 if abs(taken - expected) <= 5 * spread else 1


if __name__ == "__main__":
    sys.exit(main())
