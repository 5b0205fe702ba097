#!/usr/bin/env bash
# Builds from a clean tree and runs every test. With --sanitize the same suite
# runs under AddressSanitizer and UndefinedBehaviorSanitizer; with --tsan the
# tests of the monitor and of MQTT (the program's threads) run under
# ThreadSanitizer. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
flags=(-DM520S_WERROR=ON)
# Most tests wait on lines, simulators and timers rather than on a core, so
# four at a time on two cores finish in half the time of two.
jobs=${M520S_TEST_JOBS:-4}
case "$jobs" in
  ""|*[!0-9]*|0) echo "test.sh: M520S_TEST_JOBS must be a positive whole number, got '$jobs'" >&2; exit 2 ;;
esac
targets=()
tests=()
case "${1:-}" in
  "") ;;
  --sanitize)
    build=build-asan
    # The benchmarks are built (and checked) by the plain run; they are not tests.
    flags+=(-DM520S_SANITIZE=ON -DM520S_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
    # Instrumented code runs several times slower: the few time bounds the
    # tests keep grow with it.
    export M520S_TIME_SCALE=${M520S_TIME_SCALE:-4} ;;
  --tsan)
    build=build-tsan
    flags+=(-DM520S_TSAN=ON -DM520S_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    targets=(--target monitor_tests mqtt_tests m520s-monitor m520s-sim m520s)
    tests=(-L monitor)
    export M520S_TIME_SCALE=${M520S_TIME_SCALE:-4} ;;
  *) echo "usage: scripts/test.sh [--sanitize|--tsan]" >&2; exit 2 ;;
esac

cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j2 "${targets[@]}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
ctest --test-dir "$build" -j"$jobs" --output-on-failure "${tests[@]}"
