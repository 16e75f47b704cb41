#!/usr/bin/python3
"""Opens the status page in headless Chromium, as a person would, and checks that it lists the
receivers, and that a receiver connecting afterwards appears without a reload of the page.
Optionally saves a screenshot. Prints what it saw; exit code 0 when all held."""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket  # Debian's python3-websocket


# Kills a process group once the script that started it is gone, however it went (a SIGKILL
# from the test's timeout included): it waits for the end of its stdin, which only the
# script holds open.
REAPER = """
import os, signal, sys
sys.stdin.buffer.read()
try:
    os.killpg(int(sys.argv[1]), signal.SIGKILL)
except ProcessLookupError:
    pass
"""


class Browser:
    def __init__(self, width, height, names):
        self.profile = tempfile.mkdtemp(prefix="korrin-chromium-")
        self.log = open(os.path.join(self.profile, "chromium.log"), "w+")
        self.proc = None
        self.reaper = None
        self.ws = None
        try:
            self._start(width, height, names)
        except BaseException:
            self.close()
            raise

    def _start(self, width, height, names):
        # The flags keep a headless Chromium off the network this machine does not have. Its
        # own process group, so that its helpers end with it.
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--hide-scrollbars", "--user-data-dir=" + self.profile,
             "--remote-debugging-port=0", "--window-size=%d,%d" % (width, height)] +
            # Names the page is asked under, without a DNS server or a proxy to ask.
            (["--no-proxy-server", "--host-resolver-rules=" +
              ", ".join("MAP %s 127.0.0.1" % n for n in names)] if names else []) +
            ["about:blank"],
            stdout=self.log, stderr=self.log, start_new_session=True)
        self.reaper = subprocess.Popen([sys.executable, "-c", REAPER, str(self.proc.pid)],
                                       stdin=subprocess.PIPE, start_new_session=True)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.time() + 20
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if time.time() > deadline or self.proc.poll() is not None:
                raise RuntimeError("Chromium did not start")
            time.sleep(0.1)
        port = int(open(port_file).read().split()[0])
        targets = json.load(urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port))
        page = next(t for t in targets if t["type"] == "page")
        # No Origin header: some Chromium versions refuse a DevTools client that sends one
        # unless started with --remote-allow-origins.
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=15,
                                              suppress_origin=True)
        self.next_id = 0

    def output(self):
        """The last lines Chromium printed, for a failure report (without its D-Bus noise)."""
        self.log.flush()
        self.log.seek(0)
        return "".join([l for l in self.log.readlines() if "dbus" not in l][-20:])

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get("id") == self.next_id:
                if "error" in msg:
                    raise RuntimeError("%s: %s" % (method, msg["error"]))
                return msg.get("result", {})

    def eval(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return r.get("result", {}).get("value")

    def close(self):
        try:
            if self.ws:
                self.ws.close()
        finally:
            if self.proc:
                try:
                    os.killpg(self.proc.pid, signal.SIGTERM)
                    self.proc.wait(10)
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    pass
                try:
                    os.killpg(self.proc.pid, signal.SIGKILL)  # helpers that outlived it
                except ProcessLookupError:
                    pass
            if self.reaper:
                self.reaper.stdin.close()
                self.reaper.wait()
            self.log.close()
            shutil.rmtree(self.profile, ignore_errors=True)


def wait_for(check, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.2)
    return check()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--url", required=True)
    ap.add_argument("--connect", help="HOST:PORT of a receiver to connect once the page shows")
    ap.add_argument("--screenshot", help="PNG file to write at the end")
    ap.add_argument("--size", default="1000x1000")
    ap.add_argument("--map", action="append", default=[], help="NAME that means 127.0.0.1")
    a = ap.parse_args()
    width, height = (int(v) for v in a.size.split("x"))
    rows = "Array.from(document.querySelectorAll('#receivers tr')).map(r => r.cells[0].textContent)"
    seen = {}
    ok = True
    extra = None
    browser = None
    try:
        browser = Browser(width, height, a.map)
        browser.call("Page.enable")
        browser.call("Page.navigate", url=a.url)
        wait_for(lambda: browser.eval("document.readyState") == "complete", 10)
        seen["title"] = browser.eval("document.title")
        seen["first"] = browser.eval(rows)
        # Gone after a reload: the refresh must change the page in place.
        browser.eval("window.korrinSameDocument = true")
        if a.connect:
            host, port = a.connect.rsplit(":", 1)
            extra = socket.create_connection((host, int(port)), timeout=5)
            want = len(seen["first"] or []) + 1
            seen["later"] = wait_for(lambda: (lambda r: r if r and len(r) >= want else None)(
                browser.eval(rows)), 8) or browser.eval(rows)
            seen["same_document"] = browser.eval("window.korrinSameDocument === true")
            ok = len(seen["later"] or []) == want and seen["same_document"]
        ok = ok and seen["title"] == "Korrin Server status" and bool(seen["first"])
        if not ok:
            seen["body"] = browser.eval("document.body && document.body.innerText")
        if a.screenshot:
            import base64
            shot = browser.call("Page.captureScreenshot", format="png")["data"]
            with open(a.screenshot, "wb") as f:
                f.write(base64.b64decode(shot))
    except Exception as e:  # reported with what was seen so far, not as a bare trace
        ok = False
        seen["error"] = "%s: %s" % (type(e).__name__, e)
    finally:
        if browser and not ok:
            seen["chromium"] = browser.output()
        if browser:
            browser.close()
        if extra:
            extra.close()
    print(json.dumps(seen))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
