#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, in order:
#   1. this machine's build (default preset) and its tests: tool,
#      end-to-end, browser and Prometheus tests, and the plug-in's host test
#      under valgrind; the unit tests (plug-in, thread, golden, bus, model)
#      run once, under the sanitizers in step 5, unless step 5 is left out
#      (--native alone runs every test here).  With step 3 in the run, these
#      tests (mostly waiting on real processes and lines) run beside steps 2
#      and 3, and their output and verdict follow step 3;
#   2. the plug-in's code compiled at -std=c++11 -pedantic-errors with
#      clang++ (the controller's toolchains may be older; the mipsel builds
#      of step 4 compile it so with g++ 12 and g++ 11);
#   3. ThreadSanitizer (tsan preset, the tools built with it): the tests of
#      the parts with threads of their own (label threads: the plug-in
#      driven from eight threads, the web server, the history's store
#      thread and pruner); any data race fails it;
#   4. the controller's build (mipsel, release flags, the plug-in at C++11)
#      with Debian's default cross compiler (g++ 12) and with g++ 11, each
#      build's tests under qemu-mipsel (one emulator per test program), and the release report
#      of each library.  These are the checks of the library as shipped:
#      built with the release flags, every slot of its virtual tables, its
#      exports, the host tests; this machine's build with the same flags
#      (release preset) checked the same a third time and is not run here;
#   5. AddressSanitizer and UndefinedBehaviorSanitizer (asan preset): the
#      unit tests and the parsers' tests (labels unit, parsers), not the
#      browser, Prometheus, faketime or long real-time runs;
#   6. the fuzz harnesses, a bounded run each (FUZZ_SECONDS, default 20;
#      scripts/fuzz.sh takes longer for a night run);
#   7. the Debian package: built, lintian, installed with dpkg, the
#      installed tools run, the service unit verified (scripts/package.sh).
# Each step prints the time it took.  Every tree compiles through ccache
# (installed by scripts/setup.sh) in depend mode, so a second run compiles
# only what changed, a cold cache costs nearly nothing more, and the
# package's tree is served the native tree's objects.  Last measured on a
# 2-core machine to itself, a fresh clone with an empty compiler cache and
# the packages installed: 1. 327 s (the build; its tests beside steps 2 and
# 3), 2. 22 s, 3. 230 s, 4. 97 s, 5. 324 s, 6. 132 s, 7. 44 s; 1,176 s in all
# (2,060 s of CPU), before ccache's depend mode, lld for the clang trees and
# the tests' own code at -O0 took more off.  CI took 1,530 s for the run
# before these cuts; --quick about 30 s from a warm build.
#
# How long: on a fresh 2-core machine (an empty compiler cache: each tree
# compiles everything once, and the packages to install) about 20 minutes
# are expected; less with the cache warm; --quick about 30 s from a warm
# build.
# Needs root, or sudo, for whatever is missing: scripts/setup.sh installs
# Debian's packages with apt-get (the first run; later runs find them), and
# step 7 installs and purges the package with dpkg.
# Exit status: 0 every step passed; 2 a usage error (nothing run);
# otherwise that of the first step that failed (ctest's 8 for a failed
# test), and the steps after it are not run.
#
#   scripts/test.sh                 all of it
#   scripts/test.sh --quick         this machine's build and its unit tests
#                                   only (ctest -L unit): the loop while
#                                   working
#   scripts/test.sh --native        step 1 only
#   scripts/test.sh --step NAME     only the named steps (repeatable): native,
#                                   cxx11, tsan, mipsel, asan, fuzz, package,
#                                   quick
set -euo pipefail
cd "$(dirname "$0")/.."

all_steps=(native cxx11 tsan mipsel asan fuzz package)
steps=()
while (($#)); do
  case "$1" in
    --quick) steps+=(quick) ;;
    --native) steps+=(native) ;;
    --step)
      [[ " ${all_steps[*]} quick " == *" ${2:-} "* ]] || { echo "test: no step '${2:-}'" >&2; exit 2; }
      steps+=("$2")
      shift ;;
    -h|--help) sed -n "2,$(grep -n '^set -euo' "$0" | cut -d: -f1)p" "$0" | sed '$d'; exit 0 ;;
    *) echo "test: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
((${#steps[@]})) || steps=("${all_steps[@]}")
jobs="$(nproc)"
started=$SECONDS
times=()

cpu_file=$(mktemp)
trap 'rm -f "$cpu_file" ${native_log:+"$native_log"}; [[ -z ${native_pid:-} ]] || kill "$native_pid" 2>/dev/null || true' EXIT
cpu_seconds() {  # sets cpu: the CPU time of every finished child so far (user + system)
  # In this shell, never in $(...): a subshell's children are its own.
  times >"$cpu_file"
  cpu=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$cpu_file")
}

step() {  # name command...
  # Besides the time a step took, the CPU time it used: on a shared machine
  # the first grows with the others' load, the second hardly, so it is the
  # figure to compare runs by (a 2-core machine to itself takes about half).
  local name=$1 start=$SECONDS cpu before
  shift
  cpu_seconds
  before=$cpu
  echo "== test: $name"
  "$@"
  cpu_seconds
  cpu=$((cpu - before))
  times+=("$(printf '%5d s  %6d s CPU  %s' $((SECONDS - start)) "$cpu" "$name")")
  echo "== test: $name took $((SECONDS - start)) s, $cpu s of CPU"
}

suite() {  # preset [cache settings...]: configure, build, run its tests
  # The preset's build and test presets say what it builds and runs (the
  # sanitizers' trees: the programs of the test labels they run).
  cmake --preset "$@"
  cmake --build --preset "$1" -j"$jobs"
  ctest --preset "$1" -j"$jobs"
}

quick() {
  bash scripts/setup.sh --web
  cmake --preset default >/dev/null
  cmake --build --preset default -j"$jobs"
  ctest --preset unit -j"$jobs"
}

native_log=""
native_pid=""
native() {
  bash scripts/setup.sh --web-tests
  if [[ " ${steps[*]} " == *" asan "* ]]; then
    # The unit tests run once, in the sanitizers' tree (step 5): here the
    # programs and tests of every other kind are built and run.
    cmake --preset default
    cmake --build --preset default -j"$jobs" --target tests_e2e tests_browser tests_prometheus tests_memcheck
    local tests=(ctest --preset default -j"$jobs" -L '^(e2e|browser|prometheus|memcheck)$')
    if [[ " ${steps[*]} " == *" tsan "* ]]; then
      # These tests spend most of their time waiting on real processes and
      # the line, so they run beside the next steps' compiles; their output
      # and verdict follow the ThreadSanitizer step.  What they wait for is
      # outcomes, never a time, so the load beside them changes nothing.
      native_log=$(mktemp)
      "${tests[@]}" >"$native_log" 2>&1 &
      native_pid=$!
      echo "== test: the native tests run beside the next steps (output after step tsan)"
    else
      "${tests[@]}"
    fi
  else
    suite default
  fi
}

native_tests() {  # the native tests begun in the background: their output, their status
  local status=0
  wait "$native_pid" || status=$?
  native_pid=""
  cat "$native_log"
  rm -f "$native_log"
  return "$status"
}

sanitizer() {  # preset: the tools are built in its tree too, with clang
  bash scripts/setup.sh --web --fuzz
  suite "$1"
}

cxx11() {
  bash scripts/setup.sh --fuzz  # clang
  cmake --preset cxx11-clang >/dev/null
  cmake --build --preset cxx11-clang -j"$jobs"
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

for name in quick "${all_steps[@]}"; do
  [[ " ${steps[*]} " == *" $name "* ]] || continue
  case "$name" in
    quick) step "native build, unit tests" quick ;;
    native) step "native build and tests" native ;;
    cxx11) step "C++11 compile of the plug-in (clang++)" cxx11 ;;
    tsan)
      step "ThreadSanitizer: the threaded parts' tests" sanitizer tsan
      [[ -z $native_pid ]] || step "native tests: their output and verdict (they ran beside steps 2 and 3; ctest gives their time)" native_tests ;;
    mipsel) step "mipsel builds (g++ 12, g++ 11), tests under qemu-mipsel, release reports" mipsel ;;
    asan) step "AddressSanitizer and UndefinedBehaviorSanitizer: unit and parsers' tests" sanitizer asan ;;
    fuzz) step "fuzzing, ${FUZZ_SECONDS:-20} s a harness" bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}" ;;
    package) step "Debian package: lintian, dpkg -i, installed run, unit verified" bash scripts/package.sh ;;
  esac
done

echo "== test: times"
printf '%s\n' "${times[@]}"
cpu_seconds
echo "$(printf '%5d s  %6d s CPU' $((SECONDS - started)) "$cpu")  all"
