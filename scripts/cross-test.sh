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
# Even under qemu most tests wait on a line or a timer: four at a time.
jobs=${M520S_TEST_JOBS:-4}
case "$jobs" in
  ""|*[!0-9]*|0) echo "cross-test: M520S_TEST_JOBS must be a positive whole number, got '$jobs'" >&2; exit 2 ;;
esac

bash scripts/install-cross-deps.sh "$arch"

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/packaging/toolchain-$arch.cmake" \
    -DM520S_BENCH=OFF -DM520S_WERROR=ON >/dev/null
cmake --build "$build" -j2

# The tests start the programs through the wrappers the build made (no
# binfmt_misc here); a monitor that starts the simulator itself finds it
# through M520S_SIM.
wrappers=$PWD/$build/qemu-wrappers
[ ! -x "$wrappers/m520s-sim" ] || export M520S_SIM="$wrappers/m520s-sim"

# qemu runs the code several times slower: the per-test limit of ctest
# grows, and so do the few time bounds the tests keep.
export M520S_TIME_SCALE=${M520S_TIME_SCALE:-6}
ctest --test-dir "$build" -j"$jobs" --timeout 300 --output-on-failure | tee "$build/cross-test.log"
