#!/usr/bin/env bash
# The controller's release artefact: builds the mipsel upsbattery_29.so (or
# takes the one given), strips a copy into build/release/upsbattery_29.so and
# reports what the controller will load: size, needed libraries, SONAME and
# exported symbols.
#
#   scripts/release-report.sh                build with the mipsel preset first
#   scripts/release-report.sh PATH/TO/upsbattery_29.so
#
# Needs the cross build's tools: scripts/setup.sh --cross.
set -euo pipefail
cd "$(dirname "$0")/.."

triplet=mipsel-linux-gnu
if (($# > 1)); then
  echo "usage: $0 [upsbattery_29.so]" >&2
  exit 2
fi
if (($# == 1)); then
  lib="$1"
else
  cmake --preset mipsel >/dev/null
  cmake --build --preset mipsel --target upsbattery_29 -j"$(nproc)"
  lib=build/mipsel/upsbattery_29.so
fi
[ -f "$lib" ] || { echo "release-report: no library at $lib" >&2; exit 1; }

readelf="$triplet-readelf"
nm="$triplet-nm"
strip="$triplet-strip"

# Refuse a library for another machine: the report is about the controller's.
header=$("$readelf" -h "$lib")
grep -q 'Class:.*ELF32' <<<"$header" && grep -q 'little endian' <<<"$header" \
  && grep -q 'Machine:.*MIPS' <<<"$header" \
  || { echo "release-report: $lib is not a 32-bit little-endian MIPS library" >&2; exit 1; }

mkdir -p build/release
out=build/release/upsbattery_29.so
# Everything not needed to load and link it goes: symbol tables, debug
# information, comments, the MIPS procedure descriptors (.pdr, read by
# debuggers only).  The dynamic symbols and the build-id note stay, so that a
# core dump from the controller can be matched with the unstripped library.
"$strip" --strip-unneeded -R .comment -R .pdr -o "$out" "$lib"

dynamic=$("$readelf" -d "$out")
echo "library:  $out (from $lib)"
echo "size:     $(stat -c %s "$out") bytes stripped ($(stat -c %s "$lib") before)"
echo "SONAME:   $(sed -n 's/.*Library soname: \[\(.*\)\]/\1/p' <<<"$dynamic")"
echo "NEEDED:"
sed -n 's/.*Shared library: \[\(.*\)\]/  \1/p' <<<"$dynamic"
echo "exported (defined dynamic symbols):"
"$nm" -D --defined-only "$out" | awk '{print "  " $NF}' | sort
echo "sections (bytes):"
"$triplet-size" -A "$out" | awk '$2 > 0 && $1 ~ /^\./ {printf "  %-22s %8d\n", $1, $2}'
