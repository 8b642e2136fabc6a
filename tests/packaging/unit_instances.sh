#!/usr/bin/env bash
# Two instances of the service unit, bay1 and bay2, run as the unit runs
# them: the command line, state folder and working folder taken from the
# unit with the instance's name put in for %i, under a folder of the test's
# own in place of /, with the build's bench-host and plug-in, each polling a
# monitor-sim of its own.  Each keeps its history in a state folder of its
# own, which the other neither names nor writes: the one run of each is in
# its own history alone.
#
#   unit_instances.sh UNIT BENCH_HOST MONITOR_SIM PLUGIN EXAMPLE_SITE
set -euo pipefail
unit=$1 bench_host=$2 sim=$3 plugin=$4 example=$5
root=$(mktemp -d)
sims=()
cleanup() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "unit_instances: $*" >&2; exit 1; }
# A setting of the unit's [Service]; the last one given counts, as systemd
# reads a setting that takes one value.
setting() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }

# StateDirectory= is a list, each line adding to it: every folder in it
# must be the instance's own.
read -ra states <<<"$(sed -n 's/^StateDirectory=//p' "$unit" | tr '\n' ' ')"
workdir=$(setting WorkingDirectory)
exec_start=$(setting ExecStart)
[ "${#states[@]}" -gt 0 ] && [ -n "$exec_start" ] || fail "no StateDirectory or ExecStart in $unit"
for s in "${states[@]}"; do
  [[ $s == *%i* ]] || fail "StateDirectory=$s is the same folder for every instance"
done
state=${states[0]}

declare -A db_of
for bay in bay1 bay2; do
  own=/var/lib/${state//%i/$bay}  # a system unit's state folders are under /var/lib
  mkdir -p "$root$own"
  [ "${workdir//%i/$bay}" = "$own" ] \
    || fail "$bay: works in ${workdir//%i/$bay}, not its state folder $own (a relative path of the site file would land there)"
  read -ra words <<<"${exec_start//%i/$bay}"
  config="" db=""
  for ((k = 0; k + 1 < ${#words[@]}; k++)); do
    case ${words[k]} in
      --config) config=${words[k + 1]} ;;
      --db) db=${words[k + 1]} ;;
    esac
  done
  [[ $db == "$own"/* ]] || fail "$bay: history ${db:-(none named)} is not in its state folder $own"
  db_of[$bay]=$db

  # Its monitor and its site file, the example's port on that monitor.
  "$sim" --pty-link "$root/$bay.pty" --seed 1 >"$root/$bay.sim.log" 2>&1 &
  sims+=($!)
  for _ in $(seq 100); do [ -e "$root/$bay.pty" ] && break; sleep 0.05; done
  [ -e "$root/$bay.pty" ] || fail "$bay: monitor-sim made no line: $(cat "$root/$bay.sim.log")"
  mkdir -p "$(dirname "$root$config")"
  sed "s|\"path\": \"[^\"]*\"|\"path\": \"$root/$bay.pty\"|" "$example" >"$root$config"

  # The unit's command, its absolute paths under the test's folder, the
  # operator's options those of a short run.
  cmd=("$bench_host")
  for w in "${words[@]:1}"; do
    case $w in
      '$BENCH_HOST_ARGS') cmd+=(--rounds 2 --plugin "$plugin") ;;
      /*) cmd+=("$root$w") ;;
      *) cmd+=("$w") ;;
    esac
  done
  (cd "$root$own" && "${cmd[@]}") >"$root/$bay.run.log" 2>&1 \
    || fail "$bay: the run failed: $(cat "$root/$bay.run.log")"
done

[ "${db_of[bay1]}" != "${db_of[bay2]}" ] || fail "both instances write ${db_of[bay1]}"
for bay in bay1 bay2; do
  runs=$("$bench_host" history --db "$root${db_of[$bay]}" --runs)
  other=$([ $bay = bay1 ] && echo bay2 || echo bay1)
  grep -q "/etc/bench-host/$bay.json" <<<"$runs" || fail "$bay: its run is not in its history: $runs"
  ! grep -q "/etc/bench-host/$other.json" <<<"$runs" || fail "$bay: $other's run is in its history: $runs"
  [ "$(grep -c "/etc/bench-host/" <<<"$runs")" -eq 1 ] || fail "$bay: not one run in its history: $runs"
done
echo "unit_instances: bay1 and bay2 each kept their own history (${db_of[bay1]}, ${db_of[bay2]})"
