#!/usr/bin/env bash
# Cross-builds for armhf or arm64 into build-<arch>/ and runs every test there
# under qemu-user: the unit tests, the plug-in through dlopen, and the
# programs' own tests when they are part of the tree.
# Usage: scripts/cross-test.sh armhf|arm64
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: scripts/cross-test.sh armhf|arm64" >&2; exit 2; }
[ $# -eq 1 ] || usage
case "$1" in
    arm64) qemu=qemu-aarch64 ;;
    armhf) qemu=qemu-arm ;;
    -h|--help) echo "usage: scripts/cross-test.sh armhf|arm64"; exit 0 ;;
    *) echo "cross-test: unknown architecture '$1'" >&2; usage ;;
esac
arch=$1
build=build-$arch

bash scripts/install-cross-deps.sh "$arch"

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/packaging/toolchain-$arch.cmake" \
    -DM520S_BENCH=OFF >/dev/null
cmake --build "$build" -j2

# No binfmt_misc here: a test that starts one of the programs must start it
# through qemu. Each program gets a host-side wrapper, which the tests find
# through the variables the programs already honour.
wrappers=$PWD/$build/qemu-wrappers
mkdir -p "$wrappers"
for program in m520s-sim m520s-monitor; do
    if [ -x "$build/$program" ]; then
        printf '#!/bin/sh\nexec %s %q "$@"\n' "$qemu" "$PWD/$build/$program" >"$wrappers/$program"
        chmod +x "$wrappers/$program"
    fi
done
[ -x "$wrappers/m520s-sim" ] && export M520S_SIM="$wrappers/m520s-sim"
[ -x "$wrappers/m520s-monitor" ] && export M520S_MONITOR="$wrappers/m520s-monitor"

# qemu runs the code several times slower; time-outs in the tests stay as
# they are, the per-test limit of ctest grows.
ctest --test-dir "$build" -j2 --timeout 300 --output-on-failure | tee "$build/cross-test.log"
