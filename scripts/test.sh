#!/usr/bin/env bash
# test.sh: installs what is needed, builds the plain, ASan+UBSan and TSan trees,
# and runs the whole suite in each.
# test.sh armhf: cross-builds the tree for 32-bit ARM into build-armhf/, runs
# every unit test there under qemu-arm and the end-to-end tests of the shipped
# programs with the ARM binaries in the simulated handset (whose own tools come
# from a host build in build/, built here as far as needed), then the vm tests:
# the ARM programs in the emulated ARM handset (sim/armvm), whose packages
# scripts/fetch-armvm.sh fetches into .cache/armvm.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = armhf ]; then
    bash "$here/scripts/install-deps.sh" armhf
    # Without them the vm tests fail and say what is missing.
    bash "$here/scripts/fetch-armvm.sh" || echo "test.sh: fetching the emulated handset's packages failed" >&2
    echo "=== armhf build ==="
    if [ ! -f "$here/build/CMakeCache.txt" ]; then
        cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXD_WERROR=ON >/dev/null
    fi
    cmake --build "$here/build" -j "$(nproc)" --target simdevd logfeed
    cmake -S "$here" -B "$here/build-armhf" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/armhf-toolchain.cmake" -DVEXD_WERROR=ON \
        -DVEXD_HOST_BUILD_DIR="$here/build" >/dev/null
    cmake --build "$here/build-armhf" -j "$(nproc)"
    for exe in vexd/vexd morvane/morvane tools/vexctl tools/vexlog; do
        file -L "$here/build-armhf/$exe" | grep -q 'ELF 32-bit LSB .*ARM' \
            || { echo "test.sh: $exe is not a 32-bit ARM program" >&2; exit 1; }
    done
    echo "=== armhf tests (under qemu-arm; e2e_test_vm*: in the emulated ARM handset) ==="
    cd "$here/build-armhf"
    rc=0
    ctest --output-on-failure --timeout 600 -j 2 || rc=$?
    # The crash-consistency figures of the suites that passed too (ctest
    # shows the output of failed tests only).
    grep -hE '^(powercut|crash): ' Testing/Temporary/LastTest.log || true
    exit $rc
fi
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
    grep -hE '^(crash|hostile): ' "$here/$dir/Testing/Temporary/LastTest.log" || true
done
exit $status
