#!/usr/bin/env bash
# The service unit as systemd reads it: systemd-analyze verify on the
# template and an instance of it, with bench-host at the build's path (the
# unit names the installed one).  Any line it prints fails the test, not
# only what it calls an error: an unknown key or a value it cannot parse is
# only a warning to it, and the setting is then silently not applied.
# Exit 77 (skipped) where this machine has no systemd-analyze or cannot
# verify units (a container without systemd's libraries).
#
#   verify_unit.sh UNIT BENCH_HOST
set -u
unit=$1 bench_host=$2
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze here: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
name=$(basename "$unit")
sed "s|/usr/bin/bench-host|$bench_host|g" "$unit" >"$work/$name"
# Can this machine verify at all?  A unit known to be right is the probe.
printf '[Service]\nExecStart=/bin/true\n' >"$work/probe.service"
systemd-analyze verify --man=no "$work/probe.service" >/dev/null 2>&1 \
  || { echo "systemd-analyze cannot verify units here: skipped"; exit 77; }
out=$(systemd-analyze verify --man=no "$work/$name" "${name/@./@bay1.}" 2>&1)
status=$?
[ -z "$out" ] || echo "$out"
[ "$status" -eq 0 ] && [ -z "$out" ]
