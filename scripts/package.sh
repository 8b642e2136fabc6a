#!/usr/bin/env bash
# The Debian package of the bench tools, made and proved as an operator
# would meet it: built by CPack from a tree of its own that holds only what
# the package ships (package preset: no tests, no example host; CPack
# builds the whole tree before it installs it), checked by lintian (no
# error, and hardened: no hardening tag), every program and library bound
# at start (readelf: BIND_NOW), installed with dpkg, the installed
# bench-host asked its version and run for a few rounds against the
# installed monitor-sim (with rounds kept for a day, so the pruner starts),
# the service unit checked with systemd-analyze verify.  The package is
# removed again at the end unless KEEP_PACKAGE=1.  Needs root (or sudo) to
# install.
#
#   scripts/package.sh              prints the package's path last
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
bash scripts/setup.sh --web --package
cmake --preset package >/dev/null
cmake --build --preset package -j"$(nproc)"
rm -rf build/package
cpack --config build/package-tree/CPackConfig.cmake -B build/package
deb=$(ls build/package/bench-host_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "package: lintian $deb"
lint=$(lintian --fail-on error --display-info "$deb") || { echo "$lint"; exit 1; }
echo "$lint"
# Lintian only informs of a program built without the hardening flags;
# here it is an error.
if grep "hardening-" <<<"$lint"; then echo "package: not hardened"; exit 1; fi
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
for elf in "$unpacked"/usr/bin/* $(find "$unpacked/usr/lib" -name '*.so*'); do
  readelf -d "$elf" | grep -q BIND_NOW || { echo "package: ${elf#"$unpacked"} is not bound at start"; exit 1; }
  echo "package: ${elf#"$unpacked"}: $(readelf -d "$elf" | grep FLAGS | tr -s ' ' | paste -sd';')"
done
rm -rf "$unpacked"

echo "package: dpkg -i $deb"
$SUDO dpkg -i "$deb"
cleanup() {
  kill "${sim_pid:-}" 2>/dev/null || true
  rm -rf "$work"
  [ "${KEEP_PACKAGE:-0}" = 1 ] || $SUDO dpkg --purge bench-host >/dev/null
}
work=$(mktemp -d)
trap cleanup EXIT

/usr/bin/bench-host --version | grep -qx "bench-host $(sed -n 's/^project(upsbattery29 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
/usr/bin/monitor-sim --version
man -w bench-host monitor-sim bench-host-run bench-host-history bench-host-report bench-host-baseline \
  bench-host-replay bench-host-site
# A command's page holds its options and where its files are.
man bench-host-run 2>/dev/null | grep -q -- "--keep-rounds-days"
man bench-host-run 2>/dev/null | grep -q "^FILES"
man 5 bench-host-site 2>/dev/null | grep -q "float_settle_s"
for doc in README.md README.bench-host.md alerts.yml; do [ -s "/usr/share/doc/bench-host/$doc" ]; done

# A short run of the installed tools: the installed example site file, its
# port the simulator's link, the plug-in found where the package put it.
/usr/bin/monitor-sim --pty-link "$work/monitor.pty" >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$work/monitor.pty" ] && break; sleep 0.05; done
sed "s|/run/monitor-sim/monitor.pty|$work/monitor.pty|" /usr/share/doc/bench-host/examples/site.json >"$work/site.json"
(cd "$work" && /usr/bin/bench-host run --config site.json --db history.sqlite --rounds 3 --keep-rounds-days 1) \
  | tee "$work/run.log"
grep -q "/usr/lib/bench-host/plugin/upsbattery_29.so" "$work/run.log"
[ "$(/usr/bin/bench-host history --db "$work/history.sqlite" --csv | wc -l)" -ge 4 ]

echo "package: systemd-analyze verify bench-host@example.service"
# Any complaint about the unit fails, not only those systemd calls errors.
verdict=$(systemd-analyze verify /lib/systemd/system/bench-host@.service "bench-host@example.service" 2>&1) \
  || { echo "$verdict"; exit 1; }
[ -z "$verdict" ] || { echo "$verdict"; exit 1; }
echo "package: $deb"
