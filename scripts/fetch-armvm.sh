#!/usr/bin/env bash
# fetch-armvm.sh [CACHE]: fetches what the emulated ARM handset (sim/armvm)
# boots: Debian's armhf kernel and the armhf packages its first file system is
# made of, listed once in deps/packages.txt (the "armvm-guest:" lines). They
# are downloaded from the Debian archive and unpacked into CACHE (default
# .cache/armvm, git-ignored) the way the build's armhf libraries are
# (scripts/armhf-debs.sh); nothing is installed on the host. Run
# `scripts/install-deps.sh armhf` first: it adds the armhf architecture to apt
# and installs qemu-system-arm and nbdkit.
#
# CACHE/root    the unpacked packages
# CACHE/vmlinuz the kernel; CACHE/stamp lists the package versions
# A cache whose stamp matches the archive's candidate versions is kept.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-${VEXD_ARMVM_CACHE:-$here/.cache/armvm}}
list="$here/deps/packages.txt"
# shellcheck source=scripts/armhf-debs.sh
. "$here/scripts/armhf-debs.sh"

pkgs=()
while IFS= read -r line; do
    line=${line%%#*}
    if [[ "$line" =~ ^armvm-guest:[[:space:]] ]]; then
        # shellcheck disable=SC2206
        pkgs+=(${line#*:})
    fi
done < "$list"
[ ${#pkgs[@]} -gt 0 ] || { echo "fetch-armvm: no armvm-guest: line in $list" >&2; exit 1; }

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "fetch-armvm: apt does not know the armhf architecture; run scripts/install-deps.sh armhf" >&2
    exit 1
fi

# A metapackage (linux-image-armmp-lpae) stands for the kernel package it
# depends on; that one is what gets unpacked.
resolved=()
for p in "${pkgs[@]}"; do
    if [[ "$p" == linux-image-*armmp* ]]; then
        real=$(apt-cache depends "$p" 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
        [ -n "$real" ] || { echo "fetch-armvm: cannot resolve $p (apt-get update?)" >&2; exit 1; }
        p=$real
        [[ "$p" == *:armhf ]] || p=$p:armhf
    fi
    resolved+=("$p")
done

stamp=""
for p in "${resolved[@]}"; do
    v=$(apt-cache policy "$p" 2>/dev/null | awk '/Candidate:/ {print $2}')
    [ -n "$v" ] && [ "$v" != "(none)" ] || { echo "fetch-armvm: no candidate for $p (apt-get update?)" >&2; exit 1; }
    stamp+="$p=$v"$'\n'
done
if [ -f "$cache/stamp" ] && [ "$(cat "$cache/stamp")" = "${stamp%$'\n'}" ] && [ -e "$cache/vmlinuz" ]; then
    echo "fetch-armvm: $cache is up to date"
    exit 0
fi

echo "fetch-armvm: downloading ${#resolved[@]} armhf packages into $cache"
rm -rf "$cache/debs" "$cache/root" "$cache/vmlinuz" "$cache/stamp"
versioned=()
while IFS= read -r pv; do
    [ -n "$pv" ] && versioned+=("$pv")
done <<< "$stamp"
armhf_debs_unpack "$cache/root" "${versioned[@]}"
kernel=$(ls "$cache/root/boot"/vmlinuz-* | head -n 1)
ln -s "${kernel#"$cache"/}" "$cache/vmlinuz"
printf '%s' "${stamp%$'\n'}" > "$cache/stamp"
echo "fetch-armvm: kernel $(basename "$kernel"), $(du -sh "$cache/root" | cut -f1) unpacked"
