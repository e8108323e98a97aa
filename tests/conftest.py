
import os

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


