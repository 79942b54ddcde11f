#!/usr/bin/env bash
# Installs what the build needs (Debian 12), then configures and builds into build/.
# Safe to run again: packages already present are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qttools5-dev qttools5-dev-tools
    libzstd-dev libxxhash-dev libdivsufsort-dev zstd
    libsodium-dev libssl-dev
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 e2fsprogs wine64 wine
    clang
    xvfb x11-apps x11-utils xdotool libx11-dev imagemagick fonts-noto-cjk python3-pil
    nginx-light curl time ccache dpkg-dev
)
# shellcheck source=lib/packages.sh
source scripts/lib/packages.sh
install_missing_packages "${packages[@]}"

# The Windows build of the patch tool needs its libraries built for Windows once; a later run
# finds them in the cache and returns at once.
scripts/build-mingw-libs.sh >/dev/null

jobs=$(nproc 2>/dev/null || echo 2)
# ccache keeps rebuilds of a fresh clone or a second work tree short.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Paths relative to the checkout, so that a clone in another folder finds the same cache entries.
export CCACHE_BASEDIR="$PWD"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
cmake --build build -j "$jobs"
