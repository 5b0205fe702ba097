#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each one
# for SECONDS (default 60) from its committed corpus and seeds, FUZZ_JOBS
# (default 2) of them at a time, each on a core of its own. A crash, a
# sanitizer report, a failed check or a hang fails the run; the input that
# did it is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: scripts/fuzz-smoke.sh [SECONDS]   (default 60 per target)"; }
case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  "") secs=60 ;;
  *[!0-9]*|0) echo "fuzz-smoke: SECONDS must be a positive whole number, got '$1'" >&2; usage >&2; exit 2 ;;
  *) secs=$1 ;;
esac
[ $# -le 1 ] || { echo "fuzz-smoke: one argument at most" >&2; usage >&2; exit 2; }
# Each fuzzer runs on one core: two at a time take half as long.
jobs=${FUZZ_JOBS:-2}
case "$jobs" in
  ""|*[!0-9]*|0) echo "fuzz-smoke: FUZZ_JOBS must be a positive whole number, got '$jobs'" >&2; exit 2 ;;
esac
command -v clang++ >/dev/null || { echo "fuzz-smoke: clang++ not found (scripts/install-deps.sh installs it)" >&2; exit 1; }

targets=()
for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DM520S_FUZZ=ON -DM520S_WERROR=ON -DM520S_TESTS=OFF -DM520S_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 --target "${targets[@]}"

mkdir -p build-fuzz/artifacts
# Run in the background: the fuzzer takes the place of its subshell, so the
# PID waited for and stopped is the fuzzer itself.
run_one() {
  local t=$1 seeds max_len work log d inputs=()
  case "$t" in
    frame_receiver_fuzz) seeds=fuzz/seeds; max_len=12000 ;;
    *) seeds=fuzz/seeds/${t%_fuzz}; max_len=4096 ;;
  esac
  for d in "fuzz/corpus/$t" "$seeds"; do [ -d "$d" ] && inputs+=("$d"); done
  # New inputs go to a scratch directory, never into the committed corpus.
  work=build-fuzz/smoke/$t
  rm -rf "$work" && mkdir -p "$work"
  log=build-fuzz/smoke/$t.log
  echo "fuzz-smoke: $t for ${secs}s from ${inputs[*]}"
  exec build-fuzz/fuzz/"$t" -max_total_time="$secs" -max_len="$max_len" -use_value_profile=1 -timeout=30 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$t-" "$work" "${inputs[@]}" >"$log" 2>&1
}
report() {  # target, its exit status
  local log=build-fuzz/smoke/$1.log
  if [ "$2" -eq 0 ]; then
    echo "fuzz-smoke: $1 done"
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$log" | sed "s/^/  /"
  else
    echo "fuzz-smoke: $1 FAILED; last lines of $log:" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
}
status=0
pids=()
names=()
wait_batch() {
  local i rc
  for i in "${!pids[@]}"; do rc=0; wait "${pids[$i]}" || rc=$?; report "${names[$i]}" $rc; done
  pids=()
  names=()
}
trap 'kill "${pids[@]}" 2>/dev/null; echo "fuzz-smoke: stopped" >&2; exit 130' INT TERM
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  [ ${#pids[@]} -lt "$jobs" ] || wait_batch
done
wait_batch
exit $status
