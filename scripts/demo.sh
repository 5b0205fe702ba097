#!/usr/bin/env bash
# Builds what the demo needs and starts it: m520s-monitor against the
# simulated reference site on a pseudo-terminal. Ctrl-C ends it.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build >/dev/null
cmake --build build -j2 --target m520s m520s-monitor m520s-sim
exec build/m520s-monitor "$@"
