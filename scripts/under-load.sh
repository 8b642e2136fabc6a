#!/usr/bin/env bash
# The suite run again and again with both cores kept busy beside it
# (stress-ng --cpu 2), as on a machine shared with other builds: a test that
# passes on a quiet machine and fails here proves nothing, and is a defect
# of the test (docs/testing.md).
#
#   bash scripts/under-load.sh [RUNS] [-- CTEST ARGS...]
#
# RUNS (default 10) runs of `ctest` in BUILD (default build/default, built
# already); CTEST ARGS pick tests as ctest does (-R, -E, -L).  Each run's
# output is kept in BUILD/under-load-N.log.  Exits 0 when every run passed.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=10
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then runs=$1; shift; fi
[ "${1:-}" = "--" ] && shift
build=${BUILD:-build/default}
command -v stress-ng >/dev/null || { echo "under-load: stress-ng is not installed (apt-get install stress-ng)" >&2; exit 2; }
[ -f "$build/CTestTestfile.cmake" ] || { echo "under-load: no tests in $build: build it first" >&2; exit 2; }

stress-ng --cpu 2 --timeout 0 --quiet &
stress=$!
trap 'kill "$stress" 2>/dev/null || true; wait "$stress" 2>/dev/null || true' EXIT

passed=0
for ((i = 1; i <= runs; i++)); do
  log="$build/under-load-$i.log"
  if ctest --test-dir "$build" --output-on-failure "$@" >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "run $i: passed"
  else
    # The tests that failed; ctest lists those it did not run (disabled) there too.
    echo "run $i: FAILED: $(grep -E '^\s*[0-9]+ - ' "$log" | grep -v '(Disabled)' | sed 's/^ *//' | tr '\n' ';')"
  fi
done
echo "under-load: $passed of $runs runs passed with stress-ng --cpu 2 beside them"
[ "$passed" -eq "$runs" ]
