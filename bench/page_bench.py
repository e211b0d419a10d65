#!/usr/bin/env python3
"""The live page's time to plot a range (docs/performance.md): headless chromium opens the page
of a running recorder, and this prints, for each of RUNS fresh tabs, the time from the page's
request to its plots drawn and the time of its /history question (fetched, read, plotted).

    page_bench.py URL [RUNS]

    e.g. page_bench.py 'http://127.0.0.1:4001/#range=5' 5   (the last 4 weeks)
"""

import json
import os
import subprocess
import sys
import tempfile
import time


class Browser:
    def __init__(self, profile):
        to_r, to_w = os.pipe()
        from_r, from_w = os.pipe()
        # The DevTools pipe: the browser reads descriptor 3 and writes 4.
        self.proc = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
             "--remote-debugging-pipe", "--no-first-run", "--user-data-dir=" + profile,
             "--window-size=1200,800", "about:blank"],
            pass_fds=(3, 4), preexec_fn=lambda: (os.dup2(to_r, 3), os.dup2(from_w, 4)),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_r)
        os.close(from_w)
        self.out, self.inp = to_w, from_r
        self.id, self.buffer = 0, b""

    def call(self, method, params, session=None):
        self.id += 1
        message = {"id": self.id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.out, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            while b"\0" in self.buffer:
                text, self.buffer = self.buffer.split(b"\0", 1)
                reply = json.loads(text)
                if reply.get("id") == self.id:
                    if "error" in reply:
                        raise RuntimeError(reply["error"])
                    return reply["result"]
            chunk = os.read(self.inp, 65536)
            if not chunk:
                raise RuntimeError("the browser closed its pipe")
            self.buffer += chunk
        raise RuntimeError(method + ": no answer")

    def close(self):
        try:
            self.call("Browser.close", {})
        finally:
            self.proc.wait(10)


def main():
    url = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with tempfile.TemporaryDirectory() as profile:
        browser = Browser(profile)
        try:
            for _ in range(runs):
                target = browser.call("Target.createTarget", {"url": url})["targetId"]
                session = browser.call("Target.attachToTarget",
                                       {"targetId": target, "flatten": True})["sessionId"]
                shown = None
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    r = browser.call("Runtime.evaluate", {
                        "expression": "document.body.dataset.ready === '1' ? [Number(document.body"
                                      ".dataset.readyMs), Number(document.body.dataset.historyMs),"
                                      " document.body.dataset.history, document.getElementById("
                                      "'history-plot').dataset.points] : null",
                        "returnByValue": True}, session)
                    shown = r["result"].get("value")
                    if shown:
                        break
                    time.sleep(0.05)
                if not shown:
                    sys.exit("the page did not get ready within 30 s")
                print(f"page ready {shown[0]} ms after its request; history ({shown[2]}, "
                      f"{shown[3]} points) {shown[1]} ms")
                browser.call("Target.closeTarget", {"targetId": target})
        finally:
            browser.close()


if __name__ == "__main__":
    main()
