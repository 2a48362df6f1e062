#!/usr/bin/env bash
# build.sh [plain|asan|tsan]: configures and builds into build/, build-asan/ or build-tsan/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-plain}
case "$kind" in
    plain) dir=build;      san="" ;;
    asan)  dir=build-asan; san=address ;;
    tsan)  dir=build-tsan; san=thread ;;
    *) echo "build.sh: unknown build kind $kind" >&2; exit 2 ;;
esac
cmake -S "$here" -B "$here/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXD_SANITIZE="$san" >/dev/null
cmake --build "$here/$dir" -j "$(nproc)"
