"""What the browser and Prometheus tests share: web_test_server started and
stopped, the build folder for what they leave behind, and the exit status
that tells CTest a tool is missing (the test is then reported as skipped;
with CI=true it fails instead)."""
import os
import shutil
import subprocess
import sys
import time

SKIP = 77
# How long a wait may last before the test takes what it waits for to hang:
# a guard, never a measure.  Every wait is for something the code under test
# will do, and a loaded machine only makes it come later.
HANG = 60
SERVER = os.environ["WEB_TEST_SERVER"]
OUT = os.environ["WEB_TEST_OUT"]


def in_ci():
    """A CI run (CI=true) proves the pages and metrics: a missing tool is a
    failure there, never a silent skip."""
    return os.environ.get("CI", "").strip().lower() in ("true", "1", "yes")


def need(*tools, modules=()):
    missing = [t for t in tools if not shutil.which(t)]
    for module in modules:
        try:
            __import__(module)
        except ImportError:
            missing.append(f"the Python module {module}")
    for what in missing:
        if in_ci():
            print(f"FAILED: {what} is not installed, and CI=true needs this test run "
                  "(bash scripts/setup.sh --web-tests installs it)")
            sys.exit(1)
        print(f"SKIPPED: {what} is not installed (bash scripts/setup.sh --web-tests installs it)")
        sys.exit(SKIP)


def browser():
    """Headless Chromium (run as root in CI, hence no sandbox) keeping the console log."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,2400"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def until(done, what, step=0.05):
    """Waits until done() is true, for at most HANG seconds; RuntimeError
    naming what it waited for otherwise."""
    end = time.monotonic() + HANG
    while not done():
        if time.monotonic() >= end:
            raise RuntimeError(f"{what}: not within {HANG} s")
        time.sleep(step)


def await_path(path):
    """Until a simulator has made its pseudo-terminal's link."""
    until(lambda: os.path.exists(path), f"monitor-sim did not make {path}")


def read(driver, selector, attr=None):
    """The text (or one attribute) of every element the selector finds, read
    in one go inside the page.  The live page redraws its devices several
    times a second, so an element found by one WebDriver call may be gone
    by the next: reading through element handles fails at random."""
    return driver.execute_script(
        "return Array.from(document.querySelectorAll(arguments[0]))"
        ".map(e => arguments[1] === null ? e.innerText : e.getAttribute(arguments[1]));",
        selector, attr)


class Checks:
    """Named checks, each printed; the test fails at the end if any did."""

    def __init__(self):
        self.failures = []

    def __call__(self, ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            self.failures.append(what)

    def status(self):
        return 1 if self.failures else 0


class Server:
    """web_test_server on a loopback port; publish() sends it a new round."""

    def __init__(self, port=0, history=None, streams=None):
        args = [SERVER, "--port", str(port)] + (["--history", history] if history else []) + \
            (["--streams", str(streams)] if streams else [])
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("url: "):
            raise RuntimeError(f"web_test_server did not start: {line!r}")
        self.url = line[len("url: "):].strip()
        self.port = int(self.url.rstrip("/").rsplit(":", 1)[1])

    def publish(self):
        self.proc.stdin.write("publish\n")
        self.proc.stdin.flush()
        assert self.proc.stdout.readline().strip() == "published"

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=20)


class RunLines:
    """The JSON lines of a `bench-host run --json` child, read as they come,
    so that a test acts on what the run has done (its rounds, a health
    change) rather than on how long it has run: a loaded machine slows the
    run down, never changes the order of its events."""

    def __init__(self, proc):
        import json
        self._json = json
        self.proc = proc
        self.events = []

    def until(self, pred):
        """Reads until an event satisfies pred and returns it; None when the
        run ends first."""
        while True:
            line = self.proc.stdout.readline()
            if not line:
                return None
            if not line.startswith("{"):
                continue
            e = self._json.loads(line)
            self.events.append(e)
            if pred(e):
                return e

    def rounds(self):
        return sum(1 for e in self.events if e.get("ev") == "round")

    def rest(self):
        """Reads what is left once the run ends."""
        self.until(lambda e: False)
        return self.events
