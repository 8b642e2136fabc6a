#!/usr/bin/env bash
# Installs what the build needs from Debian's packages, only what is missing.
# Safe to run again; needs root (or sudo) only when something is missing.
#
#   scripts/setup.sh            native build and tests of the plug-in (the
#                               tools configure only with --web as well)
#   scripts/setup.sh --cross    also the controller's build: the mipsel cross
#                               compilers (g++ 12 and 11), qemu-user to run the
#                               tests, and the target's libraries (Debian
#                               multiarch, mipsel)
#   scripts/setup.sh --bench    also Google Benchmark and valgrind (callgrind)
#   scripts/setup.sh --fuzz     also clang with libFuzzer and the sanitizers, and lld
#                               (the sanitizer trees compile with clang too)
#   scripts/setup.sh --web      also what bench-host's web page is built
#                               with: the chart library (npm ci, pinned by
#                               package-lock.json); the tools need it to
#                               configure
#   scripts/setup.sh --web-tests
#                               --web, and what the page is tested with:
#                               Prometheus' tools, headless Chromium and its
#                               driver, Selenium (test-only; Debian's
#                               prometheus package also enables its service)
#   scripts/setup.sh --package  also what the Debian package is made and
#                               checked with: help2man (the manual pages),
#                               lintian, systemd (systemd-analyze verify)
set -euo pipefail

cross=0
web=0
web_tests=0
extra=()
for arg in "$@"; do
  case "$arg" in
    --cross) cross=1 ;;
    --bench) extra+=(libbenchmark-dev valgrind) ;;
    --fuzz) extra+=(clang libclang-rt-14-dev lld) ;;  # also the C++11 check with clang; lld links the sanitizer trees
    --web) web=1 ;;
    --web-tests) web=1; web_tests=1 ;;
    --package) extra+=(help2man lintian systemd) ;;
    -h|--help) sed -n "2,$(($(grep -n '^set -euo' "$0" | cut -d: -f1) - 1))p" "$0"; exit 0 ;;
    *) echo "setup: unknown option $arg" >&2; exit 2 ;;
  esac
done

packages=(
  build-essential cmake pkg-config
  ccache                    # every tree compiles through it: a second build, or a CI machine keeping its cache, compiles only what changed
  libjsoncpp-dev            # device configuration (Json::Value)
  libboost-dev              # lexical_cast, the headers of Date_Time; Beast and Asio (the web server)
  libboost-date-time-dev    # posix_time clocks and durations
  libgtest-dev libgmock-dev # unit tests
  binutils                  # nm/readelf for the export check
  valgrind                  # the memory check of the plug-in's host test
  libsqlite3-dev            # bench host: history and alarms
  libcli11-dev              # bench tools: command-line arguments
  libncurses-dev            # bench host: the live view of bench-host run (ncursesw)
  libvterm-dev              # bench host tests: the live view read off a terminal emulator
  faketime                  # bench host: steps of the wall clock during a run (libfaketime)
  libssl-dev                # bench host: SHA-256 of the loaded plug-in (libcrypto EVP)
  locales                   # unit tests: a decimal-comma locale compiled with localedef
)

# The controller's build.  Tools run on this machine (compiler, binutils,
# qemu); libraries come for the target architecture.  Boost is not among the
# target's packages: the parts used are header-only, and the native
# libboost-dev headers serve both builds (libboost-date-time-dev:mipsel cannot
# be installed next to the native C library's development files anyway).
# Never add gcc-multilib here: it removes the cross compilers.
cross_tools=(
  g++-mipsel-linux-gnu      # compiler, binutils (strip, nm, readelf)
  g++-11-mipsel-linux-gnu   # a second, older compiler: the library builds and
                            # passes with the toolchain generation controllers ship
  qemu-user                 # qemu-mipsel runs the tests
)
cross_libs=(
  libjsoncpp-dev:mipsel     # links against the controller's libjsoncpp.so.25
  libgtest-dev:mipsel libgmock-dev:mipsel
  pkgconf:mipsel            # mipsel-linux-gnu-pkg-config
)

# bench-host's web page and metrics are built with Boost (Beast, Asio:
# libboost-dev above) and the chart library (npm, below); what they are
# tested with comes only with --web-tests.
web_test_packages=(
  prometheus                # promtool check metrics, and a real server scraping /metrics in the tests
  chromium chromium-driver  # the pages tested in a real, headless browser
  python3-selenium          # drives it from the test suite (Debian's /usr/bin/python3)
  fonts-wqy-zenhei          # a CJK font, so the cells' Chinese labels render in the browser (screenshots)
  curl                      # scripts/web-soak.sh: the /metrics scrape loop and the event streams
  heaptrack                 # scripts/web-soak.sh with SOAK_WRAP=heaptrack: where the run's memory goes
  poppler-utils             # pdftoppm, pdfinfo, pdftotext: the pages of bench-host report --pdf checked in the tests
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
apt_updated=0

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Installs the missing ones of the named packages.  Extra apt-get options
# may follow a "--".
install_missing() {
  local what=() opts=() seen_sep=0
  for p in "$@"; do
    if [ "$p" = "--" ]; then seen_sep=1; continue; fi
    if ((seen_sep)); then opts+=("$p"); else what+=("$p"); fi
  done
  local missing=()
  for p in "${what[@]}"; do installed "$p" || missing+=("$p"); done
  ((${#missing[@]})) || return 0
  echo "setup: installing ${missing[*]}"
  if ((!apt_updated)); then
    $SUDO apt-get update -qq
    apt_updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    "${opts[@]}" "${missing[@]}"
}

install_missing "${packages[@]}" ${extra[@]+"${extra[@]}"}

if ((cross)); then
  install_missing "${cross_tools[@]}"
  if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    echo "setup: adding the mipsel architecture"
    $SUDO dpkg --add-architecture mipsel
    apt_updated=0   # the package lists must now include mipsel
  fi
  # --no-remove: if the target's libraries cannot sit beside what is
  # installed (a version skew between the architectures), fail instead of
  # letting apt remove native packages to make room.
  install_missing "${cross_libs[@]}" -- --no-remove
fi

if ((web)); then
  if ((web_tests)); then install_missing "${web_test_packages[@]}"; fi
  # npm comes with NodeSource's nodejs; Debian's nodejs needs its npm.
  command -v node >/dev/null || install_missing nodejs
  command -v npm >/dev/null || install_missing npm
  # The chart library the pages embed at build time: exactly the version
  # and bytes package-lock.json pins (integrity hash), no install scripts.
  web_dir="$(cd "$(dirname "$0")/.." && pwd)/tools/bench-host/web"
  locked_installed='const lock = require("./package-lock.json").packages["node_modules/uplot"];
    let have = null; try { have = require("./node_modules/uplot/package.json").version; } catch (e) {}
    process.exit(have === lock.version ? 0 : 1);'
  if ! (cd "$web_dir" && node -e "$locked_installed"); then
    echo "setup: npm ci in $web_dir"
    (cd "$web_dir" && npm ci --ignore-scripts --no-audit --no-fund)
  fi
fi

echo "setup: all build dependencies present$( ((cross)) && echo ', mipsel cross build included')$( ((web)) && echo ', web page included')$( ((web_tests)) && echo ' with its test tools')"
