#!/usr/bin/env bash
# Makes what the Windows build needs on this machine: Qt 5.15 for 64-bit Windows (Core, Gui, Widgets,
# Network with Schannel, Test, the windows and offscreen platform plugins), built with Debian's
# mingw-w64 compiler from Debian's own qtbase source package of the running release; the patch tool's
# libraries and libsodium (scripts/build-mingw-libs.sh --with-sodium); and wine64. Nothing comes from
# anywhere else.
# The Qt part takes about an hour on two cores, once per machine: later runs find the install in the
# cache and reuse it. The last line printed is the Qt prefix.
#   scripts/setup-windows.sh [--cache DIR] [--jobs N] [--write-archive FILE]
# Default cache: /var/cache/solupdate-mingw as root, ~/.cache/solupdate-mingw otherwise.
# SOLUPDATE_QT_MINGW_ARCHIVE=FILE: a tar archive of a Qt prefix made by this script (--write-archive),
# checked and unpacked instead of building.
# A build that stops half-way (a failure, a reboot) goes on from where it stopped when run again; its
# output is in <cache>/qt5-build/build.log.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
started=$(date +%s)
cache=""
jobs=$(nproc 2>/dev/null || echo 2)
write_archive=""
while [ $# -gt 0 ]; do
    case "$1" in
        --cache) cache="$2"; shift 2 ;;
        --jobs) jobs="$2"; shift 2 ;;
        --write-archive) write_archive="$2"; shift 2 ;;
        *) echo "usage: $0 [--cache DIR] [--jobs N] [--write-archive FILE]" >&2; exit 2 ;;
    esac
done
if [ -z "$cache" ]; then
    if [ "$(id -u)" -eq 0 ]; then cache=/var/cache/solupdate-mingw; else cache="$HOME/.cache/solupdate-mingw"; fi
fi
host=x86_64-w64-mingw32
qt="$cache/qt5"
work="$cache/qt5-build"
log="$work/build.log"
# Debian's default mingw-w64 alternative uses the win32 thread model, which has no std::mutex (QtTest
# needs it); Qt and everything linked with it use the posix one. The names stay the plain
# x86_64-w64-mingw32-* so Qt's win32-g++ platform files find them through PATH.
toolbin="$qt/toolchain/bin"
# Qt's Schannel code links Secur32 and Crypt32; mingw-w64 names its import libraries in lower case.
aliaslib="$qt/toolchain/lib"

took() {
    local s=$(($(date +%s) - started))
    echo "setup-windows: took $((s / 60))m $((s % 60))s"
}

# Prints why the Qt at $1 is not the expected one, nothing when it is.
qt_problem() {
    local qmake="$1/bin/qmake" version xspec f
    [ -x "$qmake" ] || { echo "no bin/qmake"; return; }
    version=$("$qmake" -query QT_VERSION 2>/dev/null || true)
    xspec=$("$qmake" -query QMAKE_XSPEC 2>/dev/null || true)
    case "$version" in 5.15.*) ;; *) echo "qmake -query QT_VERSION gives '$version', not 5.15.x"; return ;; esac
    [ "$xspec" = win32-g++ ] || { echo "qmake -query QMAKE_XSPEC gives '$xspec', not win32-g++"; return; }
    for f in bin/Qt5Core.dll bin/Qt5Gui.dll bin/Qt5Widgets.dll bin/Qt5Network.dll bin/Qt5Test.dll \
        plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll lib/cmake/Qt5/Qt5Config.cmake; do
        [ -f "$1/$f" ] || { echo "no $f"; return; }
    done
}

# shellcheck source=lib/packages.sh
source "$root/scripts/lib/packages.sh"
packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    g++ make perl python3 dpkg-dev cmake wine wine64 xvfb autoconf automake libtool
)
install_missing_packages "${packages[@]}"

mkdir -p "$cache"
"$root/scripts/build-mingw-libs.sh" --prefix "$cache" --with-sodium >/dev/null

make_toolchain_dirs() {
    local t sysroot=/usr/$host/lib
    mkdir -p "$toolbin" "$aliaslib"
    for t in gcc g++ c++ cpp; do
        ln -sfn "/usr/bin/$host-$t-posix" "$toolbin/$host-$t"
    done
    ln -sfn "$sysroot/libsecur32.a" "$aliaslib/libSecur32.a"
    ln -sfn "$sysroot/libcrypt32.a" "$aliaslib/libCrypt32.a"
}

finish() {
    if [ -n "$write_archive" ]; then
        tar -C "$qt" -caf "$write_archive" .
        echo "setup-windows: wrote $write_archive"
    fi
    took
    echo "$qt"
    exit 0
}

if [ -z "$(qt_problem "$qt")" ]; then
    make_toolchain_dirs
    finish
fi

if [ -n "${SOLUPDATE_QT_MINGW_ARCHIVE:-}" ]; then
    archive="$SOLUPDATE_QT_MINGW_ARCHIVE"
    [ -f "$archive" ] || { echo "SOLUPDATE_QT_MINGW_ARCHIVE: no file $archive" >&2; exit 1; }
    unpack="$cache/qt5-unpack"
    rm -rf "$unpack"
    mkdir -p "$unpack"
    tar -C "$unpack" -xf "$archive" || { echo "SOLUPDATE_QT_MINGW_ARCHIVE: $archive is not a readable tar archive" >&2; rm -rf "$unpack"; exit 1; }
    # Accept the prefix itself at the top of the archive or inside a single folder.
    top="$unpack"
    found=$(find "$unpack" -maxdepth 3 -path '*/bin/qmake' | head -n 1)
    [ -e "$top/bin/qmake" ] || [ -z "$found" ] || top=$(dirname "$(dirname "$found")")
    problem=$(qt_problem "$top")
    if [ -n "$problem" ]; then
        echo "SOLUPDATE_QT_MINGW_ARCHIVE: $archive does not hold Qt 5.15 for win32-g++: $problem" >&2
        rm -rf "$unpack"
        exit 1
    fi
    rm -rf "$qt"
    mv "$top" "$qt"
    rm -rf "$unpack"
    make_toolchain_dirs
    echo "setup-windows: unpacked $archive into $qt"
    finish
fi

mkdir -p "$work"
cd "$work"
src=$(find . -maxdepth 1 -type d -name 'qtbase-opensource-src-5.15*' | head -n 1)
if [ -z "$src" ]; then
    apt-get source -qq qtbase-opensource-src >/dev/null
    src=$(find . -maxdepth 1 -type d -name 'qtbase-opensource-src-5.15*' | head -n 1)
    [ -n "$src" ] || { echo "apt-get source qtbase-opensource-src gave no Qt 5.15 source" >&2; exit 1; }
fi
src="$work/${src#./}"
make_toolchain_dirs
export PATH="$toolbin:$PATH"

# Everything third-party comes from Qt's own copies, so nothing else is needed for Windows. Debian's
# source leaves out the Wintab headers, hence no tablet events; nor SQL, OpenGL or D-Bus.
options=(
    -xplatform win32-g++ -device-option CROSS_COMPILE=$host- -prefix "$qt"
    -release -opensource -confirm-license -shared
    -nomake examples -nomake tests -no-compile-examples
    -no-opengl -no-dbus -no-feature-sql -no-feature-tabletevent -no-icu
    -schannel -no-openssl
    -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz -qt-doubleconversion
    -L "$aliaslib"
)
build="$work/build"
mkdir -p "$build"
cd "$build"
echo "setup-windows: building Qt for Windows in $build (log: $log)"
if [ ! -f Makefile ] || [ "$(cat .configured-with 2>/dev/null)" != "${options[*]}" ]; then
    rm -f .configured-with config.cache
    # MAKEFLAGS: configure builds qmake first, one file at a time otherwise.
    if ! MAKEFLAGS="-j$jobs" "$src/configure" "${options[@]}" >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "setup-windows: Qt's configure failed; see $log" >&2
        exit 1
    fi
    # Without Schannel the Network module builds but cannot speak https.
    grep -Eq '^ *Schannel \.+ yes' config.summary || { echo "setup-windows: configure did not enable Schannel; see $log" >&2; exit 1; }
    echo "${options[*]}" >.configured-with
fi
if ! make -j"$jobs" >>"$log" 2>&1 || ! make -j"$jobs" install >>"$log" 2>&1; then
    grep -E 'error:|\*\*\*' "$log" | tail -n 20 >&2
    echo "setup-windows: Qt's build failed; see $log (running this again goes on from there)" >&2
    exit 1
fi
problem=$(qt_problem "$qt")
[ -z "$problem" ] || { echo "setup-windows: the installed Qt is incomplete: $problem" >&2; exit 1; }
finish
