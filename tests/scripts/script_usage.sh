#!/usr/bin/env bash
# The project's scripts asked for help or given words that are not what
# they take: each answers with its usage and the right status before it
# builds, runs or deletes anything.  The demo runs from a copy in a folder
# of its own, beside a previous demo's history and report that must
# survive.
#
#   script_usage.sh SOURCE_DIR
set -uo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts" "$work/build/demo"
cp "$src/scripts/demo.sh" "$work/scripts/"
failed=0

# script | arguments | status | a text its output holds
while IFS='|' read -r script args status text; do
  [ -n "$script" ] || continue
  for kept in history.sqlite report.html report.json; do echo before >"$work/build/demo/$kept"; done
  case $script in
    demo) path=$work/scripts/demo.sh ;;
    *) path=$src/scripts/$script.sh ;;
  esac
  read -ra words <<<"$args"
  out=$(bash "$path" "${words[@]}" 2>&1)
  got=$?
  what="$script.sh $args"
  [ "$got" -eq "$status" ] || { echo "FAIL $what: status $got, not $status"; failed=1; }
  grep -qF -- "$text" <<<"$out" || { echo "FAIL $what: its output does not say \"$text\":"; echo "$out"; failed=1; }
  for kept in history.sqlite report.html report.json; do
    [ "$(cat "$work/build/demo/$kept" 2>/dev/null)" = before ] \
      || { echo "FAIL $what: the previous demo's $kept is gone"; failed=1; }
  done
done <<'TABLE'
demo|--help|0|[SECONDS] [PORT]
demo|-h|0|Exit
demo|abc|2|SECONDS must be a whole number
demo|0|2|SECONDS must be a whole number
demo|10 http|2|PORT must be a port number
demo|10 70000|2|PORT must be a port number
demo|10 8029 more|2|at most SECONDS and PORT
test|--help|0|about 20 minutes
test|--help|0|Needs root, or sudo
test|--help|0|Exit status: 0 every step passed; 2 a usage error
test|--step nosuch|2|no step 'nosuch'
test|--quik|2|unknown option --quik
TABLE
exit "$failed"
