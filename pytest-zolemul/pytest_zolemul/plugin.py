"""The pytest plugin: options, the ``zol`` marker and the fixtures.

    zol_device     a fresh device for the test (Device: .port, .pty, .rfc2217,
                   .tcp, .engine, .pid, .open(), .summary(); steered while it
                   runs: .set_faults(), .unplug() / .plug(), .freeze() / .thaw(),
                   with .unplugged(), .frozen(), .faults(...), .state())
    zol_devices    several, from the marker's devices=N (default 2)
    zol_serve      a factory: zol_serve(n, per_device={i: {...}}, **options)

Options come from ``@pytest.mark.zol(drop=10, seed=7, host="pty", ...)``, or
from indirect parametrization of zol_device / zol_devices with a dict. Every
device ends, and every file it made goes, when the test ends, passed or failed;
its summary is kept in the test report's user properties ("zol_summary", as
JSON: a list of each device's summary). Whatever a test changed of a device
(faults, unplugged, frozen) is undone when it ends.
"""

import json
import os

import pytest

from .served import DEVICE_OPTIONS, ENGINES, Served, ZolServeError, find_zolhost


def pytest_addoption(parser):
    group = parser.getgroup("zolemul", "emulated Zol devices (zolhost serve)")
    group.addoption("--zolhost", metavar="PATH", help="zolhost to serve devices with (default: $ZOLHOST, then PATH)")
    group.addoption("--zolemul", metavar="PATH", help="zolemul to serve (default: the one zolhost finds beside it)")
    group.addoption("--zol-wait", metavar="S", type=int, default=20,
                    help="seconds for every device to come up (default 20)")
    group.addoption("--zol-engine", choices=ENGINES, default=None,
                    help="what plays the devices unless a test says (engine=...): builtin, in zolhost, "
                         "costing nothing while idle; or zolemul, a process each (default: zolhost's: "
                         "builtin, or zolemul where --zolemul names one)")
    parser.addini("zolhost", "zolhost to serve devices with", default=None)
    parser.addini("zolemul", "zolemul to serve", default=None)


def pytest_configure(config):
    # Paths given on the command line are the caller's: held fast before any test
    # changes the working directory.
    for name in ("zolhost", "zolemul"):
        given = config.getoption(name)
        if given and os.sep in given:
            setattr(config.option, name, os.path.abspath(given))
    config.addinivalue_line(
        "markers",
        "zol(devices=N, per_device={i: {...}}, **options): options of the test's devices "
        f"({', '.join(DEVICE_OPTIONS)})")


def _setting(config, name):
    """A path from the command line (the caller's, held fast at configure), else
    from the ini file, relative to the ini file's folder."""
    given = config.getoption(name)
    if given:
        return given
    value = config.getini(name)
    if not value:
        return None
    if os.sep in value and not os.path.isabs(value) and config.inipath is not None:
        return str(config.inipath.parent / value)
    return value


@pytest.fixture
def zol_serve(request):
    """A factory: zol_serve(devices=1, per_device=None, device_exe=None, wait=None,
    **options) -> Served, started; ended when the test ends."""
    config = request.config
    started = []

    def serve(devices=1, per_device=None, **options):
        zolhost = find_zolhost(_setting(config, "zolhost"))
        exe = options.pop("device_exe", None)
        wait = options.pop("wait", None) or config.getoption("zol_wait")
        engine = config.getoption("zol_engine")
        if engine and "engine" not in options:
            options["engine"] = engine
        # The zolemul configured for the run goes to the devices a zolemul may
        # play (zolhost refuses --device-exe where every device is built-in).
        zolemul_plays = options.get("engine") != "builtin" or any(
            own.get("engine") == "zolemul" for own in (per_device or {}).values())
        if exe is None and zolemul_plays:
            exe = _setting(config, "zolemul")
        served = Served(zolhost, devices, per_device, device_exe=exe, wait=wait, **options)
        started.append(served)
        return served

    yield serve
    failures = []
    for served in started:
        try:
            if served.proc.poll() is None:
                served.undo_steering()
            summaries = served.stop()
            request.node.user_properties.append(("zol_summary", json.dumps(summaries, sort_keys=True)))
        except ZolServeError as e:
            failures.append(str(e))
        finally:
            text = served.stderr()
            if text:
                request.node.add_report_section("teardown", "zolhost serve", text)
    if failures:
        pytest.fail("; ".join(failures), pytrace=False)


def _options(request, default_devices):
    """The test's device options: its zol marker, then an indirect parameter."""
    marker = request.node.get_closest_marker("zol")
    options = dict(marker.kwargs) if marker else {}
    options.update(getattr(request, "param", None) or {})
    devices = options.pop("devices", default_devices)
    return devices, options


@pytest.fixture
def zol_device(request, zol_serve):
    """A fresh device for this test."""
    devices, options = _options(request, 1)
    return zol_serve(devices, **options).devices[0]


@pytest.fixture
def zol_devices(request, zol_serve):
    """Several fresh devices for this test (devices=N in the marker, default 2)."""
    devices, options = _options(request, 2)
    return zol_serve(devices, **options).devices


def pytest_report_header(config):
    try:
        return f"zolhost: {find_zolhost(_setting(config, 'zolhost'))}"
    except ZolServeError as e:
        return f"zolhost: {e}"
