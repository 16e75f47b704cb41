#!/usr/bin/python3
"""Opens the board (/board) in headless Chromium and sends lines through a sender: each must
show, long ones wrapped, under the page's own policy. With --steps it then has the relay
restarted twice (it writes DIR/stop-N and waits for DIR/restarted-N) and holds the page's
reconnect meanwhile, so that lines sent then go out while the page is away: the browser's own
reconnect must bring them the first time; the second time that reconnect is answered with a
lost notice and then a 503, and the page's new stream must bring them. Prints what it saw;
exit code 0 when all held."""
import argparse
import base64
import os
import socket
import sys
import time
import urllib.request

from headless_browser import check, wait_for

STATE = "document.getElementById('state').textContent"
LOST = "document.getElementById('lost').textContent"
# The newest line, then the earlier ones below it.
LINES = ("[document.getElementById('newest').textContent].concat(Array.from("
         "document.querySelectorAll('#recent li')).map(li => li.textContent))")


def send(sender, lines):
    s = socket.create_connection(sender, timeout=5)
    s.sendall(b"".join(l.encode() + b"\n" for l in lines))
    s.close()


def shows(browser, lines, seconds=10):
    """True once the page shows these lines as the newest ones, the last on top."""
    want = [l.replace("\r", "\n") for l in reversed(lines)]
    return bool(wait_for(lambda: browser.eval(LINES)[:len(want)] == want, seconds))


def restart(browser, steps, n, sender, answers):
    """Has the relay restarted while the page's reconnect is held, sends lines meanwhile, and
    answers the held requests with the given fakes before it lets one through."""
    browser.call("Fetch.enable", patterns=[{"urlPattern": "*/events*"}])
    open(os.path.join(steps, "stop-%d" % n), "w").close()
    if not wait_for(lambda: os.path.exists(os.path.join(steps, "restarted-%d" % n)), 60):
        raise RuntimeError("the relay was not restarted")
    lines = ["after restart %d, line %d" % (n, i) for i in range(3)]
    send(sender, lines)
    time.sleep(1)  # paced out by now, while the page is away
    seen = {"state": browser.eval(STATE), "asked": []}
    for answer in answers + [None]:
        held = browser.next_event("Fetch.requestPaused", 10)
        if not held:
            raise RuntimeError("the page did not ask for the stream again")
        seen["asked"].append(held["request"]["url"].split("/events", 1)[1])
        if answer:
            status, headers, body = answer
            browser.call("Fetch.fulfillRequest", requestId=held["requestId"],
                         responseCode=status, body=base64.b64encode(body.encode()).decode(),
                         responseHeaders=[{"name": k, "value": v} for k, v in headers])
    browser.call("Fetch.continueRequest", requestId=held["requestId"])
    browser.call("Fetch.disable")
    seen["shown"] = shows(browser, lines)
    seen["after"] = browser.eval(STATE)
    return seen


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--url", required=True, help="of /board")
    ap.add_argument("--sender", required=True, help="HOST:PORT of the relay's input")
    ap.add_argument("--steps", help="folder to ask for restarts in")
    ap.add_argument("--screenshot", help="PNG file to write at the end")
    ap.add_argument("--size", default="400x700")
    a = ap.parse_args()
    host, port = a.sender.rsplit(":", 1)
    sender = (host, int(port))

    def look(browser, seen):
        seen["policy"] = urllib.request.urlopen(a.url).headers["Content-Security-Policy"]
        browser.call("Page.addScriptToEvaluateOnNewDocument", source=(
            "window.korrinBlocked = []; document.addEventListener('securitypolicyviolation',"
            " e => korrinBlocked.push(e.violatedDirective + ' ' + e.blockedURI))"))
        browser.call("Page.navigate", url=a.url)
        seen["live"] = wait_for(lambda: browser.eval(STATE) == "live", 10)
        browser.eval("window.korrinSameDocument = true")  # gone after a reload
        lines = ["first line", "word " * 400 + "end", "x" * 3000, "with\rcarriage return"]
        send(sender, lines)
        seen["shown"] = shows(browser, lines)
        seen["scroll_width"] = browser.eval("document.documentElement.scrollWidth")
        ok = (seen["policy"] == "default-src 'self'" and seen["live"] and seen["shown"] and
              seen["scroll_width"] <= browser.eval("document.documentElement.clientWidth"))
        if a.steps:
            seen["resume"] = restart(browser, a.steps, 1, sender, [])
            seen["reopen"] = restart(browser, a.steps, 2, sender, [
                (200, [("Content-Type", "text/event-stream")], "event: lost\ndata: 2\n\n"),
                (503, [("Retry-After", "5")], "")])
            ok = ok and all(r["state"] == "reconnecting" and r["shown"] and r["after"] == "live"
                            for r in (seen["resume"], seen["reopen"]))
            # The page's own new stream goes on after the last line it showed.
            seen["lost"] = browser.eval(LOST)
            ok = (ok and seen["reopen"]["asked"][2].startswith("?last=") and
                  seen["lost"] == "lines lost: 2")
        shown = browser.eval(LINES)
        seen["lines"] = [l[:40] for l in shown]
        seen["blocked"] = browser.eval("window.korrinBlocked")
        seen["same_document"] = browser.eval("window.korrinSameDocument === true")
        # A resume that gave lines again would show them twice.
        return ok and len(set(shown)) == len(shown) and not seen["blocked"] and seen["same_document"]

    return check(a.size, [], a.screenshot, look)


if __name__ == "__main__":
    sys.exit(main())
