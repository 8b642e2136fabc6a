#!/usr/bin/env bash
# bench-host run on a disk whose every sync is slow (fsync and fdatasync held
# SYNC_MS each, through the tests' LD_PRELOAD library), DEVICES simulated
# monitors each on a bus of its own, a tick of 0.2 s.  Measures, on the
# machine's own clock:
#   - first round: from the start of the process to its first round said
#     (the run's own rows in the history must not hold up polling);
#   - stop: from SIGTERM, sent after SECONDS of polling, to the end of the
#     process, with or without a second SIGTERM a second later (--twice);
# and prints whether the run ended with its summary, its end (runs.ended_at)
# in the history, and the writes not stored, by kind.  Several runs (--runs)
# print one line each, on one history: the first makes the file, the next
# open it as it was left.
#
#   bash bench/slow-disk.sh [--sync-ms 300] [--devices 8] [--seconds 150] [--runs 1] [--twice]
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; }
sync_ms=300
devices=8
seconds=150
runs=1
twice=0
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --sync-ms) sync_ms=${2:?--sync-ms needs milliseconds}; shift 2 ;;
    --devices) devices=${2:?--devices needs a number}; shift 2 ;;
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --twice) twice=1; shift ;;
    *) echo "slow-disk.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done

cmake --preset default >/dev/null
cmake --build --preset default -j2 --target bench-host monitor-sim upsbattery_29 slow_sync >/dev/null
host=build/default/tools/bench-host/bench-host
sim=build/default/tools/monitor-sim/monitor-sim
slow=$(realpath build/default/tests/bench_host/libslow_sync.so)
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

ports=""
for i in $(seq "$devices"); do
  "$sim" --pty-link "$work/m$i.pty" --seed "$i" >/dev/null 2>&1 &
  pids+=($!)
  ports+="${ports:+,}{\"path\":\"$work/m$i.pty\",\"devices\":[{\"id\":$((10 + i)),\"type\":\"upsbattery_29\",\"addr\":1,\"config\":{\"appSetting\":{}}}]}"
done
for i in $(seq "$devices"); do
  for _ in $(seq 100); do [ -e "$work/m$i.pty" ] && break; sleep 0.05; done
done

echo "fsync ${sync_ms} ms, ${devices} devices, ${seconds} s of polling, SIGTERM$([ $twice = 1 ] && echo ' twice')"
for n in $(seq "$runs"); do
  db="$work/history.sqlite"
  printf '{"tick_period":0.2,"history":"%s","ports":[%s]}\n' "$db" "$ports" >"$work/site.json"
  began=$(now)
  LD_PRELOAD="$slow" SLOW_SYNC_MS="$sync_ms" "$host" run --config "$work/site.json" --json \
    >"$work/out.jsonl" 2>"$work/err" &
  run=$!
  first=""
  until [ -n "$first" ] || ! kill -0 "$run" 2>/dev/null; do
    grep -q '"ev":"round"' "$work/out.jsonl" && first=$(now)
    sleep 0.01
  done
  sleep "$seconds"
  stopped=$(now)
  kill -TERM "$run"
  if [ $twice = 1 ]; then sleep 1; kill -TERM "$run" 2>/dev/null || true; fi
  status=0
  wait "$run" || status=$?
  ended=$(now)
  summaries=$(grep -c '"ev":"summary"' "$work/out.jsonl" || true)
  not_stored=$(jq -r 'select(.ev == "history") |
    "records \(.records_not_stored), alarms \(.alarms_not_stored), health \(.health_not_stored), counts \(.counts_not_stored)"' \
    "$work/out.jsonl")
  ended_at=$(sqlite3 "file:$db?mode=ro" "SELECT coalesce(ended_at, 'none') FROM runs ORDER BY run_id DESC LIMIT 1" 2>/dev/null ||
             echo "unreadable")
  echo "run $n: first round $(secs "$began" "${first:-$began}") s after the start; stop $(secs "$stopped" "$ended") s," \
       "status $status, $summaries summaries, ended_at $ended_at; not stored: ${not_stored:-no history line}"
  grep -v '^$' "$work/err" | tail -3 | sed 's/^/    err: /' || true
done
