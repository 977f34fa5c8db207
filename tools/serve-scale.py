#!/usr/bin/env python3
"""How zolhost serve scales on this machine: for 1, 2, 4, 8 and 16 devices, each
device gets a host of its own that drives it at wire pace (zolhost bench over the
device's tcp:// end, one request at a time, the link paced at 115200 baud both
ways), all at once. Prints, per device count, the round trip a host sees (the
median of the hosts' medians, the median and the worst of their p99s) and the CPU
each device costs: its zolemul, its share of zolhost serve (the link) and its
host, in per cent of one core, measured over the hosts' run.

    tools/serve-scale.py [--zolhost build/release/host/zolhost] [--devices 1,2,4,8,16]
                         [--frames 2000]

A figure, not a test: it checks only that every reply was good.
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pytest-zolemul"))
from pytest_zolemul import Served  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User and system time of a running process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run(zolhost, devices, frames):
    with Served(zolhost, devices, host="tcp") as served:
        emulators = [d.pid for d in served.devices]
        before = {pid: cpu_seconds(pid) for pid in emulators + [served.proc.pid]}
        hosts_before = children_cpu()
        started = time.monotonic()
        hosts = [subprocess.Popen([zolhost, "--port", d.tcp, "--timeout", "2000", "bench", "--frames", str(frames),
                                   "--window", "1", "--seconds", "0.1", "--json"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                 for d in served.devices]
        reports = [json.loads(h.communicate()[0])["targets"][0] for h in hosts]
        seconds = time.monotonic() - started
        emulator_cpu = [cpu_seconds(pid) - before[pid] for pid in emulators]
        link_cpu = cpu_seconds(served.proc.pid) - before[served.proc.pid]
        hosts_cpu = children_cpu() - hosts_before
        summaries = served.stop()
    if not all(r["ok"] for r in reports) or any(s["dropped"] or s["corrupted"] for s in summaries):
        raise SystemExit(f"{devices} devices: a reply was missing or bad: {[r['failure'] for r in reports]}")
    medians = [r["round_trip_us"]["median_us"] for r in reports]
    p99s = [r["round_trip_us"]["p99_us"] for r in reports]
    per_core = 100 / seconds / devices
    return {
        "devices": devices,
        "median_us": statistics.median(medians),
        "p99_median_us": statistics.median(p99s),
        "p99_worst_us": max(p99s),
        "zolemul_pct": sum(emulator_cpu) * per_core,
        "link_pct": link_cpu * per_core,
        "host_pct": hosts_cpu * per_core,
        "replies_per_s": sum(r["ping_pong"]["good"] + r["pipelined"]["good"] for r in reports) / seconds,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--zolhost", default="build/release/host/zolhost")
    parser.add_argument("--devices", default="1,2,4,8,16")
    parser.add_argument("--frames", type=int, default=2000)
    a = parser.parse_args()
    zolhost = os.path.abspath(a.zolhost)
    cores = len(os.sched_getaffinity(0))
    print(f"zolhost serve on {cores} cores: each device driven by its own host at wire pace "
          f"(115200 baud, one request at a time, {a.frames} round trips and 0.1 s more)")
    print(f"{'devices':>7} {'median':>9} {'p99 median':>11} {'p99 worst':>10} "
          f"{'zolemul':>8} {'link':>6} {'host':>6} {'replies/s':>10}   (CPU: % of a core per device)")
    for n in [int(x) for x in a.devices.split(",")]:
        r = run(zolhost, n, a.frames)
        print(f"{r['devices']:>7} {r['median_us'] / 1000:>7.2f}ms {r['p99_median_us'] / 1000:>9.2f}ms "
              f"{r['p99_worst_us'] / 1000:>8.2f}ms {r['zolemul_pct']:>7.0f}% {r['link_pct']:>5.1f}% "
              f"{r['host_pct']:>5.1f}% {r['replies_per_s']:>10.0f}", flush=True)


if __name__ == "__main__":
    main()
