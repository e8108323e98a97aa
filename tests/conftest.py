
import functools
import os
import signal
import tempfile

import pytest

from zylora import globals_zylora as GZL
from zylora import zylsetup


# Whether this run takes the fast paths (ZYLORA_NO_FAST_PATHS unset, "" or
# "0"): the plain route is the reference, so only tests about the shortcuts
# themselves ask.
FAST_PATHS = os.environ.get("ZYLORA_NO_FAST_PATHS", "") in ("", "0")


@pytest.fixture(autouse=True)
def fresh_pc():
    """Every test starts from the stand-in's defaults and leaves no trace."""
    saved = dict(GZL.pc.__dict__)
    GZL.pc.__dict__.clear()
    GZL.pc.__init__()
    yield GZL.pc
    GZL.pc.__dict__.clear()
    GZL.pc.__dict__.update(saved)


@pytest.fixture(autouse=True)
def fresh_description_cache():
    saved = zylsetup.DESCRIPTION_CACHE
    yield
    zylsetup.DESCRIPTION_CACHE = saved


@pytest.fixture
def example_net():
    from zylora.example_network import build_example_network

    return build_example_network()


@pytest.fixture
def entries(example_net):
    return zylsetup.get_module_entries(example_net)


def strip(lines):
    """Visible text of styled lines."""
    return [zylsetup.strip_ansi(line) for line in lines]


class OwnText(str):
    """A str whose ordinary text form, str(), is not its characters."""

    def __str__(self):
        return "<" + str.__str__(self) + ">"




def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "needs_file_modes: the case needs file modes to bind this process; as root they run in "
        "a child without the override capabilities "
        "(test_module_overrides.py::test_file_mode_cases_without_root_overrides)")
    config.addinivalue_line(
        "markers", "may_block: the case fails, rather than hangs, when something waits on a file")


class Blocked(BaseException):
    """Something waited on a file for as long as no configuration read may take.

    Not an Exception: no guard on the way may take it for a bad file."""


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    if item.get_closest_marker("may_block") is None:
        yield
        return

    def blocked(signum, frame):
        raise Blocked("blocked on a file")

    previous = signal.signal(signal.SIGALRM, blocked)
    signal.alarm(20)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


@functools.lru_cache(maxsize=None)
def file_modes_bind():
    """Whether this process is refused a file whose mode forbids reading it."""
    with tempfile.TemporaryDirectory() as folder:
        probe = os.path.join(folder, "probe")
        open(probe, "w").close()
        os.chmod(probe, 0)
        try:
            open(probe).close()
        except PermissionError:
            return True
        return False


def pytest_runtest_setup(item):
    if item.get_closest_marker("needs_file_modes") and not file_modes_bind():
        pytest.skip("file modes do not bind this process; run in a child without root's "
                    "override capabilities")
