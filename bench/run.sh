#!/usr/bin/env bash
# run.sh [BUILD_DIR] [--full] [FIGURE...]: runs every benchmark (or only the
# numbered figures) against a plain build (default build/, made by
# scripts/build.sh plain) and prints one summary table. The ring figures (9,
# 10) run with ordinary fsyncs and with every fsync of the daemon delayed by
# 100 ms; --full adds 20 ms. Benchmarks report figures; they never fail on
# timing. A piece that cannot run (not built, no root for the simulated
# handset) is reported and skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
if [ $# -gt 0 ] && [ "$1" != --full ] && ! [[ $1 =~ ^[0-9]+$ ]]; then
    build=$1
    shift
fi
if [ ! -d "$build" ]; then
    echo "run.sh: no build folder $build; build first (scripts/build.sh plain)" >&2
    exit 1
fi
exec python3 "$here/bench/bench.py" "$build" "$@"
