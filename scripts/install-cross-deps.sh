#!/usr/bin/env bash
# Installs what a cross build for armhf and/or arm64 needs: the cross
# compiler, qemu-user to run the tests, and the target's multiarch -dev
# packages of every dependency. Safe to run again.
# Usage: scripts/install-cross-deps.sh [armhf|arm64]...   (default: both)
set -euo pipefail

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(armhf arm64)

packages=(qemu-user dpkg-dev)
for arch in "${arches[@]}"; do
    case "$arch" in
        arm64) compiler=g++-aarch64-linux-gnu ;;
        armhf) compiler=g++-arm-linux-gnueabihf ;;
        *) echo "install-cross-deps: unknown architecture '$arch' (expected armhf or arm64)" >&2; exit 2 ;;
    esac
    packages+=("$compiler")
    # pkgconf:<arch> brings <triplet>-pkg-config, which the package build uses.
    for p in libc6-dev libjsoncpp-dev libboost-dev libboost-date-time-dev libfmt-dev \
             libsqlite3-dev libmosquitto-dev libgtest-dev libgmock-dev pkgconf \
             libcpp-httplib-dev libssl-dev libcrypt-dev; do
        packages+=("$p:$arch")
    done
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

added=0
for arch in "${arches[@]}"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        $SUDO dpkg --add-architecture "$arch"
        added=1
    fi
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ] && [ $added -eq 0 ]; then
    echo "install-cross-deps: all packages present for ${arches[*]}"
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
