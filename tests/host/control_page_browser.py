"""The control page in headless Chromium:
    control_page_browser.py ZOLHOST CHROMIUM OUT_DIR
Serves two devices on ptys, opens device 1 from a pyserial host program, loads
the page, presses device 1's unplug button as a user would and sees the host
program lose its device (and the page show it unplugged); keeps a screenshot as
OUT_DIR/control-page.png. Chromium is driven over its DevTools pipe (fds 3, 4)."""

import base64
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

import serial

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "pytest-zolemul"))
from pytest_zolemul import exchange  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from control_http_client import end, serve  # noqa: E402


class Browser:
    def __init__(self, chromium, profile, log):
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()

        def fds():
            os.dup2(to_chrome_r, 3)
            os.dup2(from_chrome_w, 4)

        args = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--remote-debugging-pipe", f"--user-data-dir={profile}", "--window-size=1200,500", "about:blank"]
        # A session of its own: its helpers (renderers, zygote, crash handler) are
        # in its process group and are ended with it.
        self.proc = subprocess.Popen(args, preexec_fn=fds, close_fds=False, start_new_session=True,
                                     stdout=subprocess.DEVNULL, stderr=log)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.next_id = 0
        self.buffer = b""

    def call(self, method, session=None, seconds=20, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.to_chrome, json.dumps(message).encode() + b"\0")
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            while b"\0" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\0", 1)
                answer = json.loads(raw)
                if answer.get("id") == self.next_id:
                    if "error" in answer:
                        raise RuntimeError(f"{method}: {answer['error']}")
                    return answer["result"]

            if select.select([self.from_chrome], [], [], 0.5)[0]:
                chunk = os.read(self.from_chrome, 1 << 20)
                if not chunk:
                    raise RuntimeError("Chromium ended")
                self.buffer += chunk
        raise RuntimeError(f"{method}: no answer within {seconds} s")

    def close(self):
        """Ends Chromium and every helper of it, before its profile is removed (a
        helper still writing there made the removal fail)."""
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        os.close(self.to_chrome)
        os.close(self.from_chrome)
        until(lambda: not group_alive(self.proc.pid), 10, "Chromium's helpers to end")


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False


def until(check, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"not within {seconds} s: {what}")


def page_with_a_token(zolhost, chromium, out_dir):
    """Opened as URL?token=T, the page keeps the token in its cookie, out of the
    address bar, and its requests carry it."""
    with tempfile.TemporaryDirectory() as d:
        served = serve(zolhost, d, "--devices", "1", "--control-token", "page-t0ken")
        browser = None
        try:
            doc = json.loads(served.stdout.readline())
            browser = Browser(chromium, os.path.join(d, "profile"),
                              open(os.path.join(out_dir, "chromium-stderr-token.txt"), "w"))
            target = browser.call("Target.createTarget", url=doc["control"]["url"] + "?token=page-t0ken")["targetId"]
            session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

            def evaluate(expression):
                return browser.call("Runtime.evaluate", session, expression=expression,
                                    returnByValue=True)["result"].get("value")

            until(lambda: evaluate("document.body && document.body.dataset.loaded === 'yes'"), 20,
                  "the page's table, read with the token from its cookie")
            assert evaluate("location.search") == "", evaluate("location.href")
            assert evaluate("document.cookie") == "", "the token's cookie is visible to scripts"
        finally:
            if browser:
                browser.close()
            assert end(served) == 0


def main():
    zolhost, chromium, out_dir = sys.argv[1:4]
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory() as d:
        served = serve(zolhost, d, "--devices", "2")
        browser = None
        try:
            doc = json.loads(served.stdout.readline())
            url = doc["control"]["url"]
            line = serial.Serial(doc["devices"][1]["pty"], 115200, timeout=1)
            assert exchange(line, 3) == 3
            log = open(os.path.join(out_dir, "chromium-stderr.txt"), "w")  # kept with the screenshot
            browser = Browser(chromium, os.path.join(d, "profile"), log)
            target = browser.call("Target.createTarget", url=url)["targetId"]
            session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

            def evaluate(expression):
                return browser.call("Runtime.evaluate", session, expression=expression,
                                    returnByValue=True)["result"].get("value")

            until(lambda: evaluate("document.body.dataset.loaded === 'yes' && "
                                   "document.querySelectorAll('#devices tr[id^=device]').length === 2"), 20, "the page's table")
            assert evaluate("document.querySelector('#device-1').className") == "open"
            # The latest frame, as the device's status line shows it: the third.
            assert evaluate("document.querySelector('#device-1').children[9].textContent") == \
                "Frame 2 receivedEA:FD, TORA:02"
            evaluate("document.querySelector('#controls-1 button[data-action=unplug]').click()")
            until(lambda: evaluate("document.querySelector('#device-1').className") == "unplugged", 10,
                  "the page showing device 1 unplugged")
            try:
                line.write(bytes(7))
                line.read(9)
                raise AssertionError("the host program still has its device")
            except serial.SerialException as e:
                print(f"the host program lost its device: {e}")
            line.close()
            assert not os.path.lexists(doc["devices"][1]["pty"])
            assert evaluate("document.querySelector('#device-0').className") != "unplugged"
            # What a user types in a box outlives the page's refreshes.
            drop = "document.querySelector('#controls-0 input[data-field=drop_pct]')"
            evaluate(f"(() => {{ const b = {drop}; b.focus(); b.value = '25'; b.dispatchEvent(new Event('input')); }})()")
            time.sleep(1.2)  # two refreshes and more
            assert evaluate(f"{drop}.value") == "25"
            assert evaluate(f"document.activeElement === {drop}")
            # Every fault the API takes, and the pace, set from the page at once.
            for field, value in (("corrupt_pct", "10"), ("delay_ms", "5-20"), ("split_ms", "2"), ("pace_baud", "2400")):
                evaluate(f"(() => {{ const b = document.querySelector('#controls-0 input[data-field={field}]');"
                         f" b.value = '{value}'; b.dispatchEvent(new Event('input')); }})()")
            evaluate("document.querySelector('#controls-0 button[data-action=faults]').click()")
            faults = "document.querySelector('#device-0').children[7].textContent"
            until(lambda: evaluate(faults) == "drop 25%, corrupt 10%, delay 5-20 ms, split 2 ms", 10,
                  "device 0's faults set from the page")
            assert evaluate("document.querySelector('#device-0').children[8].textContent") == "2400 baud"
            # A box left empty leaves its fault as it is (it once sent 0).
            for field in ("drop_pct", "corrupt_pct", "delay_ms", "pace_baud"):
                evaluate(f"(() => {{ const b = document.querySelector('#controls-0 input[data-field={field}]');"
                         " b.value = ''; b.dispatchEvent(new Event('input')); })()")
            evaluate("(() => { const b = document.querySelector('#controls-0 input[data-field=split_ms]');"
                     " b.value = 'off'; b.dispatchEvent(new Event('input')); })()")
            evaluate("document.querySelector('#controls-0 button[data-action=faults]').click()")
            until(lambda: evaluate(faults) == "drop 25%, corrupt 10%, delay 5-20 ms", 10, "split off, the rest kept")
            # It fits a laptop's screen: nothing runs off the right edge at 1200 px.
            width = evaluate("[document.documentElement.scrollWidth, window.innerWidth]")
            assert width[0] <= width[1], f"the page is {width[0]} px wide in a {width[1]} px window"
            shot = browser.call("Page.captureScreenshot", session)["data"]
            with open(os.path.join(out_dir, "control-page.png"), "wb") as f:
                f.write(base64.b64decode(shot))
            evaluate("document.querySelector('#controls-1 button[data-action=plug]').click()")
            until(lambda: os.path.lexists(doc["devices"][1]["pty"]), 10, "device 1 plugged back from the page")
            with serial.Serial(doc["devices"][1]["pty"], 115200, timeout=1) as again:
                assert exchange(again, 3) == 3
        finally:
            if browser:
                browser.close()
            status_at_end = end(served)
    assert status_at_end == 0, status_at_end
    page_with_a_token(zolhost, chromium, out_dir)
    print("ok: screenshot in", os.path.join(out_dir, "control-page.png"))


if __name__ == "__main__":
    main()
