"""Mutated and random frames through the real tshark under valgrind.

Encoder captures are mutated with editcap -E, random frames of 0..90 bytes are
added, MySensors messages (every one the library sends, the catalogued, malformed
and encrypted ones) get bytes changed inside their payloads behind good CRCs, and
each capture is read in summary, -V, PDML and two-pass -V mode (the second pass
reads what the link analysis kept) under memcheck: any memory error, any non-zero
exit or any "Dissector bug" fails. NRF24_MUTATION_ROUNDS
(default 1) sets how many rounds, each with its own seeds, run.
"""

import os
import random
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nrf24_host import Host, nrf24_encode  # noqa: E402
import test_mysensors as mys  # noqa: E402

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
EXAMPLE = os.path.join(HERE, "..", "..", "examples", "nrf24-hello.lua")
HOST = None


def setUpModule():
    global HOST
    HOST = Host(lua_scripts=[EXAMPLE])


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


def mutated(capture, seed, skip=0):
    """The capture with each byte past skip changed at random, editcap's way."""
    out = capture + ".mutated-%d.pcapng" % seed
    subprocess.run(["editcap", "-E", ERROR_PROBABILITY, "--seed", str(seed), "-o", str(skip), capture, out],
                   check=True, capture_output=True)
    os.chmod(out, 0o644)
    return out


class Mutation(unittest.TestCase):
    def check_capture(self, name, capture, frames, options=()):
        """Every mode under memcheck; the PDML run's result."""
        results = {}
        for mode, args in MODES.items():
            with self.subTest(capture=name, mode=mode):
                result = HOST.run("-r", capture, *(args + options), prefix=VALGRIND, check=False)
                self.assertEqual(result.returncode, 0, "valgrind or tshark failed:\n" + result.stderr[-4000:])
                self.assertFalse([line for line in result.lines + result.stderr.splitlines()
                                  if "Dissector bug" in line])
                passes = 2 if "-2" in args else 1  # the second pass reads what the link analysis kept
                self.assertEqual(result.frame_trace.count("dissect_nrf24"), frames * passes)
                results[mode] = result
        return results["pdml"]

    def test_rounds(self):
        for seed in range(1, ROUNDS + 1):
            rng = random.Random(seed)
            frames = list(encoder_frames(rng))
            user0 = HOST.capture(frames)
            pdu = HOST.capture(frames, linktype=nrf24_encode.LINKTYPE_EXPORTED_PDU)
            noise = HOST.capture([rng.randbytes(rng.randrange(91)) for _ in range(NOISE_FRAMES)])
            self.check_capture("DLT_USER0, seed %d" % seed, mutated(user0, seed), len(frames))
            self.check_capture("exported PDU, seed %d" % seed, mutated(pdu, seed, EXPORTED_PDU_HEADER), len(frames))
            self.check_capture("noise, seed %d" % seed, noise, NOISE_FRAMES)
            pdml = self.check_capture("MySensors, seed %d" % seed, HOST.capture(list(mysensors_frames(rng))),
                                         MYSENSORS_FRAMES, MYSENSORS_OPTIONS)
            taken = sum(1 for line in pdml.output if line.strip().startswith("<proto name=\"mysensors\""))
            self.assertGreaterEqual(taken, MYSENSORS_FRAMES // 3, "too few mutated messages reached MySensors")


if __name__ == "__main__":
    unittest.main()
