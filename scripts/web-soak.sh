#!/usr/bin/env bash
# Resident memory of bench-host run with web clients: eight simulated
# monitors on one bus with every fault on (a monitor that falls silent and
# comes back among them), the live page served, a /metrics scrape loop and
# two event streams that reconnect every minute, for SOAK_SECONDS (default
# 3600).  Prints the resident memory once a SOAK_SAMPLE seconds (default 60)
# as "seconds KiB" lines and the growth after warm-up (the first tenth).
#
#   bash scripts/web-soak.sh [SECONDS] [OUT.tsv]
#
# Uses the binaries of build/default as they are (copied first, so that a
# rebuild during the soak does not touch the running programs).
# SOAK_WRAP runs bench-host under a tool, e.g. SOAK_WRAP="heaptrack -o FILE";
# SOAK_HTTP_PORT (default 18466) the page's port.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TOTAL=${1:-${SOAK_SECONDS:-3600}}
OUT=${2:-/dev/stdout}
SAMPLE=${SOAK_SAMPLE:-60}
PORT=${SOAK_HTTP_PORT:-18466}

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cp build/default/tools/bench-host/bench-host build/default/tools/monitor-sim/monitor-sim build/default/upsbattery_29.so "$work/"
for lib in $(ldd build/default/tools/bench-host/bench-host | awk '$3 ~ /build\/default/ {print $3}'); do cp "$lib" "$work/"; done
export LD_LIBRARY_PATH="$work${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

addrs=()
devices=""
for i in 1 2 3 4 5 6 7 8; do
    addrs+=(--addr $((0x80 + i)))
    devices+="${devices:+,}{\"id\":$((100 + i)),\"type\":\"upsbattery_29\",\"addr\":$i,\"config\":{\"appSetting\":{}}}"
done
"$work/monitor-sim" --seed 2027 --drop 0.02 --silence 0.005 --silence-length 4 --wrong-addr 0.02 \
    --corrupt 0.03 --garbage 0.05 --split 0.1 --split-pause-ms 2 --late 0.01:150 \
    --weak-cell 5:11.2:300s "${addrs[@]}" --pty-link "$work/bus" 2>"$work/sim.err" &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/bus" ] && break; sleep 0.1; done
cat >"$work/site.json" <<EOF
{"tick_period":0.05,"history":"$work/history.db","response_margin_ms":60,
 "ports":[{"path":"$work/bus","devices":[$devices]}]}
EOF
${SOAK_WRAP:-} "$work/bench-host" run --config "$work/site.json" --plugin "$work/upsbattery_29.so" --json \
    --duration "$SECONDS_TOTAL" --http "127.0.0.1:$PORT" >"$work/run.out" 2>"$work/run.err" &
host=$!
pids+=($host)
sleep 2

# Scrapes as a Prometheus server would, a few times a second.
(while kill -0 $host 2>/dev/null; do curl -s -o /dev/null "http://127.0.0.1:$PORT/metrics"; sleep 0.2; done) &
pids+=($!)
# Two event streams, each dropped and opened again every minute.
for _ in 1 2; do
    (while kill -0 $host 2>/dev/null; do curl -s -N -m 60 -o /dev/null "http://127.0.0.1:$PORT/api/events" || true; done) &
    pids+=($!)
done

start=$(date +%s)
first=""
warm=$((SECONDS_TOTAL / 10))
{
    echo "# seconds rss_kib"
    while kill -0 $host 2>/dev/null; do
        now=$(($(date +%s) - start))
        kib=$(awk '/^VmRSS:/ {print $2}' /proc/$host/status 2>/dev/null || true)
        [ -n "$kib" ] && echo "$now $kib"
        if [ -n "$kib" ] && [ "$now" -ge "$warm" ] && [ -z "$first" ]; then first=$kib; fi
        [ -n "$kib" ] && last=$kib
        sleep "$SAMPLE"
    done
    echo "# after warm-up: ${first:-?} KiB, at the end: ${last:-?} KiB"
} >"$OUT"
wait $host || echo "bench-host exit status $?" >&2
tail -3 "$work/run.err" >&2
