"""The module keeps no state between frames: the real tshark gives every frame the
same columns, tree and trace whichever pass and whichever frames came before. The
link analysis, which keeps state on purpose, is disabled here (test_analysis.py
covers its passes and orders)."""

import pytest

from nrf24_host import COLUMNS, EXAMPLE_LUA

pytestmark = pytest.mark.lua_scripts(EXAMPLE_LUA)
FIELDS = ("nrf24.node", "nrf24.ctrl.len", "nrf24.ctrl.pid", "nrf24.ctrl.noack", "nrf24.crc", "nrf24.crcvalid")
FIELD_ARGS = sum((("-e", f) for f in COLUMNS + FIELDS), ())
# One of each kind: long and short payloads, acks, bad CRCs, cut frames, trailing
# bytes, a payload the example sub-dissector takes, and noise.
FRAMES = [
    "addr=a1b2c3d4e5 payload=%s pid=2" % bytes(range(63)).hex(),
    "addr=0102030405 pid=1",
    "payload=a503010203 noack=1",
    "payload=c0ffee crc=0x1234",
    "addr=ffffffffff payload=00 pid=3 cut=8",
    "payload=1122 extra=deadbeef",
    "noack=1 crc=0x0000",
    "payload=%s cut=40" % ("5a" * 40),
    "addr=e7e7e7e7e7 payload=a500",
    "cut=3",
    "payload=01",
]
WITHOUT_ANALYSIS = ("--disable-protocol", "nrf24.analysis")
NOISE = [bytes((i * 73 + 11) % 256 for i in range(n)) for n in (0, 5, 9, 17, 90)]


def without_run_time(lines):
    """Output without the PDML header, which carries the time of the run."""
    return [line for line in lines if not line.startswith("<pdml ")]


def frame_blocks(lines):
    """-V output split per frame, without the Frame line (its number differs by position)."""
    blocks = "\n".join(line for line in lines if not line.startswith("Frame ")).split("\n\n")
    return [block.strip("\n") for block in blocks if block.strip()]


class TestStatelessness:
    @pytest.mark.parametrize("mode", [("-V",), ("-T", "pdml"), ("-T", "fields") + FIELD_ARGS],
                             ids=["verbose", "pdml", "fields"])
    def test_two_passes_match_one(self, host, mode):
        capture = host.capture(FRAMES + NOISE)
        one = host.run("-r", capture, *mode, *WITHOUT_ANALYSIS)
        two = host.run("-r", capture, "-2", *mode, *WITHOUT_ANALYSIS)
        assert without_run_time(two.output) == without_run_time(one.output)
        assert two.frame_trace == one.frame_trace * 2

    def test_order_does_not_matter(self, host):
        frames = FRAMES + NOISE
        forward = host.capture(frames)
        backward = host.capture(frames[::-1])
        rows = host.run("-r", forward, "-T", "fields", *FIELD_ARGS, *WITHOUT_ANALYSIS).output
        assert host.run("-r", backward, "-T", "fields", *FIELD_ARGS, *WITHOUT_ANALYSIS).output == rows[::-1]
        trees = frame_blocks(host.run("-r", forward, "-V", "-O", "nrf24,nrf24hello", *WITHOUT_ANALYSIS).output)
        backward_trees = frame_blocks(host.run("-r", backward, "-V", "-O", "nrf24,nrf24hello",
                                                *WITHOUT_ANALYSIS).output)
        assert len(trees) == len(frames)
        assert backward_trees == trees[::-1]
