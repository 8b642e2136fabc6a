"""A tool the browser and Prometheus tests need: missing on a developer's
machine the test is skipped (exit status 77); missing in a CI run (CI=true)
it fails, so that CI can never pass without having run them."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = "import webtest; webtest.need({args})"

cases = [
    # (what is asked for, CI, exit status expected)
    ('"no-such-browser-upsb"', None, 77),
    ('"no-such-browser-upsb"', "true", 1),
    ('"no-such-browser-upsb"', "TRUE", 1),
    ('"no-such-browser-upsb"', "false", 77),
    ('"sh", modules=("no_such_driver_upsb",)', None, 77),
    ('"sh", modules=("no_such_driver_upsb",)', "true", 1),
    ('"sh", modules=("json",)', "true", 0),
    ('"sh"', None, 0),
]
failures = 0
for args, ci, expected in cases:
    env = dict(os.environ, WEB_TEST_SERVER="unused", WEB_TEST_OUT="unused", PYTHONPATH=HERE)
    env.pop("CI", None)
    if ci is not None:
        env["CI"] = ci
    r = subprocess.run([sys.executable, "-c", CHECK.format(args=args)], env=env, capture_output=True, text=True)
    ok = r.returncode == expected
    failures += not ok
    print(f"{'ok  ' if ok else 'FAIL'} need({args}) with CI={ci}: exit {r.returncode}, expected {expected}: {r.stdout.strip()}")
sys.exit(1 if failures else 0)
