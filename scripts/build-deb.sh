#!/usr/bin/env bash
# Builds the m520s Debian package for this machine (native, the default) or
# cross for armhf/arm64, and checks it with lintian. The source is staged in
# build-deb/<arch>/ with debian/ at its root; the .deb lands beside it.
# The tests are left to scripts/test.sh and scripts/cross-test.sh unless
# --check is given (native only).
# Usage: scripts/build-deb.sh [--check] [native|armhf|arm64]
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: scripts/build-deb.sh [--check] [native|armhf|arm64]" >&2; exit 2; }
check=0
arch=native
for a in "$@"; do
    case "$a" in
        --check) check=1 ;;
        native|armhf|arm64) arch=$a ;;
        -h|--help) echo "usage: scripts/build-deb.sh [--check] [native|armhf|arm64]"; exit 0 ;;
        *) echo "build-deb: unknown argument '$a'" >&2; usage ;;
    esac
done

host_flags=()
if [ "$arch" != native ]; then
    [ $check -eq 0 ] || { echo "build-deb: --check needs a native build" >&2; exit 2; }
    bash scripts/install-cross-deps.sh "$arch"
    host_flags=(-a"$arch")
fi

version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
out=$PWD/build-deb/$arch
src=$out/m520s-$version
rm -rf "$out"
mkdir -p "$src"

# Only what belongs to the source: tracked and new files, no build trees.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard | grep -zv '^build' |
        tar --null -T - -cf - | tar -xf - -C "$src"
else
    tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$src"
fi
cp -r packaging/debian "$src/debian"

opts=${DEB_BUILD_OPTIONS:-}
profiles=${DEB_BUILD_PROFILES:-}
if [ $check -eq 0 ]; then
    opts="nocheck $opts"
    profiles="nocheck $profiles"
fi
(cd "$src" && DEB_BUILD_OPTIONS="parallel=2 $opts" DEB_BUILD_PROFILES="$profiles" \
    dpkg-buildpackage -b -us -uc "${host_flags[@]}")

changes=$(ls "$out"/m520s_"$version"_*.changes)
echo "build-deb: $(ls "$out"/*.deb)"
# Errors and warnings fail the build, pedantic hints are shown too.
lintian --pedantic --fail-on error,warning --info "$changes"
