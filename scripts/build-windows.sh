#!/usr/bin/env bash
# Builds the updater for 64-bit Windows into build-win/: bin/solupdate.exe, hpatchz.exe,
# mkhpatch.exe and solrelease.exe, with the Qt of scripts/setup-windows.sh and the code generators
# of the host's Qt. --tests also builds the test suites that hold on Windows, the master stand-in
# mastermock.exe and the sample clients of 1.0.0.0 and 1.1.0.0 (tests/bin/*.exe, which ctest of
# the host build runs under wine); a tree once configured with them keeps them.
#   scripts/build-windows.sh [--cache DIR] [--jobs N] [--build DIR] [--target T]... [--tests]
# Default cache: as scripts/setup-windows.sh (/var/cache/solupdate-mingw, or ~/.cache/... unless
# root); SOLUPDATE_MINGW_PREFIX overrides it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${SOLUPDATE_MINGW_PREFIX:-}"
jobs=2
build="$root/build-win"
targets=()
tests=""
while [ $# -gt 0 ]; do
    case "$1" in
        --cache) cache="$2"; shift 2 ;;
        --jobs) jobs="$2"; shift 2 ;;
        --build) build="$2"; shift 2 ;;
        --target) targets+=("$2"); shift 2 ;;
        --tests) tests=1; shift ;;
        *) echo "usage: $0 [--cache DIR] [--jobs N] [--build DIR] [--target T]... [--tests]" >&2; exit 2 ;;
    esac
done
if [ -z "$cache" ]; then
    for candidate in /var/cache/solupdate-mingw "$HOME/.cache/solupdate-mingw"; do
        if [ -f "$candidate/qt5/lib/cmake/Qt5/Qt5Config.cmake" ]; then cache="$candidate"; break; fi
    done
fi
missing=""
[ -n "$cache" ] && [ -f "$cache/qt5/lib/cmake/Qt5/Qt5Config.cmake" ] || missing="Qt 5 for mingw-w64"
[ -n "$cache" ] && [ -f "$cache/.complete" ] || missing="${missing:+$missing, }the patch tool's Windows libraries"
# Without it the build would check no signatures at all.
[ -n "$cache" ] && [ -f "$cache/.complete-sodium" ] || missing="${missing:+$missing, }libsodium for Windows"
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing="${missing:+$missing, }x86_64-w64-mingw32-g++-posix"
for tool in moc uic rcc lrelease; do
    [ -x "/usr/lib/qt5/bin/$tool" ] || missing="${missing:+$missing, }the host's $tool (qtbase5-dev-tools, qttools5-dev-tools)"
done
if [ -n "$missing" ]; then
    echo "build-windows: missing: $missing" >&2
    echo "build-windows: run scripts/setup-windows.sh first (about an hour, once per machine)" >&2
    exit 2
fi
[ ${#targets[@]} -gt 0 ] || targets=(solupdate hpatchz mkhpatch solrelease)
# Only --tests or a new tree sets BUILD_TESTING: a build for the zip alone must not undo the
# test programs of a tree that the host build's ctest runs.
testing=()
if [ -n "$tests" ]; then
    testing=(-DBUILD_TESTING=ON)
    targets+=(solupdate_tests)
elif ! grep -q '^BUILD_TESTING:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    testing=(-DBUILD_TESTING=OFF)
fi

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-qt.cmake" \
    -DSOLUPDATE_MINGW_CACHE="$cache" -DHPATCH_MINGW_PREFIX="$cache" \
    "${testing[@]}" -DSOLUPDATE_BUILD_BENCH=OFF "${launcher[@]}"
cmake --build "$build" -j"$jobs" --target "${targets[@]}"
echo "$build/bin"
