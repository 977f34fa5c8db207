"""Steering a device while a pyserial host program uses it: each change shows in
the very next exchange after the call returns. CTest runs these once with each
engine (--zol-engine)."""

import os
import socket
import time

import pytest
import serial

from pytest_zolemul import REPLY_SIZE, ZolServeError, exchange, good_reply, request


def answered(line, d1=0x41):
    """The bytes one request gets back before the line's timeout."""
    line.reset_input_buffer()
    line.write(request(d1))
    return line.read(REPLY_SIZE)


@pytest.mark.zol(host="pty")
def test_faults_change_from_the_next_frame_on(zol_device):
    with zol_device.open(timeout=0.5) as line:
        assert exchange(line, 5) == 5
        zol_device.set_faults(drop=100)
        assert answered(line) == b""
        zol_device.set_faults(drop=0, corrupt=100)
        reply = answered(line)
        assert len(reply) == REPLY_SIZE and sum(reply) & 0xFF != 0x01  # one byte changed
        zol_device.set_faults(corrupt=0, delay=300)
        line.timeout = 0.1
        assert answered(line) == b""  # held back past the read's 100 ms ...
        line.timeout = 0.5
        assert good_reply(line.read(REPLY_SIZE), 0x41)  # ... and then delivered whole
        zol_device.set_faults(delay=0)
        assert exchange(line, 5) == 5
    state = zol_device.state()
    assert state["faults_applied"] >= 3 and state["requests"] >= 13


@pytest.mark.zol(host="pty")
def test_unplug_on_a_pty_fails_the_program_as_a_pulled_adapter_and_plug_gives_it_back(zol_device):
    line = zol_device.open(timeout=1)
    try:
        assert exchange(line, 3) == 3
        assert zol_device.unplug()["state"] == "unplugged"
        assert not os.path.lexists(zol_device.pty)
        # pyserial's words for a vanished USB serial device: readable, with no data.
        with pytest.raises(serial.SerialException, match="returned no data"):
            line.read(REPLY_SIZE)
        with pytest.raises(serial.SerialException):
            line.write(request(1))  # EIO
    finally:
        line.close()
    zol_device.plug()
    with zol_device.open(timeout=1) as again:
        assert exchange(again, 3, first=7) == 3
    assert zol_device.state()["requests"] == 6  # the device as it was: its counts go on


@pytest.mark.parametrize("zol_device", [{"host": "tcp"}, {"host": "rfc2217"}], indirect=True)
def test_unplug_on_a_listener_closes_the_connection_and_refuses_new_ones(zol_device):
    url = zol_device.tcp or zol_device.rfc2217
    host, port = url.split("://")[1].rsplit(":", 1)
    with zol_device.open(timeout=1) as line:
        assert exchange(line, 2) == 2
        with zol_device.unplugged():
            with pytest.raises((serial.SerialException, ConnectionError, OSError)):
                line.write(request(1))
                line.read(REPLY_SIZE)
                line.write(request(2))
            with pytest.raises(ConnectionRefusedError):
                socket.create_connection((host, int(port)), timeout=2).close()
    with zol_device.open(timeout=1) as again:  # the same URL
        assert exchange(again, 3) == 3


@pytest.mark.zol(host="pty")
def test_a_frozen_device_takes_bytes_and_answers_nothing_until_thawed(zol_device):
    with zol_device.open(timeout=0.3) as line:
        with zol_device.frozen():
            assert zol_device.state()["state"] == "frozen"
            assert exchange(line, 3) == 0
            assert line.out_waiting == 0  # its receiver took them
        assert exchange(line, 3, first=0x20) == 3
    # The latest frame as the device's status line shows it: its third (frozen ones never reached it).
    assert zol_device.state()["last_frame"] == "Frame 2 receivedEA:DD, TORA:22"


def test_changes_are_undone_when_the_test_ends(zol_serve):
    served = zol_serve(2, host="pty", drop=5)
    first, second = served.devices
    first.unplug()
    second.freeze()
    second.set_faults(drop=100, split=1, pace=2400)
    served.undo_steering()
    assert [d.state()["state"] for d in served.devices] == ["waiting", "waiting"]
    assert second.state()["faults"] == {"drop_pct": 5, "corrupt_pct": 0, "delay_ms": [0, 0], "split_ms": None,
                                        "pace_baud": second.options["pace_baud"]}
    with first.open() as line:
        assert exchange(line, 3) == 3


def test_bad_requests_are_refused_with_a_reason(zol_device):
    with pytest.raises(ZolServeError, match="400 .*drop_pct"):
        zol_device.set_faults(drop=150)
    with pytest.raises(ZolServeError, match="404"):
        zol_device._served.control("POST", "api/devices/9/unplug", {})


@pytest.mark.zol(drop=60)
def test_faults_meet_the_command_lines_rule_with_what_a_change_leaves(zol_device, zol_serve):
    with pytest.raises(ZolServeError, match="400 .*drop_pct and corrupt_pct share the replies: together at most 100%"):
        zol_device.set_faults(corrupt=60)
    assert zol_device.state()["faults"]["corrupt_pct"] == 0  # refused: nothing changed
    assert zol_device.set_faults(drop=0, corrupt=60)["faults"]["corrupt_pct"] == 60
    with pytest.raises(ZolServeError, match="--drop and --corrupt share the replies: together at most 100%"):
        zol_serve(1, drop=60, corrupt=60)


@pytest.mark.zol(host="pty", pace=600)
def test_a_faults_change_naming_no_pace_keeps_the_devices_pace(zol_device):
    with zol_device.open(timeout=2) as line:
        assert zol_device.set_faults(drop=0, delay=0)["faults"]["pace_baud"] == 600
        assert zol_device.state()["faults"]["pace_baud"] == 600
        start = time.monotonic()
        assert good_reply(answered(line), 0x41)
        assert time.monotonic() - start >= (7 + 9) * 10 / 600  # a request and its reply at 600 baud: 267 ms


def outcomes(line, count, first):
    """For each of `count` requests: "good", "bad" (a reply that is not) or "none"."""
    seen = []
    for k in range(count):
        reply = answered(line, first + k)
        seen.append("none" if not reply else "good" if good_reply(reply, first + k) else "bad")
    return seen


@pytest.mark.zol(host="pty")
def test_pace_changes_from_the_next_frame_on(zol_device):
    def round_trip(line):
        start = time.monotonic()
        assert good_reply(answered(line), 0x41)
        return time.monotonic() - start

    with zol_device.open(timeout=2) as line:
        assert exchange(line, 2) == 2
        assert zol_device.set_faults(pace=600)["faults"]["pace_baud"] == 600
        slow = round_trip(line)
        zol_device.set_faults(pace=0)
        fast = round_trip(line)
    assert slow >= (7 + 9) * 10 / 600  # a request and its reply at 600 baud: 267 ms
    assert fast < slow / 2, (fast, slow)


class Recorded:
    """Steers a replay as the capture does: nothing to do but wait for the host
    end to come back where the session plugged it."""

    def __init__(self, path):
        self.path = path

    def set_faults(self, **faults):
        pass

    freeze = thaw = unplug = set_faults

    def plug(self):
        deadline = time.monotonic() + 10
        while self.path and not os.path.lexists(self.path) and time.monotonic() < deadline:
            time.sleep(0.02)


def socket_line(url, seconds=0.0):
    """A line on a tcp:// host end, tried again for up to `seconds` while it refuses."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return serial.serial_for_url("socket://" + url[len("tcp://"):], timeout=0.4)
        except serial.SerialException:
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.02)


def steered_session(port, steer, served_pace, open_line=None):
    """A session through every control: its outcomes, one a request, and what a
    read met while the device was unplugged. open_line: how the host program opens
    its port (default: the pty at `port`)."""
    open_line = open_line or (lambda: serial.Serial(port, 115200, timeout=0.4))
    seen = []
    with open_line() as line:
        seen += outcomes(line, 2, 0x10)
        steer.set_faults(drop=100)
        seen += outcomes(line, 1, 0x20)
        steer.set_faults(drop=0, corrupt=100)
        seen += outcomes(line, 1, 0x30)
        steer.set_faults(corrupt=0, pace=1200)
        seen += outcomes(line, 1, 0x38)
        steer.set_faults(pace=served_pace)
        steer.freeze()
        seen += outcomes(line, 2, 0x40)
        steer.thaw()
        seen += outcomes(line, 1, 0x50)
        steer.unplug()
        try:
            line.read(REPLY_SIZE)
            seen.append("still there")
        except serial.SerialException:
            seen.append("gone")
    steer.plug()
    with open_line() as line:
        return seen + outcomes(line, 2, 0x60)


def replayed_session(args, play):
    """zolhost replay (args) while play(its process) plays the host program: what
    play saw, and what the replay said once ended."""
    import subprocess

    replay = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        seen = play(replay)
        replay.terminate()
        out, err = replay.communicate(timeout=20)
    finally:
        if replay.poll() is None:
            replay.kill()
            replay.communicate()
    return seen, out, err


def test_a_steered_sessions_capture_replays_as_recorded(zol_serve, tmp_path):
    import subprocess

    capture = tmp_path / "steered.pcapng"
    served = zol_serve(1, host="pty", pcap=str(capture), seed=5)
    device = served.devices[0]
    recorded = steered_session(device.pty, device, device.options["pace_baud"])
    served.stop()
    assert recorded == ["good"] * 2 + ["none", "bad", "good", "none", "none", "good", "gone", "good", "good"]
    host_end = str(tmp_path / "replayed")

    def play(_):
        Recorded(host_end).plug()  # the host end is there
        return steered_session(host_end, Recorded(host_end), None)

    replayed, out, err = replayed_session(
        [served.zolhost, "--trace", "replay", str(capture), "--as-device", host_end], play)
    assert replayed == recorded, err
    assert "8 requests as recorded, 0 not" in out, out + err  # the frozen two never reached the device
    for made in ("zol-faults from=4 pace=1200", "zol-steer freeze", "zol-steer thaw", "zol-steer unplug",
                 "zol-steer plug"):
        assert made in err, err  # the replay's own trace
    against = subprocess.run([served.zolhost, "replay", str(capture), "--fast", "--spawn"], capture_output=True,
                             text=True, timeout=60)
    assert against.returncode == 0 and "all as recorded" in against.stdout, against.stdout + against.stderr


def test_a_steered_tcp_sessions_replay_plugs_back_on_the_port_it_said(zol_serve, tmp_path):
    """A replay on a port zolhost chose: the recorded plug reopens that port, and
    until then the unplugged end refuses every connection."""
    import selectors

    capture = tmp_path / "steered.pcapng"
    served = zol_serve(1, host="tcp", pcap=str(capture), seed=5)
    device = served.devices[0]
    recorded = steered_session(None, device, device.options["pace_baud"], lambda: socket_line(device.tcp))
    served.stop()
    assert recorded == ["good"] * 2 + ["none", "bad", "good", "none", "none", "good", "gone", "good", "good"]

    def play(replay):
        with selectors.DefaultSelector() as sel:
            sel.register(replay.stdout, selectors.EVENT_READ)
            assert sel.select(10), "no URL from the replay within 10 s"
        url = replay.stdout.readline().strip()
        assert url.startswith("tcp://127.0.0.1:"), url
        return steered_session(None, Recorded(None), None, lambda: socket_line(url, 10))

    replayed, out, err = replayed_session(
        [served.zolhost, "replay", str(capture), "--as-device", "tcp://127.0.0.1:0"], play)
    assert replayed == recorded, err
    assert "8 requests as recorded, 0 not" in out, out + err
    assert "tcp://" not in out, out  # no second port to tell of
