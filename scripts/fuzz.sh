#!/usr/bin/env bash
# Builds the fuzz harnesses with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, replays the known regressions, then runs each
# harness for a bounded time from the checked-in seeds.  Any finding fails.
#
#   bash scripts/fuzz.sh [SECONDS]     default 60 seconds per harness;
#                                      scripts/test.sh gives each 20 s
#   bash scripts/fuzz.sh 3600          a night's run: an hour per harness
#
# Every harness fuzz/fuzz_NAME.cpp (listed in fuzz/CMakeLists.txt) runs from
# its seeds in fuzz/corpus/NAME; a harness without seeds, or seeds without a
# harness, is an error.  An input that once failed is kept as
# fuzz/regressions/NAME-what and replayed first.  The comment at the top of
# each harness says what it checks; in short:
#
#   bytes            the plug-in's byte path: configuration, ticks, replies
#                    whole, split, damaged or noise; values only from valid
#                    frames (seeds: inputs the fuzzer kept)
#   config           a device's configuration as arbitrary JSON
#   cache            arbitrary bytes as the cached record
#   line_reader      bench-host's line reader (bus/LineReader): requests of
#                    any reply length, replies other monitors owe, chunks at
#                    any pace; every byte fed comes out once, in order, as
#                    what the reader's header says (seeds: real requests and
#                    replies, written by fuzz/seeds/line_reader.py)
#   http_target      the web server's request target, Host header and the
#                    error text quoting them (web/HttpText); seeds: the
#                    pages' own requests, absolute forms, broken escapes
#   history_request  the /api/history and /api/alarms parameters
#                    (web/HistoryRequest) read from a request target; taken
#                    exactly when valid, with what was written
#   site_file        the site file (site/SiteConfig) from JSON text; seeds:
#                    tools/bench-host/examples and edge cases
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

harnesses=()
for src in fuzz/fuzz_*.cpp; do
  h=$(basename "$src" .cpp)
  h=${h#fuzz_}
  [ -x "$bin/fuzz_$h" ] || { echo "fuzz: $src is not built: add it to fuzz/CMakeLists.txt"; exit 1; }
  [ -d "fuzz/corpus/$h" ] || { echo "fuzz: fuzz_$h has no seeds in fuzz/corpus/$h"; exit 1; }
  harnesses+=("$h")
done
for dir in fuzz/corpus/*/; do
  h=$(basename "$dir")
  [ -f "fuzz/fuzz_$h.cpp" ] || { echo "fuzz: seeds in $dir without a harness fuzz/fuzz_$h.cpp"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for h in "${harnesses[@]}"; do
  mkdir -p "$work/$h"
  echo "fuzz_$h: ${seconds}s"
  # New inputs go to the scratch folder; the checked-in seeds stay as they are.
  "$bin/fuzz_$h" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/$h" "fuzz/corpus/$h" 2>&1 | grep -E '^(stat::number_of_executed_units|Done|==[0-9]+==|SUMMARY|invariant)' || true
  if ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* >/dev/null 2>&1; then
    echo "fuzz_$h found a failing input:"; ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* 2>/dev/null
    exit 1
  fi
done
echo "fuzz: no findings"
