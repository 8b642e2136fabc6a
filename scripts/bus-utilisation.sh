#!/usr/bin/env bash
# How close to the wire the bench host drives one bus: monitor-sim answers at
# the line's real byte time (--pace), bench-host run polls 1 and then 8
# monitors on the same pseudo-terminal with a fast tick, and the completed
# cycles per second are set against the wire limit of 19200 bit/s (a cycle
# is 102 bytes of 10 bits: 53.1 ms).
#
#   bash scripts/bus-utilisation.sh [--clients N] [SECONDS] [TURNAROUND_MS]   default 20 s, 0 ms
#
# --clients N: 8 paced monitors only, polled twice: without the web page,
# then with --http and N live pages open on it (curl following the
# page's event stream, as a browser does), to show the bus loop does not
# wait on the server.
set -euo pipefail
cd "$(dirname "$0")/.."
clients=0
if [ "${1:-}" = "--clients" ]; then
  clients=${2:?--clients needs a number}
  shift 2
fi
seconds=${1:-20}
turnaround=${2:-0}

bash scripts/setup.sh
[ "$clients" -eq 0 ] || { bash scripts/setup.sh --web; command -v curl >/dev/null || apt-get install -y curl; }
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target upsbattery_29 bench-host monitor-sim >/dev/null
sim=build/default/tools/monitor-sim/monitor-sim
host=build/default/tools/bench-host/bench-host
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

runs=("1 0" "8 0")
[ "$clients" -eq 0 ] || runs=("8 0" "8 $clients")
for run in "${runs[@]}"; do
  read -r n pages <<<"$run"
  addrs=() devices=""
  for i in $(seq 1 "$n"); do
    addrs+=(--addr $((0x80 + i)))
    devices+="${devices:+,}{\"id\":$((100 + i)),\"type\":\"upsbattery_29\",\"addr\":$i,\"config\":{}}"
  done
  cat >"$work/site$n.json" <<SITE
{"tick_period": 0.05, "history": "$work/history$n.sqlite", "response_margin_ms": 20, "frame_gap_ms": 5,
 "ports": [{"path": "$work/bus$n.pty", "devices": [$devices]}]}
SITE
  "$sim" --pty-link "$work/bus$n.pty" "${addrs[@]}" --pace --turnaround-ms "$turnaround" --seed 1 \
    >"$work/sim$n.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -e "$work/bus$n.pty" ] && break; sleep 0.05; done
  http=() page_pids=()
  if [ "$pages" -gt 0 ]; then
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    http=(--http "127.0.0.1:$port")
  fi
  rm -f "$work/history$n.sqlite"*
  "$host" run --config "$work/site$n.json" --duration "$seconds" --json "${http[@]}" >"$work/run$n.jsonl" 2>/dev/null &
  host_pid=$!
  if [ "$pages" -gt 0 ]; then
    for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/api/info" >/dev/null && break; sleep 0.05; done
    for i in $(seq 1 "$pages"); do
      curl -sN "http://127.0.0.1:$port/api/events" >"$work/page$i.sse" 2>/dev/null &
      page_pids+=($!)
    done
  fi
  wait "$host_pid" || true
  for pid in "${page_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  completed=$(grep -c '"ev":"round"' "$work/run$n.jsonl" || true)
  cycles=$(grep '"ev":"summary"' "$work/run$n.jsonl" | sed 's/.*"cycles":\([0-9]*\).*/\1/' | awk '{ s += $1 } END { print s + 0 }')
  served=""
  if [ "$pages" -gt 0 ]; then
    events=$(cat "$work"/page*.sse | grep -c '^event: snapshot' || true)
    served=", $pages live pages open ($events snapshots pushed to them)"
  fi
  awk -v n="$n" -v done_="$completed" -v cycles="$cycles" -v s="$seconds" -v t="$turnaround" -v served="$served" 'BEGIN {
    limit = 19200 / (102 * 10)
    rate = done_ / s
    printf "%d monitor(s), turnaround %s ms%s: %d cycles started, %d completed in %d s = %.2f cycles/s; wire limit %.2f/s; utilisation %.1f%%\n",
      n, t, served, cycles, done_, s, rate, limit, 100 * rate / limit
  }'
done
