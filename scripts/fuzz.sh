#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds every fuzz target of fuzz/ with clang-14,
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, and runs each
# for SECONDS (default 60) from its seed corpus in fuzz/corpus/<target>/.
# Prints libFuzzer's closing line per target. A crash fails the script and
# prints the crashing input as a hex dump.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
build=${VEXD_FUZZ_BUILD:-$here/build-fuzz}

bash "$here/scripts/install-deps.sh" fuzz
CC=clang-14 CXX=clang++-14 cmake -S "$here/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice -n 10 cmake --build "$build" -j2

work=$(mktemp -d "${TMPDIR:-/tmp}/vexd-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The targets write their scratch files here; a RAM disk when there is one.
scratch=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm

failed=0
for src in "$here"/fuzz/fuzz_*.cpp; do
    t=$(basename "$src" .cpp)
    mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
    log="$work/$t/log"
    rc=0
    TMPDIR=$scratch ASAN_OPTIONS=detect_leaks=1 "$build/$t" -max_total_time="$secs" -timeout=10 \
        -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/" \
        "$work/$t/corpus" "$here/fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    done_line=$(grep -E '^Done [0-9]+ runs' "$log" | tail -1 || true)
    if [ "$rc" -eq 0 ] && [ -n "$done_line" ]; then
        echo "fuzz: $t: $done_line"
        continue
    fi
    failed=1
    echo "fuzz: $t FAILED (exit $rc, ${runs:-?} runs); its log:"
    grep -v -E '^#[0-9]+' "$log" | tail -60
    for a in "$work/$t/artifacts"/*; do
        [ -e "$a" ] || continue
        echo "fuzz: $t: crashing input $(basename "$a") ($(stat -c %s "$a") bytes):"
        od -A x -t x1z -v "$a" | head -256
    done
done
[ "$failed" -eq 0 ] && echo "fuzz: all targets passed" || echo "fuzz: some targets FAILED"
exit "$failed"
