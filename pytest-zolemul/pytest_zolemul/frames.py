"""A Zol device's frames, for host programs in tests: a request (02 D1 D2 D3 D4
03 checksum) and its reply (12 EA 00 00 00 00 00 13 checksum, EA = D1 xor FF),
every frame's bytes summing to 0x01."""

REPLY_SIZE = 9


def request(d1, d2=0, d3=0, d4=0):
    body = bytes([0x02, d1, d2, d3, d4, 0x03])
    return body + bytes([(1 - sum(body)) & 0xFF])


def reply_to(d1):
    """The device's reply to a request with this D1."""
    body = bytes([0x12, d1 ^ 0xFF, 0, 0, 0, 0, 0, 0x13])
    return body + bytes([(1 - sum(body)) & 0xFF])


def good_reply(reply, d1):
    """True when `reply` is the whole, good answer to a request with this D1."""
    return bytes(reply) == reply_to(d1)


def exchange(line, count, first=0):
    """Sends `count` requests over a pyserial port one at a time, each once the
    one before is answered or its timeout has passed; the number of good replies."""
    good = 0
    for k in range(count):
        d1 = (first + k) & 0xFF
        line.write(request(d1))
        good += good_reply(line.read(REPLY_SIZE), d1)
    return good
