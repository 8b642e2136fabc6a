#!/usr/bin/env bash
# The demo: the plug-in, loaded by the bench host exactly as the controller's
# host loads it, polls a simulated battery monitor on a pseudo-terminal.
# Cell 6 of the string is weak for its first readings and then recovers, so
# the live view shows the low-voltage alarm raised and then cleared; then
# the string discharges at 20 A for 12 s, cell 6 (a block with three times
# the resistance) sagging furthest.  At the end the run's history is
# reported: an HTML page, its JSON, and a PDF where Chromium is installed.  The
# same run is served as a web page on the loopback address (live page,
# history page, /metrics) for as long as it runs.
#
#   bash scripts/demo.sh [SECONDS] [PORT]   default 20 seconds, port 8029
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
port=${2:-8029}

bash scripts/setup.sh --web
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target upsbattery_29 bench-host monitor-sim >/dev/null

out=build/demo
mkdir -p "$out"
rm -f "$out/history.sqlite" "$out/monitor.pty" "$out/report.html" "$out/report.json" "$out/report.pdf"
sim=build/default/tools/monitor-sim/monitor-sim
host=build/default/tools/bench-host/bench-host

# One monitor at bus address 0x81 (configured address 1), cell index 5 at
# 11.2 V for its first 6 readings; a 20 A discharge from 4 s for 12 s, read
# through the current sensor (the site file's "current_ratio").
"$sim" --pty-link "$out/monitor.pty" --seed 7 --weak-cell 5:11.2:6 --current-sensor --discharge 20:4:12 \
  --high-resistance 5:3 >"$out/monitor-sim.log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$out/monitor.pty" ] && break; sleep 0.05; done
[ -e "$out/monitor.pty" ] || { echo "demo: the monitor simulator did not start:"; cat "$out/monitor-sim.log"; exit 1; }

echo "demo: the web page of this run, for its $seconds seconds: http://127.0.0.1:$port/ (history: http://127.0.0.1:$port/history)"
status=0
"$host" run --http "127.0.0.1:$port" --config tools/bench-host/examples/site-current-sensor.json --port "$out/monitor.pty" \
  --db "$out/history.sqlite" --duration "$seconds" || status=$?

echo
echo "History of this run: $out/history.sqlite"
echo "  $host history --db $out/history.sqlite          (rounds, decoded)"
echo "  $host history --db $out/history.sqlite --alarms (alarms raised and cleared)"

# The report of the run: the PDF only where the browser is installed
# (bash scripts/setup.sh --web-tests).
pdf=()
command -v chromium >/dev/null && pdf=(--pdf "$out/report.pdf")
if "$host" report --db "$out/history.sqlite" --out "$out/report.html" --json "$out/report.json" "${pdf[@]}" >/dev/null; then
  echo "Report of this run: $out/report.html (figures: $out/report.json${pdf:+, printed: $out/report.pdf})"
else
  status=1
fi
exit "$status"
