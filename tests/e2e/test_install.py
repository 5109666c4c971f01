"""The install step puts the module and the profile where the host looks for them; a host of another
version refuses the module with the message the README quotes."""

import os
import struct
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nrf24_host import Host, host_forms, make_readable, nrf24_encode  # noqa: E402

HOST = None
PROFILE_FILES = ["colorfilters", "dfilter_buttons", "preferences", "recent", "user_dlts"]


def setUpModule():
    global HOST
    HOST = Host()


def host_folders(env):
    """tshark -G folders: folder name to path."""
    rows = [line.split("\t") for line in HOST.run("-G", "folders", env=env).output if "\t" in line]
    return {name.strip().rstrip(":"): path for name, path in rows}


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


class Install(unittest.TestCase):
    def test_module_and_profile_land_where_the_host_looks(self):
        stage = HOST.path("install")
        env = dict(os.environ)
        if HOST.as_root:
            # As root the install goes to the global folders: stage it below DESTDIR.
            env["DESTDIR"] = stage
            where = host_folders({"WIRESHARK_PLUGIN_DIR": None})
            plugins = stage + where["Global Plugins"]
            profile = os.path.join(stage + where["Global configuration"], "profiles", "nrf24")
            announced = profile[len(stage):]
            host_env = {"WIRESHARK_PLUGIN_DIR": os.path.dirname(plugins),
                        "WIRESHARK_DATA_DIR": stage + where["Global configuration"]}
        else:
            env["HOME"] = stage
            env.pop("XDG_CONFIG_HOME", None)
            where = host_folders({"HOME": stage})
            plugins = where["Personal Plugins"]
            announced = profile = os.path.join(where["Personal configuration"], "profiles", "nrf24")
            host_env = {"HOME": stage, "WIRESHARK_PLUGIN_DIR": HOST.path("no-global-plugins")}
            os.mkdir(host_env["WIRESHARK_PLUGIN_DIR"])
        proc = subprocess.run([os.environ["NRF24_CMAKE"], "--install", os.environ["NRF24_BUILD_DIR"]], env=env,
                              capture_output=True, text=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("-- Wireshark profile nrf24 in %s: " % announced, proc.stdout)
        modules = sorted(os.path.basename(module) for module in os.environ["NRF24_MODULES"].split(os.pathsep))
        self.assertEqual(sorted(os.listdir(os.path.join(plugins, "epan"))), modules)
        self.assertEqual(sorted(os.listdir(profile)), PROFILE_FILES)

        make_readable(stage)
        capture = HOST.capture(["addr=a8a8e1fc02 payload=01 pid=2"], nrf24_encode.LINKTYPE_USER0)
        if HOST.as_root and not host_forms().global_profiles:
            result = HOST.run("-C", "nrf24", "-r", capture, env=host_env, user_dlt=False, check=False)
            self.assertEqual((result.returncode, result.stderr.splitlines()),
                             (1, ['tshark: Configuration Profile "nrf24" does not exist']))
            return
        rows = HOST.run("-C", "nrf24", "-r", capture, "-T", "tabs", env=host_env, user_dlt=False).output
        self.assertEqual(rows[0].split("\t")[2:6], ["0x000000a8a8e1fc02", "1", "2", "mysensors"])


class OtherHostVersion(unittest.TestCase):
    def test_host_refuses_a_module_built_for_another_version(self):
        module = os.environ["NRF24_MODULES"].split(os.pathsep)[0]
        major, minor = int(os.environ["NRF24_WS_MAJOR"]), int(os.environ["NRF24_WS_MINOR"])
        symbols = subprocess.run(["nm", "-D", "--defined-only", module], check=True, capture_output=True,
                                 text=True).stdout.split("\n")
        address = int(next(line.split()[0] for line in symbols if line.endswith(" plugin_want_minor")), 16)
        with open(module, "rb") as f:
            data = bytearray(f.read())
        patch_symbol(data, address, minor + 1)
        root = HOST.path("other-version")
        epan = os.path.join(root, "%d.%d" % (major, minor), "epan")
        os.makedirs(epan)
        with open(os.path.join(epan, "nrf24.so"), "wb") as f:
            f.write(data)
        make_readable(root)
        result = HOST.run("-G", "plugins", env={"WIRESHARK_PLUGIN_DIR": root})
        self.assertEqual(result.stderr.splitlines(),
                         ["tshark: The plugin 'nrf24.so' was compiled for Wireshark version %d.%d" % (major, minor + 1)])
        self.assertFalse([line for line in result.output if "nrf24" in line])


if __name__ == "__main__":
    unittest.main()
