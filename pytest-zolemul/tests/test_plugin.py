"""The plugin over real devices: pyserial host programs exchange frames with
fresh devices through every kind of host end, with faults where asked, and
nothing of a device is left once its test ends, passed or failed. CTest runs
them once with each engine (--zol-engine); a test that needs one says so."""

import html
import json
import os
import re
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import pytest_zolemul
from pytest_zolemul import REPLY_SIZE, ZolServeError, exchange, find_zolhost, good_reply, request, wait_gone


def leftovers(devices):
    """The processes and paths of served devices, for wait_gone."""
    return [d.pid for d in devices], [d.dir for d in devices] + [d.pty for d in devices if d.pty]


@pytest.mark.parametrize("zol_device", [{"host": "pty"}, {"host": "rfc2217"}, {"host": "tcp"}], indirect=True)
def test_a_fresh_device_answers_through_each_kind_of_host_end(zol_device):
    with zol_device.open() as line:
        assert exchange(line, 20) == 20
    summary = zol_device.summary()
    # A fresh device: its link counted this test's requests and nothing else.
    assert (summary["requests"], summary["forwarded"], summary["dropped"]) == (20, 20, 0)
    assert wait_gone(*leftovers([zol_device]))


@pytest.mark.zol(drop=10, seed=3, pace=0)
def test_the_marker_gives_the_link_its_faults_and_seed(zol_device):
    assert (zol_device.options["drop_pct"], zol_device.options["seed"], zol_device.options["pace_baud"]) == (10, 3, 0)
    with zol_device.open(timeout=1) as line:
        good = exchange(line, 30)
    summary = zol_device.summary()
    assert 0 < summary["dropped"] < 30
    assert good == 30 - summary["dropped"]


@pytest.mark.zol(devices=3, per_device={0: {"host": "pty", "engine": "builtin"}, 1: {"engine": "zolemul"},
                                         2: {"host": "tcp", "drop": 100}})
def test_several_devices_each_with_its_own_options(zol_devices):
    assert zol_devices[0].pty and zol_devices[1].rfc2217 and zol_devices[2].tcp
    assert [d.engine for d in zol_devices[:2]] == ["builtin", "zolemul"]
    # A built-in device is played by serve itself; a zolemul by a process of its own.
    assert zol_devices[0].pid == zol_devices[0]._served.proc.pid and zol_devices[0].dir is None
    assert zol_devices[1].pid != zol_devices[0].pid and os.path.isdir(zol_devices[1].dir)
    lines = [d.open(timeout=2 if d.index != 2 else 0.1) for d in zol_devices]
    try:
        assert [exchange(line, 10) for line in lines] == [10, 10, 0]
    finally:
        for line in lines:
            line.close()
    # Each device's own options in the document, and what each line carried.
    assert [d.options["drop_pct"] for d in zol_devices] == [0, 0, 100]
    summaries = [d.summary() for d in zol_devices]
    assert [s["dropped"] for s in summaries] == [0, 0, 10]
    assert [(s["bytes_to_device"], s["bytes_to_host"]) for s in summaries] == [(70, 90)] * 3


def answered(line, count):
    """Sends `count` requests (D1 0, 1, 2, ...) one at a time, each once the one
    before is answered or the line's timeout has passed; the number of requests
    whose good reply came at all. Each D1 differs, so a reply that load holds past
    its timeout is counted when it comes, and is not taken for the next one's."""
    seen, pending = set(), b""

    def take(until):
        nonlocal pending
        while time.monotonic() < until:
            pending += line.read(REPLY_SIZE - len(pending))
            if len(pending) == REPLY_SIZE:
                d1 = pending[1] ^ 0xFF
                if good_reply(pending, d1):
                    seen.add(d1)
                pending = b""
                return

    for d1 in range(count):
        line.write(request(d1))
        until = time.monotonic() + line.timeout
        while d1 not in seen and time.monotonic() < until:
            take(until)
    take(time.monotonic() + 2 * line.timeout)  # a late reply to the last requests
    return len(seen)


def test_eight_devices_at_once_pty_and_rfc2217(zol_serve):
    """Eight host programs at once, each 200 requests; --drop on one device shows
    there alone; nothing is left once they end."""
    per_device = {i: {"host": "pty"} for i in range(0, 8, 2)}
    per_device[5] = {"drop": 2}
    served = zol_serve(8, per_device=per_device)

    def host_program(device):
        with device.open(timeout=2 if device.index != 5 else 1) as line:
            return answered(line, 200)

    with ThreadPoolExecutor(8) as pool:
        good = list(pool.map(host_program, served.devices))
    summaries = served.stop()
    dropped = [s["dropped"] for s in summaries]
    assert dropped[5] > 0 and dropped[:5] + dropped[6:] == [0] * 7
    assert good == [200 - d for d in dropped]
    assert all(s["requests"] == 200 for s in summaries)
    assert wait_gone(*leftovers(served.devices))


def test_a_missing_zolemul_ends_serve_at_once_saying_so(zol_serve):
    started = time.monotonic()
    with pytest.raises(ZolServeError, match="no such program"):
        zol_serve(1, device_exe="/nonexistent/zolemul", engine="zolemul")
    assert time.monotonic() - started < 10  # not the 20 s serve would wait for a port


def test_a_device_that_never_opens_its_port_fails_at_its_deadline(zol_serve, tmp_path):
    silent = tmp_path / "silent"
    silent.write_text("#!/bin/sh\nexec sleep 30\n")
    silent.chmod(0o755)
    started = time.monotonic()
    with pytest.raises(ZolServeError, match="did not open its port in time"):
        zol_serve(2, device_exe=silent, wait=1, engine="zolemul")
    # About 1 s at rest, 5 s once on a loaded CI machine under a sanitizer; not the
    # program's 30 s.
    assert time.monotonic() - started < 10


def run_inner(pytester, request, monkeypatch, *args):
    """pytest in a subprocess over pytester's files, with this plugin and zolhost."""
    here = os.path.dirname(os.path.dirname(pytest_zolemul.__file__))  # a checkout's, or where pip put it
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")])))
    # One plugin whether pip's entry point has loaded it already or not.
    return pytester.runpytest_subprocess("-p", "pytest_zolemul.plugin", "-p", "no:labgrid", *args)


def zolhost_of(request):
    return find_zolhost(request.config.getoption("zolhost") or request.config.getini("zolhost") or None)


def test_a_failing_test_leaves_no_device_behind(pytester, request, monkeypatch):
    pytester.makepyfile(
        """
        import json
        def test_fails(zol_devices):
            with open("seen.json", "w") as f:
                json.dump([[d.pid, d.dir, d.pty] for d in zol_devices], f)
            assert False, "on purpose"
        """
    )
    result = run_inner(pytester, request, monkeypatch, "--zolhost", zolhost_of(request))
    result.assert_outcomes(failed=1)
    seen = json.loads((pytester.path / "seen.json").read_text())
    assert len(seen) == 2
    assert wait_gone([pid for pid, _, _ in seen], [d for _, d, _ in seen])


def test_ini_paths_spaced_values_and_the_junit_summary(pytester, request, monkeypatch):
    """zolhost = a relative path in an ini file is found from the ini's folder, not
    the working directory; a per-device value with a space in it stays one value;
    the junitxml report's zol_summary is JSON."""
    ini = pytester.path / "sub"
    (ini / "tools").mkdir(parents=True)
    os.symlink(zolhost_of(request), ini / "tools" / "zolhost")
    (ini / "pytest.ini").write_text("[pytest]\nzolhost = tools/zolhost\n")
    capture = pytester.path / "my cap.pcapng"
    pytester.makepyfile(
        f"""
        import pytest
        @pytest.mark.zol(devices=2, per_device={{1: {{"pcap": {str(capture)!r}}}}})
        def test_capture(zol_devices):
            zol_devices[0].summary()
        """
    )
    result = run_inner(pytester, request, monkeypatch, "-c", str(ini / "pytest.ini"), "--rootdir", str(pytester.path),
                       "--junitxml", "report.xml", str(pytester.path))
    result.assert_outcomes(passed=1)
    assert capture.stat().st_size > 0
    report = (pytester.path / "report.xml").read_text()
    value = re.search(r'<property name="zol_summary" value="([^"]*)"', report).group(1)
    summaries = json.loads(html.unescape(value))
    assert [s["requests"] for s in summaries] == [0, 0]
