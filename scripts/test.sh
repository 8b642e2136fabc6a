#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, in order:
#   1. this machine's build: unit, plug-in, thread, golden, tool and
#      end-to-end tests, and the plug-in's host test under valgrind; then
#      the library built with the release flags, its virtual tables,
#      exports and host tests;
#   2. the plug-in's code compiled at -std=c++11 -pedantic-errors, with g++
#      and with clang++ (the controller's toolchains may be older);
#   3. the suite under ThreadSanitizer: any data race fails it;
#   4. the controller's build (mipsel, release flags) with Debian's default
#      cross compiler (g++ 12) and with g++ 11, each build's tests under
#      qemu-mipsel, and the release report of each library;
#   5. the suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   6. the fuzz harnesses, a bounded run each (FUZZ_SECONDS, default 60);
#   7. the Debian package: built, lintian, installed with dpkg, the
#      installed tools run, the service unit verified (scripts/package.sh).
# Each step prints the time it took.
#
#   scripts/test.sh                 all of it
#   scripts/test.sh --native        step 1 only (quicker, for development)
#   scripts/test.sh --step NAME     only the named steps (repeatable): native,
#                                   cxx11, tsan, mipsel, asan, fuzz, package
set -euo pipefail
cd "$(dirname "$0")/.."

all_steps=(native cxx11 tsan mipsel asan fuzz package)
steps=()
while (($#)); do
  case "$1" in
    --native) steps+=(native) ;;
    --step)
      [[ " ${all_steps[*]} " == *" ${2:-} "* ]] || { echo "test: no step '${2:-}'" >&2; exit 2; }
      steps+=("$2")
      shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    *) echo "test: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
((${#steps[@]})) || steps=("${all_steps[@]}")
jobs="$(nproc)"
started=$SECONDS
times=()

step() {  # name command...
  local name=$1 start=$SECONDS
  shift
  echo "== test: $name"
  "$@"
  times+=("$(printf '%5d s  %s' $((SECONDS - start)) "$name")")
  echo "== test: $name took $((SECONDS - start)) s"
}

suite() {  # preset [cache settings...]: configure, build, run its tests
  cmake --preset "$@"
  cmake --build --preset "$1" -j"$jobs"
  ctest --preset "$1" -j"$jobs"
}

native() {
  bash scripts/setup.sh --web-tests
  suite default
  # The shipped library's tables, exports and host tests once more, built
  # with the controller's release flags for this machine.
  suite release
}

cxx11() {
  bash scripts/setup.sh --fuzz  # clang
  for preset in cxx11 cxx11-clang; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
  done
}

mipsel() {
  bash scripts/setup.sh --cross --web
  # The example host is run under qemu against this machine's monitor-sim.
  cmake --preset default >/dev/null
  cmake --build --preset default -j"$jobs" --target monitor-sim
  for preset in mipsel mipsel-gcc11; do
    suite "$preset" -DUPSB_MONITOR_SIM="$PWD/build/default/tools/monitor-sim/monitor-sim"
    bash scripts/release-report.sh "build/$preset/upsbattery_29.so"
  done
}

for name in "${all_steps[@]}"; do
  [[ " ${steps[*]} " == *" $name "* ]] || continue
  case "$name" in
    native) step "native build and tests" native ;;
    cxx11) step "C++11 compile of the plug-in (g++, clang++)" cxx11 ;;
    tsan) step "ThreadSanitizer" suite tsan ;;
    mipsel) step "mipsel builds (g++ 12, g++ 11), tests under qemu-mipsel, release reports" mipsel ;;
    asan) step "AddressSanitizer and UndefinedBehaviorSanitizer" suite asan ;;
    fuzz) step "fuzzing" bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}" ;;
    package) step "Debian package: lintian, dpkg -i, installed run, unit verified" bash scripts/package.sh ;;
  esac
done

echo "== test: times"
printf '%s\n' "${times[@]}"
echo "$(printf '%5d s' $((SECONDS - started)))  all"
