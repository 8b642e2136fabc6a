#!/usr/bin/env bash
# The example host against a simulated monitor: monitor-sim on a
# pseudo-terminal, the example host (through an emulator when one is given,
# e.g. qemu-mipsel -L ROOT) polling it for three rounds.
#
#   run-against-sim.sh MONITOR_SIM LIBRARY [EMULATOR...] EXAMPLE_HOST
set -euo pipefail
sim=$1 lib=$2
shift 2
dir=$(mktemp -d)
trap 'kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
"$sim" --pty-link "$dir/monitor.pty" >"$dir/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$dir/monitor.pty" ] && break; sleep 0.05; done
[ -e "$dir/monitor.pty" ] || { echo "run-against-sim: monitor-sim made no line"; cat "$dir/sim.log"; exit 1; }
# A count of rounds that is none is a usage error (2), before anything is
# loaded or polled; not "0 of 0 rounds completed" and success.
for rounds in abc 0 -1 3x 99999999999999999999; do
  status=0
  "$@" "$lib" "$dir/monitor.pty" "$rounds" >"$dir/usage.log" 2>&1 || status=$?
  [ "$status" -eq 2 ] || { echo "run-against-sim: ROUNDS=$rounds gave status $status"; cat "$dir/usage.log"; exit 1; }
  grep -q '^usage: example-host' "$dir/usage.log"
done
"$@" "$lib" "$dir/monitor.pty" 3 | tee "$dir/host.log"
grep -q '^3 of 3 rounds completed$' "$dir/host.log"
grep -q '^group_voltage = ' "$dir/host.log"
grep -q '^no_such_value: 不支持变量$' "$dir/host.log"
