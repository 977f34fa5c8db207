"""A host program as users write them, with pyserial: one request at a time, each
reply read and checked. Used by the end-to-end tests of `zolhost link`.

usage: link_host.py PORT-OR-URL ROUNDS [--reopen [--cooked]] [--timeout S] [--baud B] [--stopbits N]
                    [--dump] [--change K]

--reopen closes the port halfway and opens it again a moment later; with --cooked it then turns
on what a terminal has (echo, line editing, XON/XOFF, CR/LF translation), as a
careless program might. Prints one line:
good G corrupted C missing M other O rtt_min_us X rtt_median_us Y
--dump also prints what came back for each request, "reply D1: HEX", before it;
--change K sends request K with D1 77 instead.
(corrupted: a whole reply whose checksum does not match; missing: nothing within
the timeout; other: anything else, such as a part of a reply or a wrong EA).
"""
import statistics
import sys
import termios
import time

import serial


def request(d1):
    frame = bytes([0x02, d1, 0x00, 0x00, 0x00, 0x03])
    return frame + bytes([(1 - sum(frame)) & 0xFF])


def cook(fd):
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    iflag |= termios.ICRNL | termios.IXON
    oflag |= termios.OPOST | termios.ONLCR
    lflag |= termios.ECHO | termios.ICANON | termios.ISIG | termios.IEXTEN
    termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, ispeed, ospeed, cc])


def rounds(port, first, count, timeout, counts, rtts, cooked=False, baud=115200, stopbits=1, dump=False, change=-1):
    with serial.serial_for_url(port, baud, timeout=timeout, stopbits=stopbits) as line:
        if cooked:
            cook(line.fd)
        line.reset_input_buffer()
        for i in range(first, first + count):
            d1 = 0x77 if i == change else i & 0xFF
            start = time.perf_counter()
            line.write(request(d1))
            reply = line.read(9)
            elapsed = time.perf_counter() - start
            if dump:
                print("reply %02X: %s" % (d1, reply.hex(" ")))
            if not reply:
                counts["missing"] += 1
            elif len(reply) == 9 and reply[0] == 0x12 and reply[7] == 0x13 and sum(reply) & 0xFF != 0x01:
                counts["corrupted"] += 1
            elif len(reply) == 9 and reply == bytes([0x12, d1 ^ 0xFF, 0, 0, 0, 0, 0, 0x13, reply[8]]):
                counts["good"] += 1
                rtts.append(elapsed * 1e6)
            else:
                counts["other"] += 1
                print("unexpected reply to D1 %02X: %s" % (d1, reply.hex(" ")), file=sys.stderr)


def main():
    args = sys.argv[1:]
    port, total = args[0], int(args[1])
    timeout = float(args[args.index("--timeout") + 1]) if "--timeout" in args else 1.0
    line = {"baud": int(args[args.index("--baud") + 1]) if "--baud" in args else 115200,
            "stopbits": int(args[args.index("--stopbits") + 1]) if "--stopbits" in args else 1,
            "dump": "--dump" in args,
            "change": int(args[args.index("--change") + 1]) if "--change" in args else -1}
    counts = {"good": 0, "corrupted": 0, "missing": 0, "other": 0}
    rtts = []
    if "--reopen" in args:
        rounds(port, 0, total // 2, timeout, counts, rtts, **line)
        time.sleep(0.3)  # long enough for the link to see the port closed
        rounds(port, total // 2, total - total // 2, timeout, counts, rtts, "--cooked" in args, **line)
    else:
        rounds(port, 0, total, timeout, counts, rtts, **line)
    print("good %d corrupted %d missing %d other %d rtt_min_us %d rtt_median_us %d" % (
        counts["good"], counts["corrupted"], counts["missing"], counts["other"],
        min(rtts) if rtts else -1, statistics.median(rtts) if rtts else -1))


main()
