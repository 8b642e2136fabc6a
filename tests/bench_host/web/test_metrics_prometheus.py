"""/metrics judged by Prometheus itself.

  promtool  web_test_server's canned site passes `promtool check metrics`
            (format and naming conventions)
  scrape    a real Prometheus server on loopback scrapes it, and cell 6 of
            device 12 is read back through Prometheus' query API
  rules     the shipped alert rules pass `promtool check rules` and their
            unit tests (`promtool test rules`)
  outage    a real run (monitor-sim on a pseudo-terminal, bench-host run
            --http) scraped by Prometheus while its port is lost: the outage
            is counted and timed, and the loss ratio the rules compute is a
            number, not 0/0
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

import webtest

mode = sys.argv[1]
webtest.need("promtool" if mode in ("promtool", "rules") else "prometheus")
RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools", "bench-host", "prometheus")
LOSS = ("(increase(bench_host_cycles_total[20s]) - increase(bench_host_rounds_total[20s])"
        " + increase(bench_host_cycles_missed_total[20s]))"
        " / (increase(bench_host_cycles_total[20s]) + increase(bench_host_cycles_missed_total[20s]))")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_prometheus(work, target):
    config = os.path.join(work, "prometheus.yml")
    with open(config, "w") as f:
        f.write("global:\n  scrape_interval: 1s\n"
                f"scrape_configs:\n  - job_name: bench-host\n    static_configs:\n      - targets: ['{target}']\n")
    port = free_port()
    prom = subprocess.Popen(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={work}/data",
                             f"--web.listen-address=127.0.0.1:{port}"],
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(webtest.OUT, "prometheus.log"), "w"))
    return prom, port


def query(port, expr):
    """The query's values by their labels; {} when Prometheus is not up yet."""
    q = urllib.parse.urlencode({"query": expr})
    try:
        body = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/api/v1/query?{q}", timeout=5))
    except OSError:
        return {}
    return {json.dumps(r["metric"], sort_keys=True): float(r["value"][1]) for r in body["data"]["result"]}


if mode == "rules":
    ok = True
    for args in (["check", "rules", "alerts.yml"], ["test", "rules", "alerts_test.yml"]):
        r = subprocess.run(["promtool"] + args, cwd=RULES, capture_output=True, text=True)
        print(r.stdout, r.stderr)
        ok = ok and r.returncode == 0
    sys.exit(0 if ok else 1)

if mode == "outage":
    webtest.need("promtool")
    host, sim_bin = os.environ["BENCH_HOST"], os.environ["MONITOR_SIM"]
    with tempfile.TemporaryDirectory() as work:
        pty = os.path.join(work, "a.pty")
        site = os.path.join(work, "site.json")
        with open(site, "w") as f:
            json.dump({"tick_period": 0.5, "ports": [{"path": pty, "devices": [
                {"id": 12, "type": "upsbattery_29", "addr": 1,
                 "config": {"appSetting": {"battery_type": 0, "version": 1}}}]}]}, f)
        sim = subprocess.Popen([sim_bin, "--pty-link", pty, "--seed", "1"], stderr=subprocess.DEVNULL)
        webtest.await_path(pty)
        # Polls until the test has seen what it waits for and stops it: a
        # run of a set length could end before a loaded machine got there.
        run = subprocess.Popen([host, "run", "--config", site, "--db", os.path.join(work, "h.sqlite"), "--json",
                                "--http", "127.0.0.1:0"], stdout=subprocess.PIPE, text=True)
        url = json.loads(run.stdout.readline())["web"]
        prom, port = start_prometheus(work, url.split("/")[2])
        failures = []
        try:
            metrics = urllib.request.urlopen(url + "metrics", timeout=10).read()
            r = subprocess.run(["promtool", "check", "metrics"], input=metrics, capture_output=True)
            if r.returncode != 0:
                failures.append(f"promtool check metrics on a real run: {r.stdout.decode()} {r.stderr.decode()}")
            # Scraped while answering first, so the counters have a past.
            deadline = time.monotonic() + webtest.HANG
            while time.monotonic() < deadline and not query(port, "bench_host_rounds_total > 4"):
                time.sleep(1)
            sim.terminate()  # unplugged
            sim.wait(timeout=10)
            # Each read until it holds: a query may time out on a loaded
            # machine (it then reads {}), and the outage only grows.
            outage, ratio, counted, lost = {}, {}, {}, {}
            deadline = time.monotonic() + webtest.HANG
            while time.monotonic() < deadline:
                time.sleep(1)
                outage = outage or query(port, "bench_host_port_outage_seconds_total > 3")
                counted = counted or query(port, "bench_host_port_outages_total >= 1")
                lost = lost or query(port, 'bench_host_device_health{state="port lost"} == 1')
                if not (ratio and list(ratio.values())[0] > 0.5):
                    ratio = query(port, LOSS) or ratio
                if outage and counted and lost and ratio and list(ratio.values())[0] > 0.5:
                    break
            print(f"outage seconds: {outage}\nloss ratio over 20 s: {ratio}")
            if not counted:
                failures.append("the outage is not counted")
            if not outage:
                failures.append("the outage time does not grow")
            values = list(ratio.values())
            if not values or values[0] != values[0] or values[0] <= 0.5:
                failures.append(f"the loss ratio during the outage is {values} (0/0 reads NaN)")
            if not lost:
                states = query(port, "bench_host_device_health == 1")
                failures.append(f"the device is not shown with its port lost (its states now: {states})")
        finally:
            prom.terminate()
            prom.wait(timeout=20)
            run.terminate()
            run.wait(timeout=20)
            if sim.poll() is None:
                sim.terminate()
        for f in failures:
            print("FAIL " + f)
        sys.exit(1 if failures else 0)

server = webtest.Server()
try:
    metrics = urllib.request.urlopen(server.url + "metrics", timeout=10).read()
    if mode == "promtool":
        check = subprocess.run(["promtool", "check", "metrics"], input=metrics, capture_output=True)
        print(check.stdout.decode(), check.stderr.decode())
        sys.exit(check.returncode)

    with tempfile.TemporaryDirectory() as work:
        prom, port = start_prometheus(work, f"127.0.0.1:{server.port}")
        try:
            query = urllib.parse.urlencode({"query": 'bench_host_cell_volts{device="12",cell="6"}'})
            value = None
            deadline = time.monotonic() + webtest.HANG
            while time.monotonic() < deadline and value is None:
                time.sleep(1)
                try:
                    body = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/api/v1/query?{query}", timeout=5))
                except OSError:
                    continue
                result = body["data"]["result"]
                if result:
                    value = float(result[0]["value"][1])
            print(f"cell 6 of device 12 through Prometheus: {value}")
            sys.exit(0 if value == 11.5 else 1)
        finally:
            prom.terminate()
            prom.wait(timeout=20)
finally:
    server.stop()
