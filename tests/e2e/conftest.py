"""Fixtures shared by the end-to-end tests: the hermetic tshark runner and the host's forms.

A test asks for `host` (a private plug-in folder holding the modules under test and an
empty HOME, fresh for each test) and builds its captures with `host.capture(...)`;
`forms` says how this host writes what the supported versions write differently;
`modules` names the module files under test. A test marked
`@pytest.mark.lua_scripts(path, ...)` (or a file with that `pytestmark`) gets a host
whose tshark runs load those Lua scripts.
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nrf24_host import Host, host_forms  # noqa: E402

# CTest's skip status: a run in which every collected test was skipped is reported
# as skipped, with the reasons pytest printed, rather than as passed.
SKIPPED_EXIT = 77


def pytest_configure(config):
    config.addinivalue_line("markers", "lua_scripts(*paths): Lua scripts that every tshark run of the test loads")


@pytest.fixture
def host(request):
    marker = request.node.get_closest_marker("lua_scripts")
    fresh = Host(lua_scripts=marker.args if marker else ())
    yield fresh
    fresh.close()


@pytest.fixture(scope="module")
def shared_host():
    """One host for the tests of a file that share a costly result (a capture made by a simulated board)."""
    shared = Host()
    yield shared
    shared.close()


@pytest.fixture(scope="session")
def modules():
    return os.environ["NRF24_MODULES"].split(os.pathsep)


@pytest.fixture(scope="session")
def forms():
    return host_forms()


def pytest_sessionfinish(session, exitstatus):
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is None or exitstatus != 0:
        return
    skipped = reporter.stats.get("skipped")
    ran = sum(len(reporter.stats.get(kind, [])) for kind in ("passed", "failed", "error"))
    if skipped and os.environ.get("NRF24_NO_SKIPS") == "1":
        # .ci/run: every test must run there.
        reporter.write_line("FAILED (NRF24_NO_SKIPS=1): %d tests skipped" % len(skipped), red=True)
        session.exitstatus = 1
    elif ran == 0 and skipped:
        session.exitstatus = SKIPPED_EXIT
