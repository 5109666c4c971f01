"""The install rules put the modules, the profile and the commands where the host looks for them: the global
folders below the prefix (staged below DESTDIR, as a package build does), or with NRF24_INSTALL_PERSONAL the
personal folders of the user, which is what make setup does for anyone but root."""

import collections
import os
import subprocess

import pytest

from nrf24_host import SOURCE_DIR, make_readable, nrf24_encode

PROFILE_FILES = ["colorfilters", "dfilter_buttons", "preferences", "recent", "user_dlts"]
COMMANDS = ["nrf24-capture", "nrf24-encode"]


def host_folders(host, env):
    """tshark -G folders: folder name to path."""
    rows = [line.split("\t") for line in host.run("-G", "folders", env=env).output if "\t" in line]
    return {name.strip().rstrip(":"): path for name, path in rows}


def cmake(*args, env):
    proc = subprocess.run([os.environ["NRF24_CMAKE"]] + list(args), env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


# Where an install put things: the folders (below DESTDIR), DESTDIR itself ("" for none), the folder to make
# readable for the host's uid, the environment that points the host there, and what the install printed.
Installed = collections.namedtuple("Installed", "plugins profiles bin man destdir root host_env printed")


def install_global(host):
    """The test build's own install rules, staged below DESTDIR as a package build does."""
    stage = host.path("stage")
    printed = cmake("--install", os.environ["NRF24_BUILD_DIR"], env=dict(os.environ, DESTDIR=stage))
    where = host_folders(host, {"WIRESHARK_PLUGIN_DIR": None})
    prefix = stage + where["Global configuration"].split("/share/")[0]
    return Installed(stage + where["Global Plugins"], stage + where["Global configuration"] + "/profiles",
                     prefix + "/bin", prefix + "/share/man/man1", stage, stage,
                     {"WIRESHARK_PLUGIN_DIR": os.path.dirname(stage + where["Global Plugins"]),
                      "WIRESHARK_DATA_DIR": stage + where["Global configuration"]}, printed)


def install_personal(host):
    """A tree configured with NRF24_INSTALL_PERSONAL for a user whose HOME is private to the test."""
    home = host.path("user-home")
    os.mkdir(home)
    env = {name: value for name, value in os.environ.items() if name not in ("XDG_CONFIG_HOME", "DESTDIR")}
    env["HOME"] = home
    tree = host.path("personal-build")
    cmake("-S", SOURCE_DIR, "-B", tree, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DNRF24_INSTALL_PERSONAL=ON", env=env)
    cmake("--build", tree, "-j2", env=env)
    printed = cmake("--install", tree, env=env)
    where = host_folders(host, {"HOME": home})
    no_global = host.path("no-global-plugins")
    os.mkdir(no_global)
    return Installed(where["Personal Plugins"], where["Personal configuration"] + "/profiles", home + "/.local/bin",
                     home + "/.local/share/man/man1", "", home, {"HOME": home, "WIRESHARK_PLUGIN_DIR": no_global},
                     printed)


@pytest.mark.parametrize("layout", [install_global, install_personal], ids=["global", "personal"])
class TestInstall:
    def test_files_land_where_the_host_looks(self, host, modules, layout):
        installed = layout(host)
        profile = os.path.join(installed.profiles, "nrf24")
        assert "-- Wireshark profile nrf24 in %s: " % profile[len(installed.destdir):] in installed.printed
        assert sorted(os.listdir(os.path.join(installed.plugins, "epan"))) == sorted(
            os.path.basename(module) for module in modules)
        assert sorted(os.listdir(profile)) == PROFILE_FILES
        assert sorted(name for name in os.listdir(installed.bin) if name.startswith("nrf24")) == COMMANDS
        assert sorted(os.listdir(installed.man)) == [command + ".1" for command in COMMANDS]

    def test_commands_run_from_where_they_are(self, host, layout):
        installed = layout(host)
        capture = host.path("made.pcap")
        encoder = subprocess.run([os.path.join(installed.bin, "nrf24-encode"), "-o", "-", "--format", "hex",
                                  "payload=01 pid=2"], capture_output=True, text=True)
        captured = subprocess.run([os.path.join(installed.bin, "nrf24-capture"), "-o", capture],
                                  input=encoder.stdout, capture_output=True, text=True)
        assert (encoder.returncode, encoder.stderr, captured.returncode, captured.stderr) == (0, "", 0, "")
        os.chmod(capture, 0o644)
        assert host.fields(capture, "nrf24.ctrl.pid", "nrf24.ctrl.len").output == ["2\t1"]

    def test_host_reads_the_installed_profile(self, host, forms, layout):
        installed = layout(host)
        make_readable(installed.root)
        capture = host.capture(["addr=a8a8e1fc02 payload=01 pid=2"], nrf24_encode.LINKTYPE_USER0)
        if layout is install_global and not forms.global_profiles:
            result = host.run("-C", "nrf24", "-r", capture, env=installed.host_env, user_dlt=False, check=False)
            assert (result.returncode, result.messages) == (
                1, ['tshark: Configuration Profile "nrf24" does not exist'])
            return
        rows = host.run("-C", "nrf24", "-r", capture, "-T", "tabs", env=installed.host_env, user_dlt=False).output
        assert rows[0].split("\t")[2:6] == ["0x000000a8a8e1fc02", "1", "2", "nrf24"]
