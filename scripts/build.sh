#!/usr/bin/env bash
# build.sh [plain|asan|tsan|release] [TARGET...]: configures and builds into
# build/, build-asan/, build-tsan/ or build-release/: every target, or only
# those named. Warnings are errors in all of them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-plain}
case "$kind" in
    plain)   dir=build;         san="";      type=RelWithDebInfo ;;
    asan)    dir=build-asan;    san=address; type=RelWithDebInfo ;;
    tsan)    dir=build-tsan;    san=thread;  type=RelWithDebInfo ;;
    release) dir=build-release; san="";      type=Release ;;
    *) echo "build.sh: unknown build kind $kind" >&2; exit 2 ;;
esac
cmake -S "$here" -B "$here/$dir" -DCMAKE_BUILD_TYPE="$type" -DVEXD_SANITIZE="$san" -DVEXD_WERROR=ON >/dev/null
cmake --build "$here/$dir" -j "$(nproc)" ${2:+--target "${@:2}"}
