#!/usr/bin/env bash
# The soak: eight simulated monitors on one bus with every fault on (drops,
# silence, answers from another address, corruption, noise, split replies,
# replies later than the host waits),
# bench-host run for SOAK_CYCLES poll cycles (default 20000).  Checks that
# nothing crashes, resident memory does not grow after warm-up and every
# stored record holds the replies in time to its own requests; prints the cycle
# success rate.  3000 cycles took about two minutes on a shared machine,
# so 20000 about a quarter of an hour: a fifth of the cycles fail on
# purpose, after every reply timeout the monitor that timed out is not
# asked until the line has been quiet from it for the quiet guard, and a
# round whose monitor still owes a reply waits before it is kept.
#
#   bash scripts/soak.sh [CYCLES]
set -euo pipefail
cd "$(dirname "$0")/.."
export SOAK_CYCLES=${1:-${SOAK_CYCLES:-20000}}

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target bench_host_run_tests bench-host monitor-sim upsbattery_29 >/dev/null
build/default/tests/bench_host/bench_host_run_tests --gtest_also_run_disabled_tests --gtest_filter='Soak.*'
