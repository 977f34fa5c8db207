#!/usr/bin/python3
"""Figures of zolhost.exe run under Wine against Wine's own COM mapping:
    tools/run-bench-wine.py [WINBUILD] [LINUXZOLHOST] [FRAMES]
    (defaults: build/win-x86_64, build/release/host/zolhost, 2000)

The same Windows program, zolhost.exe's bench (round trips one at a time, then
pipelined), against the built-in device behind an unpaced link (--pace 0: what
the way in adds, nothing else), two ways:
  run:  zolhost.exe run --com COM7=builtin, the bench opening COM7 through the DLL
        (an RFC 2217 connection to zolhost.exe's link, its bytes through shared rings);
  wine: Wine's COM2 mapped to a pty (the prefix's dosdevices/com2), whose other
        side is zolhost link --builtin on Linux.
Three turns each, alternating, the median of each turn's median round trip taken;
prints both and run's ratio to wine (goal: 1.2 or under). Then, for scale, the least
any way through a loopback socket between two Wine processes takes: a round trip
of tests/wine/loopback_pingpong.exe (blocking send and recv, no link, no device).
Uses WINEPREFIX (a fresh one of its own when unset) and ends by itself."""

import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

WINBUILD = sys.argv[1] if len(sys.argv) > 1 else "build/win-x86_64"
LINUX_ZOLHOST = sys.argv[2] if len(sys.argv) > 2 else "build/release/host/zolhost"
FRAMES = sys.argv[3] if len(sys.argv) > 3 else "2000"
ZOLHOST_EXE = os.path.join(WINBUILD, "host", "zolhost.exe")
TURNS = 3
WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"


def bench(args):
    """Median round trip (us) of zolhost.exe's bench as the command given runs it."""
    done = subprocess.run([WINE] + args + ["bench", "--frames", FRAMES, "--json"], capture_output=True, text=True,
                          timeout=600)
    start = done.stdout.find("{")
    if done.returncode != 0 or start < 0:
        sys.exit("the bench failed (%d): %s%s" % (done.returncode, done.stdout, done.stderr))
    target = json.loads(done.stdout[start:done.stdout.rfind("}") + 1])["targets"][0]
    if not target["ok"]:
        sys.exit("the bench did not get every reply: " + json.dumps(target))
    return target["round_trip_us"]["median_us"]


def through_run():
    return bench([ZOLHOST_EXE, "run", "--pace", "0", "--com", "COM7=builtin", "--", ZOLHOST_EXE, "--port", "COM7"])


def through_wine_mapping(prefix):
    with tempfile.TemporaryDirectory() as d:
        port = os.path.join(d, "port")
        link = subprocess.Popen([LINUX_ZOLHOST, "--pace", "0", "link", port, "--builtin"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        com2 = os.path.join(prefix, "dosdevices", "com2")
        try:
            for _ in range(1000):  # 10 s
                if os.path.lexists(port):
                    break
                time.sleep(0.01)
            else:
                sys.exit("zolhost link made no port")
            if os.path.lexists(com2):
                os.remove(com2)
            os.symlink(os.path.realpath(port), com2)
            return bench([ZOLHOST_EXE, "--port", "COM2"])
        finally:
            if os.path.lexists(com2):
                os.remove(com2)
            link.send_signal(signal.SIGINT)
            link.wait(timeout=10)


def socket_floor():
    """Median round trip (us) of two Wine processes over loopback TCP, nothing else."""
    probe = os.path.join(WINBUILD, "tests", "wine", "loopback_pingpong.exe")
    port = "47391"
    server = subprocess.Popen([WINE, probe, "serve", port], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True)
    try:
        if server.stdout.readline().strip() != "listening":
            sys.exit("loopback_pingpong.exe did not listen")
        done = subprocess.run([WINE, probe, "ping", port, FRAMES], capture_output=True, text=True, timeout=600)
        if done.returncode != 0:
            sys.exit("loopback_pingpong.exe failed: " + done.stderr)
        return float(done.stdout.strip().splitlines()[-1])
    finally:
        server.kill()
        server.wait(timeout=10)


def main():
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    own = None
    if "WINEPREFIX" not in os.environ:
        own = tempfile.mkdtemp(prefix="zolbench-wine.")
        os.environ["WINEPREFIX"] = own
    prefix = os.environ["WINEPREFIX"]
    try:
        subprocess.run([WINE, "wineboot", "--init"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=True)
        runs, wines = [], []
        for _ in range(TURNS):
            runs.append(through_run())
            wines.append(through_wine_mapping(prefix))
        run, wine = statistics.median(runs), statistics.median(wines)
        print("round trip median, %s frames, %d turns: run %.0f us, Wine's COM mapping %.0f us; run/wine %.2fx "
              "(goal <= 1.2x)" % (FRAMES, TURNS, run, wine, run / wine))
        floor = statistics.median(socket_floor() for _ in range(TURNS))
        print("for scale: two Wine processes over loopback TCP, blocking send and recv alone: %.0f us (%.2fx wine)"
              % (floor, floor / wine))
    finally:
        if own is not None:
            subprocess.run(["wineserver", "-k"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            shutil.rmtree(own, ignore_errors=True)


main()
