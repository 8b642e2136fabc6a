#!/usr/bin/env bash
# How close to the wire the bench host drives one bus: monitor-sim answers at
# the line's real byte time (--pace), bench-host run polls 1 and then 8
# monitors on the same pseudo-terminal with a fast tick, and the completed
# cycles per second are set against the wire limit of 19200 bit/s (a cycle
# is 102 bytes of 10 bits: 53.1 ms).
#
#   bash scripts/bus-utilisation.sh [SECONDS] [TURNAROUND_MS]   default 20 s, 0 ms
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
turnaround=${2:-0}

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target upsbattery_29 bench-host monitor-sim >/dev/null
sim=build/default/tools/monitor-sim/monitor-sim
host=build/default/tools/bench-host/bench-host
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for n in 1 8; do
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
  "$host" run --config "$work/site$n.json" --duration "$seconds" --json >"$work/run$n.jsonl" 2>/dev/null || true
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  completed=$(grep -c '"ev":"round"' "$work/run$n.jsonl" || true)
  cycles=$(grep '"ev":"summary"' "$work/run$n.jsonl" | sed 's/.*"cycles":\([0-9]*\).*/\1/' | awk '{ s += $1 } END { print s + 0 }')
  awk -v n="$n" -v done_="$completed" -v cycles="$cycles" -v s="$seconds" -v t="$turnaround" 'BEGIN {
    limit = 19200 / (102 * 10)
    rate = done_ / s
    printf "%d monitor(s), turnaround %s ms: %d cycles started, %d completed in %d s = %.2f cycles/s; wire limit %.2f/s; utilisation %.1f%%\n",
      n, t, cycles, done_, s, rate, limit, 100 * rate / limit
  }'
done
