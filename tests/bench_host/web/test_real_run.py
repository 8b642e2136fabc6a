"""The pages against a real run: two monitor-sim lines on pseudo-terminals
polled by `bench-host run --http` on a free loopback port, in headless
Chromium.  Device 12's cell 6 is weak for the first seconds and recovers;
device 13's monitor stops answering after three rounds.  The live page
shows 29 bars whose values are the ones monitor-sim sent, marks cell 6
while its alarm stands and then clears it, lists the alarm's raise and
clear, and shows device 13 as not answering; once the run has
ended, `history --http` serves its file, whose page draws one point per
stored round and offers the CSV that `history --csv` prints, value for
value; it reads the file as a user who cannot write to its folder (as on
read-only media).  No console error on either page.  Screenshots go to the build
folder.

Outcomes only: every wait is for something the run will do, bounded by a
guard against a hang and not by how long it should take, and the run is
stopped once the live page has been read, not after a set time.  How the
page marks a cell in alarm is judged on a canned site (test_live_page.py)."""
import csv
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

import webtest

webtest.need("chromedriver", "chromium", modules=("selenium",))
from selenium.webdriver.common.by import By  # noqa: E402  (after the check that it can work)
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

HOST = os.environ["BENCH_HOST"]
SIM = os.environ["MONITOR_SIM"]
CELLS = 29
HANG = webtest.HANG
check = webtest.Checks()


def site(work):
    limits = {"battery_*_value": {"low": 12.0, "high": 14.4}, "temperature": {"high": 40.0}}
    device = lambda ident: {"id": ident, "type": "upsbattery_29", "addr": 1,
                            "config": {"appSetting": {"battery_type": 0, "version": 1}}, "alarms": limits}
    conf = {"tick_period": 0.5, "ports": [
        {"path": os.path.join(work, "a.pty"), "devices": [device(12)]},
        {"path": os.path.join(work, "b.pty"), "devices": [device(13)]}]}
    path = os.path.join(work, "site.json")
    with open(path, "w") as f:
        json.dump(conf, f)
    return path


def last_cells(values_log):
    with open(values_log) as f:
        replies = [json.loads(line) for line in f if '"cells"' in line]
    return [f"{raw / 100:.2f} V" for raw in replies[-1]["raw"][:CELLS]]


def console_errors(driver):
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def card(device):
    return f'section.device[data-device="{device}"]'


def live_page(driver, url, values_log):
    driver.get(url)
    wait = WebDriverWait(driver, HANG)
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, 'section.device[data-device="12"] li.cell')) == CELLS)
    # While the alarm stands the weak cell is marked, and only it; a page
    # that opens once it has recovered (on a loaded machine) finds the
    # alarm in the list below instead.
    alarmed = webtest.read(driver, card(12) + " li.cell.alarm", "data-cell")
    if alarmed:
        check(alarmed == ["6"], f"the weak cell 6 and only it is marked ({alarmed})")
        driver.save_screenshot(os.path.join(webtest.OUT, "real-run-live-alarm.png"))

    def alarm_rows(d):
        rows = webtest.read(d, "#alarms tbody tr")
        return any("cleared" in r and "第6节电池" in r for r in rows) and any("raised" in r for r in rows)

    wait.until(lambda d: not webtest.read(d, card(12) + " li.cell.alarm") and alarm_rows(d))
    check(True, "cell 6 cleared once it recovered, and the recent alarms list its raise and clear")

    wait.until(lambda d: webtest.read(d, card(13), "data-health") == ["not answering"])
    health = "".join(webtest.read(driver, card(13) + " .health"))
    check(health.startswith("not answering since"), f"device 13 shown as not answering ({health!r})")

    # Drift 0 after the recovery: every reply carries the same readings, so
    # the page's bars come to agree with the last reply sent.
    wait.until(lambda d: webtest.read(d, card(12) + " li.cell .v") == last_cells(values_log))
    shown = webtest.read(driver, card(12) + " li.cell .v")
    sent = last_cells(values_log)
    check(shown == sent, f"29 bars with the values monitor-sim sent ({shown[:3]}… vs {sent[:3]}…)")
    check(len(webtest.read(driver, card(12) + " .chart canvas")) >= 1, "device 12 has its bar chart")
    driver.save_screenshot(os.path.join(webtest.OUT, "real-run-live.png"))
    errors = console_errors(driver)
    check(not errors, f"no console errors on the live page ({errors})")


def read_only_copy(db):
    """The history in a folder its reader cannot write to, and that reader."""
    folder = tempfile.mkdtemp()
    shutil.copy(db, folder)
    copy = os.path.join(folder, os.path.basename(db))
    os.chmod(copy, 0o444)
    os.chmod(folder, 0o555)
    if os.geteuid() != 0:  # the folder alone keeps its owner out
        return copy, []
    return copy, ["/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def history_page(driver, db, site_file, work, lived_ms):
    db, reader = read_only_copy(db)
    proc = subprocess.Popen(reader + [HOST, "history", "--db", db, "--http", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        check(line.startswith("history page: http://127.0.0.1:"), f"history --http says where ({line.strip()!r})")
        url = line.split(": ", 1)[1].strip()
        taken = url.split("/")[2]
        again = subprocess.run([HOST, "run", "--config", site_file, "--db", os.path.join(work, "second.sqlite"),
                                "--http", taken, "--duration", "2"],
                               capture_output=True, text=True, timeout=20)
        check(again.returncode == 1 and taken in again.stderr,
              f"run --http on the history page's address: exit 1 ({again.returncode}, {again.stderr!r})")
        rounds = subprocess.run(reader + [HOST, "history", "--db", db, "--csv", "--id", "12"],
                                capture_output=True, text=True, check=True).stdout
        stored = list(csv.DictReader(io.StringIO(rounds)))

        driver.get_log("browser")  # the live page's stream, cut as the run ended
        driver.get(url)
        wait = WebDriverWait(driver, HANG)
        wait.until(lambda d: "rounds from" in d.find_element(By.ID, "status").text)
        # The whole run, no longer than the test saw it live: a range short
        # enough that no two rounds share a point.
        Select(driver.find_element(By.ID, "range")).select_by_value("all")
        wait.until(lambda d: d.execute_script("return hist.series.to_ms - hist.series.from_ms <= arguments[0]", lived_ms))
        points = driver.execute_script("return hist.series.t.length")
        check(points == len(stored), f"one point per stored round ({points} of {len(stored)})")
        drawn = driver.execute_script("return hist.plots.map((p) => p.data[0].length)")
        check(drawn and all(n == len(stored) for n in drawn), f"every chart draws them ({drawn})")
        driver.save_screenshot(os.path.join(webtest.OUT, "real-run-history.png"))

        href = driver.find_element(By.ID, "csv").get_attribute("href")
        shown = list(csv.DictReader(io.StringIO(urllib.request.urlopen(href, timeout=10).read().decode())))
        by_ms = {int(r["saved_ms"]): r for r in stored}
        same = len(shown) == len(stored)
        for row in shown:
            r = by_ms.get(int(row["time_ms"]))
            cells = [float(r[f"cell_{i}_volts"]) for i in range(1, CELLS + 1)] if r else []
            same = same and r is not None and all(
                abs(float(row[a]) - float(r[b])) < 1e-3 for a, b in
                [("string_voltage_v", "group_voltage_volts"), ("current_a", "group_current_amperes"),
                 ("temperature_c", "temperature_celsius")]) and \
                abs(float(row["cell_min_v"]) - min(cells)) < 1e-3 and \
                abs(float(row["cell_max_v"]) - max(cells)) < 1e-3 and \
                abs(float(row["cell_mean_v"]) - sum(cells) / CELLS) < 1e-3
        check(same, f"the page's CSV is history --csv, round for round ({len(shown)} rows)")
        errors = console_errors(driver)
        check(not errors, f"no console errors on the history page ({errors})")
    finally:
        proc.terminate()
        check(proc.wait(timeout=10) == 0, "history --http stops cleanly on SIGTERM")
        folder = os.path.dirname(db)
        check(os.listdir(folder) == [os.path.basename(db)], f"nothing made beside the file ({os.listdir(folder)})")
        os.chmod(folder, 0o755)
        shutil.rmtree(folder)


with tempfile.TemporaryDirectory() as work:
    # The browser first: it is the slow part to start, and the page must be
    # open before the weak cell recovers.
    driver = webtest.browser()
    driver.set_window_size(1100, 1000)  # two devices: the screenshots need no more
    values_log = os.path.join(work, "a.jsonl")
    sims = [subprocess.Popen([SIM, "--pty-link", os.path.join(work, "a.pty"), "--drift", "0", "--seed", "1",
                              "--weak-cell", "5:11.2:8s", "--values-log", values_log], stderr=subprocess.DEVNULL),
            subprocess.Popen([SIM, "--pty-link", os.path.join(work, "b.pty"), "--seed", "2",
                              "--stop-after", "12"], stderr=subprocess.DEVNULL)]
    run = None
    try:
        for name in ("a.pty", "b.pty"):
            webtest.await_path(os.path.join(work, name))
        db = os.path.join(work, "history.sqlite")
        site_file = site(work)
        began = time.monotonic()
        run = subprocess.Popen([HOST, "run", "--config", site_file, "--db", db, "--json", "--http", "127.0.0.1:0"],
                               stdout=subprocess.PIPE, text=True)
        started = json.loads(run.stdout.readline())
        url = started.get("web", "")
        check(url.startswith("http://127.0.0.1:"), f"the run says where its page is ({url!r})")
        live_page(driver, url, values_log)
        taken_by_run = url.rstrip("/").rsplit("/", 1)[1]
        second = subprocess.run([HOST, "history", "--db", db, "--http", taken_by_run],
                                capture_output=True, text=True, timeout=20)
        check(second.returncode == 1 and len(second.stderr.splitlines()) == 1 and taken_by_run in second.stderr,
              f"history --http on the run's address: exit 1, one line ({second.returncode}, {second.stderr!r})")
        run.terminate()
        run.stdout.read()
        check(run.wait(timeout=HANG) == 0, "the run ends with its summary on SIGTERM")
        history_page(driver, db, site_file, work, int((time.monotonic() - began) * 1000))
    finally:
        driver.quit()
        for p in ([run] if run else []) + sims:
            p.terminate()
            p.wait(timeout=10)

sys.exit(check.status())
