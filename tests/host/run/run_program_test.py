"""zolhost run from outside, as a user runs it: programs that open a fixed path
which does not exist on the machine (/dev/ttyZOLTEST0), unmodified.

usage: run_program_test.py ZOLHOST CASE [PROBE]
CASE: pyserial | libserialport | descriptors | status | signal | unplug | killed
PROBE: the libserialport program (tests/host/run/serialport_probe.c); missing (an
empty argument) when libserialport-dev was not there to build it: then the case is
skipped (exit 77), but fails under CI=true.
Every wait has a deadline; each case exits 0 when it holds, 1 when not.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

PATH = "/dev/ttyZOLTEST0"
PYTHON = "/usr/bin/python3"
LINK_HOST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "link_host.py")
DEADLINE = 60

# Waits for the device to go mid-run, then reads (the unplug), writes, and opens again.
UNPLUGGED = r'''
import serial
f = bytes([2, 5, 0, 0, 0, 3]); f += bytes([(1 - sum(f)) & 0xff])
with serial.Serial("%s", 115200, timeout=20) as line:
    line.write(f)
    print("reply", line.read(9).hex(), flush=True)
    print("ready", flush=True)
    try:
        print("read returned", line.read(1))
    except serial.SerialException as e:
        print("read failed")
    try:
        line.write(f)
        print("write passed")
    except serial.SerialException as e:
        print("write failed", "Errno 5" in str(e))
try:
    serial.Serial("%s")
    print("opened again")
except serial.SerialException as e:
    print("open failed", e.errno)
''' % (PATH, PATH)

# Opens its port, says so, and ends with 5 on SIGTERM.
WAITS_FOR_TERM = r'''
import signal, sys, time, serial
signal.signal(signal.SIGTERM, lambda *a: sys.exit(5))
with serial.Serial("%s", 115200, timeout=1):
    print("ready", flush=True)
    time.sleep(30)
sys.exit(0)
''' % PATH


# The modem lines on copies of the port's descriptor (dup, fcntl, and one a program
# it execs inherits), and a pty of the program's own left as a pty is.
DESCRIPTORS = r'''
import fcntl, os, struct, subprocess, termios
def lines(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, bytes(4)))[0]
def clear(fd, bits):
    fcntl.ioctl(fd, termios.TIOCMBIC, struct.pack("i", bits))
fd = os.open("%s", os.O_RDWR | os.O_NOCTTY)
copy = os.dup(fd)
other = fcntl.fcntl(fd, fcntl.F_DUPFD, 100)
os.close(fd)
clear(copy, termios.TIOCM_RTS)
print(hex(lines(other)), flush=True)  # before the child's line, on a pipe too
os.set_inheritable(copy, True)
child = "import fcntl, struct, termios; print(hex(struct.unpack('i', fcntl.ioctl(%%d, termios.TIOCMGET, bytes(4)))[0]))"
subprocess.run(["/usr/bin/python3", "-c", child %% copy], close_fds=False, check=True)
master, slave = os.openpty()
try:
    lines(slave)
    print("own pty answered")
except OSError as e:
    print("own pty", e.errno)
''' % PATH


def fail(why):
    print("FAIL:", why)
    sys.exit(1)


def run(zolhost, end, program, tmp, **kw):
    env = dict(os.environ, TMPDIR=tmp)
    return subprocess.Popen([zolhost, "run", "--tty", PATH + "=" + end, "--"] + program, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def finish(p):
    try:
        out, err = p.communicate(timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
        fail("zolhost run did not end within %d s; stderr:\n%s" % (DEADLINE, err))
    return p.returncode, out, err


def nothing_left(tmp, err):
    if os.listdir(tmp):
        fail("left behind in its temp dir: %s" % os.listdir(tmp))
    if os.path.lexists(PATH):
        fail(PATH + " exists on the machine")
    if "link summary" not in err:
        fail("no link summary on stderr:\n" + err)


def case_pyserial(zolhost, tmp, _):
    status, out, err = finish(run(zolhost, "builtin", [PYTHON, LINK_HOST, PATH, "40"], tmp))
    # The program's own line alone on stdout: zolhost says everything on stderr.
    lines = out.splitlines()
    if status != 0 or len(lines) != 1 or not lines[0].startswith("good 40 corrupted 0 missing 0 other 0 "):
        fail("status %d, stdout %r, stderr:\n%s" % (status, out, err))
    if "requests seen: 40" not in err:
        fail("the summary does not count 40 requests:\n" + err)
    nothing_left(tmp, err)


def case_libserialport(zolhost, tmp, probe):
    status, out, err = finish(run(zolhost, "builtin", [probe, PATH, "10"], tmp))
    if status != 0 or out != "good 10 signals CTS DSR DCD\n":
        fail("status %d, stdout %r, stderr:\n%s" % (status, out, err))
    nothing_left(tmp, err)


def case_descriptors(zolhost, tmp, _):
    status, out, err = finish(run(zolhost, "builtin", [PYTHON, "-c", DESCRIPTORS], tmp))
    # DTR, and CTS, CD and DSR of a present device; RTS cleared through a copy. In the
    # program it execs, a port's driver keeps its lines: both raised at its open.
    want = "0x162\n0x166\nown pty 25\n"
    if status != 0 or out != want:
        fail("status %d, stdout %r (not %r); stderr:\n%s" % (status, out, want, err))


def case_status(zolhost, tmp, _):
    for program, want in ((["sh", "-c", "exit 7"], 7), (["sh", "-c", "kill -TERM $$"], 128 + signal.SIGTERM),
                          (["zolhost-no-such-program"], 127)):
        status, _, err = finish(run(zolhost, "builtin", program, tmp))
        if status != want:
            fail("%s: status %d, not %d; stderr:\n%s" % (program, status, want, err))
    nothing_left(tmp, "link summary")


def case_signal(zolhost, tmp, _):
    p = run(zolhost, "builtin", [PYTHON, "-c", WAITS_FOR_TERM], tmp, start_new_session=True)
    ready = p.stdout.readline()  # within the program's own 30 s sleep
    if ready != "ready\n":
        p.kill()
        fail("the program did not open its port: %r" % ready)
    p.send_signal(signal.SIGTERM)
    status, _, err = finish(p)
    if status != 5:
        fail("status %d: SIGTERM to zolhost did not reach the program first; stderr:\n%s" % (status, err))
    nothing_left(tmp, err)


def case_unplug(zolhost, tmp, _):
    # The device end: a built-in device behind another zolhost, over TCP; ended mid-run.
    device = subprocess.Popen([zolhost, "link", "tcp://127.0.0.1:0", "--builtin"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    try:
        url = device.stdout.readline().strip()
        if not url.startswith("tcp://"):
            fail("the device's link gave no URL: %r" % url)
        p = run(zolhost, url, [PYTHON, "-c", UNPLUGGED], tmp)
        reply = p.stdout.readline()
        ready = p.stdout.readline()
        if reply != "reply 12fa000000000013e2\n" or ready != "ready\n":
            p.kill()
            fail("no exchange before the unplug: %r %r; stderr:\n%s" % (reply, ready, p.communicate()[1]))
        device.send_signal(signal.SIGTERM)
        device.wait(timeout=DEADLINE)
        started = time.monotonic()
        status, out, err = finish(p)
    finally:
        if device.poll() is None:
            device.kill()
    # As a pulled adapter: the read sees the hang-up, the write EIO, the path is gone.
    want = "read failed\nwrite failed True\nopen failed 2\n"
    if status != 0 or out != want:
        fail("status %d, stdout %r (not %r); stderr:\n%s" % (status, out, want, err))
    if time.monotonic() - started > 10:
        fail("the program's read waited for its own timeout, not the hang-up")
    nothing_left(tmp, err)


def case_killed(zolhost, tmp, _):
    # zolhost killed outright: the port goes as a pulled adapter's, and what zolhost
    # made goes too (its sweeper), while the program runs on.
    p = run(zolhost, "builtin", [PYTHON, "-c", UNPLUGGED], tmp)
    reply = p.stdout.readline()
    ready = p.stdout.readline()
    if reply != "reply 12fa000000000013e2\n" or ready != "ready\n":
        p.kill()
        fail("no exchange before the kill: %r %r" % (reply, ready))
    p.kill()
    _, out, err = finish(p)  # the program's own output, until it ends
    if out != "read failed\nwrite failed True\nopen failed 2\n":
        fail("stdout %r; stderr:\n%s" % (out, err))
    deadline = time.monotonic() + 10
    while os.listdir(tmp) and time.monotonic() < deadline:
        time.sleep(0.05)
    nothing_left(tmp, "link summary")


def main():
    zolhost, case = sys.argv[1], sys.argv[2]
    probe = sys.argv[3] if len(sys.argv) > 3 else ""
    if case == "libserialport" and not probe:
        if os.environ.get("CI") == "true":
            fail("missing under CI=true: libserialport-dev (tools/install-build-deps.sh)")
        print("skipped: libserialport-dev is missing")
        sys.exit(77)
    with tempfile.TemporaryDirectory(prefix="zolrun-test-") as tmp:
        globals()["case_" + case](zolhost, tmp, probe)
    print("ok")


if __name__ == "__main__":
    main()
