"""The built modules against the host's plug-in contract, read off the file itself."""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nrf24_host import host_forms  # noqa: E402

MODULES = os.environ.get("NRF24_MODULES", "").split(os.pathsep)
EXPECTED_SYMBOLS = {
    "nrf24.so": sorted(["nrf_crc16", "plugin_register", "plugin_version", "plugin_want_major", "plugin_want_minor",
                        "proto_reg_handoff_nrf24", "proto_register_nrf24"] + host_forms().describe_symbols),
    "mysensors.so": sorted(["plugin_register", "plugin_version", "plugin_want_major", "plugin_want_minor"]
                           + host_forms().describe_symbols),
    "nrf24_analysis.so": sorted(["plugin_register", "plugin_version", "plugin_want_major", "plugin_want_minor"]
                                + host_forms().describe_symbols),
}


def tool(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


class ModuleFile(unittest.TestCase):
    def test_exports_exactly_the_contract(self):
        for module in MODULES:
            expected = EXPECTED_SYMBOLS.get(os.path.basename(module))
            if expected is None:
                continue
            with self.subTest(module=module):
                defined = sorted(line.split()[-1] for line in tool("nm", "-D", "--defined-only", module).splitlines())
                self.assertEqual(defined, expected)
                unmangled = [line for line in tool("nm", "-D", module).splitlines() if "_Z" in line]
                self.assertEqual(unmangled, [], "C++ linkage leaked into the dynamic symbols")

    def test_needs_only_libc_at_load_time(self):
        # A module that calls nothing of libc itself (the link analysis) needs nothing at all.
        for module in MODULES:
            with self.subTest(module=module):
                needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", tool("readelf", "-d", module))
                self.assertIn(needed, (["libc.so.6"], []))


if __name__ == "__main__":
    unittest.main()
