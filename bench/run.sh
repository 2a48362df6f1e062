#!/usr/bin/env bash
# run.sh [BUILD_DIR [FIGURE...]]: runs every benchmark (or only the numbered
# figures) against a plain build (default build/, made by scripts/build.sh
# plain) and prints one summary table. Benchmarks report figures; they never
# fail on timing. A piece that cannot run (not built, no root for the
# simulated handset) is reported and skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
if [ ! -d "$build" ]; then
    echo "run.sh: no build folder $build; build first (scripts/build.sh plain)" >&2
    exit 1
fi
exec python3 "$here/bench/bench.py" "$build" "${@:2}"
