"""One host program's byte streams to a device behind a zolhost link, and
everything that came back, phase by phase, as hex lines: run against zolemul and
against the built-in device, the two outputs must be the same byte for byte.

usage: differential_host.py URL          (rfc2217://..., as zolhost link prints it)

Phases: good frames with changing data; noise before and between frames; frames
with a wrong end byte or checksum; frames split across many writes; a flood while
the host does not read, then reads; a purge of what came back unread. Every phase
reads until the line has been quiet a while, so what it shows is all there was.
"""
import random
import sys
import time

import serial

QUIET = 0.4     # the line is done when nothing came for this long
LIMIT = 20.0    # a phase that takes longer than this has failed


def request(d1, d2=0, d3=0, d4=0, end=0x03, fix=0):
    frame = [0x02, d1, d2, d3, d4, end]
    return bytes(frame + [(1 - sum(frame) + fix) & 0xFF])


def read_all(port):
    got = bytearray()
    deadline = time.monotonic() + LIMIT
    quiet_at = time.monotonic() + QUIET
    while time.monotonic() < min(deadline, quiet_at):
        chunk = port.read(port.in_waiting or 1)
        if chunk:
            got += chunk
            quiet_at = time.monotonic() + QUIET
    return bytes(got)


def show(name, data):
    print(f"{name} {len(data)}: {data.hex()}", flush=True)


rng = random.Random(34)
port = serial.serial_for_url(sys.argv[1], baudrate=115200, timeout=0.05)

good = b"".join(request(i * 7 & 0xFF, i, 255 - i, i * 3 & 0xFF) for i in range(40))
port.write(good)
show("good", read_all(port))

noisy = bytearray()
for i in range(30):
    # Noise of every byte value, 0x02 and frame-like runs among it.
    noisy += bytes(rng.randrange(256) for _ in range(rng.randrange(12)))
    noisy += request(rng.randrange(256), rng.randrange(256))
port.write(bytes(noisy))
show("noise", read_all(port))

bad = bytearray()
for i in range(20):
    bad += request(i, end=0x04) if i % 3 == 0 else request(i, fix=1) if i % 3 == 1 else request(i)
port.write(bytes(bad))
show("bad", read_all(port))

pieces = b"".join(request(0xA0 + i) for i in range(6)) + b"\x02\x02\x03"
for k in range(0, len(pieces), 2):
    port.write(pieces[k:k + 2])
    port.flush()
    time.sleep(0.003)
show("split", read_all(port))

flood = b"".join(request(i & 0xFF, i >> 8) for i in range(600))
for k in range(0, len(flood), 700):
    port.write(flood[k:k + 700])
time.sleep(1.5)  # not reading meanwhile
show("flood", read_all(port))

port.write(b"".join(request(0x50 + i) for i in range(5)))
time.sleep(0.5)
port.reset_input_buffer()  # drops what came back unread, here and in the link
port.write(b"".join(request(0x60 + i) for i in range(3)))
show("purge", read_all(port))
port.close()
