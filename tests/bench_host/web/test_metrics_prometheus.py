"""/metrics of web_test_server's canned site, judged by Prometheus itself.

  promtool  the text passes `promtool check metrics` (format and naming
            conventions)
  scrape    a real Prometheus server on loopback scrapes it, and cell 6 of
            device 12 is read back through Prometheus' query API
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
webtest.need("promtool" if mode == "promtool" else "prometheus")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


server = webtest.Server()
try:
    metrics = urllib.request.urlopen(server.url + "metrics", timeout=10).read()
    if mode == "promtool":
        check = subprocess.run(["promtool", "check", "metrics"], input=metrics, capture_output=True)
        print(check.stdout.decode(), check.stderr.decode())
        sys.exit(check.returncode)

    with tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "prometheus.yml")
        target = f"127.0.0.1:{server.port}"
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n"
                    f"scrape_configs:\n  - job_name: bench\n    static_configs:\n      - targets: ['{target}']\n")
        port = free_port()
        prom = subprocess.Popen(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={work}/data",
                                 f"--web.listen-address=127.0.0.1:{port}"],
                                stdout=subprocess.DEVNULL, stderr=open(os.path.join(webtest.OUT, "prometheus.log"), "w"))
        try:
            query = urllib.parse.urlencode({"query": 'bench_host_cell_volts{device="12",cell="6"}'})
            value = None
            deadline = time.time() + 60
            while time.time() < deadline and value is None:
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
