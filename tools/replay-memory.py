#!/usr/bin/env python3
"""How much memory zolhost replay takes for a big capture: its peak resident set
beside the capture's size.

A real session is captured first (zolhost link --pcap in front of the built-in
device, with corrupted and delayed replies, driven by zolhost drive); its packet
blocks are then written again and again, each round later in time, until the
capture is --mb MiB. The capture is then replayed both ways, each run ended once
its link is up (everything is read by then):
  - against a device (the built-in one behind a zolhost link, over tcp://), --fast;
  - as the device, to a tcp:// host end nothing opens.

    tools/replay-memory.py [--zolhost build/ci/host/zolhost] [--mb 256] [--dir DIR]

A figure, not a test: it fails only when a replay does not start.
"""

import argparse
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

EPB = 6  # enhanced packet block


def blocks(data):
    """The blocks of a little-endian pcapng file: (type, bytes)."""
    at = 0
    while at + 8 <= len(data):
        kind, length = struct.unpack_from("<II", data, at)
        yield kind, data[at:at + length]
        at += length


def wait_for_line(proc, words, seconds):
    """Reads proc's stderr until a line holds `words`; the lines read."""
    deadline = time.monotonic() + seconds
    seen = []
    while time.monotonic() < deadline:
        line = proc.stderr.readline()
        if not line:
            break
        seen.append(line)
        if words in line:
            return seen
    raise SystemExit(f"no '{words}' within {seconds} s: {''.join(seen)}")


def record_sample(zolhost, work):
    """A real capture of a few hundred exchanges; its path."""
    path = os.path.join(work, "sample.pcapng")
    link = subprocess.Popen([zolhost, "link", "tcp://127.0.0.1:0", "--builtin", "--pcap", path, "--corrupt", "10",
                             "--delay", "0-2", "--seed", "3"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True)
    try:
        url = link.stdout.readline().strip()
        # Exit status 1: some replies were corrupted, as asked.
        subprocess.run([zolhost, "--port", url, "drive", "--rate", "2000", "--count", "400"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    finally:
        link.send_signal(signal.SIGTERM)
        link.wait(timeout=10)
    return path


def synthesise(sample, path, mib):
    """The sample's packets again and again, each round after the last, up to mib MiB."""
    with open(sample, "rb") as f:
        data = f.read()
    head, packets = b"", []
    for kind, b in blocks(data):
        if kind == EPB:
            packets.append(b)
        else:
            head += b
    times = [hi << 32 | lo for hi, lo in (struct.unpack_from("<II", b, 12) for b in packets)]
    span = times[-1] - times[0] + 1000
    with open(path, "wb") as out:
        out.write(head)
        size, count, shift = len(head), 0, 0
        while size < mib << 20:
            for b, us in zip(packets, times):
                t = us + shift
                out.write(b[:12] + struct.pack("<II", t >> 32, t & 0xFFFFFFFF) + b[20:])
                size += len(b)
            count += len(packets)
            shift += span
    return size, count


def cpu_seconds(pid):
    """User and system time of a running process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss(argv, words, settle):
    """Runs argv until its stderr says `words`, `settle` s more, then ends it: (peak MiB, CPU seconds until then)."""
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        wait_for_line(proc, words, 600)
        up = cpu_seconds(proc.pid)
        time.sleep(settle)
    finally:
        proc.send_signal(signal.SIGTERM)
    _, _, usage = os.wait4(proc.pid, 0)
    return usage.ru_maxrss / 1024, up


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--zolhost", default=os.path.join(here, "..", "build", "ci", "host", "zolhost"))
    ap.add_argument("--mb", type=int, default=256, help="the capture's size in MiB (at most 1024)")
    ap.add_argument("--dir", help="where the captures go (default: a temp dir, removed)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        big = os.path.join(work, "big.pcapng")
        size, packets = synthesise(record_sample(args.zolhost, work), big, args.mb)
        print(f"capture: {size / 2**20:.0f} MiB, {packets} packet blocks")
        link = subprocess.Popen([args.zolhost, "link", "tcp://127.0.0.1:0", "--builtin", "--pace", "0"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            url = link.stdout.readline().strip()
            runs = [("against a device, --fast", [args.zolhost, "--port", url, "replay", big, "--fast"]),
                    ("as the device", [args.zolhost, "replay", big, "--as-device", "tcp://127.0.0.1:0"])]
            for name, argv in runs:
                peak, up = peak_rss(argv, "linking", 1)
                print(f"replay {name}: peak resident {peak:.0f} MiB ({peak / (size / 2**20):.2f} x the capture), "
                      f"read in {up:.1f} s of CPU")
        finally:
            link.send_signal(signal.SIGTERM)
            link.wait(timeout=10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
