#!/usr/bin/env bash
# Builds what the demo needs and starts it: m520s-monitor against the
# simulated reference site on a pseudo-terminal. Ctrl-C ends it. The demo's
# database, m520s-demo.db, goes to the directory it is started from.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j2 --target m520s m520s-monitor m520s-sim
exec "$root/build/m520s-monitor"
