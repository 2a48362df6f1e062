#!/usr/bin/env bash
# install-deps.sh [GROUP...]: installs the Debian 12 packages of deps/packages.txt.
#
# Lines without a group are always installed; a line "GROUP: pkg..." only when
# GROUP is named on the command line (armhf, fuzz, ...). Packages ending in
# ":armhf" make the script add the armhf architecture first. When every
# wanted package is already present, nothing is fetched: no apt-get update,
# no package lock taken.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
list="$here/deps/packages.txt"

want=()
while IFS= read -r line; do
    line=${line%%#*}
    [[ -z "${line//[[:space:]]/}" ]] && continue
    if [[ "$line" =~ ^[a-z0-9-]+:[[:space:]] ]]; then
        group=${line%%:*}
        rest=${line#*:}
        for g in "$@"; do
            if [[ "$g" == "$group" ]]; then
                # shellcheck disable=SC2206
                want+=($rest)
            fi
        done
    else
        # shellcheck disable=SC2206
        want+=($line)
    fi
done < "$list"

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

modprobe loop 2>/dev/null || true
modprobe fuse 2>/dev/null || true

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#want[@]} packages present"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
for p in "${missing[@]}"; do
    if [[ "$p" == *:armhf ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
        dpkg --add-architecture armhf
        break
    fi
done
# Another program (unattended-upgrades, a second shell) may hold the package
# lock; wait for it a bounded time rather than failing at once.
apt_opts=(-o DPkg::Lock::Timeout=300)
# A mirror caught mid-sync makes `apt-get update` fail on one index ("File
# has unexpected size ... Mirror sync in progress?") although the lists it
# did fetch, or those already on hand, can install everything. Try the update
# a few times with a pause, then install with whatever lists there are: only
# a failed install fails this script.
for try in 1 2 3; do
    if apt-get "${apt_opts[@]}" update -qq; then
        break
    fi
    echo "install-deps: apt-get update failed (try $try of 3)" >&2
    [ "$try" -lt 3 ] && sleep 10
done
apt-get "${apt_opts[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
