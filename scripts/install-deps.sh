#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# fuzz smoke run need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  libjsoncpp-dev libboost-dev libboost-date-time-dev libfmt-dev libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  libmosquitto-dev libsystemd-dev mosquitto mosquitto-clients openssl
  # the monitor's HTTP server, its password hashes and the dashboard's charts
  libcpp-httplib-dev libssl-dev libcrypt-dev libjs-chart.js
  # the dashboard's browser tests and the metrics scrape test
  chromium chromium-driver python3-selenium prometheus fonts-wqy-microhei
  # the Debian package and its install test: systemd booted in a container
  # (systemd-nspawn) on an overlay of this machine, sqlite3 to read its database (and for
  # scripts/flash-writes.sh --steady),
  # pgrep and man, which a minimal image lacks
  debhelper dpkg-dev fakeroot lintian systemd adduser systemd-container sqlite3 procps man-db
  # the fuzz smoke run (libFuzzer)
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
