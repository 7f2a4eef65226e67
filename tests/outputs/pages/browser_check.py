#!/usr/bin/env python3
"""Opens a page in headless Chromium from file:// and checks it as a person would meet it.

Drives the browser through its DevTools protocol over a pipe (standard library only) and checks:
  - no console error, no uncaught exception, no failed load: none of the browser's error log;
  - no request but the page itself: the page is self-contained;
  - the elements asked for: --text ID=TEXT (the element's text), --count SELECTOR=N;
  - --links: every link is a relative one to a file that exists;
  - --tidy: the markup passes tidy without a warning;
  - --pdf-pages N: printed with --print-to-pdf, pdfinfo counts N pages;
  - --screenshot FILE: a screenshot kept there, for a person to look at.

Exit status 0 when every check passes, 1 when one fails (each named on standard error), 77 when
chromium, pdfinfo or tidy is missing: a skip, unless GM_REQUIRE_BROWSER=1 (set by
scripts/test.sh), which makes it a failure.
"""

import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

SKIP = 77
# The closed network refuses chromium's own background connections; these keep it quiet.
CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
]


def missing(what):
    if os.environ.get("GM_REQUIRE_BROWSER") == "1":
        print(f"browser_check: {what} is missing, and GM_REQUIRE_BROWSER=1", file=sys.stderr)
        sys.exit(1)
    print(f"browser_check: {what} is missing: the page is not checked in a browser")
    sys.exit(SKIP)


def find_chromium():
    named = os.environ.get("GM_CHROMIUM")
    if named:
        return named
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    return None


class Browser:
    """Chromium with its DevTools protocol on file descriptors 3 (in) and 4 (out)."""

    def __init__(self, chromium, profile):
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()

        def hand_over():
            # Through fresh copies: the pipes may be 3 and 4 already, closed on exec.
            reading, writing = os.dup(to_browser_read), os.dup(from_browser_write)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        self.process = subprocess.Popen(
            [chromium, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", "--remote-debugging-pipe",
             "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=hand_over, close_fds=False)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def send(self, method, params=None, session=None, timeout=30.0):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self.receive(deadline)
            if reply is None:
                raise RuntimeError(f"no answer to {method}")
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def receive(self, deadline):
        """The next message; events are kept. None once the deadline has passed."""
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.from_browser], [], [], left)
            if not ready:
                return None
            chunk = os.read(self.from_browser, 65536)
            if not chunk:
                raise RuntimeError("the browser closed its end")
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\0", 1)
        message = json.loads(text)
        if "method" in message:
            self.events.append(message)
        return message

    def wait_for(self, method, timeout):
        deadline = time.monotonic() + timeout
        while not any(event["method"] == method for event in self.events):
            if self.receive(deadline) is None:
                return False
        return True

    def settle(self, seconds):
        deadline = time.monotonic() + seconds
        while self.receive(deadline) is not None:
            pass

    def close(self):
        try:
            self.send("Browser.close", timeout=5)
        except (RuntimeError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)


PROBE = """JSON.stringify({
  texts: Object.fromEntries(%s.map(id => [id, (document.getElementById(id) || {}).textContent])),
  counts: Object.fromEntries(%s.map(s => [s, document.querySelectorAll(s).length])),
  links: Array.from(document.querySelectorAll('a[href]'), a => a.getAttribute('href')),
  scripts: document.querySelectorAll('script').length
})"""


def check_in_browser(chromium, url, args, problems):
    with tempfile.TemporaryDirectory(prefix="gm_browser_") as profile:
        browser = Browser(chromium, profile)
        try:
            target = browser.send("Target.createTarget", {"url": "about:blank"})
            session = browser.send("Target.attachToTarget",
                                   {"targetId": target["targetId"], "flatten": True})["sessionId"]
            for domain in ("Runtime", "Log", "Network", "Page"):
                browser.send(f"{domain}.enable", session=session)
            browser.send("Page.navigate", {"url": url}, session=session)
            if not browser.wait_for("Page.loadEventFired", 30):
                problems.append("the page did not finish loading")
            browser.settle(0.5)
            texts = [pair.split("=", 1)[0] for pair in args.text]
            counts = [pair.rsplit("=", 1)[0] for pair in args.count]
            probe = browser.send("Runtime.evaluate", {
                "expression": PROBE % (json.dumps(texts), json.dumps(counts)),
                "returnByValue": True}, session=session)
            found = json.loads(probe["result"]["value"])
        finally:
            browser.close()
    for event in browser.events:
        method, params = event["method"], event.get("params", {})
        if method == "Network.requestWillBeSent" and params["request"]["url"] != url:
            problems.append(f"a request: {params['request']['url']}")
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            problems.append(f"console error: {params.get('args')}")
        elif method == "Runtime.exceptionThrown":
            problems.append(f"an exception: {params['exceptionDetails'].get('text')}")
        elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
            problems.append(f"logged error: {params['entry'].get('text')}")
    if found["scripts"]:
        problems.append(f"{found['scripts']} script elements in the page")
    for pair in args.text:
        key, expected = pair.split("=", 1)
        if found["texts"].get(key) != expected:
            problems.append(f"#{key} holds {found['texts'].get(key)!r}, not {expected!r}")
    for pair in args.count:
        selector, expected = pair.rsplit("=", 1)
        if found["counts"].get(selector) != int(expected):
            problems.append(f"{found['counts'].get(selector)} of {selector}, not {expected}")
    return found["links"]


def check_links(page, links, problems):
    folder = os.path.dirname(os.path.abspath(page))
    for link in links:
        parts = urllib.parse.urlsplit(link)
        if parts.scheme or parts.netloc or link.startswith("/"):
            problems.append(f"a link that is not relative: {link}")
            continue
        target = os.path.join(folder, urllib.parse.unquote(parts.path))
        if not os.path.isfile(target):
            problems.append(f"a link to nothing: {link}")


def printed_pages(chromium, url, pdf):
    with tempfile.TemporaryDirectory(prefix="gm_browser_") as profile:
        subprocess.run([chromium, *CHROMIUM_FLAGS, f"--user-data-dir={profile}",
                        "--no-pdf-header-footer", f"--print-to-pdf={pdf}", url],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                       check=False)
    info = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True, check=False).stdout
    for line in info.splitlines():
        if line.startswith("Pages:"):
            return int(line.split()[1])
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("page")
    parser.add_argument("--text", action="append", default=[], metavar="ID=TEXT")
    parser.add_argument("--count", action="append", default=[], metavar="SELECTOR=N")
    parser.add_argument("--links", action="store_true")
    parser.add_argument("--tidy", action="store_true")
    parser.add_argument("--pdf-pages", type=int)
    parser.add_argument("--screenshot")
    args = parser.parse_args()

    chromium = find_chromium()
    if not chromium:
        missing("chromium")
    if args.pdf_pages is not None and not shutil.which("pdfinfo"):
        missing("pdfinfo (poppler-utils)")
    if args.tidy and not shutil.which("tidy"):
        missing("tidy")
    page = os.path.abspath(args.page)
    url = "file://" + urllib.parse.quote(page)
    problems = []
    links = check_in_browser(chromium, url, args, problems)
    if args.links:
        check_links(page, links, problems)
    if args.tidy:
        tidied = subprocess.run(["tidy", "-q", "-e", page], capture_output=True, text=True,
                                check=False)
        if tidied.returncode != 0 or tidied.stderr.strip():
            problems.append("tidy: " + tidied.stderr.strip())
    if args.pdf_pages is not None:
        with tempfile.TemporaryDirectory(prefix="gm_pdf_") as folder:
            pages = printed_pages(chromium, url, os.path.join(folder, "page.pdf"))
        if pages != args.pdf_pages:
            problems.append(f"printed on {pages} pages, not {args.pdf_pages}")
    if args.screenshot:
        with tempfile.TemporaryDirectory(prefix="gm_browser_") as profile:
            subprocess.run([chromium, *CHROMIUM_FLAGS, f"--user-data-dir={profile}",
                            "--hide-scrollbars", "--window-size=1100,1500",
                            f"--screenshot={os.path.abspath(args.screenshot)}", url],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                           check=False)
        if not os.path.isfile(args.screenshot):
            problems.append(f"no screenshot {args.screenshot}")
    for problem in problems:
        print(f"browser_check: {args.page}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
