#!/usr/bin/env bash
# Builds the libraries of the patch tool (zstd, xxhash, libdivsufsort) for Windows, static, with
# Debian's mingw-w64 compiler, from Debian's own source packages of the running release. Nothing
# comes from anywhere else. The result lands in a cache outside the repository that later runs
# reuse; the last line printed is its prefix (include/, lib/).
#   scripts/build-mingw-libs.sh [--prefix DIR] [--rebuild]
# Default prefix: /var/cache/solupdate-mingw as root, ~/.cache/solupdate-mingw otherwise.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
prefix=""
rebuild=0
while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) prefix="$2"; shift 2 ;;
        --rebuild) rebuild=1; shift ;;
        *) echo "usage: $0 [--prefix DIR] [--rebuild]" >&2; exit 2 ;;
    esac
done
if [ -z "$prefix" ]; then
    if [ "$(id -u)" -eq 0 ]; then prefix=/var/cache/solupdate-mingw; else prefix="$HOME/.cache/solupdate-mingw"; fi
fi
host=x86_64-w64-mingw32
stamp="$prefix/.complete"
if [ "$rebuild" = 0 ] && [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi
command -v "$host-gcc" >/dev/null || { echo "$host-gcc not found (package g++-mingw-w64-x86-64)" >&2; exit 2; }
command -v dpkg-source >/dev/null || { echo "dpkg-source not found (package dpkg-dev)" >&2; exit 2; }

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# A deb-src entry for the same release as the installed packages, once.
if ! apt-get source --print-uris -qq libzstd >/dev/null 2>&1; then
    . /etc/os-release
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$VERSION_CODENAME" "$VERSION_CODENAME" | $SUDO tee /etc/apt/sources.list.d/solupdate-deb-src.sources >/dev/null
    $SUDO apt-get update -qq
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source -qq libzstd xxhash libdivsufsort >/dev/null
# Only this script's own output: the cache also holds the Qt toolchain of setup-windows.sh.
rm -rf "$prefix/include" "$prefix/lib" "$stamp"
mkdir -p "$prefix/include" "$prefix/lib"

jobs=$(nproc 2>/dev/null || echo 2)
zstd=$(find . -maxdepth 1 -type d -name 'libzstd-*' | head -n 1)
make -C "$zstd/lib" -j"$jobs" libzstd.a CC="$host-gcc" AR="$host-ar" ZSTD_LEGACY_SUPPORT=0 >/dev/null
cp "$zstd/lib/libzstd.a" "$prefix/lib/"
cp "$zstd/lib/zstd.h" "$zstd/lib/zstd_errors.h" "$zstd/lib/zdict.h" "$prefix/include/"

xxhash=$(find . -maxdepth 1 -type d -name 'xxhash-*' | head -n 1)
"$host-gcc" -O2 -c "$xxhash/xxhash.c" -o xxhash.o
"$host-ar" rcs "$prefix/lib/libxxhash.a" xxhash.o
cp "$xxhash/xxhash.h" "$prefix/include/"

divsufsort=$(find . -maxdepth 1 -type d -name 'libdivsufsort-*' | head -n 1)
cmake -S "$divsufsort" -B divsufsort-build -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DIVSUFSORT64=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build divsufsort-build -j"$jobs" >/dev/null
cmake --install divsufsort-build >/dev/null

touch "$stamp"
echo "$prefix"
