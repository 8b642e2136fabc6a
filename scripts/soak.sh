#!/usr/bin/env bash
# The soak: eight simulated monitors on one bus with every fault on (drops,
# silence, answers from another address, corruption, noise, split replies,
# replies later than the host waits),
# bench-host run for SOAK_CYCLES poll cycles (default 20000).  Checks that
# nothing crashes, resident memory does not grow after warm-up and every
# stored record holds the replies in time to its own requests; prints the cycle
# success rate.  About thirty-five minutes for 20000 cycles: a fifth of the
# cycles fail on purpose, after every reply timeout the host waits for a
# quiet line before it writes again, and a round whose monitor still owes a
# reply waits a response timeout before it is kept.
#
#   bash scripts/soak.sh [CYCLES]
set -euo pipefail
cd "$(dirname "$0")/.."
export SOAK_CYCLES=${1:-${SOAK_CYCLES:-20000}}

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target bench_host_run_tests bench-host monitor-sim upsbattery_29 >/dev/null
build/default/tests/bench_host/bench_host_run_tests --gtest_also_run_disabled_tests --gtest_filter='Soak.*'
