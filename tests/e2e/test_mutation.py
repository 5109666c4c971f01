"""Mutated and random frames through the real tshark under valgrind.

Encoder captures are mutated with editcap -E, random frames of 0..90 bytes are
added, MySensors messages (every one the library sends, the catalogued, malformed
and encrypted ones) and runs of the RF24Network vectors (fragments, mesh exchanges,
IP over external data) get bytes changed inside their payloads behind good CRCs, and
each capture is read in summary, -V, PDML and two-pass -V mode (the second pass
reads what the link analysis kept) under memcheck: any memory error, any non-zero
exit or any "Dissector bug" fails. NRF24_MUTATION_ROUNDS
(default 1) sets how many rounds, each with its own seeds, run.
"""

import os
import random
import subprocess

import pytest

from nrf24_host import EXAMPLE_LUA, nrf24_encode
import test_mysensors as mys
import test_rf24network as rf24

ROUNDS = int(os.environ.get("NRF24_MUTATION_ROUNDS", "1"))
VALGRIND_ERROR = 42
VALGRIND = ("valgrind", "--tool=memcheck", "--error-exitcode=%d" % VALGRIND_ERROR, "--quiet")
MODES = {"summary": (), "verbose": ("-V",), "pdml": ("-T", "pdml"), "two passes": ("-2", "-V")}
ERROR_PROBABILITY = "0.02"
EXPORTED_PDU_HEADER = 13  # the "nrf24" name tag and the end tag, kept intact
NOISE_FRAMES = 200
MYSENSORS_FRAMES = 120
# The MySensors module takes what its receiver would, and decrypts with the catalogued key.
MYSENSORS_OPTIONS = ("-o", "mysensors.strictness:receiver", "-o", "mysensors.key:" + mys.PASSWORD)
RF24NETWORK_FRAMES = 120
RF24NETWORK_OPTIONS = ("-o", "rf24network.strictness:receiver")
pytestmark = pytest.mark.lua_scripts(EXAMPLE_LUA)


def encoder_frames(rng):
    """Every payload length once, with random fields; some with a bad CRC, cut short,
    trailing bytes, or a payload the example sub-dissector takes."""
    for length in range(nrf24_encode.MAX_PAYLOAD + 1):
        payload = rng.randbytes(length)
        if length >= 2 and rng.random() < 0.3:
            payload = bytes((0xA5, length - 2)) + payload[2:]
        frame = nrf24_encode.encode_frame(addr=rng.randbytes(5), payload=payload, pid=rng.randrange(4),
                                          noack=rng.randrange(2),
                                          crc=rng.randrange(0x10000) if rng.random() < 0.2 else None,
                                          extra=rng.randbytes(rng.choice((0, 0, 0, 1, 9))))
        yield frame[:rng.randrange(len(frame))] if rng.random() < 0.2 else frame


def mysensors_frames(rng):
    """MySensors messages with one to three payload bytes changed, in frames with good CRCs."""
    messages = mys.library_messages() + [bytes.fromhex(row[2]) for row in mys.VECTORS]
    messages += [bytes.fromhex(case[0]) for case in mys.TestMalformed.CASES]
    messages += [bytes.fromhex(case[1]) for case in mys.DECRYPTION_CASES]
    for _ in range(MYSENSORS_FRAMES):
        message = bytearray(rng.choice(messages))
        for _ in range(rng.randint(1, 3)):
            message[rng.randrange(len(message))] ^= 1 << rng.randrange(8)
        yield nrf24_encode.encode_frame(addr=bytes.fromhex(mys.GATEWAY), payload=bytes(message))


def rf24network_frames(rng):
    """A run of the RF24Network vectors in order (reassembly and the mesh keep state), half of the frames with one
    to three payload bits changed, with good CRCs."""
    start = rng.randrange(len(rf24.FRAMES) - RF24NETWORK_FRAMES + 1)
    for frame in rf24.FRAMES[start:start + RF24NETWORK_FRAMES]:
        payload = bytearray.fromhex(frame.payload)
        for _ in range(rng.choice((0, 1, 2, 3)) if rng.random() < 0.5 else 0):
            payload[rng.randrange(len(payload))] ^= 1 << rng.randrange(8)
        yield nrf24_encode.encode_frame(addr=bytes.fromhex(frame.addr), payload=bytes(payload))


def mutated(capture, seed, skip=0):
    """The capture with each byte past skip changed at random, editcap's way."""
    out = capture + ".mutated-%d.pcapng" % seed
    subprocess.run(["editcap", "-E", ERROR_PROBABILITY, "--seed", str(seed), "-o", str(skip), capture, out],
                   check=True, capture_output=True)
    os.chmod(out, 0o644)
    return out


def round_capture(host, seed, kind):
    """(capture, frames in it, tshark options) of one kind of the round with this seed."""
    rng = random.Random(seed)
    frames = list(encoder_frames(rng))
    noise = [rng.randbytes(rng.randrange(91)) for _ in range(NOISE_FRAMES)]
    if kind == "DLT_USER0":
        return mutated(host.capture(frames), seed), len(frames), ()
    if kind == "exported PDU":
        pdu = host.capture(frames, linktype=nrf24_encode.LINKTYPE_EXPORTED_PDU)
        return mutated(pdu, seed, EXPORTED_PDU_HEADER), len(frames), ()
    if kind == "noise":
        return host.capture(noise), NOISE_FRAMES, ()
    if kind == "RF24Network":
        return host.capture(list(rf24network_frames(rng))), RF24NETWORK_FRAMES, RF24NETWORK_OPTIONS
    return host.capture(list(mysensors_frames(rng))), MYSENSORS_FRAMES, MYSENSORS_OPTIONS


@pytest.mark.parametrize("seed", range(1, ROUNDS + 1))
@pytest.mark.parametrize("kind", ["DLT_USER0", "exported PDU", "noise", "MySensors", "RF24Network"])
@pytest.mark.parametrize("mode", list(MODES))
def test_under_memcheck(host, seed, kind, mode):
    capture, frames, options = round_capture(host, seed, kind)
    result = host.run("-r", capture, *MODES[mode], *options, prefix=VALGRIND, check=False)
    assert result.returncode == 0, "valgrind or tshark failed:\n" + result.stderr[-4000:]
    assert [line for line in result.output + result.stderr.splitlines() if "Dissector bug" in line] == []
    passes = 2 if "-2" in MODES[mode] else 1  # the second pass reads what the link analysis kept
    assert result.frame_trace.count("dissect_nrf24") == frames * passes
    if kind == "MySensors" and mode == "pdml":
        taken = sum(1 for line in result.output if line.strip().startswith("<proto name=\"mysensors\""))
        assert taken >= MYSENSORS_FRAMES // 3, "too few mutated messages reached MySensors"
    if kind == "RF24Network" and mode == "pdml":
        taken = sum(1 for line in result.output if line.strip().startswith("<proto name=\"rf24network\""))
        assert taken >= RF24NETWORK_FRAMES // 2, "too few mutated frames reached RF24Network"
