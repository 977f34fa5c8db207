#!/usr/bin/python3
"""Figures of serve's control API, as clients meet it:
    tools/control-bench.py [ZOLHOST]   (default: build/release/host/zolhost)

- a GET and a fault change, each on one kept-alive connection and each on a fresh
  connection: median and p99 (goal: median under 1 ms);
- serve's peak memory over its rest while 100 clients each send a 10 MB chunked
  body (goal: under 32 MB);
- with 64 slow clients connected (a header byte every 0.5 s): an ordinary
  request's time (goal: under 10 ms), then serve's time to end after SIGTERM
  (goal: under 2 s).
Serves 2 built-in devices on tcp:// ends, on loopback only. Ends by itself."""

import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

ZOLHOST = sys.argv[1] if len(sys.argv) > 1 else "build/release/host/zolhost"


def start():
    proc = subprocess.Popen([ZOLHOST, "serve", "--devices", "2", "--host", "tcp"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    url = json.loads(proc.stdout.readline())["control"]["url"]
    host, port = url.split("//")[1].rstrip("/").rsplit(":", 1)
    return proc, host.strip("[]"), int(port)


def request_text(host, port, fault):
    if fault:
        body = b'{"drop_pct": 0}'
        return (f"POST /api/devices/1/faults HTTP/1.1\r\nHost: {host}:{port}\r\nContent-Type: application/json\r\n"
                f"Content-Length: {len(body)}\r\n\r\n").encode() + body
    return f"GET /api/devices/1 HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode()


def read_response(reader):
    line = reader.readline()
    if not line.startswith(b"HTTP/1.1 200 "):
        raise RuntimeError(f"answer: {line!r}")
    length = 0
    while (h := reader.readline()) != b"\r\n":
        if h.lower().startswith(b"content-length:"):
            length = int(h.split(b":")[1])
    reader.read(length)


def timed(host, port, fault, fresh, count):
    times = []
    s = None if fresh else socket.create_connection((host, port))
    reader = None if fresh else s.makefile("rb")
    text = request_text(host, port, fault)
    for _ in range(count):
        started = time.perf_counter()
        if fresh:
            with socket.create_connection((host, port)) as c:
                c.sendall(text)
                read_response(c.makefile("rb"))
        else:
            s.sendall(text)
            read_response(reader)
        times.append((time.perf_counter() - started) * 1000)
    if s:
        s.close()
    times.sort()
    return statistics.median(times), times[int(len(times) * 0.99) - 1]


def rss_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def chunked_flood(host, port, clients=100, megabytes=10):
    head = (f"POST /api/devices/0/faults HTTP/1.1\r\nHost: {host}:{port}\r\nContent-Type: application/json\r\n"
            "Transfer-Encoding: chunked\r\n\r\n").encode()
    chunk = b"10000\r\n" + b"x" * 0x10000 + b"\r\n"

    def one():
        try:
            with socket.create_connection((host, port), timeout=10) as s:
                s.sendall(head)
                for _ in range(megabytes * 16):
                    s.sendall(chunk)
        except OSError:
            pass  # refused and closed, as it should be

    threads = [threading.Thread(target=one) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def main():
    proc, host, port = start()
    try:
        for fault in (False, True):
            for fresh in (False, True):
                median, p99 = timed(host, port, fault, fresh, 300 if fresh else 1000)
                print(f"{'fault change' if fault else 'GET':12} {'fresh connection' if fresh else 'kept alive':16}"
                      f" median {median:.3f} ms  p99 {p99:.3f} ms")
        rest = rss_kib(proc.pid, "VmRSS")
        chunked_flood(host, port)
        peak = rss_kib(proc.pid, "VmHWM")
        print(f"100 clients x 10 MB chunked: peak {peak / 1024:.1f} MB, {(peak - rest) / 1024:.1f} MB over its rest "
              f"({rest / 1024:.1f} MB)")
        stop = threading.Event()
        slow = [socket.create_connection((host, port)) for _ in range(64)]
        text = f"GET /api/devices HTTP/1.1\r\nHost: {host}:{port}\r\nX: {'y' * 200}\r\n\r\n".encode()

        def trickle():
            for i in range(len(text)):
                if stop.wait(0.5):
                    return
                for s in slow:
                    try:
                        s.send(text[i:i + 1])
                    except OSError:
                        pass

        t = threading.Thread(target=trickle)
        t.start()
        time.sleep(1)
        median, p99 = timed(host, port, False, True, 50)
        print(f"with 64 slow clients: GET on a fresh connection median {median:.3f} ms  p99 {p99:.3f} ms")
        started = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=60)
            print(f"with 64 slow clients: serve ended {time.monotonic() - started:.3f} s after SIGTERM")
        except subprocess.TimeoutExpired:
            print("with 64 slow clients: serve had not ended 60 s after SIGTERM")
        stop.set()
        t.join()
        for s in slow:
            s.close()
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()


if __name__ == "__main__":
    main()
