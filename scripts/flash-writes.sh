#!/usr/bin/env bash
# What m520s-monitor writes to the disk per hour at the reference site,
# against what its database keeps: the program against m520s-sim (the
# reference site, default poll), write_bytes of /proc/<pid>/io (what the
# kernel sends to the disk for it) sampled after a warm-up and at the end.
#
#   scripts/flash-writes.sh [--steady] [MINUTES] [BUILD_DIR]
#
# FLASH_COMMIT_S sets "commit_s" (the default's 20 otherwise). The line also
# gives what the disk under the database received meanwhile, from every
# process: on a quiet machine that is the program and the file system's
# journal.
#
# Without --steady the database starts empty and grows: "kept" is its
# growth. With --steady it starts with a day of history and "raw_days" 1,
# so every commit also prunes as many old cycles and reuses their pages,
# as a box does once its week is full; "kept" is then the growth the same
# hour had without pruning (given by the first form).
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: scripts/flash-writes.sh [--steady] [MINUTES] [BUILD_DIR]"
case "${1:-}" in -h|--help) echo "$usage"; exit 0 ;; esac
steady=0
if [ "${1:-}" = "--steady" ]; then steady=1; shift; fi
minutes=${1:-60}
build=${2:-build}
[[ "$minutes" =~ ^[1-9][0-9]{0,3}$ ]] ||
  { echo "flash-writes: MINUTES: expected a whole number from 1 to 9999, found \"$minutes\" ($usage)" >&2; exit 2; }
[[ "${FLASH_COMMIT_S:-0}" =~ ^[0-9]{1,3}$ ]] && [ "${FLASH_COMMIT_S:-0}" -le 300 ] ||
  { echo "flash-writes: FLASH_COMMIT_S: expected a whole number from 0 to 300, found \"$FLASH_COMMIT_S\"" >&2; exit 2; }
[ -x "$build/m520s-monitor" ] && [ -x "$build/m520s-sim" ] ||
  { echo "flash-writes: no m520s-monitor and m520s-sim in $build (build them first)" >&2; exit 2; }
warm=${FLASH_WARM_S:-120}

dir=$(mktemp -d /tmp/m520s-flash-XXXXXX)
sim_pid=""
mon_pid=""
cleanup() {
  [ -n "$mon_pid" ] && kill "$mon_pid" 2>/dev/null && wait "$mon_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

"$build/m520s-sim" --pty --baud 9600 >"$dir/sim.out" 2>"$dir/sim.err" &
sim_pid=$!
for _ in $(seq 50); do grep -q '^pty: ' "$dir/sim.out" && break; sleep 0.1; done
pty=$(sed -n 's/^pty: //p' "$dir/sim.out")
[ -n "$pty" ] || { echo "flash-writes: m520s-sim gave no pty" >&2; exit 1; }

commit=${FLASH_COMMIT_S:+\"commit_s\": $FLASH_COMMIT_S}
history="{$commit}"
[ "$steady" = 1 ] && history="{\"raw_days\": 1${commit:+, $commit}}"
cat >"$dir/site.json" <<EOF
{"port": "$pty", "db": "$dir/site.db", "history": $history,
 "device": {"data_id": 1, "acSetting": [{"data_id": 11}, {"data_id": 12}],
            "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}}}
EOF

if [ "$steady" = 1 ]; then
  command -v sqlite3 >/dev/null || { echo "flash-writes: --steady needs sqlite3" >&2; exit 1; }
  # One real cycle, then a day of copies of it before now (rolled up at start,
  # before the measurement begins).
  "$build/m520s-monitor" --config "$dir/site.json" --json --cycles 1 >/dev/null
  sqlite3 "$dir/site.db" <<'SQL'
WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM k WHERE n < 34560)
INSERT INTO history(time, device, device_type, type, data, ms)
  SELECT strftime('%Y-%m-%dT%H:%M:%S', (h.ms - k.n * 2500) / 1000, 'unixepoch', 'localtime'),
         h.device, h.device_type, h.type, h.data, h.ms - k.n * 2500
  FROM k, (SELECT * FROM history ORDER BY id LIMIT 5) AS h ORDER BY k.n DESC;
-- The real cycle after its copies, as if stored last: pruning takes rows in
-- the order they were stored and stops at the first that is not yet old.
UPDATE history SET id = id + (SELECT max(id) FROM history) WHERE id <= 5;
-- Rolled up again from the rows at start.
DELETE FROM rollup;
SQL
fi

"$build/m520s-monitor" --config "$dir/site.json" --json >/dev/null 2>"$dir/mon.err" &
mon_pid=$!
written() { awk '/^write_bytes:/ {print $2}' "/proc/$mon_pid/io"; }
# write_bytes counts a whole page-cache folio however little of it changed;
# the disk gets the blocks that did.
dev=$(basename "$(df --output=source "$dir" | tail -1)")
disk() { [ -r "/sys/class/block/$dev/stat" ] && awk '{printf "%.0f\n", $7 * 512}' "/sys/class/block/$dev/stat" || echo 0; }
# What the file holds, journal included: the page count a reader sees.
size() { sqlite3 "$dir/site.db" "SELECT page_count * page_size FROM pragma_page_count(), pragma_page_size()"; }

sleep "$warm"
w0=$(written); d0=$(disk); s0=$(size); t0=$(date +%s)
sleep $((minutes * 60))
w1=$(written); d1=$(disk); s1=$(size); t1=$(date +%s)
cycles=$(sqlite3 "$dir/site.db" "SELECT count(*) / 5 FROM history WHERE ms >= ($t0 * 1000)" 2>/dev/null || echo "?")

awk -v w="$((w1 - w0))" -v d="$((d1 - d0))" -v dev="$dev" -v s="$((s1 - s0))" -v t="$((t1 - t0))" -v c="$cycles" -v steady="$steady" 'BEGIN {
  h = t / 3600
  printf "over %.0f s (%s cycles): written %.2f MB/h, database grew %.2f MB/h", t, c, w / h / 1e6, s / h / 1e6
  if (d > 0) printf ", disk %s received %.2f MB/h (all processes)", dev, d / h / 1e6
  if (!steady && s > 0) printf ", written / kept = %.2f", w / s
  printf "\n"
}'
