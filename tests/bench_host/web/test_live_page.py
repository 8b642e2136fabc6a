"""The live page in headless Chromium against web_test_server's canned site
of eight devices: the status strip and the title read at a glance, 29 bars
and values per device, none for the device that never answered, the alarm
cell marked, the health of each device shown, no console error (the page's
own or the Content-Security-Policy's), texts shown as text, updates pushed
without a reload, the page reconnecting after the server restarts, a phone's
width without sideways scrolling, and, with the live stream refused, the
reason shown and the page polling instead.  Screenshots go to the build
folder."""
import os
import socket
import sys
import time

import webtest

webtest.need("chromedriver", "chromium", modules=("selenium",))
from selenium.webdriver.common.by import By  # noqa: E402  (after the check that it can work)
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

check = webtest.Checks()


def card(driver, device):
    return driver.find_element(By.CSS_SELECTOR, f'section.device[data-device="{device}"]')


def cell_text(driver, device, cell):
    return card(driver, device).find_element(By.CSS_SELECTOR, f'li.cell[data-cell="{cell}"] .v').text


def console_errors(driver):
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]


server = webtest.Server()
driver = webtest.browser()
try:
    driver.get(server.url)
    wait = WebDriverWait(driver, webtest.HANG)
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "section.device")) == 8)
    wait.until(lambda d: d.find_element(By.ID, "link").get_attribute("data-state") == "live")

    d12 = card(driver, 12)
    cells = d12.find_elements(By.CSS_SELECTOR, "li.cell")
    check(len(cells) == 29, f"device 12 shows 29 cells ({len(cells)})")
    want = [f"{13.0 + 0.01 * i:.2f} V" for i in range(1, 30)]
    want[5] = "11.50 V"
    check([c.find_element(By.CSS_SELECTOR, ".v").text for c in cells] == want, "the canned cell values")
    alarmed = [c.get_attribute("data-cell") for c in d12.find_elements(By.CSS_SELECTOR, "li.cell.alarm")]
    check(alarmed == ["6"], f"cell 6 and only it is marked in alarm ({alarmed})")
    check(cells[5].get_attribute("title").startswith("第6节电池: in alarm; on its baseline of 2026-06-01"), "the alarm cell carries its label and baseline")
    check(len(d12.find_elements(By.CSS_SELECTOR, ".chart canvas")) >= 1, "device 12 has its bar chart")
    b6 = card(driver, 17).find_element(By.CSS_SELECTOR, 'li.cell[data-cell="6"] .b')
    check(b6.text == "+62.3 mV –" and "flag" in b6.get_attribute("class"), f"block 6 drifted on its baseline ({b6.text!r})")
    line = card(driver, 17).find_element(By.CSS_SELECTOR, ".baseline").text
    check("baseline of 2026-06-01" in line and "block 11 resistance +61 % (act)" in line, f"and flagged ({line!r})")
    check(len(driver.find_elements(By.CSS_SELECTOR, "section.device .chart canvas")) == 7,
          "a chart for every device with values (not for the one that never answered)")

    title = d12.find_element(By.CSS_SELECTOR, "h2 .title").text
    check("<img src=x onerror=alert(1)>" in title and "第1组" in title, "a name with markup is shown as text")
    check(len(driver.find_elements(By.CSS_SELECTOR, "main img")) == 0, "and nothing of it became an element")
    check("not stored" in d12.find_element(By.CSS_SELECTOR, ".counters").text, "records not stored are shown")

    for device, health in [(12, "answering"), (13, "not answering"), (14, "port lost"), (15, "stale"),
                           (16, "never answered")]:
        c = card(driver, device)
        text = c.find_element(By.CSS_SELECTOR, ".health").text
        check(c.get_attribute("data-health") == health and text.startswith(f"{health} since"),
              f"device {device} shows {health!r} ({text!r})")
    age13 = card(driver, 13).find_element(By.CSS_SELECTOR, ".age").text
    check("2 min" in age13 and "old" in age13, f"device 13's values show their age ({age13!r})")
    check("last failure: timeout" in card(driver, 13).find_element(By.CSS_SELECTOR, ".health").text,
          "device 13 shows why it stopped answering")
    check("no values yet" in card(driver, 16).find_element(By.CSS_SELECTOR, ".age").text,
          "device 16 says it has no values yet")
    capacity12 = card(driver, 12).find_element(By.CSS_SELECTOR, 'dd[data-value="capacity"]')
    check(capacity12.text.startswith("78.4 % (this run's test, ended at ") and capacity12.text.endswith(
          ": replace; over successive tests: 97.0 % on the baseline of 2026-06-01, 78.4 % now")
          and "alarm" in capacity12.get_attribute("class"),
          f"device 12's test against its baseline ({capacity12.text!r})")
    capacity17 = card(driver, 17).find_element(By.CSS_SELECTOR, 'dd[data-value="capacity"]').text
    check(capacity17 == "92.0 % (the baseline's of 2026-06-01)", f"device 17's baseline capacity ({capacity17!r})")
    rows = driver.find_elements(By.CSS_SELECTOR, "#alarms tbody tr")
    check(len(rows) == 2 and "第6节电池" in rows[1].text, "the recent alarms, newest first")
    driver.save_screenshot(os.path.join(webtest.OUT, "live-page.png"))

    # Never answered: no bars, no numbers, only what it is and why.
    c16 = card(driver, 16)
    check(not c16.find_elements(By.CSS_SELECTOR, "li.cell") and not c16.find_elements(By.CSS_SELECTOR, "canvas"),
          "device 16, never answered, shows no cells and no chart")
    values16 = [dd.text for dd in c16.find_elements(By.CSS_SELECTOR, ".values dd")]
    check(values16 == ["–", "–", "–", "–"], f"and no string values nor charge state ({values16})")

    # The strip at the top and the title: what needs a look.
    strip = driver.find_element(By.ID, "summary")
    counts = [strip.get_attribute(a) for a in ("data-answering", "data-troubled", "data-alarms")]
    check(counts == ["4", "4", "1"], f"4 devices answering, 4 not, 1 alarm standing ({counts})")
    check("4 of 8 devices answering" in strip.text and "device 16 never answered" in strip.text,
          f"the strip names who is not answering ({strip.text!r})")
    check("cell 6 11.50 V" in strip.text, "the strip shows device 12's weakest cell")
    check(driver.title == "(1 alarm, 4 not answering) bench-host: live", f"the title carries them ({driver.title!r})")

    # Read at a glance on a desktop screen: the strip and the alarm table
    # without scrolling; on a phone, nothing wider than the screen.
    driver.set_window_size(1400, 900)
    time.sleep(0.5)
    height = driver.execute_script("return window.innerHeight")
    strip_bottom = driver.execute_script("return document.getElementById('summary').getBoundingClientRect().bottom")
    check(strip_bottom < height / 4, f"the strip is at the top of the screen ({strip_bottom} of {height})")
    driver.save_screenshot(os.path.join(webtest.OUT, "live-page-desktop.png"))
    driver.set_window_size(390, 844)
    time.sleep(0.5)
    widths = driver.execute_script(
        "return [document.documentElement.scrollWidth, document.documentElement.clientWidth]")
    check(widths[0] <= widths[1], f"a phone's width: no sideways scrolling ({widths})")
    driver.save_screenshot(os.path.join(webtest.OUT, "live-page-phone.png"))
    driver.set_window_size(1280, 2400)

    # A round completes: the page follows without a reload.
    marker = driver.execute_script("window.notReloaded = true; return 1;")
    server.publish()
    wait.until(lambda d: cell_text(d, 17, 1) == "13.11 V")
    check(True, "cell 1 of device 17 updated by the server's push")
    check(card(driver, 13).get_attribute("data-health") == "answering", "device 13 answering again")
    check(driver.execute_script("return window.notReloaded === true;") and marker == 1, "without a reload")

    # The server restarts on the same port: the page says so, then resumes.
    port = server.port
    server.stop()
    wait.until(lambda d: d.find_element(By.ID, "link").get_attribute("data-state") == "lost")
    check("lost" in driver.find_element(By.ID, "link").text, "a lost connection is shown")
    check(driver.title == "(connection lost) bench-host: live", f"in the title too ({driver.title!r})")
    driver.save_screenshot(os.path.join(webtest.OUT, "live-page-lost.png"))
    driver.get_log("browser")  # the refused reconnections are expected errors
    restarted = []

    def restart():
        try:
            restarted.append(webtest.Server(port))
        except RuntimeError:  # the port not free again yet
            return False
        return True
    webtest.until(restart, f"web_test_server restarted on port {port}", step=0.1)
    server = restarted[0]
    WebDriverWait(driver, webtest.HANG).until(lambda d: d.find_element(By.ID, "link").get_attribute("data-state") == "live")
    check(cell_text(driver, 17, 1) == "13.01 V", "reconnected: the restarted server's values shown")
    driver.get_log("browser")

    driver.get(server.url)
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "li.cell")) == 7 * 29)
    time.sleep(1.5)  # a tick of the age counters
    errors = console_errors(driver)
    check(not errors, f"no console errors on a fresh load ({errors})")

    # One live page allowed, and it is taken by a client that never reads:
    # the next page says why it has no stream and polls instead.
    server.stop()
    server = webtest.Server(streams=1)
    taker = socket.create_connection(("127.0.0.1", server.port))
    taker.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n\r\n".encode())
    # The stream is the taker's once its head has come; it reads no more.
    taker.settimeout(60)  # a guard against a hang, not a measure
    head = b""
    while b"\r\n\r\n" not in head:
        got = taker.recv(1)
        if not got:
            break
        head += got
    check(head.startswith(b"HTTP/1.1 200"), f"the one live stream taken ({head[:40]!r})")
    driver.get(server.url)
    wait.until(lambda d: d.find_element(By.ID, "link").get_attribute("data-state") == "polling")
    link = driver.find_element(By.ID, "link").text
    check("too many live pages" in link and "polling" in link, f"the refusal's reason shown ({link!r})")
    server.publish()
    WebDriverWait(driver, webtest.HANG).until(lambda d: cell_text(d, 17, 1) == "13.11 V")
    check(True, "values still follow the run by polling")
    taker.close()
finally:
    driver.quit()
    server.stop()

sys.exit(check.status())
