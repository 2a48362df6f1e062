#!/usr/bin/env bash
# Installs the packages listed in deps/packages.txt (Debian 12, as root).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
pkgs=$(grep -vE '^\s*(#|$)' "$here/deps/packages.txt" | tr '\n' ' ')
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root (apt-get install)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $pkgs >/dev/null
modprobe loop 2>/dev/null || true
modprobe fuse 2>/dev/null || true
