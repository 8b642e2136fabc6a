#!/usr/bin/env bash
# The demo: the plug-in, loaded by the bench host exactly as the controller's
# host loads it, polls a simulated battery monitor on a pseudo-terminal.
# The monitor reads a modelled string whose block 6 is aged; a capacity test
# discharges it until block 6 reaches its end voltage, so the live view shows
# its low alarm raised, and cleared once the charger recharges.  At the end
# the run's history is reported: an HTML page, its JSON, and a PDF where
# Chromium is installed, whose first page states the verdict; the verdict
# line is printed last.  The same run is served as a web page on the
# loopback address (live page, history page, /metrics) for as long as it
# runs.
#
#   bash scripts/demo.sh [SECONDS] [PORT]   default 25 seconds, port 8029
#
# The previous demo's history and report (build/demo/) are replaced.  Exit
# status: 0 done, 1 the run or its report failed, 2 a usage error (nothing
# built, run or deleted).
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { sed -n "2,$(grep -n '^set -euo' "$0" | cut -d: -f1)p" "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }
case "${1:-}" in -h | --help) usage; exit 0 ;; esac
seconds=${1:-25}
port=${2:-8029}
# Checked before anything is built or deleted: a word taken for a number
# would end the run at once and leave the last demo's files gone.
[[ $seconds =~ ^[1-9][0-9]{0,5}$ ]] || { echo "demo: SECONDS must be a whole number from 1, not '$seconds' (see --help)" >&2; exit 2; }
[[ $port =~ ^[1-9][0-9]{0,4}$ ]] && ((port <= 65535)) \
  || { echo "demo: PORT must be a port number from 1 to 65535, not '$port' (see --help)" >&2; exit 2; }
(($# <= 2)) || { echo "demo: at most SECONDS and PORT (see --help)" >&2; exit 2; }

bash scripts/setup.sh --web
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target upsbattery_29 bench-host monitor-sim >/dev/null

out=build/demo
mkdir -p "$out"
rm -f "$out/history.sqlite" "$out/monitor.pty" "$out/report.html" "$out/report.json" "$out/report.pdf"
sim=build/default/tools/monitor-sim/monitor-sim
host=build/default/tools/bench-host/bench-host

# One monitor at bus address 0x81 (configured address 1) reading a modelled
# string (--battery) whose block 6 (index 5) is aged: 80 % of its capacity,
# three times the resistance.  Its rating is tiny (0.1 Ah over 0.01 h, as in
# scripts/demo-site.json), so that a capacity test at 20 A from 3 s on
# reaches the end voltage within the run; then the charger recharges.  The
# modelled string starts settled on float, so the site file gives it a
# settling time of 2 s: a test is judged only from a settled float.
"$sim" --pty-link "$out/monitor.pty" --seed 7 --current-sensor --battery --capacity-ah 0.1 --capacity-hours 0.01 \
  --block-capacity 5:80 --high-resistance 5:3 --capacity-test 20:3 >"$out/monitor-sim.log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$out/monitor.pty" ] && break; sleep 0.05; done
[ -e "$out/monitor.pty" ] || { echo "demo: the monitor simulator did not start:"; cat "$out/monitor-sim.log"; exit 1; }

echo "demo: the web page of this run, for its $seconds seconds: http://127.0.0.1:$port/ (history: http://127.0.0.1:$port/history)"
status=0
"$host" run --http "127.0.0.1:$port" --config scripts/demo-site.json --port "$out/monitor.pty" \
  --db "$out/history.sqlite" --duration "$seconds" || status=$?

echo
echo "History of this run: $out/history.sqlite"
echo "  $host history --db $out/history.sqlite          (rounds, decoded)"
echo "  $host history --db $out/history.sqlite --alarms (alarms raised and cleared)"

# The report of the run: the PDF only where the browser is installed
# (bash scripts/setup.sh --web-tests).
pdf=()
command -v chromium >/dev/null && pdf=(--pdf "$out/report.pdf")
if said=$("$host" report --db "$out/history.sqlite" --out "$out/report.html" --json "$out/report.json" "${pdf[@]}"); then
  echo "Report of this run: $out/report.html (figures: $out/report.json${pdf:+, printed: $out/report.pdf})"
  # The verdict the report opens with, one line per string.
  grep '^verdict: ' <<<"$said" || true
else
  status=1
fi
exit "$status"
