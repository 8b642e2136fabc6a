#!/usr/bin/env bash
# One monitor alone on a clean line, no fault injected, read by bench-host
# on a busy or confused machine: a healthy monitor must never be taken for
# two monitors answering together (the summary's "two answers"), and where
# the timing once could not tell, it costs that one exchange and the device
# is read again on its next cycle.  Runs, one after the other:
#   - RUNS runs of 60 s with the wall clock stepped back an hour after 25 s
#     (libfaketime; the monotonic clock is left alone, as on a controller);
#   - RUNS runs of 75 s with two busy loops beside the run;
# each with a tick of 0.2 s, and prints per run the cycles, the rounds
# completed, the cycles lost as two answers and the longest silence, then a
# line of totals.  Exits 1 when any cycle was lost as two answers.  Every
# run is traced (bench-host run --trace); the folder of a run that lost a
# cycle as two answers is kept in build/clean-line/KIND-N (its trace in
# err, its output in out.jsonl), so the exchange can be read.
#
# With --host, another build of bench-host is run instead (to compare).
#
#   bash scripts/clean-line.sh [--runs N] [--only faketime|busy] [--host BENCH_HOST]
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; }
runs=10
only=""
other=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --only) only=${2:?--only needs faketime or busy}; shift 2 ;;
    --host) other=$(realpath "${2:?--host needs a bench-host}"); shift 2 ;;
    *) echo "clean-line.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done
case "$only" in ""|faketime|busy) ;; *) echo "clean-line.sh: --only faketime or busy" >&2; exit 2 ;; esac

lib=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -1 || true)
[ -n "$lib" ] || { echo "clean-line.sh: libfaketime is missing (bash scripts/setup.sh installs it)" >&2; exit 2; }
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target bench-host monitor-sim upsbattery_29 >/dev/null
host=${other:-build/default/tools/bench-host/bench-host}
sim=build/default/tools/monitor-sim/monitor-sim
work=$(mktemp -d)
busy_pids=()
cleanup() { for p in "${busy_pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

total_two=0
run_once() {  # kind n seconds
  local kind=$1 n=$2 seconds=$3 dir="$work/$1-$2"
  mkdir -p "$dir"
  "$sim" --pty-link "$dir/m.pty" --seed "$((40 + n))" >/dev/null 2>&1 &
  local sim_pid=$!
  for _ in $(seq 100); do [ -e "$dir/m.pty" ] && break; sleep 0.05; done
  printf '{"tick_period":0.2,"ports":[{"path":"%s","devices":[{"id":12,"type":"upsbattery_29","addr":1,"config":{"appSetting":{}}}]}]}\n' \
    "$dir/m.pty" >"$dir/site.json"
  if [ "$kind" = faketime ]; then
    echo "+0" >"$dir/clock"
    (sleep 25; echo "-3600" >"$dir/clock.new"; mv "$dir/clock.new" "$dir/clock") &
    LD_PRELOAD="$lib" FAKETIME_TIMESTAMP_FILE="$dir/clock" FAKETIME_NO_CACHE=1 FAKETIME_DONT_FAKE_MONOTONIC=1 \
      "$host" run --config "$dir/site.json" --db "$dir/h.sqlite" --json --trace --duration "$seconds" >"$dir/out.jsonl" 2>"$dir/err" || true
  else
    "$host" run --config "$dir/site.json" --db "$dir/h.sqlite" --json --trace --duration "$seconds" >"$dir/out.jsonl" 2>"$dir/err" || true
  fi
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  local line two
  line=$(/usr/bin/python3 - "$dir/out.jsonl" <<'EOF'
import json, sys
s = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{") and '"summary"' in l]
if not s:
    print("no summary 0"); sys.exit()
s = s[-1]
two = s.get("failures", {}).get("two answers", 0)
print(f"cycles {s['cycles']}, completed {s['completed']}, abandoned {s['abandoned']}, two answers {two}, "
      f"longest silence {s.get('longest_silence_s', 0)} s {two}")
EOF
)
  two=${line##* }
  total_two=$((total_two + two))
  printf 'clean-line: %-8s run %2d: %s\n' "$kind" "$n" "${line% *}"
  if [ "$two" -gt 0 ]; then
    rm -rf "build/clean-line/$kind-$n"
    mkdir -p build/clean-line
    cp -r "$dir" "build/clean-line/$kind-$n"
    echo "clean-line: its trace and output kept in build/clean-line/$kind-$n"
  fi
}

if [ -z "$only" ] || [ "$only" = faketime ]; then
  for n in $(seq "$runs"); do run_once faketime "$n" 60; done
fi
if [ -z "$only" ] || [ "$only" = busy ]; then
  for _ in 1 2; do (while :; do :; done) & busy_pids+=($!); done
  for n in $(seq "$runs"); do run_once busy "$n" 75; done
fi
echo "clean-line: cycles lost as two answers in all: $total_two"
[ "$total_two" -eq 0 ]
