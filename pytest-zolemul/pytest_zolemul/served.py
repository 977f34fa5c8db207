"""Devices served by ``zolhost serve``: start them, learn where they are, end them.

Nothing here needs pytest; the plugin (plugin.py) builds its fixtures on it.
"""

import contextlib
import json
import os
import selectors
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

# Options of zolhost serve a device can be given, as keyword arguments: the
# link's options (pace, faults, seed, trace, capture), the host end, and what plays
# the device (engine: "builtin", zolhost's own, or "zolemul", a process each).
DEVICE_OPTIONS = ("host", "pace", "drop", "corrupt", "delay", "split", "seed", "mismatch", "trace", "pcap", "engine")
ENGINES = ("builtin", "zolemul")


class ZolServeError(Exception):
    """zolhost serve did not bring its devices up, or did not end cleanly."""


def find_zolhost(given=None):
    """zolhost's path: `given`, else $ZOLHOST, else the one on PATH."""
    path = given or os.environ.get("ZOLHOST") or shutil.which("zolhost")
    if not path:
        raise ZolServeError("zolhost not found: put it on PATH, set ZOLHOST, or give --zolhost PATH")
    if not os.access(path, os.X_OK):
        raise ZolServeError(f"zolhost {path}: not an executable file")
    return os.path.abspath(path)


def option_words(options):
    """zolhost's words for a dict of DEVICE_OPTIONS ({"drop": 10} -> ["--drop", "10"])."""
    words = []
    for key, value in options.items():
        if key not in DEVICE_OPTIONS:
            raise ZolServeError(f"unknown device option {key!r} (known: {', '.join(DEVICE_OPTIONS)})")
        if key == "trace":
            words += ["--trace"] if value else []
        elif value is not None:
            words += [f"--{key}", str(value)]
    return words


class Device:
    """One served device: where its host end is, what plays it (engine; pid is
    its zolemul's, or serve's own for a built-in device, whose dir is None), and
    its summary once the devices it was served with have ended."""

    def __init__(self, served, entry):
        self._served = served
        self.index = entry["index"]
        self.pty = entry["pty"]
        self.rfc2217 = entry["rfc2217"]
        self.tcp = entry["tcp"]
        self.engine = entry["engine"]
        self.pid = entry["pid"]
        self.dir = entry["dir"]
        self.options = entry["options"]

    @property
    def port(self):
        """What pyserial's serial_for_url opens: the pty's path, or the URL
        (a tcp:// end as pyserial's socket://)."""
        if self.pty:
            return self.pty
        if self.rfc2217:
            return self.rfc2217
        return "socket://" + self.tcp[len("tcp://"):]

    def open(self, timeout=1.0, **kwargs):
        """A pyserial port on the device's host end, at the device's 115200 8N1."""
        import serial  # pyserial: only needed by those who open ports through here

        return serial.serial_for_url(self.port, baudrate=115200, timeout=timeout, **kwargs)

    # Steering the device while it runs, through serve's control API. Each call
    # returns once the change is made: it applies from the next frame on. Every
    # change is undone when the test ends (Served.undo_steering).

    def state(self):
        """The device as serve sees it now: state ("open", "waiting", "frozen",
        "unplugged"), requests, replies, faults_applied, faults (with the
        pace), last_frame (as the device's status line shows it)."""
        return self._served.control("GET", f"api/devices/{self.index}")

    def set_faults(self, drop=None, corrupt=None, delay=None, split=..., pace=None):
        """Changes the link's faults from the next reply on: drop and corrupt in
        percent, delay in ms (a number, or (least, most)), split in ms (None:
        whole again), pace in baud for the bytes from now on (0: not paced);
        what is not given stays. The values meet zolhost's rule together with
        what stays (drop and corrupt at most 100% between them): a change it
        refuses raises ZolServeError with its words and changes nothing."""
        body = {}
        if drop is not None:
            body["drop_pct"] = drop
        if corrupt is not None:
            body["corrupt_pct"] = corrupt
        if delay is not None:
            body["delay_ms"] = list(delay) if isinstance(delay, (tuple, list)) else delay
        if split is not ...:
            body["split_ms"] = split
        if pace is not None:
            body["pace_baud"] = pace
        return self._steer("faults", body)

    def unplug(self):
        """The host end goes as a pulled USB adapter does: a pty's path goes and
        the program's reads and writes fail; a listener closes its connection and
        refuses new ones."""
        return self._steer("unplug")

    def plug(self):
        """The host end back at the same path or URL, the device as it was."""
        return self._steer("plug")

    def freeze(self):
        """The device stops answering; its receiver still takes the bytes."""
        return self._steer("freeze")

    def thaw(self):
        return self._steer("thaw")

    @contextlib.contextmanager
    def unplugged(self):
        self.unplug()
        try:
            yield self
        finally:
            self.plug()

    @contextlib.contextmanager
    def frozen(self):
        self.freeze()
        try:
            yield self
        finally:
            self.thaw()

    @contextlib.contextmanager
    def faults(self, **faults):
        """set_faults(**faults) for the block, the faults before it after."""
        before = self.state()["faults"]
        self.set_faults(**faults)
        try:
            yield self
        finally:
            self.set_faults(drop=before["drop_pct"], corrupt=before["corrupt_pct"], delay=before["delay_ms"],
                            split=before["split_ms"], pace=before["pace_baud"])

    def _steer(self, action, body=None):
        self._served.steered.add(self.index)
        return self._served.control("POST", f"api/devices/{self.index}/{action}", body or {})

    def summary(self):
        """What the device's link counted (requests, replies, faults). Ends every
        device served with it first, if still running."""
        return self._served.stop()[self.index]

    def __repr__(self):
        return f"<{self.engine} device {self.index} at {self.port}, pid {self.pid}>"


class Served:
    """``zolhost serve`` running N devices. Use as a context manager, or call
    stop(): it ends every device and removes every file it made."""

    def __init__(self, zolhost, devices=1, per_device=None, device_exe=None, wait=20, **options):
        self.zolhost = zolhost
        self.summaries = None
        self.returncode = None
        args = [zolhost, "--wait", str(wait), "serve", "--devices", str(devices), "--exit-with-stdin"]
        if device_exe:
            args += ["--device-exe", str(device_exe)]
        pace = options.pop("pace", None)
        if pace is not None:
            args[1:1] = ["--pace", str(pace)]
        if options.pop("trace", False):
            args[1:1] = ["--trace"]
        args += option_words(options)
        for index, own in sorted((per_device or {}).items()):
            # serve splits the words as a shell does: a value with spaces stays one.
            args += ["--on", f"{index}:{' '.join(shlex.quote(w) for w in option_words(own))}"]
        self.args = args
        self._stderr = tempfile.TemporaryFile()
        # Its standard input is ours: when this process goes, however it goes, so
        # does zolhost serve with every device.
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._stderr)
        try:
            line = self._first_line(wait + 10)
        except BaseException:
            self.stop(check=False)
            raise
        if not line:
            self.proc.wait()
            self.returncode = self.proc.returncode
            raise ZolServeError(f"zolhost serve ended with status {self.returncode} before its devices were up: "
                                f"{self.stderr().strip()}")
        self.document = json.loads(line)
        self.devices = [Device(self, entry) for entry in self.document["devices"]]
        self.steered = set()

    def control(self, method, path, body=None, seconds=10):
        """A request to serve's control API: its JSON answer. ZolServeError when
        it answers with an error (its message) or serve has none."""
        at = self.document.get("control")
        if not at:
            raise ZolServeError("zolhost serve runs without its control API (--control off)")
        data = json.dumps(body).encode() if body is not None else None
        headers = {"Content-Type": "application/json"}
        if at.get("token"):
            headers["Authorization"] = "Bearer " + at["token"]
        request = urllib.request.Request(at["url"] + path, data=data, method=method, headers=headers)
        try:
            with urllib.request.urlopen(request, timeout=seconds) as answer:
                return json.load(answer)
        except urllib.error.HTTPError as e:
            text = e.read().decode(errors="replace")
            raise ZolServeError(f"{method} {path}: {e.code} {text}") from None

    def undo_steering(self):
        """Every steered device plugged, thawed and back to the faults it was
        served with."""
        for index in sorted(self.steered):
            device = self.devices[index]
            o = device.options
            device.plug()
            device.thaw()
            device.set_faults(drop=o["drop_pct"], corrupt=o["corrupt_pct"], delay=o["delay_ms"], split=o["split_ms"],
                              pace=o["pace_baud"])
        self.steered.clear()

    def _first_line(self, seconds):
        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            if not sel.select(seconds):
                raise ZolServeError(f"zolhost serve: no devices within {seconds} s: {self.stderr().strip()}")
        return self.proc.stdout.readline()

    def stderr(self):
        """What zolhost serve has said on standard error so far."""
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace")

    def stop(self, check=True, seconds=30):
        """Ends every device (SIGTERM) and returns their summaries, a dict each,
        by device index. With check, raises ZolServeError when zolhost serve
        did not end with 0 (a device that died, a zolemul that would not end)."""
        if self.returncode is None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
            try:
                out, _ = self.proc.communicate(timeout=seconds)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                out, _ = self.proc.communicate()
            self.returncode = self.proc.returncode
            lines = [json.loads(l) for l in out.splitlines() if l.strip()]
            self.summaries = next((l["summary"] for l in lines if "summary" in l), None)
        if check and (self.returncode != 0 or self.summaries is None):
            raise ZolServeError(f"zolhost serve ended with status {self.returncode}: {self.stderr().strip()}")
        return self.summaries

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop(check=exc[0] is None)
        self._stderr.close()


def wait_gone(pids, paths, seconds=10):
    """True once none of the processes runs and none of the paths exists."""
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        alive = [p for p in pids if os.path.exists(f"/proc/{p}")]
        there = [p for p in paths if p and os.path.lexists(p)]
        if not alive and not there:
            return True
        time.sleep(0.05)
    return False
