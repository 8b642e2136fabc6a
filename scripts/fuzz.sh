#!/usr/bin/env bash
# Builds the fuzz harnesses with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, replays the known regressions, then runs each
# harness for a bounded time from the checked-in seeds (fuzz/corpus/NAME for
# the harness fuzz_NAME, where there are some).  Every harness
# fuzz/CMakeLists.txt builds is run.  Any finding fails.
#
#   bash scripts/fuzz.sh [SECONDS]     default 60 seconds per harness;
#                                      scripts/test.sh gives each 20 s
#   bash scripts/fuzz.sh 3600          a night's run: an hour per harness
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

bash scripts/setup.sh --fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"
bin=build/fuzz/fuzz

# Inputs that once failed stay fixed.
for f in fuzz/regressions/*; do
  harness=fuzz_$(basename "$f" | cut -d- -f1)
  echo "regression: $f ($harness)"
  "$bin/$harness" "$f" >/dev/null 2>&1 || { "$bin/$harness" "$f"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The harnesses are the programs the build made (fuzz/CMakeLists.txt).
harnesses=$(find "$bin" -maxdepth 1 -type f -perm -u+x -name 'fuzz_*' -printf '%f\n' | sed 's/^fuzz_//' | sort)
[ -n "$harnesses" ] || { echo "fuzz: no harness built in $bin" >&2; exit 1; }
for h in $harnesses; do
  mkdir -p "$work/$h"
  seeds=()
  [ -d "fuzz/corpus/$h" ] && seeds=("fuzz/corpus/$h")
  echo "fuzz_$h: ${seconds}s"
  # New inputs go to the scratch folder; the checked-in seeds stay as they are.
  "$bin/fuzz_$h" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/$h" ${seeds[@]+"${seeds[@]}"} 2>&1 | grep -E '^(stat::number_of_executed_units|Done|==[0-9]+==|SUMMARY|invariant)' || true
  if ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* >/dev/null 2>&1; then
    echo "fuzz_$h found a failing input:"; ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* 2>/dev/null
    exit 1
  fi
done
echo "fuzz: no findings"
