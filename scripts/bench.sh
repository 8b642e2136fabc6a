#!/usr/bin/env bash
# Measures the plug-in's hot paths: time and heap allocations per operation
# (Google Benchmark), instruction counts per operation (callgrind, repeatable
# on a noisy machine), and the cost of a poll cycle against the time its
# bytes take on the wire.
#
#   bash scripts/bench.sh            the release flags the controller's
#                                    library is built with (preset "bench")
#   bash scripts/bench.sh --o3       CMake's Release, -O3 (preset "bench-o3")
#   bash scripts/bench.sh --quick    shorter runs (with either)
#   bash scripts/bench.sh --history  the history page's queries over a week of
#                                    rounds of eight devices (4.8 million rows;
#                                    the file, about 1 GB, is made once in
#                                    build/bench-history and reused)
#   bash scripts/bench.sh --metrics  /metrics of eight devices: rendered, and
#                                    over loopback HTTP (same build)
#   bash scripts/bench.sh --report   bench-host report over a year of one
#                                    device's rounds (the file, about 1 GB,
#                                    is made once in build/bench-history)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--history" ] || [ "${1:-}" = "--metrics" ] || [ "${1:-}" = "--report" ]; then
  bash scripts/setup.sh --bench --web
  build=build/bench-history
  target=bench_${1#--}
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPSB_BUILD_TESTS=OFF -DUPSB_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "$target" >/dev/null
  if [ "$target" = bench_history ]; then
    "$build/bench/bench_history" --db "$build/history.sqlite"
  elif [ "$target" = bench_report ]; then
    "$build/bench/bench_report" --db "$build/year.sqlite"
  else
    "$build/bench/bench_metrics"
  fi
  exit 0
fi

preset=bench
quick=0
for arg in "$@"; do
  case "$arg" in
    --o3) preset=bench-o3 ;;
    --quick) quick=1 ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "bench: unknown option $arg" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh --bench
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)" --target bench_plugin >/dev/null
build=build/$preset
bin="$build/bench/bench_plugin"

min_time=0.5
((quick)) && min_time=0.05

echo "== time and allocations per operation"
"$bin" --benchmark_min_time="$min_time" --benchmark_color=false | tee "$build/bench.txt"

echo
echo "== instructions per operation (callgrind; difference of two run lengths)"
instructions() {  # op count -> total instructions of the run
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bin" --instr "$1" "$2" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
printf '%-18s %14s\n' operation instructions
for op in cycle cycle8 get_cell get_temperature get_unsupported init cache; do
  a=$(instructions "$op" 200)
  b=$(instructions "$op" 1200)
  printf '%-18s %14d\n' "$op" $(((b - a) / 1000))
done

echo
echo "== a poll cycle against the wire"
# 4 requests of 5 bytes, one reply of 67 and three of 5: 102 bytes of 10 bits
# at 19200 bit/s.
ns=$(awk '$1 == "BM_CycleWhole" { t = $2; u = $3; if (u == "us") t *= 1000; if (u == "ms") t *= 1e6; print t }' "$build/bench.txt")
awk -v ns="$ns" 'BEGIN {
  wire_ms = 102 * 10 / 19200 * 1000
  printf "cycle cost %.0f ns; wire time %.2f ms; cost/wire = %.2e (%.4f%%)\n", ns, wire_ms, ns / (wire_ms * 1e6), 100 * ns / (wire_ms * 1e6)
}'
