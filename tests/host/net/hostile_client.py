"""Bad input for a listening RFC 2217 server, as a broken or hostile client sends it:
options nobody knows, megabytes of telnet commands it never reads the answers to, a
subnegotiation that never ends, and a client that connects and says nothing. The
server may let such a client go; it must not hang, crash or pass any of it on as
data. Prints "ok" once all were sent.

usage: hostile_client.py HOST PORT
"""
import socket
import sys
import time

IAC, SB, SE, NOP, DO, WILL = 0xFF, 0xFA, 0xF0, 0xF1, 0xFD, 0xFB
host, port = sys.argv[1], int(sys.argv[2])


def send(chunks):
    """Sends without reading, then reads until the server closes: the next client
    comes only once this one is done with (else it would be turned away)."""
    s = socket.create_connection((host, port), timeout=5)
    heard = b""
    try:
        for chunk in chunks:
            s.sendall(chunk)
        s.shutdown(socket.SHUT_WR)
        while True:
            got = s.recv(65536)
            if not got:
                break
            heard = (heard + got)[-256:]
    except ConnectionError:
        pass  # let go by the server: fine, as long as it serves the next one
    s.close()
    if b"busy" in heard:
        sys.exit("turned away: the server had not let the last client go")


MB = 1 << 20
send([bytes([IAC, DO, 99, IAC, WILL, 99, IAC, DO, 1]) * (MB // 9)])
send([bytes([IAC, NOP]) * MB, bytes([IAC, SB, 44, 1]) + b"\x00" * MB])
send([bytes([IAC, SB, 44, 99, IAC, SE, IAC, SB, 44]) + bytes([IAC, IAC]) * (MB // 2)])
silent = socket.create_connection((host, port), timeout=5)
time.sleep(0.5)
silent.close()
print("ok")
