#!/usr/bin/python3
"""Figures of zolhost run against a plain pty link:
    tools/run-bench.py [ZOLHOST] [ROUNDS]   (default: build/release/host/zolhost, 3000)

The same pyserial host program (tests/host/link_host.py, one request at a time)
against the built-in device, two ways: through `zolhost run` with the program
opening a fixed path that does not exist (/dev/ttyZOLBENCH0), and through
`zolhost link` with the program opening the link's pty path itself. Each way
unpaced (--pace 0: what zolhost adds, nothing else) and at the device's 115200
baud; three turns each, alternating, the median of each turn's median round trip
taken. Goal: run within 1.2x of link. Ends by itself."""

import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ZOLHOST = sys.argv[1] if len(sys.argv) > 1 else "build/release/host/zolhost"
ROUNDS = sys.argv[2] if len(sys.argv) > 2 else "3000"
HOST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "host", "link_host.py")
PYTHON = "/usr/bin/python3"
TURNS = 3


def median_rtt(out):
    m = re.search(r"good (\d+) .* rtt_median_us (\d+)", out)
    if m is None or m.group(1) != ROUNDS:
        sys.exit("the host program did not get every reply: " + out)
    return int(m.group(2))


def through_run(pace):
    out = subprocess.run([ZOLHOST, "run", "--pace", pace, "--tty", "/dev/ttyZOLBENCH0=builtin", "--",
                          PYTHON, HOST, "/dev/ttyZOLBENCH0", ROUNDS], capture_output=True, text=True,
                         timeout=300).stdout
    return median_rtt(out)


def through_link(pace):
    with tempfile.TemporaryDirectory() as d:
        port = os.path.join(d, "port")
        link = subprocess.Popen([ZOLHOST, "--pace", pace, "link", port, "--builtin"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while not os.path.lexists(port):
                if time.monotonic() > deadline:
                    sys.exit("zolhost link made no port")
                time.sleep(0.01)
            out = subprocess.run([PYTHON, HOST, port, ROUNDS], capture_output=True, text=True, timeout=300).stdout
            return median_rtt(out)
        finally:
            link.send_signal(signal.SIGINT)
            link.wait(timeout=10)


def main():
    print("round trip, median of %d requests, median of %d turns (zolhost: %s)" % (int(ROUNDS), TURNS, ZOLHOST))
    for pace, what in (("0", "unpaced"), ("115200", "115200 baud")):
        run, link = [], []
        for _ in range(TURNS):
            link.append(through_link(pace))
            run.append(through_run(pace))
        r, k = statistics.median(run), statistics.median(link)
        print("  %-12s zolhost run %6d us   zolhost link (pty path) %6d us   run/link %.2fx (goal <= 1.2x)"
              % (what, r, k, r / k))


if __name__ == "__main__":
    main()
