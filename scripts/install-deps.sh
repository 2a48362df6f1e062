#!/usr/bin/env bash
# install-deps.sh [GROUP...]: installs the Debian 12 packages of deps/packages.txt.
#
# Lines without a group are always installed; a line "GROUP: pkg..." only when
# GROUP is named on the command line (armhf, fuzz, ...). A package written
# "NAME@armhf" is not installed: its armhf .deb is fetched (apt-get download)
# and unpacked into the armhf library root, $VEXD_ARMHF_ROOT or
# /usr/local/lib/vexd-armhf, where the cross build and the emulator find it.
# (Installing armhf libraries through dpkg multiarch needs the host's own
# libraries at exactly the armhf index's versions, which a mirror mid-sync or
# a security update not yet built for armhf breaks.) When every wanted package
# is already present, nothing is fetched: no apt-get update, no package lock
# taken.
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

# shellcheck source=scripts/armhf-debs.sh
. "$here/scripts/armhf-debs.sh"
armhf_root=${VEXD_ARMHF_ROOT:-/usr/local/lib/vexd-armhf}
unpack=()
installs=()
for p in "${want[@]}"; do
    if [[ "$p" == *@armhf ]]; then unpack+=("${p%@armhf}"); else installs+=("$p"); fi
done
want=("${installs[@]}")
# The unpacked root is current when it lists exactly the wanted packages.
unpack_needed=0
if [ ${#unpack[@]} -gt 0 ] && [ "$(cat "$armhf_root/.packages" 2>/dev/null)" != "${unpack[*]}" ]; then
    unpack_needed=1
fi

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

modprobe loop 2>/dev/null || true
modprobe fuse 2>/dev/null || true

if [ ${#missing[@]} -eq 0 ] && [ "$unpack_needed" -eq 0 ]; then
    echo "install-deps: all $(( ${#want[@]} + ${#unpack[@]} )) packages present"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${missing[*]} ${unpack[*]}); run as root to install them" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if { [ "$unpack_needed" -eq 1 ] || printf '%s\n' "${missing[@]}" | grep -q ':armhf$'; } &&
    ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
fi
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
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    apt-get "${apt_opts[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ "$unpack_needed" -eq 1 ]; then
    echo "install-deps: unpacking armhf ${unpack[*]} into $armhf_root"
    rm -rf "$armhf_root.new"
    armhf_debs_unpack "$armhf_root.new" "${unpack[@]/%/:armhf}"
    # Links that point at an absolute path (libz.so -> /lib/...) must point
    # into the root.
    find "$armhf_root.new" -type l -lname '/*' | while IFS= read -r link; do
        ln -sfn "$armhf_root$(readlink "$link")" "$link"
    done
    echo "${unpack[*]}" > "$armhf_root.new/.packages"
    rm -rf "$armhf_root"
    mv "$armhf_root.new" "$armhf_root"
fi
