"""The plugin's own tests: pyserial host programs against served devices.

pyserial (Debian: python3-serial) is required: without it a test is skipped,
except where CI=true, where it fails, so a green CI run means the tests ran."""

import os

import pytest

pytest_plugins = ["pytester"]

try:
    import serial  # noqa: F401
except ImportError:
    serial = None


@pytest.fixture(autouse=True)
def _pyserial_required():
    if serial is None:
        if os.environ.get("CI") == "true":
            pytest.fail("missing under CI=true: pyserial (Debian: python3-serial)", pytrace=False)
        pytest.skip("missing: pyserial (Debian: python3-serial)")
