"""A run whose wall clock steps while it polls, as NTP or a controller
without a real-time clock steps it: under libfaketime (the monotonic clock
left alone) the wall clock goes back 1 h, back 80 s more, forward 80 s,
then forward a day.  The CSV, the page's /api/history over the whole range
and `report --json` count the same rounds as the run completed; every step
is listed; no duration is negative or holds a step."""
import glob
import json
import os
import re
import subprocess
import tempfile
import threading
import time
import urllib.request

import webtest

HOST = os.environ["BENCH_HOST"]
SIM = os.environ["MONITOR_SIM"]
RUN_SECONDS = 12
# (seconds into the run, the wall clock's offset from the real time)
STEPS = [(3, "-3600"), (5, "-3680"), (7, "-3600"), (9, "+82800")]
check = webtest.Checks()

libs = glob.glob("/usr/lib/*/faketime/libfaketime.so.1")
if not libs:
    if webtest.in_ci():
        print("FAILED: libfaketime is not installed (bash scripts/setup.sh installs it)")
        raise SystemExit(1)
    print("SKIPPED: libfaketime is not installed (bash scripts/setup.sh installs it)")
    raise SystemExit(webtest.SKIP)


def run_json(args):
    out = subprocess.run([HOST] + args, capture_output=True, text=True, timeout=30)
    check(out.returncode == 0, f"bench-host {args[0]} exits 0 ({out.stderr.strip()!r})")
    return out.stdout


with tempfile.TemporaryDirectory() as work:
    pty = os.path.join(work, "a.pty")
    # Cell 6 low until 6 s (an alarm across the first two steps); the
    # monitor silent for a while after its 40th request (a silence across
    # the first step).
    sim = subprocess.Popen([SIM, "--pty-link", pty, "--seed", "3", "--weak-cell", "5:11.2:6s", "--stop-after", "40:14"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if os.path.exists(pty):
                break
            time.sleep(0.05)
        site = os.path.join(work, "site.json")
        with open(site, "w") as f:
            json.dump({"tick_period": 0.2, "ports": [{"path": pty, "devices": [
                {"id": 12, "type": "upsbattery_29", "addr": 1, "config": {"appSetting": {}},
                 "alarms": {"battery_*_value": {"low": 12.0}}}]}]}, f)
        clock = os.path.join(work, "clock")
        with open(clock, "w") as f:
            f.write("+0\n")

        def step_the_clock():
            began = time.monotonic()
            for at, offset in STEPS:
                time.sleep(max(0.0, began + at - time.monotonic()))
                with open(clock + ".new", "w") as f:
                    f.write(offset + "\n")
                os.replace(clock + ".new", clock)

        db = os.path.join(work, "h.sqlite")
        env = dict(os.environ, LD_PRELOAD=libs[0], FAKETIME_TIMESTAMP_FILE=clock, FAKETIME_NO_CACHE="1",
                   FAKETIME_DONT_FAKE_MONOTONIC="1")
        # A sanitized build wants its runtime first among the loaded
        # libraries; libfaketime only wraps the clock calls, so the order
        # does not matter here.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        stepper = threading.Thread(target=step_the_clock)
        stepper.start()
        run = subprocess.run([HOST, "run", "--config", site, "--db", db, "--json", "--duration", str(RUN_SECONDS)],
                             capture_output=True, text=True, env=env, timeout=RUN_SECONDS + 30)
        stepper.join()
    finally:
        sim.terminate()
        sim.wait(timeout=10)

    check(run.returncode == 0, f"the run exits 0 ({run.returncode}, {run.stderr[-300:]!r})")
    events = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
    rounds = sum(1 for e in events if e.get("ev") == "round")
    steps = [e["step_s"] for e in events if e.get("ev") == "clock_step"]
    check(rounds > 20, f"the run polled through the steps ({rounds} rounds)")
    want = [-3600, -80, 80, 86400]
    check(len(steps) == len(want) and all(abs(s - w) < 1 for s, w in zip(steps, want)),
          f"every step is said as it comes ({steps})")

    csv_rows = len(run_json(["history", "--db", db, "--csv"]).splitlines()) - 1
    check(csv_rows == rounds, f"the CSV holds every round ({csv_rows} of {rounds})")

    page = subprocess.Popen([HOST, "history", "--db", db, "--http", "127.0.0.1:0"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    try:
        url = re.search(r"http://\S+", page.stdout.readline()).group(0).rsplit("/history", 1)[0]
        series = json.load(urllib.request.urlopen(f"{url}/api/history?device=12&points=2000", timeout=10))
    finally:
        page.terminate()
        page.wait(timeout=10)
    check(sum(series["rounds"]) == rounds, f"/api/history over the whole range counts them ({sum(series['rounds'])})")

    out = os.path.join(work, "report")
    run_json(["report", "--db", db, "--out", out + ".html", "--json", out + ".json"])
    with open(out + ".json") as f:
        report = json.load(f)
    watched = report["devices"][0]["watch"]
    check(watched["rounds"] == rounds, f"report --json counts them ({watched['rounds']})")
    listed = [s["step_s"] for s in report["clock_steps"]]
    check(len(listed) == len(want), f"the report lists the steps ({listed})")
    check(watched["longest_gap_s"] < 5, f"no gap is made of a step ({watched['longest_gap_s']} s)")
    lasted = [r.get("lasted_s") for r in report["runs"]]
    check(all(x is not None and RUN_SECONDS - 1 < x < RUN_SECONDS + 5 for x in lasted),
          f"the run lasted its monotonic time ({lasted})")
    with open(out + ".json") as f:
        durations = [float(d) for d in re.findall(r'"duration_s"\s*:\s*(-?[0-9.e+]+)', f.read())]
    # The alarm stood about 6 s and more (the monitor fell silent meanwhile),
    # the silence a few seconds: neither is a step's length nor near 0.
    check(len(durations) >= 2 and all(1 < d < RUN_SECONDS + 5 for d in durations),
          f"the alarm and the silence last their monotonic time, none negative or holding a step ({durations})")

raise SystemExit(check.status())
