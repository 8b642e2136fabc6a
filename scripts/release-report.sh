#!/usr/bin/env bash
# The controller's release artefact: builds the mipsel upsbattery_29.so (or
# takes the one given), strips a copy into build/release/ and reports what
# the controller will load: size (failing above the size budget), needed
# libraries, SONAME, exported symbols, and the oldest C and C++ runtime it
# can load with (the newest GLIBC, GLIBCXX and CXXABI symbol versions it
# asks for, and the symbols that ask for them).  What ships is the stripped
# library, its SHA-256 (upsbattery_29.so.sha256, as sha256sum -c reads it)
# and this report (release-report.txt), side by side in build/release/.
#
#   scripts/release-report.sh                build with the mipsel preset first
#   scripts/release-report.sh PATH/TO/upsbattery_29.so
#
# The cross binutils are the ones the library's build used (its
# CMakeCache.txt), else Debian's mipsel-linux-gnu-*: scripts/setup.sh --cross.
# UPSB_SIZE_BUDGET (bytes, default 150000) is the most the stripped library
# may weigh.
set -euo pipefail
cd "$(dirname "$0")/.."

budget=${UPSB_SIZE_BUDGET:-150000}
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

# The build's own binutils, so that an SDK's build is read with the SDK's tools.
cache="$(dirname "$lib")/CMakeCache.txt"
tool() {  # NAME -> the build's CMAKE_<NAME>, or Debian's mipsel tool
  local path=""
  [ -f "$cache" ] && path=$(sed -n "s/^CMAKE_$1:FILEPATH=//p" "$cache")
  case "$path" in
    *mips*) echo "$path" ;;
    *) echo "mipsel-linux-gnu-$(tr '[:upper:]' '[:lower:]' <<<"$1")" ;;
  esac
}
readelf=$(tool READELF)
nm=$(tool NM)
strip=$(tool STRIP)
objdump=$(tool OBJDUMP)
size=$(tool SIZE)

# Refuse a library for another machine: the report is about the controller's.
header=$("$readelf" -h "$lib")
grep -q 'Class:.*ELF32' <<<"$header" && grep -q 'little endian' <<<"$header" \
  && grep -q 'Machine:.*MIPS' <<<"$header" \
  || { echo "release-report: $lib is not a 32-bit little-endian MIPS library" >&2; exit 1; }

# One stripped copy per build folder: build/release/<build>/upsbattery_29.so
# (build/release/upsbattery_29.so for the mipsel preset's).
build_name=$(basename "$(dirname "$(realpath "$lib")")")
out_dir=build/release
[ "$build_name" = mipsel ] || out_dir="build/release/$build_name"
mkdir -p "$out_dir"
out="$out_dir/upsbattery_29.so"
# Everything not needed to load and link it goes: symbol tables, debug
# information, comments, the MIPS procedure descriptors (.pdr, read by
# debuggers only).  The dynamic symbols and the build-id note stay, so that a
# core dump from the controller can be matched with the unstripped library.
"$strip" --strip-unneeded -R .comment -R .pdr -o "$out" "$lib"

(cd "$out_dir" && sha256sum upsbattery_29.so >upsbattery_29.so.sha256)
# Everything printed from here on is also the shipped report.
exec > >(tee "$out_dir/release-report.txt")

stripped=$(stat -c %s "$out")
dynamic=$("$readelf" -d "$out")
echo "library:  $out (from $lib)"
compiler_info=$(cat "$(dirname "$lib")"/CMakeFiles/*/CMakeCXXCompiler.cmake 2>/dev/null || true)
echo "compiler: $(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")/\1/p' <<<"$compiler_info")" \
  "$(sed -n 's/^set(CMAKE_CXX_COMPILER_VERSION "\(.*\)")/\1/p' <<<"$compiler_info")"
echo "sha256:   $(cut -d' ' -f1 "$out.sha256")"
echo "size:     $stripped bytes stripped ($(stat -c %s "$lib") before); budget $budget"
echo "SONAME:   $(sed -n 's/.*Library soname: \[\(.*\)\]/\1/p' <<<"$dynamic")"
echo "NEEDED:"
sed -n 's/.*Shared library: \[\(.*\)\]/  \1/p' <<<"$dynamic"
echo "exported (defined dynamic symbols):"
"$nm" -D --defined-only "$out" | awk '{print "  " $NF}' | sort

# The runtime the controller must have: for each versioned library, the
# newest version the library's undefined symbols name, and which symbols.
echo "oldest runtime it loads with (newest symbol version asked of each):"
versions=$("$objdump" -T "$out" | awk '$0 ~ /\*UND\*/ {
  for (i = 1; i <= NF; i++) if ($i ~ /^\(?(GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+\)?$/) {
    v = $i; gsub(/[()]/, "", v); print v, $NF; break } }')
for family in GLIBC GLIBCXX CXXABI GCC; do
  newest=$(awk -v f="$family" '{ split($1, p, "_"); if (p[1] == f) print $1 }' <<<"$versions" |
    sort -uV | tail -n 1)
  [ -n "$newest" ] || continue
  symbols=$(awk -v v="$newest" '$1 == v { print $2 }' <<<"$versions" | sort -u |
    while read -r s; do
      d=$(c++filt "$s")
      if [ "$d" = "$s" ]; then echo "$s"; else echo "$s ($d)"; fi
    done)
  echo "  $newest, asked by:"
  sed 's/^/    /' <<<"$symbols"
done

echo "sections (bytes):"
"$size" -A "$out" | awk '$2 > 0 && $1 ~ /^\./ {printf "  %-22s %8d\n", $1, $2}'

if ((stripped > budget)); then
  echo "release-report: $out is $stripped bytes, over the budget of $budget" >&2
  exit 1
fi
