"""serve's control API over real sockets, as hostile and ordinary clients meet it:
    control_http_client.py ZOLHOST
- what a web page could forge (a cross-site POST of any simple kind, a page renamed
  to the API's address, PUT, CORS) changes nothing, and the device stays as it was;
- the token: Bearer in any case, ?token= for the page alone (put in a cookie);
- malformed, oversized and cut-off requests are refused with a message, bodies
  are bounded however they are sent, before the token is checked;
- slow and idle clients hold nothing up: an ordinary request is answered while
  they are connected, serve ends promptly on SIGTERM, connections are bounded;
- a kept-alive connection answers at once (no Nagle delay against delayed ACKs);
- nobody else can bind the API's port beside it.
Exit 0 when all held."""

import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

TOKEN = "t0k3n-for-the-test"


def serve(zolhost, directory, *extra):
    """zolhost serve on ptys in `directory`, ended by closing its standard input."""
    return subprocess.Popen([zolhost, "serve", "--host", "pty", "--pty-dir", directory, "--exit-with-stdin", *extra],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def end(proc):
    """Ends serve as a harness does; its exit status."""
    proc.stdin.close()
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    return proc.returncode


def call(url, token=None, method="GET", data=None, headers=None):
    """(status, parsed JSON body or None, headers) of one request."""
    h = {"Authorization": "Bearer " + token} if token else {}
    h.update(headers or {})
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=data, method=method, headers=h), timeout=5) as r:
            body = r.read()
            return r.status, json.loads(body) if body.startswith(b"{") else None, r.headers
    except urllib.error.HTTPError as e:
        body = e.read()
        return e.code, json.loads(body) if body.startswith(b"{") else None, e.headers


def status(url, token=None, method="GET", data=None, headers=None):
    return call(url, token, method, data, headers)[0]


def raw(host, port, payload, seconds=3):
    """Sends payload, returns what comes back before the server closes or `seconds` pass."""
    with socket.create_connection((host, port), timeout=seconds) as s:
        got = b""
        try:
            s.sendall(payload)
            s.shutdown(socket.SHUT_WR)
            while chunk := s.recv(65536):
                got += chunk
        except (ConnectionResetError, BrokenPipeError, socket.timeout):
            pass
        return got


def head_of(url):
    host, port = url.split("//")[1].rstrip("/").rsplit(":", 1)
    return host.strip("[]"), int(port)


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def forged_requests_change_nothing(url, host, port):
    device = url + "api/devices/0"
    forged = [
        ("POST", "api/devices/0/faults", b'{"drop_pct": 100}',
         {"Content-Type": "text/plain", "Origin": "http://evil.example"}, 403),
        ("POST", "api/devices/0/faults", b'{"drop_pct": 100}', {"Content-Type": "text/plain"}, 415),
        ("POST", "api/devices/0/unplug", b"a=b", {"Content-Type": "application/x-www-form-urlencoded"}, 415),
        ("POST", "api/devices/0/unplug", b"", {"Content-Type": "application/json", "Origin": "null"}, 403),
        ("POST", "api/devices/0/unplug", b"",
         {"Content-Type": "application/json", "Sec-Fetch-Site": "cross-site"}, 403),
        ("POST", "api/devices/0/faults", b'{"drop_pct": 100}',
         {"Content-Type": "application/json", "Host": f"attacker.example:{port}"}, 421),
        ("PUT", "api/devices/0/faults", b'{"drop_pct": 100}', {"Content-Type": "application/json"}, 405),
        ("DELETE", "api/devices/0", None, {}, 405),
        ("OPTIONS", "api/devices/0/unplug", None,
         {"Origin": "http://evil.example", "Access-Control-Request-Method": "POST"}, 403),
    ]
    for method, path, data, headers, want in forged:
        got, body, answer_headers = call(url + path, method=method, data=data, headers=headers)
        assert got == want, (method, path, headers, got, body)
        assert body and body.get("error"), (method, path, body)
        assert "Access-Control-Allow-Origin" not in answer_headers, (method, path)
    got, body, _ = call(url + "api/devices", headers={"Host": f"attacker.example:{port}"})
    assert got == 421 and "error" in body, (got, body)  # a renamed page reads nothing either
    got, body, _ = call(device)
    assert got == 200 and body["faults"]["drop_pct"] == 0 and body["plugged"], body
    # The page's own way, and the plugin's, still steer.
    assert status(device + "/faults", method="POST", data=b'{"drop_pct": 5}',
                  headers={"Content-Type": "application/json", "Origin": url.rstrip("/")}) == 200
    assert call(device)[1]["faults"]["drop_pct"] == 5
    # A POST with neither a length nor chunks has an empty body: answered at once.
    started = time.monotonic()
    answer = raw(host, port, f"POST /api/devices/0/thaw HTTP/1.1\r\nHost: {host}:{port}\r\n"
                             "Content-Type: application/json\r\nConnection: close\r\n\r\n".encode())
    assert answer.startswith(b"HTTP/1.1 200 "), answer[:200]
    assert time.monotonic() - started < 2, "an empty POST waited for a body"


def token_rules(zolhost, directory):
    proc = serve(zolhost, directory, "--devices", "1", "--control", "127.0.0.1:0", "--control-token", TOKEN)
    try:
        doc = json.loads(proc.stdout.readline())
        url = doc["control"]["url"]
        assert doc["control"]["token"] == TOKEN, doc["control"]
        api = url + "api/devices"
        assert status(api) == 401
        assert status(api, "wrong") == 401
        assert status(api + "/0/unplug", method="POST", data=b"", headers={"Content-Type": "application/json"}) == 401
        assert status(api, TOKEN) == 200
        assert status(api, headers={"Authorization": "bearer " + TOKEN}) == 200
        got, body, _ = call(api + "?token=" + TOKEN)
        assert got == 401 and "page alone" in body["error"], body
        # The page takes ?token= once, into a cookie, and sends the browser back to "/".
        host, port = head_of(url)
        answer = raw(host, port, f"GET /?token={TOKEN} HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode()).decode()
        assert answer.startswith("HTTP/1.1 303 "), answer
        assert "\r\nLocation: /\r\n" in answer, answer
        cookie = next(line.split(": ", 1)[1] for line in answer.split("\r\n") if line.startswith("Set-Cookie: "))
        assert "HttpOnly" in cookie and "SameSite=Strict" in cookie, cookie
        assert status(api, headers={"Cookie": cookie.split(";")[0]}) == 200
        # A body is bounded, and refused before it is read when the token is missing.
        pid = proc.pid
        before = peak_kib(pid)
        for length_header in (b"Transfer-Encoding: chunked", b"Content-Length: 30000000"):
            with socket.create_connection((host, port), timeout=5) as s:
                s.sendall(b"POST /api/devices/0/faults HTTP/1.1\r\nHost: " + f"{host}:{port}".encode() +
                          b"\r\nContent-Type: application/json\r\n" + length_header + b"\r\n\r\n")
                sent = 0
                try:
                    while sent < 30_000_000:
                        s.sendall(b"100000\r\n" + b"x" * 0x100000 + b"\r\n")
                        sent += 0x100000
                except (BrokenPipeError, ConnectionResetError, socket.timeout):
                    pass
                try:
                    first = s.recv(200)
                except (ConnectionResetError, socket.timeout):
                    first = b""
                assert sent < 30_000_000, "the whole body was taken"
                assert first == b"" or first.startswith((b"HTTP/1.1 401 ", b"HTTP/1.1 413 ")), first
        grown = peak_kib(pid) - before
        assert grown < 16 * 1024, f"30 MB bodies raised serve's peak memory by {grown} KiB"
        assert proc.poll() is None, "serve ended"
    finally:
        assert end(proc) == 0


def hostile_requests_are_refused(url, host, port):
    hostile = [
        b"\x00\xff\x13garbage\r\n\r\n",
        b"GET " + b"/a" * 40000 + b" HTTP/1.1\r\n\r\n",
        b"GET /api/devices HTTP/1.1\r\nX: " + b"y" * 200000 + b"\r\n\r\n",
        b"POST /api/devices/0/faults HTTP/1.1\r\nHost: h\r\nContent-Length: 100000000\r\n\r\n{",
        b"POST /api/devices/0/faults HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
        b"POST /api/devices/0/faults HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzzzz\r\n",
        b"GET /api/devices HTTP/1.1\r\n" + b"H: v\r\n" * 5000 + b"\r\n",
        b"GET /api/devices",  # cut off
    ]
    for payload in hostile:
        answer = raw(host, port, payload)
        assert b" 200 " not in answer.split(b"\r\n", 1)[0], (payload[:60], answer[:200])
        if answer:
            assert b'{"error":"' in answer, (payload[:60], answer[:300])
    # A client that asks before sending its body is told to go on at once.
    with socket.create_connection((host, port), timeout=3) as s:
        s.sendall(f"POST /api/devices/0/faults HTTP/1.1\r\nHost: {host}:{port}\r\nContent-Type: application/json\r\n"
                  "Content-Length: 15\r\nExpect: 100-continue\r\n\r\n".encode())
        assert s.recv(100) == b"HTTP/1.1 100 Continue\r\n\r\n"
        s.sendall(b'{"drop_pct": 0}')
        assert s.recv(100).startswith(b"HTTP/1.1 200 ")
    got, body, _ = call(url + "no/such/page")
    assert got == 404 and "no/such/page" in body["error"], body


def kept_alive_connection_answers_at_once(host, port):
    """200 requests on one connection, each a GET or a fault change: with Nagle's
    delay against delayed ACKs each took 44 ms (8.8 s); at once they take well under 4 s."""
    with socket.create_connection((host, port), timeout=5) as s:
        started = time.monotonic()
        reader = s.makefile("rb")
        for i in range(200):
            if i % 2:
                body = b'{"delay_ms": 0}'
                s.sendall(f"POST /api/devices/1/faults HTTP/1.1\r\nHost: {host}:{port}\r\n"
                          f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body)
            else:
                s.sendall(f"GET /api/devices/1 HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode())
            line = reader.readline()
            assert line.startswith(b"HTTP/1.1 200 "), line
            length = 0
            while (h := reader.readline()) != b"\r\n":
                if h.lower().startswith(b"content-length:"):
                    length = int(h.split(b":")[1])
            reader.read(length)
        took = time.monotonic() - started
    print(f"200 requests on one kept-alive connection: {took:.2f} s")
    assert took < 4, took


def slow_and_idle_clients_hold_nothing_up(zolhost, directory):
    proc = serve(zolhost, directory, "--devices", "1")
    try:
        url = json.loads(proc.stdout.readline())["control"]["url"]
        host, port = head_of(url)
        stop = threading.Event()
        slow = []
        for _ in range(140):  # more than the connections it holds: a request header, a byte every 0.5 s
            s = socket.create_connection((host, port), timeout=5)
            slow.append(s)
        for _ in range(12):  # pages left open: kept-alive and idle
            s = socket.create_connection((host, port), timeout=5)
            s.sendall(f"GET /api/devices HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode())
            slow.append(s)

        def trickle():
            text = f"GET /api/devices HTTP/1.1\r\nHost: {host}:{port}\r\nX: {'y' * 100}\r\n\r\n".encode()
            for i in range(len(text)):
                if stop.wait(0.5):
                    return
                for s in slow[:140]:
                    try:
                        s.send(text[i:i + 1])
                    except OSError:
                        pass

        t = threading.Thread(target=trickle)
        t.start()
        time.sleep(1.5)
        started = time.monotonic()
        assert status(url + "api/devices") == 200
        assert time.monotonic() - started < 1, "a request waited behind slow clients"
        # Past the bound, idle connections make room, else the slowest request.
        crowd = [socket.create_connection((host, port), timeout=5) for _ in range(150)]
        assert status(url + "api/devices") == 200
        for s in crowd:
            s.close()
        started = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=20)
        took = time.monotonic() - started
        print(f"serve ended {took:.2f} s after SIGTERM with slow clients connected")
        assert took < 4, took
        assert proc.returncode == 0, proc.returncode
        stop.set()
        t.join()
        for s in slow:
            s.close()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def port_is_not_shared(host, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    try:
        s.bind((host, port))
        raise AssertionError("another process bound the API's port beside it")
    except OSError:
        pass
    finally:
        s.close()


def where_it_listens(zolhost, directory):
    """[::1] is loopback as 127.0.0.1 is: no token. A wildcard bind makes a token and
    prints a URL that reaches it."""
    for control, url_starts, token in (("[::1]:0", "http://[::1]:", False), ("0.0.0.0:0", "http://127.0.0.1:", True)):
        proc = serve(zolhost, directory, "--devices", "1", "--control", control)
        try:
            doc = json.loads(proc.stdout.readline())
            assert (doc["control"]["token"] is not None) == token, doc["control"]
            assert doc["control"]["url"].startswith(url_starts), doc["control"]
            assert status(doc["control"]["url"] + "api/devices", doc["control"]["token"]) == 200
        finally:
            assert end(proc) == 0


def main():
    zolhost = sys.argv[1]
    with tempfile.TemporaryDirectory() as d:
        proc = serve(zolhost, d, "--devices", "2")
        try:
            url = json.loads(proc.stdout.readline())["control"]["url"]
            host, port = head_of(url)
            forged_requests_change_nothing(url, host, port)
            hostile_requests_are_refused(url, host, port)
            kept_alive_connection_answers_at_once(host, port)
            port_is_not_shared(host, port)
            assert proc.poll() is None, "serve ended"
        finally:
            assert end(proc) == 0
        token_rules(zolhost, d)
        slow_and_idle_clients_hold_nothing_up(zolhost, d)
        where_it_listens(zolhost, d)
    print("ok")


if __name__ == "__main__":
    main()
