#!/usr/bin/python3
"""Opens the status page in headless Chromium, as a person would, and checks that it lists the
receivers, and that a receiver connecting afterwards appears without a reload of the page.
Optionally saves a screenshot. Prints what it saw; exit code 0 when all held."""
import argparse
import socket
import sys

from headless_browser import check, wait_for


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--url", required=True)
    ap.add_argument("--connect", help="HOST:PORT of a receiver to connect once the page shows")
    ap.add_argument("--screenshot", help="PNG file to write at the end")
    ap.add_argument("--size", default="1000x1000")
    ap.add_argument("--map", action="append", default=[], help="NAME that means 127.0.0.1")
    a = ap.parse_args()
    rows = "Array.from(document.querySelectorAll('#receivers tr')).map(r => r.cells[0].textContent)"
    peers = []  # open until the end, the screenshot included

    def look(browser, seen):
        ok = True
        browser.call("Page.navigate", url=a.url)
        wait_for(lambda: browser.eval("document.readyState") == "complete", 10)
        seen["title"] = browser.eval("document.title")
        seen["first"] = browser.eval(rows)
        # Gone after a reload: the refresh must change the page in place.
        browser.eval("window.korrinSameDocument = true")
        if a.connect:
            host, port = a.connect.rsplit(":", 1)
            peers.append(socket.create_connection((host, int(port)), timeout=5))
            want = len(seen["first"] or []) + 1
            seen["later"] = wait_for(lambda: (lambda r: r if r and len(r) >= want else None)(
                browser.eval(rows)), 8) or browser.eval(rows)
            seen["same_document"] = browser.eval("window.korrinSameDocument === true")
            ok = len(seen["later"] or []) == want and seen["same_document"]
        return ok and seen["title"] == "Korrin Server status" and bool(seen["first"])

    return check(a.size, a.map, a.screenshot, look)


if __name__ == "__main__":
    sys.exit(main())
