#!/usr/bin/env bash
# Builds from a clean tree and runs every test. With --sanitize the same suite
# runs under AddressSanitizer and UndefinedBehaviorSanitizer; any report fails it.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
flags=(-DM520S_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags+=(-DM520S_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi

cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j2
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
ctest --test-dir "$build" -j2 --output-on-failure
