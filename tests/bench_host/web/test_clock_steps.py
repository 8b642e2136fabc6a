"""A run whose wall clock steps while it polls, as NTP or a controller
without a real-time clock steps it: under libfaketime (the monotonic clock
left alone) the wall clock goes back 1 h while an alarm stands, back 80 s
more while the monitor is silent, forward 80 s once it answers again, then
forward a day.  Each step is made once the run has done what it is to
cross, and the next once the run has told it, so the test follows the run
and not the time it takes.  The CSV, the page's /api/history over the
whole range and `report --json` count the same rounds as the run completed;
every step is listed; no duration is negative or holds a step: none is
longer than the test saw the run live.

That a step is told once with its size, kept as a note and held by no
duration is proved exactly on a fake clock
(RunOnFakeClock.AWallClockStepIsToldOnceAndHeldByNoDuration); this is the
whole chain under a real clock library."""
import glob
import json
import os
import re
import subprocess
import tempfile
import time
import urllib.request

import webtest

HOST = os.environ["BENCH_HOST"]
SIM = os.environ["MONITOR_SIM"]
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


def is_round(e):
    return e.get("ev") == "round"


def health(state):
    return lambda e: e.get("ev") == "health" and e.get("state") == state


with tempfile.TemporaryDirectory() as work:
    pty = os.path.join(work, "a.pty")
    # Cell 6 low for its first twenty cell replies (an alarm across the
    # first steps); the monitor silent for a while after its 40th request (a
    # silence across the second).
    sim = subprocess.Popen([SIM, "--pty-link", pty, "--seed", "3", "--weak-cell", "5:11.2:20", "--stop-after", "40:14"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        webtest.await_path(pty)
        site = os.path.join(work, "site.json")
        with open(site, "w") as f:
            json.dump({"tick_period": 0.2, "ports": [{"path": pty, "devices": [
                {"id": 12, "type": "upsbattery_29", "addr": 1, "config": {"appSetting": {}},
                 "alarms": {"battery_*_value": {"low": 12.0}}}]}]}, f)
        clock = os.path.join(work, "clock")

        def set_clock(offset):
            with open(clock + ".new", "w") as f:
                f.write(offset + "\n")
            os.replace(clock + ".new", clock)

        set_clock("+0")
        db = os.path.join(work, "h.sqlite")
        env = dict(os.environ, LD_PRELOAD=libs[0], FAKETIME_TIMESTAMP_FILE=clock, FAKETIME_NO_CACHE="1",
                   FAKETIME_DONT_FAKE_MONOTONIC="1")
        # A sanitized build wants its runtime first among the loaded
        # libraries; libfaketime only wraps the clock calls, so the order
        # does not matter here.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        began = time.monotonic()
        proc = subprocess.Popen([HOST, "run", "--config", site, "--db", db, "--json"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        lines = webtest.RunLines(proc)
        # (what the run must have done first, the wall clock's offset then)
        steps = [(lambda e: is_round(e) and e["round"] == 3, "-3600"),
                 (health("not answering"), "-3680"),
                 (health("answering"), "-3600"),
                 (is_round, "+82800")]
        for done, offset in steps:
            if not lines.until(done):
                break
            set_clock(offset)
            if not lines.until(lambda e: e.get("ev") == "clock_step"):
                break
        if not any(e.get("ev") == "alarm" and e["state"] == "cleared" for e in lines.events):
            lines.until(lambda e: e.get("ev") == "alarm" and e["state"] == "cleared")
        seen = lines.rounds()
        lines.until(lambda e: is_round(e) and e["round"] >= seen + 2)
        proc.terminate()
        events = lines.rest()
        err = proc.stderr.read()
        returncode = proc.wait(timeout=30)
        # The longest any duration of the run can truly be.
        lived = time.monotonic() - began
    finally:
        sim.terminate()
        sim.wait(timeout=10)

    check(returncode == 0, f"the run exits 0 ({returncode}, {err[-300:]!r})")
    rounds = sum(1 for e in events if e.get("ev") == "round")
    steps = [e["step_s"] for e in events if e.get("ev") == "clock_step"]
    alarms = [e["state"] for e in events if e.get("ev") == "alarm"]
    check(alarms == ["raised", "cleared"], f"the weak cell's alarm raised and cleared ({alarms})")
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
    check(0 <= watched["longest_gap_s"] < lived, f"no gap is made of a step ({watched['longest_gap_s']} s)")
    lasted = [r.get("lasted_s") for r in report["runs"]]
    check(all(x is not None and 0 < x < lived for x in lasted), f"the run lasted its monotonic time ({lasted})")
    with open(out + ".json") as f:
        durations = [float(d) for d in re.findall(r'"duration_s"\s*:\s*(-?[0-9.e+]+)', f.read())]
    # The alarm and the silence each crossed a step: neither is negative nor
    # longer than the run was seen to live.
    check(len(durations) >= 2 and all(0 < d < lived for d in durations),
          f"the alarm and the silence last their monotonic time, none negative or holding a step ({durations})")

raise SystemExit(check.status())
