"""A host program on pyserial's rfc2217 client, as users write them: modem lines,
requests (D1 = 00 among them: its reply carries EA = FF), a purge, a second client
turned away, a close, a reopen at 9600 and a change to 115200 on the fly. Prints
"ok requests N" or fails. With --device-line the server honours the device's line
(115200 8N1), so that at 9600 no good reply may come.

usage: rfc2217_host.py URL [--device-line]
"""
import socket
import sys
import time
from urllib.parse import urlsplit

import serial


def request(d1):
    frame = [0x02, d1, 0, 0, 0, 0x03]
    return bytes(frame + [(1 - sum(frame)) & 0xFF])


def exchange(port, d1):
    port.write(request(d1))
    reply = port.read(9)
    good = (len(reply) == 9 and reply[0] == 0x12 and reply[1] == d1 ^ 0xFF
            and reply[2:7] == bytes(5) and reply[7] == 0x13 and sum(reply) & 0xFF == 0x01)
    if not good:
        sys.exit("request D1 %02X: reply %s" % (d1, reply.hex(" ")))


def until(what, pred, limit=3.0):
    end = time.monotonic() + limit
    while not pred():
        if time.monotonic() > end:
            sys.exit("not seen within %.0f s: %s" % (limit, what))
        time.sleep(0.02)


url = sys.argv[1]
port = serial.serial_for_url(url, baudrate=115200, timeout=3)
count = 0

# The device end mirrors DTR onto DSR and RTS onto CTS.
for dtr, rts in ((False, True), (True, False), (False, False), (True, True)):
    port.dtr = dtr
    port.rts = rts
    until("DSR %s CTS %s" % (dtr, rts), lambda: port.dsr == dtr and port.cts == rts)

# A second client while this one is served: told so in one line, then closed.
where = urlsplit(url)
other = socket.create_connection((where.hostname, where.port), timeout=3)
told = b""
while True:
    chunk = other.recv(256)
    if not chunk:
        break
    told += chunk
other.close()
if b"one client at a time" not in told or told.count(b"\n") != 1:
    sys.exit("second client was told %r" % told)

for i in range(200):
    exchange(port, 0x00 if i % 8 == 0 else (i * 37) & 0xFF)
    count += 1

# A reply left unread, then a purge: gone, and the next exchange is clean.
port.write(request(0x5A))
until("reply waiting", lambda: port.in_waiting == 9)
port.reset_input_buffer()
port.reset_output_buffer()
if port.in_waiting != 0:
    sys.exit("%d bytes after the purge" % port.in_waiting)
exchange(port, 0x00)
count += 1
port.close()

port = serial.serial_for_url(url, baudrate=9600, timeout=0.5)
if "--device-line" in sys.argv:
    port.write(request(0x42))
    reply = port.read(9)
    if reply[:2] == bytes([0x12, 0xBD]):
        sys.exit("a host at 9600 baud was answered: %s" % reply.hex(" "))
port.baudrate = 115200
port.timeout = 3
port.reset_input_buffer()
for d1 in (0x00, 0xFF, 0x12, 0x02):
    exchange(port, d1)
    count += 1
port.close()
print("ok requests %d" % count)
