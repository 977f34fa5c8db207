#!/usr/bin/env python3
"""How zolhost serve scales on this machine, for each engine (built-in devices,
all on one thread of serve; zolemul, a process each), its devices behind links
paced at 115200 baud over tcp:// host ends.

Polled: every device gets a request 10 times a second (one host process polls
them all, waking once per whole reply), for --seconds; then all sit idle as long.
Prints the round trips (median, p99, max over all devices), the CPU of serve and
its zolemuls while polled and while idle (per cent of one core), serve's memory
(peak resident, with its zolemuls'), and how soon the devices' JSON came.

Wire pace: each device driven by a host of its own (zolhost bench over its
tcp:// end, one request at a time), all at once: the median of the hosts'
medians and the worst p99.

Unpaced flood: one device of each engine behind an unpaced link (--pace 0), one
host sending --flood requests in one write while it reads: the rate, requests a
second, end to end, and the replies that came (each whole and good, or it fails).

Wire pace over tcp:// with Nagle's algorithm on at the host (pyserial's
socket:// leaves it on): one built-in device paced at 115200, one request at a
time, up to 500 round trips: min, median, p99, max, and the median against its
bound, a few byte times over the wire's 1.39 ms (an end that sent its paced
bytes with Nagle's algorithm on would wait for the host's delayed
acknowledgement: some 44 ms).

Isolation (--isolation N): N built-in devices polled as above, then the same with
device 0 frozen and device 1 delayed 500 ms through serve's control API (both
still sent requests by hosts of their own): the other N-2 devices' round trips
in both runs, side by side.

    tools/serve-scale.py [--zolhost build/release/host/zolhost] [--engines builtin,zolemul]
                         [--polled-builtin 1,16,64,256] [--polled-zolemul 1,4,16]
                         [--paced-builtin 1,16] [--paced-zolemul 1,4] [--seconds 10] [--frames 2000]
                         [--flood 20000] [--isolation 64]

A figure, not a test: it fails only when a reply was missing or wrong.
"""

import argparse
import json
import os
import resource
import selectors
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pytest-zolemul"))
from pytest_zolemul import Served  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
RATE = 10  # requests a second to each device


def cpu_seconds(pids):
    """User and system time of running processes, in seconds."""
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += (int(fields[11]) + int(fields[12])) / TICKS
    return total


def peak_memory_mb(pids):
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    total += int(line.split()[1]) / 1024
    return total


def request(d1):
    frame = [0x02, d1, 0, 0, 0, 0x03]
    return bytes(frame + [(1 - sum(frame)) & 0xFF])


def reply(d1):
    frame = [0x12, d1 ^ 0xFF, 0, 0, 0, 0, 0, 0x13]
    return bytes(frame + [(1 - sum(frame)) & 0xFF])


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p))]


def poll(devices, seconds):
    """Each device a request every 1/RATE s, spread evenly; round trips in us."""
    sel = selectors.DefaultSelector()
    conns = []
    for k, d in enumerate(devices):
        host, port = d.tcp[len("tcp://"):].rsplit(":", 1)
        s = socket.create_connection((host, int(port)))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVLOWAT, 9)  # woken once a whole reply is there
        c = {"sock": s, "next": time.monotonic() + 0.2 + k / len(devices) / RATE, "sent": None, "d1": 0, "got": b""}
        sel.register(s, selectors.EVENT_READ, c)
        conns.append(c)
    rtts, bad = [], 0
    end = time.monotonic() + seconds
    while True:
        now = time.monotonic()
        for c in conns:
            if c["sent"] is None and c["next"] <= now < end:
                c["d1"] = (c["d1"] + 1) & 0xFF
                c["sent"] = time.monotonic()
                c["sock"].send(request(c["d1"]))
                c["next"] += 1 / RATE
        waiting = [c for c in conns if c["sent"] is not None]
        if now >= end and not waiting:
            break
        if waiting and now - min(c["sent"] for c in waiting) > 5:
            raise SystemExit(f"{len(waiting)} replies missing after 5 s")
        nxt = min([c["next"] for c in conns if c["sent"] is None and c["next"] < end] + [now + 0.05])
        for key, _ in sel.select(max(0, nxt - time.monotonic())):
            c = key.data
            c["got"] += c["sock"].recv(64)
            if len(c["got"]) >= 9 and c["sent"] is not None:
                rtts.append((time.monotonic() - c["sent"]) * 1e6)
                bad += c["got"][:9] != reply(c["d1"])
                c["got"] = c["got"][9:]
                c["sent"] = None
    for c in conns:
        c["sock"].close()
    if bad:
        raise SystemExit(f"{bad} wrong replies")
    return rtts


def polled(zolhost, engine, devices, seconds):
    started = time.monotonic()
    with Served(zolhost, devices, host="tcp", engine=engine) as served:
        appeared = time.monotonic() - started
        pids = [served.proc.pid] + ([d.pid for d in served.devices] if engine == "zolemul" else [])
        before = cpu_seconds(pids)
        t0 = time.monotonic()
        rtts = poll(served.devices, seconds)
        busy = (cpu_seconds(pids) - before) / (time.monotonic() - t0) * 100
        before, t0 = cpu_seconds(pids), time.monotonic()
        time.sleep(min(seconds, 5))
        idle = (cpu_seconds(pids) - before) / (time.monotonic() - t0) * 100
        memory = peak_memory_mb(pids)
        summaries = served.stop()
    if any(s["dropped"] or s["corrupted"] for s in summaries):
        raise SystemExit(f"{engine} {devices}: a reply was dropped or corrupted")
    expected = devices * seconds * RATE
    if len(rtts) < expected * 0.95:
        raise SystemExit(f"{engine} {devices}: {len(rtts)} round trips of about {expected}")
    return {"median": statistics.median(rtts), "p99": percentile(rtts, 0.99), "max": max(rtts), "busy": busy,
            "idle": idle, "memory": memory, "appeared": appeared, "count": len(rtts)}


def paced(zolhost, engine, devices, frames):
    with Served(zolhost, devices, host="tcp", engine=engine) as served:
        hosts = [subprocess.Popen([zolhost, "--port", d.tcp, "--timeout", "2000", "bench", "--frames", str(frames),
                                   "--window", "1", "--seconds", "0.1", "--json"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                 for d in served.devices]
        reports = [json.loads(h.communicate()[0])["targets"][0] for h in hosts]
        summaries = served.stop()
    if not all(r["ok"] for r in reports) or any(s["dropped"] or s["corrupted"] for s in summaries):
        raise SystemExit(f"{devices} devices: a reply was missing or bad: {[r['failure'] for r in reports]}")
    return {"median": statistics.median(r["round_trip_us"]["median_us"] for r in reports),
            "p99": max(r["round_trip_us"]["p99_us"] for r in reports)}


def flood(zolhost, engine, count):
    """`count` requests in one sendall to one device over an unpaced link, read
    as they come; requests a second from the first byte sent to the last received."""
    with Served(zolhost, 1, host="tcp", engine=engine, pace=0) as served:
        host, port = served.devices[0].tcp[len("tcp://"):].rsplit(":", 1)
        data = b"".join(request(k & 0xFF) for k in range(count))
        got = bytearray()
        with socket.create_connection((host, int(port))) as s:
            def read():
                s.settimeout(5)
                while len(got) < 9 * count:
                    try:
                        chunk = s.recv(65536)
                    except socket.timeout:
                        return
                    if not chunk:
                        return
                    got.extend(chunk)

            reader = threading.Thread(target=read)
            t0 = time.monotonic()
            reader.start()
            s.sendall(data)
            reader.join()
            seconds = time.monotonic() - t0
        served.stop()
    # Whole replies only, each a good one (a device that drops some drops them whole).
    if len(got) % 9 or any(got[k:k + 9] != reply(got[k + 1] ^ 0xFF) for k in range(0, len(got), 9)):
        raise SystemExit(f"{engine} flood: a reply cut or wrong")
    return len(got) // 9, count / seconds


def nagle_round_trips(zolhost, frames):
    """Round trips over a built-in device's tcp:// end at 115200, from a host with
    Nagle's algorithm on, one request at a time; in us."""
    with Served(zolhost, 1, host="tcp", engine="builtin") as served:
        host, port = served.devices[0].tcp[len("tcp://"):].rsplit(":", 1)
        rtts = []
        with socket.create_connection((host, int(port))) as s:
            s.settimeout(2)
            for k in range(frames):
                got = b""
                t0 = time.monotonic()
                s.sendall(request(k & 0xFF))
                while len(got) < 9:
                    chunk = s.recv(64)
                    if not chunk:
                        raise SystemExit("the tcp:// end closed")
                    got += chunk
                rtts.append((time.monotonic() - t0) * 1e6)
                if got != reply(k & 0xFF):
                    raise SystemExit(f"round trip {k}: a wrong reply")
        served.stop()
    return rtts


def misbehaving(device, stop, answered):
    """A host that keeps asking `device` once a second (reads what comes, if
    anything); answered[index]: the replies' worth of bytes that came."""
    host, port = device.tcp[len("tcp://"):].rsplit(":", 1)
    with socket.create_connection((host, int(port))) as s:
        s.settimeout(0.1)
        d1 = got = 0
        while not stop.is_set():
            d1 = (d1 + 1) & 0xFF
            s.send(request(d1))
            end = time.monotonic() + 1
            while time.monotonic() < end and not stop.is_set():
                try:
                    got += len(s.recv(64))
                except socket.timeout:
                    pass
            answered[device.index] = got // 9


def isolation(zolhost, devices, seconds, engine="builtin"):
    """The others' round trips, with devices 0 and 1 as served, then frozen and delayed."""
    figures = []
    for steer in (False, True):
        with Served(zolhost, devices, host="tcp", engine=engine) as served:
            if steer:
                served.devices[0].freeze()
                served.devices[1].set_faults(delay=500)
            stop, answered = threading.Event(), {0: 0, 1: 0}
            hosts = [threading.Thread(target=misbehaving, args=(d, stop, answered)) for d in served.devices[:2]]
            for h in hosts:
                h.start()
            try:
                rtts = poll(served.devices[2:], seconds)
            finally:
                stop.set()
                for h in hosts:
                    h.join()
            served.stop()
        figures.append((statistics.median(rtts), percentile(rtts, 0.99), len(rtts), dict(answered)))
    return figures


def counts(text):
    return [int(x) for x in text.split(",") if x]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--zolhost", default="build/release/host/zolhost")
    parser.add_argument("--engines", default="builtin,zolemul")
    parser.add_argument("--polled-builtin", default="1,16,64,256")
    parser.add_argument("--polled-zolemul", default="1,4,16")
    parser.add_argument("--paced-builtin", default="1,16")
    parser.add_argument("--paced-zolemul", default="1,4")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--flood", type=int, default=20000, help="requests in the unpaced flood (0: none)")
    parser.add_argument("--isolation", type=int, default=0, help="devices for the isolation figures only (e.g. 64)")
    a = parser.parse_args()
    zolhost = os.path.abspath(a.zolhost)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # the poller holds a socket a device
    print(f"zolhost serve on {len(os.sched_getaffinity(0))} cores, links paced at 115200 baud over tcp:// "
          f"(the wire alone: 1.39 ms a round trip)")
    if a.isolation:
        (m0, p0, n0, a0), (m1, p1, n1, a1) = isolation(zolhost, a.isolation, a.seconds)
        print(f"isolation: {a.isolation} built-in devices, the other {a.isolation - 2} polled {RATE}/s each for "
              f"{a.seconds:g} s")
        print(f"  devices 0 and 1 as served:               median {m0 / 1000:.3f} ms, p99 {p0 / 1000:.3f} ms "
              f"({n0} round trips; 0 and 1 answered {a0[0]}, {a0[1]})")
        print(f"  device 0 frozen, device 1 delayed 500 ms: median {m1 / 1000:.3f} ms, p99 {p1 / 1000:.3f} ms "
              f"({n1} round trips; 0 and 1 answered {a1[0]}, {a1[1]})")
        print(f"  median with them / without: {m1 / m0:.3f}")
        return
    engines = a.engines.split(",")
    print(f"polled: each device {RATE} requests/s for {a.seconds:g} s, then idle")
    print(f"{'engine':>8} {'devices':>7} {'median':>8} {'p99':>8} {'max':>8} {'CPU polled':>10} {'CPU idle':>8} "
          f"{'memory':>8} {'JSON after':>10}")
    for engine in engines:
        for n in counts(getattr(a, f"polled_{engine}")):
            r = polled(zolhost, engine, n, a.seconds)
            print(f"{engine:>8} {n:>7} {r['median'] / 1000:>6.2f}ms {r['p99'] / 1000:>6.2f}ms "
                  f"{r['max'] / 1000:>6.2f}ms {r['busy']:>9.1f}% {r['idle']:>7.1f}% {r['memory']:>6.0f}MB "
                  f"{r['appeared']:>9.2f}s", flush=True)
    print(f"wire pace: each device driven by its own host, one request at a time, {a.frames} round trips")
    print(f"{'engine':>8} {'devices':>7} {'median':>8} {'p99 worst':>9}")
    for engine in engines:
        for n in counts(getattr(a, f"paced_{engine}")):
            r = paced(zolhost, engine, n, a.frames)
            print(f"{engine:>8} {n:>7} {r['median'] / 1000:>6.2f}ms {r['p99'] / 1000:>7.2f}ms", flush=True)
    rtts = nagle_round_trips(zolhost, min(a.frames, 500))
    bound = 5.0  # ms: the wire's 1.39 ms and some; Nagle's wait would take the median to some 44 ms
    median = statistics.median(rtts) / 1000
    print(f"wire pace over tcp:// from a host with Nagle's algorithm on, {len(rtts)} round trips: "
          f"min {min(rtts) / 1000:.2f}ms median {median:.2f}ms p99 {percentile(rtts, 0.99) / 1000:.2f}ms "
          f"max {max(rtts) / 1000:.2f}ms (median {'within' if median <= bound else 'OVER'} the {bound:g} ms bound)",
          flush=True)
    if a.flood:
        print(f"unpaced flood: one host, {a.flood} requests in one write while it reads, every reply checked")
        for engine in engines:
            replies, rate = flood(zolhost, engine, a.flood)
            print(f"{engine:>8} {rate:>10.0f} requests/s, {replies} replies", flush=True)


if __name__ == "__main__":
    main()
