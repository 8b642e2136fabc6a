#!/usr/bin/env bash
# Readings on a faulty line: two simulated monitors on one pseudo-terminal
# (monitor-sim --addr 0x81 --addr 0x82 --seed 41), bench-host run with a
# 0.2 s tick and a 100 ms response margin on a clean paced line, the
# standard faulty line, a line with every fault at once, one with a
# quarter of the replies 700 ms late and one where a tenth of the requests
# go unanswered and a tenth are answered with the other monitor's address
# (--drop 0.1 --wrong-address 0.1).  Prints, per
# line and engine, the records stored and how many of them hold a value the
# monitor did not send in time for that cycle's very requests (judged
# record by record against monitor-sim's values log), the poll interval and
# the longest time without a stored record.  With --before, another build of
# bench-host runs first on each line, on the same seeds, to compare with,
# and the ratio of the records is printed and held to what this engine must
# store: at least 1.15 times on the faulty line, as many on the every-fault
# line, 0.9 times on the wrong-address line.
# Two minutes a line and engine at the default 120 s.
#
#   bash scripts/faulty-line.sh [--before BENCH_HOST] [--lines clean,faulty,every,quarter,wrong] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; }
export FAULTY_LINE_BEFORE="" FAULTY_LINE_LINES="clean,faulty,every,quarter,wrong"
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --before) FAULTY_LINE_BEFORE=$(realpath "${2:?--before needs a bench-host}"); shift 2 ;;
    --lines) FAULTY_LINE_LINES=${2:?--lines needs a list}; shift 2 ;;
    -*) echo "faulty-line.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) break ;;
  esac
done
export FAULTY_LINE_SECONDS=${1:-120}
[ -z "$FAULTY_LINE_BEFORE" ] || [ -x "$FAULTY_LINE_BEFORE" ] || { echo "faulty-line.sh: $FAULTY_LINE_BEFORE is no program" >&2; exit 2; }

cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target bench_host_run_tests bench-host monitor-sim upsbattery_29 >/dev/null
build/default/tests/bench_host/bench_host_run_tests --gtest_also_run_disabled_tests --gtest_filter='FaultyLine.*'
