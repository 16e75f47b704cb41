"""Headless Chromium driven over its DevTools protocol, for the checks of the status port's
pages. It runs in a process group of its own, which ends with the script however the script
ends."""
import base64
import json
import os
import shutil
import signal
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
        self.events = []  # what Chromium announced meanwhile, for next_event

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
            if "method" in msg:
                self.events.append(msg)
            elif msg.get("id") == self.next_id:
                if "error" in msg:
                    raise RuntimeError("%s: %s" % (method, msg["error"]))
                return msg.get("result", {})

    def next_event(self, method, seconds):
        """The parameters of the first announcement of that name not taken yet; None when
        none came in time."""
        deadline = time.time() + seconds
        while True:
            for i, msg in enumerate(self.events):
                if msg["method"] == method:
                    return self.events.pop(i)["params"]
            if time.time() > deadline:
                return None
            self.ws.settimeout(max(0.1, deadline - time.time()))
            try:
                msg = json.loads(self.ws.recv())
                if "method" in msg:
                    self.events.append(msg)
            except websocket.WebSocketTimeoutException:
                pass
            finally:
                self.ws.settimeout(15)

    def eval(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return r.get("result", {}).get("value")

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"]))

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


def check(size, names, screenshot, look):
    """Runs look(browser, seen), which tells whether all held, in a fresh Chromium with a window
    of size "WxH"; prints what was seen, with the page's text and Chromium's last output when
    something failed, and returns the exit code: 0 when all held."""
    width, height = (int(v) for v in size.split("x"))
    seen = {}
    ok = False
    browser = None
    try:
        browser = Browser(width, height, names)
        browser.call("Page.enable")
        ok = look(browser, seen)
        if not ok:
            seen["body"] = browser.eval("document.body && document.body.innerText")
        if screenshot:
            browser.screenshot(screenshot)
    except Exception as e:  # reported with what was seen so far, not as a bare trace
        ok = False
        seen["error"] = "%s: %s" % (type(e).__name__, e)
    finally:
        if browser and not ok:
            seen["chromium"] = browser.output()
        if browser:
            browser.close()
    print(json.dumps(seen))
    return 0 if ok else 1
