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
"$@" "$lib" "$dir/monitor.pty" 3 | tee "$dir/host.log"
grep -q '^3 of 3 rounds completed$' "$dir/host.log"
grep -q '^group_voltage = ' "$dir/host.log"
grep -q '^no_such_value: 不支持变量$' "$dir/host.log"
