"""The history page in headless Chromium: a history file with an hour of
rounds of device 12 (a gap in the middle) and two alarms, served by
web_test_server --history.  The page lists the device, draws its four
charts over the whole range chosen with value labels that are not cut, ISO
times in 24 h with their zone (local, or UTC by a switch), the limit the
alarms crossed as a line, lists the alarms with their labels, offers the CSV
of what it shows, and a bad range gets the server's reason; no console
error."""
import re
import os
import sqlite3
import struct
import sys
import tempfile
import time
import urllib.request

import webtest

webtest.need("chromedriver", "chromium", modules=("selenium",))
from selenium.webdriver.common.by import By  # noqa: E402  (after the check that it can work)
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

check = webtest.Checks()
now_ms = int(time.time() * 1000)
start_ms = now_ms - 3600 * 1000


def record(device, k):
    """A 152-byte round: cells 13 V rising, cell 6 low; string values."""
    cells = [13.0 + 0.001 * k] * 32
    cells[5] = 11.5
    return struct.pack("<I32fffBf7s", device, *cells, 389.0 + k / 10000, -1.5, 0, 25.0, bytes(7))


with tempfile.TemporaryDirectory() as work:
    path = os.path.join(work, "history.sqlite")
    db = sqlite3.connect(path)
    db.executescript(
        "CREATE TABLE history(device_id INTEGER, saved_at TEXT, record BLOB, saved_ms INTEGER);"
        "CREATE INDEX history_device_time ON history(device_id, saved_ms);"
        "CREATE TABLE alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT, bound TEXT,"
        " value REAL, limit_value REAL, at_ms INTEGER);")
    # One round every 2 s, none in the hour's third quarter.
    rows = [(12, "t", record(12, k), start_ms + 2000 * k) for k in range(1800) if not 900 <= k < 1350]
    db.executemany("INSERT INTO history VALUES(?,?,?,?)", rows)
    db.executemany("INSERT INTO alarms VALUES(?,?,?,?,?,?,?,?,?)", [
        (12, "a", "battery_5_value", "第6节电池", "raised", "low", 11.5, 12.0, start_ms + 60000),
        (12, "b", "battery_5_value", "<b>第6节电池</b>", "cleared", "low", 12.1, 12.0, start_ms + 120000)])
    db.commit()
    db.close()

    server = webtest.Server(history=path)
    driver = webtest.browser()
    try:
        driver.get(server.url + "history")
        wait = WebDriverWait(driver, webtest.HANG)
        wait.until(lambda d: "rounds from" in d.find_element(By.ID, "status").text)
        status = driver.find_element(By.ID, "status").text
        check(f"{len(rows)} rounds" in status, f"every round counted ({status!r})")
        # An hour of rounds opens on all of them, not as a sliver of a day.
        check(Select(driver.find_element(By.ID, "range")).first_selected_option.get_attribute("value") == "all",
              "a history shorter than a day opens on all of it")
        spans = driver.execute_script(
            "return hist.plots.map((u) => (u.scales.x.max - u.scales.x.min) * 1000)")
        check(spans and all(sp <= 3700000 for sp in spans), f"every chart spans the stored hour ({spans})")
        Select(driver.find_element(By.ID, "range")).select_by_value("86400000")
        try:
            wait.until(lambda d: all(abs(sp - 86400000) < 1000 for sp in d.execute_script(
                "return hist.plots.map((u) => (u.scales.x.max - u.scales.x.min) * 1000)")))
        except Exception:
            pass  # said by the check below
        canvases = driver.find_elements(By.CSS_SELECTOR, "#charts .chart canvas")
        check(len(canvases) == 4, f"four charts ({len(canvases)})")
        alarms = driver.find_elements(By.CSS_SELECTOR, "#alarms tbody tr")
        check(len(alarms) == 2 and "第6节电池" in alarms[0].text, "the alarms of the range, with their labels")
        check("<b>第6节电池</b>" in alarms[1].text, "a label with markup shown as text")

        # "last day": the charts span the day, not only the hour of rounds.
        spans = driver.execute_script(
            "return hist.plots.map((u) => (u.scales.x.max - u.scales.x.min) * 1000)")
        check(all(abs(sp - 86400000) < 1000 for sp in spans), f"every chart spans the last day ({spans})")
        # No label cut at the chart's left edge: nothing drawn in its first
        # two pixel columns (string voltages of 389.x V need the room).
        edges = driver.execute_script(
            "return hist.plots.map((u) => { const d = u.ctx.getImageData(0, 0, 2, u.ctx.canvas.height).data;"
            " let n = 0; for (let i = 3; i < d.length; i += 4) if (d[i] > 0) n++; return n; })")
        check(edges == [0, 0, 0, 0], f"no value label cut at the left edge (pixels drawn there: {edges})")
        first = driver.execute_script("return hist.plots[0].series[0].value(hist.plots[0], hist.series.t[0] / 1000)")
        label = driver.execute_script("return hist.plots[0].axes[0].label")
        check(re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", first) and re.fullmatch(r"time \(UTC[+-]\d\d:\d\d\)", label),
              f"ISO times in 24 h, the zone named ({first!r}, {label!r})")
        limits = driver.execute_script("return hist.plots[3].series.map((s) => s.label)")
        check("low limit" in limits, f"the cells' low limit drawn as a line ({limits})")
        driver.find_element(By.ID, "utc").click()
        wait.until(lambda d: d.execute_script("return hist.plots.length && hist.plots[0].axes[0].label") == "time (UTC)")
        utc_first = driver.execute_script(
            "return hist.plots[0].series[0].value(hist.plots[0], hist.series.t[0] / 1000)")
        want = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(driver.execute_script("return hist.series.t[0]") / 1000))
        check(utc_first == want, f"the switch shows UTC ({utc_first!r}, {want!r})")
        check("(UTC)" in driver.find_element(By.CSS_SELECTOR, "#alarms th").text, "the alarm table says UTC too")

        Select(driver.find_element(By.ID, "cell")).select_by_value("6")
        wait.until(lambda d: d.find_element(By.ID, "cell-title").text == ", cell 6")
        csv_url = driver.find_element(By.ID, "csv").get_attribute("href")
        check("cell=6" in csv_url and "device=12" in csv_url, f"the CSV link follows the controls ({csv_url})")
        csv = urllib.request.urlopen(csv_url, timeout=10).read().decode().splitlines()
        check(csv[0].endswith(",cell_6_v") and csv[1].endswith(",11.50"), "the CSV holds what is shown, at 0.01 V")
        driver.save_screenshot(os.path.join(webtest.OUT, "history-page.png"))

        Select(driver.find_element(By.ID, "range")).select_by_value("custom")
        driver.execute_script("document.getElementById('from').value = '2030-01-02T00:00:00';"
                              "document.getElementById('to').value = '2030-01-01T00:00:00';")
        driver.find_element(By.CSS_SELECTOR, "#query button").click()
        wait.until(lambda d: "from is after to" in d.find_element(By.ID, "status").text)
        check(True, "a range the server refuses shows its reason")
        errors = [e for e in driver.get_log("browser")
                  if e["level"] == "SEVERE" and "400" not in e["message"]]
        check(not errors, f"no console errors ({errors})")
    finally:
        driver.quit()
        server.stop()

sys.exit(check.status())
