#!/usr/bin/env bash
# Installs what is needed, builds the plain, ASan+UBSan and TSan trees, and runs the whole suite in each.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install-deps.sh"
status=0
for kind in plain asan tsan; do
    echo "=== $kind build ==="
    bash "$here/scripts/build.sh" "$kind"
    case "$kind" in plain) dir=build ;; *) dir=build-$kind ;; esac
    echo "=== $kind tests ==="
    if ! (cd "$here/$dir" && ctest --output-on-failure --timeout 600 -j 2); then
        status=1
    fi
done
exit $status
