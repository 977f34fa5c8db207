"""Served devices under hosts that push them hard: a flood over an unpaced link,
a host that stops reading or leaves while its replies are on their way, and the
device's own status line after it. CTest runs these once with each engine
(--zol-engine); a test that needs one, or both at once, says so."""

import os
import socket
import threading
import time

import pytest

from pytest_zolemul import exchange, find_zolhost, request
from pytest_zolemul.frames import reply_to as reply

TICKS = os.sysconf("SC_CLK_TCK")


def address(device):
    host, port = device.tcp[len("tcp://"):].rsplit(":", 1)
    return host, int(port)


def cpu_seconds(pid):
    """User and system time of all of a process's threads so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def flood(device, count, limit=60):
    """Sends `count` requests in one sendall while a thread reads; what came
    back, once it is all there or the line has been quiet for 3 s."""
    data = b"".join(request(k & 0xFF) for k in range(count))
    got = bytearray()
    with socket.create_connection(address(device), timeout=limit) as s:
        def read():
            s.settimeout(3)
            deadline = time.monotonic() + limit
            while len(got) < count * 9 and time.monotonic() < deadline:
                try:
                    chunk = s.recv(65536)
                except socket.timeout:
                    return
                if not chunk:
                    return
                got.extend(chunk)

        reader = threading.Thread(target=read)
        reader.start()
        s.sendall(data)
        reader.join(limit + 5)
    return bytes(got)


def test_an_unpaced_flood_is_answered_reply_for_reply_by_both_engines(zol_serve):
    """5000 requests in one write to each engine, unpaced, the host reading as
    they come: every one answered, the two devices alike byte for byte."""
    count = 5000
    served = zol_serve(2, host="tcp", pace=0, per_device={0: {"engine": "builtin"}, 1: {"engine": "zolemul"}})
    seen = [flood(d, count) for d in served.devices]
    expected = b"".join(reply(k & 0xFF) for k in range(count))
    assert [len(s) // 9 for s in seen] == [count, count]
    assert seen[0] == expected and seen[1] == seen[0]
    summaries = served.stop()
    assert [(s["requests"], s["replies"], s["bytes_lost"]) for s in summaries] == [(count, count, 0)] * 2


@pytest.mark.parametrize("zol_device", [{"host": "tcp", "delay": 300}, {"host": "pty", "delay": 300}], indirect=True)
def test_a_reply_after_the_host_closed_its_end_counts_as_lost(zol_device):
    with zol_device.open() as line:
        assert exchange(line, 1) == 1
        line.write(request(0x42))
        line.flush()
    time.sleep(1)  # the reply falls due 300 ms after its request, with nobody at the host end
    summary = zol_device.summary()
    assert (summary["requests"], summary["replies"]) == (2, 2)
    assert summary["bytes_lost"] == 9


@pytest.mark.zol(host="tcp", pace=0)
def test_unplugging_a_host_end_whose_writes_are_held_up_leaves_the_link_running_at_rest(zol_device):
    """A host that goes on sending and stops reading: its socket fills, then the
    link's write to it is held up, and from then on serve's links wait for room
    instead of spinning; unplugged then, the link goes on, still at rest, and
    serves the next host once plugged. A built-in device holds the host back once
    its replies have nowhere to go; a zolemul takes requests on and drops their
    replies, so its host stops sending after a while by itself."""
    serve = zol_device._served.proc.pid
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # before the connection: a small window
    s.connect(address(zol_device))
    s.setblocking(False)
    burst = b"".join(request(k) for k in range(100))
    started = sent_at = time.monotonic()
    at = 0
    while time.monotonic() - sent_at < 1 and time.monotonic() - started < 8:
        try:
            n = s.send(burst[at:] + burst[:at])
            at = (at + n) % len(burst)  # requests stay whole across sends that take part of the burst
            sent_at = time.monotonic()
        except BlockingIOError:
            time.sleep(0.005)
    held_back = time.monotonic() - sent_at >= 1
    assert held_back or zol_device.engine == "zolemul", "serve still took the host's requests after 8 s"
    time.sleep(1)  # what was on its way settles

    def cpu_over(seconds=2):
        """serve's CPU over the first of three windows in which it was under a
        quarter of a core: a slow build (ThreadSanitizer) on a busy machine may
        still be working off what came; a spinning link takes a core in all three."""
        for _ in range(3):
            start = cpu_seconds(serve)
            time.sleep(seconds)
            used = cpu_seconds(serve) - start
            if used < seconds / 4:
                break
        return used

    held_up = cpu_over()
    zol_device.unplug()
    unplugged = cpu_over()
    s.close()
    print(f"serve's CPU over 2 s: {held_up:.2f} s held up, {unplugged:.2f} s unplugged")
    # A link that spins takes the whole of a core: 2 s of CPU in each window.
    assert held_up < 0.5 and unplugged < 0.5, (held_up, unplugged)
    zol_device.plug()
    with zol_device.open(timeout=2) as line:
        # The device as it was: the part of a request it had when the host left
        # waits in its input queue. Noise no longer than a request takes it away.
        line.write(bytes(7))
        assert exchange(line, 3) == 3


def zolemul_beside(zolhost):
    for where in (".", ".."):
        path = os.path.normpath(os.path.join(os.path.dirname(zolhost), where, "zolemul"))
        if os.path.isfile(path):
            return path
    pytest.fail(f"no zolemul beside {zolhost}")


def test_last_frame_is_the_frame_zolemuls_console_shows(zol_serve, pytestconfig, tmp_path):
    """A flood to a zolemul over a pty, its host reading only after a while: the
    replies back up and zolemul may drop some (the requests it had taken in
    before the link held the host back), so the link can count fewer than it
    answered. The API's last_frame is the device's own, the last status text its
    console wrote (a copy of the console is kept in a file)."""
    zolemul = pytestconfig.getoption("zolemul") or zolemul_beside(find_zolhost(pytestconfig.getoption("zolhost")))
    console = tmp_path / "console.txt"
    wrapper = tmp_path / "zolemul-teed"
    wrapper.write_text(f"#!/bin/sh\n'{zolemul}' | tee '{console}'\n")
    wrapper.chmod(0o755)
    served = zol_serve(1, host="pty", pace=0, engine="zolemul", device_exe=wrapper)
    device = served.devices[0]
    count = 40000

    def last_text():
        text = console.read_bytes().decode("ascii", "replace")
        frames = [t for t in text.split("\r") if t.startswith("Frame ")]
        return frames[-1] if frames else None

    got = bytearray()
    with device.open(timeout=0.5, write_timeout=60) as line:
        writer = threading.Thread(target=line.write, args=(b"".join(request(k & 0xFF) for k in range(count)),))
        writer.start()
        time.sleep(1)
        deadline = time.monotonic() + 60
        while (writer.is_alive() or len(got) < 9 * count) and time.monotonic() < deadline:
            chunk = line.read(65536)
            got += chunk
            if not chunk and not writer.is_alive():
                break
        writer.join(5)
    deadline = time.monotonic() + 10
    while (last_text() or "").split(" ")[1:2] != [str(count - 1)] and time.monotonic() < deadline:
        time.sleep(0.1)
    shown = last_text()
    assert shown is not None and shown.startswith(f"Frame {count - 1} received")
    while device.state()["last_frame"] != shown and time.monotonic() < deadline:
        time.sleep(0.1)
    state = device.state()
    assert state["last_frame"] == shown, (state, shown)
    assert state["requests"] == count
