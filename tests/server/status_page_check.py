#!/usr/bin/python3
"""Opens the status page in headless Chromium, as a person would, and checks that it lists the
receivers, and that a receiver connecting afterwards appears without a reload of the page.
Optionally saves a screenshot. Prints what it saw; exit code 0 when all held."""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket  # Debian's python3-websocket


class Browser:
    def __init__(self, width, height, names):
        self.profile = tempfile.mkdtemp(prefix="korrin-chromium-")
        # The flags keep a headless Chromium off the network this machine does not have.
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--hide-scrollbars", "--user-data-dir=" + self.profile,
             "--remote-debugging-port=0", "--window-size=%d,%d" % (width, height)] +
            # Names the page is asked under, without a DNS server or a proxy to ask.
            (["--no-proxy-server", "--host-resolver-rules=" +
              ", ".join("MAP %s 127.0.0.1" % n for n in names)] if names else []) +
            ["about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.time() + 20
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if time.time() > deadline:
                raise RuntimeError("Chromium did not start")
            time.sleep(0.1)
        port = int(open(port_file).read().split()[0])
        targets = json.load(urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port))
        page = next(t for t in targets if t["type"] == "page")
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=15)
        self.next_id = 0

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
            self.ws.close()
        finally:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
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
    browser = Browser(width, height, a.map)
    extra = None
    try:
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
        if a.screenshot:
            import base64
            shot = browser.call("Page.captureScreenshot", format="png")["data"]
            with open(a.screenshot, "wb") as f:
                f.write(base64.b64decode(shot))
    finally:
        browser.close()
        if extra:
            extra.close()
    print(json.dumps(seen))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
