"""labgrid's pytest plugin over an emulated device: unless LG_ZOL_PORT names
one already (a lab's), one device is served here by zolhost serve (found as the
zolemul plugin finds it: --zolhost, $ZOLHOST or PATH) before labgrid reads
env.yaml, and ended after the run."""

import os

import pytest

from pytest_zolemul import Served, find_zolhost

_served = None


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    global _served
    if os.environ.get("LG_ZOL_PORT"):
        return
    _served = Served(find_zolhost(config.getoption("zolhost", None)), 1, host="rfc2217")
    url = _served.devices[0].rfc2217  # rfc2217://127.0.0.1:PORT
    host, port = url[len("rfc2217://"):].rsplit(":", 1)
    os.environ["LG_ZOL_HOST"], os.environ["LG_ZOL_PORT"] = host, port


def pytest_unconfigure(config):
    if _served is not None:
        _served.stop()  # raises when zolhost serve did not end cleanly
