#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   1. this machine's build: unit, plug-in, golden, tool and end-to-end tests,
#      and the plug-in's host test under valgrind's memory checker;
#   2. the controller's build (mipsel), its tests under qemu-mipsel, and the
#      release report of the library that ships;
#   3. the whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer;
#   4. the fuzz harnesses, a bounded run each (FUZZ_SECONDS, default 60).
#
#   scripts/test.sh             all of it
#   scripts/test.sh --native    step 1 only (quicker, for development)
set -euo pipefail
cd "$(dirname "$0")/.."

all=1
for arg in "$@"; do
  case "$arg" in
    --native) all=0 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "test: unknown option $arg" >&2; exit 2 ;;
  esac
done
jobs="$(nproc)"

step() {  # name command...
  local name=$1 start=$SECONDS
  shift
  echo "== test: $name"
  "$@"
  echo "== test: $name took $((SECONDS - start)) s"
}

native() {
  bash scripts/setup.sh --web
  cmake --preset default
  cmake --build --preset default -j"$jobs"
  ctest --preset default -j"$jobs"
}

mipsel() {
  bash scripts/setup.sh --cross
  cmake --preset mipsel
  cmake --build --preset mipsel -j"$jobs"
  ctest --preset mipsel -j"$jobs"
  bash scripts/release-report.sh build/mipsel/upsbattery_29.so
}

sanitizers() {
  cmake --preset asan
  cmake --build --preset asan -j"$jobs"
  ctest --preset asan -j"$jobs"
}

step "native build and tests" native
((all)) || exit 0
step "mipsel build, tests under qemu-mipsel, release report" mipsel
step "AddressSanitizer and UndefinedBehaviorSanitizer" sanitizers
step "fuzzing" bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
