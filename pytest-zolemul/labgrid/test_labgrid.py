"""Requests and replies through labgrid: the target's SerialDriver on the
NetworkSerialPort (RFC 2217) that env.yaml names."""

from pytest_zolemul import good_reply, request
from pytest_zolemul.frames import REPLY_SIZE


def read_reply(console):
    reply = b""
    while len(reply) < REPLY_SIZE:
        reply += console.read(REPLY_SIZE - len(reply), timeout=2.0)  # raises labgrid's TIMEOUT
    return reply


def test_requests_and_replies_through_labgrids_serial_driver(target):
    console = target.get_driver("SerialDriver")  # activated: the port is open
    for d1 in range(50):
        console.write(request(d1, 0x5A))
        reply = read_reply(console)
        assert good_reply(reply, d1), f"D1 {d1:02X}: {reply.hex(' ')}"
