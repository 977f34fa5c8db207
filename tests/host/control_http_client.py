"""Hostile and unauthorised requests at serve's control API over raw sockets:
    control_http_client.py ZOLHOST
Serves one device with a token on loopback; requests without the token get 401;
malformed, oversized and cut-off requests are refused or dropped, and afterwards
the API still answers and serve still runs. Exit 0 when all held."""

import json
import socket
import subprocess
import sys
import tempfile
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


def status(url, token=None, method="GET", data=None):
    headers = {"Authorization": "Bearer " + token} if token else {}
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=data, method=method, headers=headers),
                                    timeout=5) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code


def raw(host, port, payload):
    """Sends payload, returns what comes back before the server closes or 3 s pass."""
    with socket.create_connection((host, port), timeout=3) as s:
        try:
            s.sendall(payload)
            s.shutdown(socket.SHUT_WR)
            got = b""
            while chunk := s.recv(65536):
                got += chunk
            return got
        except (ConnectionResetError, BrokenPipeError, socket.timeout):
            return b""


def main():
    with tempfile.TemporaryDirectory() as d:
        proc = serve(sys.argv[1], d, "--devices", "1", "--control", "127.0.0.1:0", "--control-token", TOKEN)
        try:
            doc = json.loads(proc.stdout.readline())
            url = doc["control"]["url"]
            assert doc["control"]["token"] == TOKEN, doc["control"]
            host, port = url.split("//")[1].rstrip("/").rsplit(":", 1)
            port = int(port)
            assert status(url + "api/devices") == 401
            assert status(url + "api/devices", "wrong") == 401
            assert status(url + "api/devices/0/unplug", method="POST", data=b"") == 401
            assert status(url + "api/devices", TOKEN) == 200
            assert status(url + "api/devices?token=" + TOKEN) == 200
            hostile = [
                b"\x00\xff\x13garbage\r\n\r\n",
                b"GET " + b"/a" * 40000 + b" HTTP/1.1\r\n\r\n",
                b"GET /api/devices HTTP/1.1\r\nX: " + b"y" * 200000 + b"\r\n\r\n",
                b"POST /api/devices/0/faults HTTP/1.1\r\nAuthorization: Bearer " + TOKEN.encode() +
                b"\r\nContent-Length: 100000000\r\n\r\n{",
                b"POST /api/devices/0/faults HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
                b"POST /api/devices/0/faults HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzzzz\r\n",
                b"GET /api/devices HTTP/1.1\r\n" + b"H: v\r\n" * 5000 + b"\r\n",
                b"GET /api/devices",  # cut off
            ]
            for payload in hostile:
                answer = raw(host, port, payload)
                assert b" 200 " not in answer.split(b"\r\n", 1)[0], (payload[:60], answer[:200])
            assert status(url + "api/devices/0/freeze", TOKEN, "POST", b"") == 200
            assert proc.poll() is None, "serve ended"
        finally:
            status_at_end = end(proc)
        assert status_at_end == 0, status_at_end
    print("ok")


if __name__ == "__main__":
    main()
