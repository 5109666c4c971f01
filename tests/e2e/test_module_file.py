"""The modules against the host's plug-in contract: what each file exports and needs at load time, read off
the file itself; this host loads each one; a host of another version refuses it with the message the README
quotes."""

import os
import re
import struct
import subprocess

from nrf24_host import dynamic_symbols, make_readable

# Every module under test has a row: the symbols it exports (besides what the host version asks for), and
# what tshark -G plugins says of it.
CONTRACT = {
    "nrf24.so": (["nrf_crc16", "proto_reg_handoff_nrf24", "proto_register_nrf24"], ["3.2.3", "dissector"]),
    "mysensors.so": ([], ["1.1.0", "dissector"]),
    "nrf24_analysis.so": ([], ["1.0.0", "dissector"]),
    "nrf24_sniffer.so": ([], ["1.0.0", "dissector"]),
    "rf24network.so": ([], ["1.0.0", "dissector"]),
}
PLUGIN_SYMBOLS = ["plugin_register", "plugin_version", "plugin_want_major", "plugin_want_minor"]


def tool(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def patch_symbol(data, symbol_address, value):
    """Overwrite the 32-bit value of a symbol in a 64-bit ELF image, found through its section table."""
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    for index in range(shnum):
        header = shoff + index * shentsize
        kind, = struct.unpack_from("<I", data, header + 4)
        address, offset, size = struct.unpack_from("<QQQ", data, header + 0x10)
        if kind != 8 and address <= symbol_address < address + size:  # 8: SHT_NOBITS, no file bytes
            struct.pack_into("<i", data, offset + symbol_address - address, value)
            return
    raise AssertionError("no section holds 0x%x" % symbol_address)


class TestModuleFile:
    def test_exports_exactly_the_contract(self, modules, forms):
        exported = {os.path.basename(module): sorted(dynamic_symbols(module)) for module in modules}
        assert exported == {name: sorted(CONTRACT[name][0] + PLUGIN_SYMBOLS + forms.describe_symbols)
                            for name in exported}

    def test_no_cxx_linkage_in_the_dynamic_symbols(self, modules):
        assert [line for module in modules for line in tool("nm", "-D", module).splitlines() if "_Z" in line] == []

    def test_needs_only_libc_at_load_time(self, modules):
        # A module that calls nothing of libc itself (the link analysis) needs nothing at all.
        needed = {os.path.basename(module): re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]",
                                                       tool("readelf", "-d", module)) for module in modules}
        assert {name: libs for name, libs in needed.items() if libs not in ([], ["libc.so.6"])} == {}


class TestHostVersion:
    def test_this_host_loads_every_module(self, host, modules):
        rows, result = host.plugins()
        loaded = {row[0]: row[1:3] for row in rows if row[0] in CONTRACT}
        assert result.messages == []
        assert loaded == {os.path.basename(module): CONTRACT[os.path.basename(module)][1] for module in modules}

    def test_host_of_another_version_refuses_each_module(self, host, modules):
        major, minor = int(os.environ["NRF24_WS_MAJOR"]), int(os.environ["NRF24_WS_MINOR"])
        root = host.path("other-version")
        epan = os.path.join(root, "%d.%d" % (major, minor), "epan")
        os.makedirs(epan)
        for module in modules:
            with open(module, "rb") as f:
                data = bytearray(f.read())
            patch_symbol(data, dynamic_symbols(module)["plugin_want_minor"], minor + 1)
            with open(os.path.join(epan, os.path.basename(module)), "wb") as f:
                f.write(data)
        make_readable(root)
        rows, result = host.plugins(env={"WIRESHARK_PLUGIN_DIR": root})
        assert sorted(result.stderr.splitlines()) == sorted(
            "tshark: The plugin '%s' was compiled for Wireshark version %d.%d" % (os.path.basename(module), major,
                                                                                  minor + 1) for module in modules)
        assert [row for row in rows if row[0] in CONTRACT] == []
