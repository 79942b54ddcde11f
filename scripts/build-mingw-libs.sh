#!/usr/bin/env bash
# Builds the libraries of the patch tool (zstd, xxhash, libdivsufsort) for Windows, static, with
# Debian's mingw-w64 compiler, from Debian's own source packages of the running release; with
# --with-sodium also libsodium, for the updater's signature checks. Nothing comes from anywhere
# else. The result lands in a cache outside the repository that later runs reuse; the last line
# printed is its prefix (include/, lib/, lib/pkgconfig/).
#   scripts/build-mingw-libs.sh [--prefix DIR] [--with-sodium] [--rebuild]
# Default prefix: /var/cache/solupdate-mingw as root, ~/.cache/solupdate-mingw otherwise.
# Each part has its own stamp, so a cache made without libsodium gets only libsodium added later.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
prefix=""
rebuild=0
with_sodium=0
while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) [ $# -ge 2 ] || { echo "$0: --prefix needs a directory" >&2; exit 2; }; prefix="$2"; shift 2 ;;
        --with-sodium) with_sodium=1; shift ;;
        --rebuild) rebuild=1; shift ;;
        *) echo "usage: $0 [--prefix DIR] [--with-sodium] [--rebuild]" >&2; exit 2 ;;
    esac
done
if [ -z "$prefix" ]; then
    if [ "$(id -u)" -eq 0 ]; then prefix=/var/cache/solupdate-mingw; else prefix="$HOME/.cache/solupdate-mingw"; fi
fi
host=x86_64-w64-mingw32
stamp="$prefix/.complete"
sodium_stamp="$prefix/.complete-sodium"
# Rebuilding the patch tool's part empties include/ and lib/, libsodium's files with them, so a
# cache that held libsodium gets it back.
if [ "$rebuild" = 1 ] && [ -f "$sodium_stamp" ]; then with_sodium=1; fi
build_base=1
if [ "$rebuild" = 0 ] && [ -f "$stamp" ]; then build_base=0; fi
build_sodium=$with_sodium
if [ "$rebuild" = 0 ] && [ -f "$sodium_stamp" ]; then build_sodium=0; fi
if [ "$build_base" = 0 ] && [ "$build_sodium" = 0 ]; then
    echo "$prefix"
    exit 0
fi
command -v "$host-gcc" >/dev/null || { echo "$host-gcc not found (package g++-mingw-w64-x86-64)" >&2; exit 2; }
command -v dpkg-source >/dev/null || { echo "dpkg-source not found (package dpkg-dev)" >&2; exit 2; }
if [ "$build_sodium" = 1 ]; then
    # The posix thread model, as for Qt and everything linked with it.
    command -v "$host-gcc-posix" >/dev/null || { echo "$host-gcc-posix not found (package gcc-mingw-w64-x86-64-posix)" >&2; exit 2; }
    # Debian's libsodium source comes without a configure script.
    for tool in autoreconf:autoconf automake:automake libtoolize:libtool make:make; do
        command -v "${tool%%:*}" >/dev/null || { echo "${tool%%:*} not found (package ${tool#*:})" >&2; exit 2; }
    done
fi

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
jobs=$(nproc 2>/dev/null || echo 2)

if [ "$build_base" = 1 ]; then
    apt-get source -qq libzstd xxhash libdivsufsort >/dev/null
    # Only this script's own output: the cache also holds the Qt toolchain of setup-windows.sh.
    rm -rf "$prefix/include" "$prefix/lib" "$stamp" "$sodium_stamp"
    mkdir -p "$prefix/include" "$prefix/lib"

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
fi

if [ "$build_sodium" = 1 ]; then
    started=$(date +%s)
    apt-get source -qq libsodium >/dev/null
    sodium=$(find . -maxdepth 1 -type d -name 'libsodium-*' | head -n 1)
    [ -n "$sodium" ] || { echo "apt-get source libsodium gave no source" >&2; exit 1; }
    sodium="$work/${sodium#./}"
    # Only libsodium's own files: the other libraries of the cache are in use by other builds.
    rm -rf "$prefix/include/sodium" "$prefix/include/sodium.h" "$prefix/lib/libsodium."* \
        "$prefix/lib/pkgconfig/libsodium.pc"
    (cd "$sodium" && autoreconf -fi >autoreconf.log 2>&1) || {
        tail -n 20 "$sodium/autoreconf.log" >&2; echo "libsodium: autoreconf failed" >&2; exit 1; }
    mkdir sodium-build
    # No pthreads: on Windows libsodium locks with a critical section, and pthreads would only tie
    # the archive to one thread model. No --enable-opt: that would tune it to this machine's CPU.
    (cd sodium-build && "$sodium/configure" --host=$host CC="$host-gcc-posix" --prefix="$prefix" \
        --disable-shared --enable-static --without-pthreads --disable-dependency-tracking \
        >configure.log 2>&1) || {
        tail -n 20 sodium-build/configure.log >&2; echo "libsodium: configure failed" >&2; exit 1; }
    make -C sodium-build -j"$jobs" >/dev/null 2>sodium-build/make.log || {
        tail -n 20 sodium-build/make.log >&2; echo "libsodium: build failed" >&2; exit 1; }
    make -C sodium-build install >/dev/null
    rm -f "$prefix/lib/libsodium.la"
    # The cache holds only the static archive, whose users must say so to sodium/export.h.
    sed -i 's|^Cflags: .*|& -DSODIUM_STATIC|' "$prefix/lib/pkgconfig/libsodium.pc"
    touch "$sodium_stamp"
    echo "build-mingw-libs: libsodium took $(($(date +%s) - started))s" >&2
fi
echo "$prefix"
