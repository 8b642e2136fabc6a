"""bench-host report in headless Chromium: a history of an hour of rounds
with a discharge in it and a cell that drifts low, reported to HTML and PDF.
The page opens with no console error and no request beyond its own file,
fits a phone's width without sideways scrolling, draws its charts (one per
string value, the heat map, one per discharge), flags the drifting cell, and
wraps no time, no piece of a path between its '/' and no hash; the PDF has
pages, each of A4 size, as pdftoppm and pdfinfo read them, its first page
states the verdict and every finding (pdftotext), and no time in it is cut
in two.  Screenshots go to the build folder."""
import json
import os
import re
import shutil
import sqlite3
import struct
import subprocess
import tempfile
import time

import webtest

webtest.need("chromedriver", "chromium", "pdftoppm", "pdfinfo", "pdftotext", modules=("selenium",))
from selenium import webdriver  # noqa: E402  (after the check that it can work)
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

HOST = os.environ["BENCH_HOST"]
check = webtest.Checks()
start_ms = (int(time.time()) - 3600) * 1000


def record(k):
    """Round k (one every 2 s): cell 9 drifting 0.2 mV a round low; a
    20 A discharge over rounds 900..1199 with every cell sagging; else on
    float at 0.5 A (above float_max_a the charger is recharging)."""
    discharging = 900 <= k < 1200
    sag = 0.3 + 0.002 * (k - 900) if discharging else 0.0
    cells = [13.5 - sag] * 29 + [0.0] * 3
    cells[8] -= 0.0002 * k + sag
    return struct.pack("<I32fffBf7s", 12, *cells, sum(cells), -20.0 if discharging else 0.5, 0, 25.0, bytes(7))


def browser(width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                f"--window-size={width},{height}"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


with tempfile.TemporaryDirectory() as work:
    # A deep folder with '-' in its names: the path must wrap at its '/' only.
    folder = os.path.join(work, "commissioning-of-site-7", "string-2-after-the-block-change", "bench-history")
    os.makedirs(folder)
    path = os.path.join(folder, "history.sqlite")
    db = sqlite3.connect(path)
    db.executescript(
        "CREATE TABLE history(device_id INTEGER, saved_at TEXT, record BLOB, saved_ms INTEGER);"
        "CREATE TABLE alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT, bound TEXT,"
        " value REAL, limit_value REAL, at_ms INTEGER);")
    db.executemany("INSERT INTO history VALUES(?,?,?,?)",
                   [(12, "t", record(k), start_ms + 2000 * k) for k in range(1800)])
    db.executemany("INSERT INTO alarms VALUES(?,?,?,?,?,?,?,?,?)", [
        (12, "a", "battery_8_value", "第9节电池", "raised", "low", 11.9, 12.0, start_ms + 2000 * 1100),
        (12, "b", "battery_8_value", "第9节电池", "cleared", "low", 13.1, 12.0, start_ms + 2000 * 1201)])
    db.commit()
    db.close()

    html, pdf, js = (os.path.join(work, "report." + x) for x in ("html", "pdf", "json"))
    done = subprocess.run([HOST, "report", "--db", path, "--out", html, "--json", js, "--pdf", pdf],
                          capture_output=True, text=True, timeout=180)
    check(done.returncode == 0, f"report written ({done.returncode}: {done.stderr.strip()!r})")
    figures = json.load(open(js))["devices"][0]
    check(figures["cells"][8]["rank"] == 1 and figures["cells"][8]["flagged"], "cell 9 ranked weakest and flagged")
    check(len(figures["discharges"]) == 1 and abs(figures["discharges"][0]["ampere_hours"] - 20 * 598 / 3600) < 1e-3,
          f"one discharge of 3.32 Ah ({figures['discharges']})")

    for name, (width, height) in (("desktop", (1100, 1600)), ("phone", (390, 844))):
        driver = browser(width, height)
        try:
            driver.get("file://" + html)
            svgs = driver.find_elements(By.TAG_NAME, "svg")
            check(len(svgs) == 5, f"{name}: three string charts, the heat map and the discharge's ({len(svgs)})")
            sideways = driver.execute_script(
                "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
            check(sideways <= 0, f"{name}: no sideways scroll ({sideways} px too wide)")
            broken = driver.execute_script(
                "return Array.from(document.querySelectorAll('.t, .path > span, .hash'))"
                ".filter(e => e.getClientRects().length > 1).map(e => e.textContent)")
            check(not broken, f"{name}: no time, path piece or hash wraps inside ({broken[:3]})")
            check(len(driver.find_elements(By.CSS_SELECTOR, "td .t")) >= 8, f"{name}: the tables' times are marked")
            flagged = driver.find_elements(By.CSS_SELECTOR, "td.flag")
            check(len(flagged) >= 1, f"{name}: the flagged cell is marked ({len(flagged)})")
            errors = [e for e in driver.get_log("browser") if e["level"] in ("SEVERE", "WARNING")]
            check(not errors, f"{name}: no console error ({errors})")
            requests = []
            for entry in driver.get_log("performance"):
                message = json.loads(entry["message"])["message"]
                if message["method"] == "Network.requestWillBeSent":
                    url = message["params"]["request"]["url"]
                    if url != "file://" + html:
                        requests.append(url)
            check(not requests, f"{name}: no request beyond the file ({requests[:3]})")
            driver.save_screenshot(os.path.join(webtest.OUT, f"report-{name}.png"))
        finally:
            driver.quit()

    info = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True).stdout
    pages = int(next((l.split()[-1] for l in info.splitlines() if l.startswith("Pages:")), "0"))
    size = next((l for l in info.splitlines() if l.startswith("Page size:")), "")
    check(pages >= 2, f"the PDF has its pages ({pages})")
    check("(A4)" in size, f"A4 pages ({size.strip()})")
    def pdf_text(*pages):
        return subprocess.run(["pdftotext", *pages, pdf, "-"], capture_output=True, text=True, check=True).stdout
    first = " ".join(pdf_text("-f", "1", "-l", "1").split())
    verdict = figures["verdict"]
    check(f"Device 12: {verdict['state']}" in first and verdict["findings"] and
          all(" ".join(f["finding"].split()) in first for f in verdict["findings"]),
          f"page 1 states the verdict and its findings ({verdict['state']}, {len(verdict['findings'])}: {first[:300]!r})")
    whole = pdf_text()
    stamps = re.findall(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d", whole)
    check(stamps and len(stamps) == len(re.findall(r"\d{4}-\d\d-\d\dT", whole)),
          f"no time in the PDF is cut in two ({len(stamps)} whole)")
    out = os.path.join(work, "page")
    subprocess.run(["pdftoppm", "-png", "-r", "50", pdf, out], check=True, timeout=120)
    pngs = sorted(f for f in os.listdir(work) if f.startswith("page") and f.endswith(".png"))
    check(len(pngs) == pages, f"pdftoppm renders every page ({len(pngs)} of {pages})")
    if pngs:
        for k, png in enumerate(pngs[:2]):
            shutil.copy(os.path.join(work, png), os.path.join(webtest.OUT, f"report-pdf-page{k + 1}.png"))

raise SystemExit(check.status())
