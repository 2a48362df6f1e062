# armhf-debs.sh, sourced by install-deps.sh and fetch-armvm.sh: the one way
# this project takes armhf packages from the Debian archive without
# installing them on the host.
#
# armhf_debs_unpack ROOT PKG...: downloads each package PKG (NAME:armhf,
# or NAME:armhf=VERSION) with `apt-get download` from the archive apt knows,
# and unpacks them all into ROOT with `dpkg-deb -x`. Returns 1, with ROOT
# untouched, when one of them did not come.
armhf_debs_unpack() {
    local root=$1 debs pkg name deb
    shift
    debs=$(mktemp -d)
    # apt-get download fetches as the _apt user where it can.
    chmod 0777 "$debs"
    (cd "$debs" && apt-get download -qq "$@" 2>&1) | grep -v '^W: Download is performed unsandboxed' >&2 || true
    for pkg in "$@"; do
        name=${pkg%%:*}
        if ! ls "$debs/${name}_"*.deb >/dev/null 2>&1; then
            echo "armhf-debs: $name was not downloaded" >&2
            rm -rf "$debs"
            return 1
        fi
    done
    mkdir -p "$root"
    for deb in "$debs"/*.deb; do
        dpkg-deb -x "$deb" "$root"
    done
    rm -rf "$debs"
}
