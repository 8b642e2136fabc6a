#!/usr/bin/env bash
# Installs what the build needs from Debian's packages, only what is missing.
# Safe to run again; needs root (or sudo) only when something is missing.
#
#   scripts/setup.sh            native build, tests and tools
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libjsoncpp-dev            # device configuration (Json::Value)
  libboost-dev              # lexical_cast, and the headers of Date_Time
  libboost-date-time-dev    # posix_time clocks and durations
  libgtest-dev libgmock-dev # unit tests
  binutils                  # nm/readelf for the export check
  libsqlite3-dev            # bench host: history and alarms
  libcli11-dev              # bench tools: command-line arguments
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all build dependencies present"
fi
