"""A host program over many devices of `zolhost serve`, with pyserial: every device
in serve's manifest opened at once (socket:// for a tcp:// end, rfc2217:// for an
rfc2217:// one), then ROUNDS times a request to each in turn (D1 to D4 changing by
device and round) and each reply read and compared byte for byte with the one the
frame rules give. Prints "devices N tcp T rfc2217 R replies K"; exits non-zero
naming the first reply that is missing or wrong.

usage: serve_host.py MANIFEST ROUNDS
"""
import json
import os
import sys

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "pytest-zolemul"))
from pytest_zolemul.frames import REPLY_SIZE, reply_to, request  # noqa: E402

manifest, rounds = sys.argv[1], int(sys.argv[2])
with open(manifest) as f:
    devices = json.load(f)["devices"]
lines = []
for d in devices:
    url = d["rfc2217"] or "socket://" + d["tcp"][len("tcp://"):]
    lines.append(serial.serial_for_url(url, baudrate=115200, timeout=5))
replies = 0
for r in range(rounds):
    for k, line in enumerate(lines):
        d1 = (k * 37 + r) & 0xFF
        line.write(request(d1, r & 0xFF, k, 0x55))
    for k, line in enumerate(lines):
        d1 = (k * 37 + r) & 0xFF
        got = line.read(REPLY_SIZE)
        if got != reply_to(d1):
            sys.exit("device %d round %d: reply %s, not %s" % (k, r, got.hex(" ") or "none", reply_to(d1).hex(" ")))
        replies += 1
for line in lines:
    line.close()
rfc2217 = sum(1 for d in devices if d["rfc2217"])
print("devices %d tcp %d rfc2217 %d replies %d" % (len(devices), len(devices) - rfc2217, rfc2217, replies))
