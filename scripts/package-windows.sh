#!/usr/bin/env bash
# Writes dist/solupdate-<version>-win64.zip: what a vendor drops beside its Windows client. The
# updater with the Qt DLLs, the compiler's runtime DLLs and the plugins it loads, hpatchz.exe, the
# release tool solrelease.exe, qt.conf and a sample solupdate.ini. Every DLL the programs import is
# either in the zip or one of the system's own (those wine ships in its system folder); anything
# else stops the script, so the zip cannot lack a DLL.
#   scripts/package-windows.sh [--build DIR] [--out DIR] [--cache DIR] [--tests]
# Builds first with scripts/build-windows.sh (same defaults; --tests goes to it, so the one build
# also makes the Windows test programs); the last line printed is the zip.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-win"
out="$root/dist"
cache_args=()
tests=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build="${2:?}"; shift 2 ;;
        --out) out="${2:?}"; shift 2 ;;
        --cache) cache_args=(--cache "${2:?}"); shift 2 ;;
        --tests) tests=(--tests); shift ;;
        *) echo "usage: $0 [--build DIR] [--out DIR] [--cache DIR] [--tests]" >&2; exit 2 ;;
    esac
done
mkdir -p "$build" "$out"
build="$(cd "$build" && pwd)"
out="$(cd "$out" && pwd)"
host=x86_64-w64-mingw32
version=$(sed -n 's/^project(solupdate VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "package-windows: no version in CMakeLists.txt" >&2; exit 1; }

bin=$("$root/scripts/build-windows.sh" "${cache_args[@]}" "${tests[@]}" --build "$build" --target solupdate \
    --target hpatchz --target solrelease | tail -n 1)
qt=$(sed -n 's/^SOLUPDATE_MINGW_QT:PATH=//p' "$build/CMakeCache.txt")
[ -d "$qt/bin" ] || { echo "package-windows: the Qt of $build not found" >&2; exit 1; }

# Where the DLLs come from, in this order: the cross Qt, the posix compiler runtime, mingw-w64's.
search=("$qt/bin")
for dir in /usr/lib/gcc/$host/*-posix /usr/$host/lib; do [ -d "$dir" ] && search+=("$dir"); done
system_dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
[ -d "$system_dlls" ] || { echo "package-windows: wine's system DLLs ($system_dlls) are needed to tell them apart" >&2; exit 1; }

name="solupdate-$version-win64"
stage="$build/package/$name"
rm -rf "$stage"
# A new plugin folder must also go into platform::kUpdaterRuntimeFilters (src/utility/platform.h),
# or an updater outside the installation leaves it behind at the hand-off.
mkdir -p "$stage/platforms" "$stage/styles" "$stage/imageformats"
cp "$bin/solupdate.exe" "$bin/hpatchz.exe" "$bin/solrelease.exe" "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
# The native look of the dialog's buttons, and the icon format of the window.
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
cp "$qt/plugins/imageformats/qico.dll" "$stage/imageformats/"

imports() { "$host-objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r'; }
find_dll() { # <name>: the path of a DLL of ours, nothing when it is none
    local dir found
    for dir in "${search[@]}"; do
        found=$(find "$dir" -maxdepth 1 -iname "$1" -print -quit)
        [ -n "$found" ] && { echo "$found"; return 0; }
    done
    return 0
}
declare -A seen
queue=("$stage"/*.exe "$stage"/*/*.dll)
while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    for dll in $(imports "$file"); do
        key=${dll,,}
        [ -n "${seen[$key]:-}" ] && continue
        seen[$key]=1
        path=$(find_dll "$dll")
        if [ -n "$path" ]; then
            cp "$path" "$stage/"
            queue+=("$stage/$(basename "$path")")
        elif [ -z "$(find "$system_dlls" -maxdepth 1 -iname "$dll" -print -quit)" ] && [[ $key != api-ms-win-* ]]; then
            echo "package-windows: $(basename "$file") needs $dll, which is neither ours nor the system's" >&2
            exit 1
        fi
    done
done
"$host-strip" --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll

# Plugins and paths relative to the updater's own folder, never the build machine's.
printf '[Paths]\r\nPrefix = .\r\nPlugins = .\r\n' > "$stage/qt.conf"
cat > "$stage/solupdate.ini" << 'EOF'
; The updater's settings; it reads them from the folder it runs from.
[config]
; Seconds between two automatic checks, and after the user declined an offer.
CheckInterval=86400
CheckIntervalAfterUserCancel=604800
; Programs of the client (file names, comma-separated) that are ended before the upgrade.
NeedKilledProcessesBeforeUpgrade=
; The release key's PublicKey= line from "solrelease keygen": with it, only signed update
; descriptions are accepted. Leave it out only for an unsigned test setup.
;PublicKey=
EOF
sed -i 's/$/\r/' "$stage/solupdate.ini"

zip="$out/$name.zip"
rm -f "$zip"
(cd "$build/package" && python3 -m zipfile -c "$zip" "$name")
echo "package-windows: $(find "$stage" -type f | wc -l) files, $(du -k "$zip" | cut -f1) KiB" >&2
echo "$zip"
