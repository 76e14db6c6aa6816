"""Pages looked at in a real browser, for the end-to-end tests of the pages
the tool writes: Debian's chromium, headless, reads a page (a file, or a URL
of the web server started here) and gives back what it rendered (the DOM after
load) or a screenshot.

    import browser
    if not browser.chromium():  # skip: no browser here
        ...
    with browser.Server(folder) as server:
        dom = browser.dump_dom(server.url("station.html"))

A page left open in the browser, asked what it shows (a JavaScript
expression, run in the page: the DOM as rendered, computed styles), again as
it reloads itself (its own meta refresh):

    with browser.Browser() as b:
        b.open(url)
        states, load = b.wait_for("[...document.querySelectorAll('.tile')]"
                                  ".map(t => t.dataset.state)", lambda s: "updated" in s, 10)

Each call runs a browser of its own with a profile of its own in a temporary
folder, so tests may run several at once. About 1 s a page on the build
machine (2 s for an open Browser to start).
"""
import functools
import json
import http.server
import os
import select
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.parse

BROWSERS = ("chromium", "chromium-browser")


def chromium():
    """The browser's path, or None where none is installed."""
    for name in BROWSERS:
        path = shutil.which(name)
        if path:
            return path
    return None


def file_url(path):
    return "file://" + urllib.parse.quote(os.path.abspath(path))


def _run(url, options, timeout):
    program = chromium()
    if program is None:
        raise RuntimeError("no chromium here (scripts/install-deps installs it)")
    with tempfile.TemporaryDirectory(prefix="browser-") as profile:
        command = [program, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-dev-shm-usage", "--hide-scrollbars", "--user-data-dir=" + profile,
                   ] + options + [url]
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout, cwd=profile)
        if done.returncode != 0:
            raise RuntimeError("chromium ended with status %d: %s"
                               % (done.returncode, done.stderr.decode(errors="replace")[-2000:]))
        return done.stdout.decode("utf-8", errors="replace")


def dump_dom(url, timeout=60):
    """The DOM of URL as the browser has it after the load."""
    return _run(url, ["--dump-dom"], timeout)


def screenshot(url, png, width=1920, height=1080, timeout=60):
    """URL drawn at WIDTH x HEIGHT into the PNG file PNG."""
    _run(url, ["--screenshot=" + os.path.abspath(png), "--window-size=%d,%d" % (width, height)],
         timeout)
    if not os.path.exists(png):
        raise RuntimeError("chromium drew no %s" % png)


class Browser:
    """A headless browser kept running, driven over its DevTools pipe (the
    protocol's JSON messages, each ended by a NUL byte, on descriptors 3 and
    4 of the browser): one page opened, its DOM read whenever asked, as the
    page itself has it (its own reloads included)."""

    def __init__(self, timeout=30):
        self.timeout, self.next_id, self.pending, self.session = timeout, 0, b"", None
        self.profile = tempfile.TemporaryDirectory(prefix="browser-")
        to_browser, self.ours_out = os.pipe()
        self.ours_in, from_browser = os.pipe()
        # The browser reads on 3 and writes on 4: its ends moved out of the
        # way first, so that neither is overwritten by the other's move.
        high = [os.dup2(to_browser, 200), os.dup2(from_browser, 201)]
        for fd in (to_browser, from_browser):
            os.close(fd)

        def ends():
            os.dup2(200, 3)
            os.dup2(201, 4)
        program = chromium()
        if program is None:
            raise RuntimeError("no chromium here (scripts/install-deps installs it)")
        self.proc = subprocess.Popen(
            [program, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-dev-shm-usage", "--remote-debugging-pipe",
             "--user-data-dir=" + self.profile.name, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=ends,
            pass_fds=(3, 4, 200, 201))
        for fd in high:
            os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.proc.poll() is None:
            try:
                self.call("Browser.close")
            except (OSError, RuntimeError):
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for fd in (self.ours_in, self.ours_out):
            try:
                os.close(fd)
            except OSError:
                pass
        self.profile.cleanup()

    def call(self, method, params=None, session=True):
        """The result of one DevTools command (in the open page's session)."""
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.ours_out, json.dumps(message).encode() + b"\0")
        deadline = time.time() + self.timeout
        while True:
            while b"\0" in self.pending:
                text, self.pending = self.pending.split(b"\0", 1)
                reply = json.loads(text)
                if reply.get("id") == self.next_id:
                    if "error" in reply:
                        raise RuntimeError("%s: %s" % (method, reply["error"]))
                    return reply["result"]
            left = deadline - time.time()
            if left <= 0 or not select.select([self.ours_in], [], [], left)[0]:
                raise RuntimeError("the browser did not answer %s" % method)
            data = os.read(self.ours_in, 1 << 20)
            if not data:
                raise RuntimeError("the browser has ended")
            self.pending += data

    def open(self, url):
        """URL in a new page, which the calls below read."""
        target = self.call("Target.createTarget", {"url": url}, session=False)["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]

    def evaluate(self, expression):
        """EXPRESSION's value (as JSON gives it) in the page loaded now, and
        which load of it that is (the time the load began, in ms: another
        each time it reloads); (None, None) while no page is loaded."""
        result = self.call("Runtime.evaluate", {
            "expression": "document.readyState == 'complete' ? "
                          "[(%s), performance.timeOrigin] : null" % expression,
            "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        value = result.get("result", {}).get("value")
        return (value[0], value[1]) if value else (None, None)

    def wait_for(self, expression, ready, seconds):
        """EXPRESSION's value and the load, asked again until READY(value)
        holds; (None, None) when SECONDS pass first."""
        deadline = time.time() + seconds
        while True:
            value, load = self.evaluate(expression)
            if load is not None and ready(value):
                return value, load
            if time.time() >= deadline:
                return None, None
            time.sleep(0.2)


class _Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):  # the requests are counted, not printed
        pass

    def do_GET(self):
        name = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).lstrip("/")
        with self.server.lock:
            self.server.requests[name] = self.server.requests.get(name, 0) + 1
        super().do_GET()


class Server:
    """An ordinary web server (Python's own) serving FOLDER on a free port of
    the loopback interface, in a thread of this process, for as long as the
    `with` block runs. It counts the requests for each file."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        handler = functools.partial(_Handler, directory=self.folder)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.httpd.requests = {}
        self.httpd.lock = threading.Lock()
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.httpd.server_address[1], urllib.parse.quote(name))

    def requests(self, name):
        with self.httpd.lock:
            return self.httpd.requests.get(name, 0)
