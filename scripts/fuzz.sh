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
# One harness a core at once: each is a single process, so the run takes
# the harnesses' time divided by the cores, not their sum.
fuzz_one() {  # harness: its own scratch folder, findings and log
  local h=$1
  mkdir -p "$work/$h/new" "$work/$h/found"
  # New inputs go to the scratch folder; the checked-in seeds stay as they are.
  "$bin/fuzz_$h" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/$h/found/" \
    "$work/$h/new" "fuzz/corpus/$h" >"$work/$h/log" 2>&1 || true
}
failed=0
for ((i = 0; i < ${#harnesses[@]}; i += $(nproc))); do
  batch=("${harnesses[@]:i:$(nproc)}")
  for h in "${batch[@]}"; do fuzz_one "$h" & done
  wait
  for h in "${batch[@]}"; do
    echo "fuzz_$h: ${seconds}s"
    grep -E '^(stat::number_of_executed_units|Done|==[0-9]+==|SUMMARY|invariant)' "$work/$h/log" || true
    if [ -n "$(ls -A "$work/$h/found")" ]; then
      # Kept past the scratch folder, to be replayed and added to the regressions.
      mkdir -p build/fuzz/findings
      cp "$work/$h/found"/* build/fuzz/findings/
      echo "fuzz_$h found a failing input (kept in build/fuzz/findings):"; ls "$work/$h/found"
      failed=1
    fi
  done
done
((failed == 0)) || exit 1
echo "fuzz: no findings"
