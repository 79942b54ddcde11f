#!/usr/bin/env bash
# The Windows zip, unpacked into an empty folder of a new wine prefix, must start and run a check
# on the windows platform with nothing but what it holds: no DLL search path, no Qt of the build
# machine. The check names a stand-in client (a version resource and nothing else) and an update
# URL where nothing listens, so a complete run ends in the check's own download failure.
#   zip-start.sh <zip> <work dir>
# Needs wine, xvfb-run and the mingw-w64 compiler with windres.
set -euo pipefail
zip="$1"
work="$2"
here="$(cd "$(dirname "$0")" && pwd)"
host=x86_64-w64-mingw32

rm -rf "$work"
mkdir -p "$work/client" "$work/logs"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEDLLPATH QT_PLUGIN_PATH QT_QPA_PLATFORM_PLUGIN_PATH
python3 -m zipfile -e "$zip" "$work/unpacked"
app=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d)
[ -f "$app/solupdate.exe" ] || { echo "zip-start: no solupdate.exe at the top of the zip" >&2; exit 1; }

"$host-windres" -DCLIENT_VERSION=1.0.0.0 "$here/client_win.rc" -O coff -o "$work/client.res"
"$host-gcc" -O2 -s "$here/client_win.c" "$work/client.res" -o "$work/client/Client.exe"

b64() { printf %s "$1" | base64 -w0; }
# Windows paths of the unix ones, as the master would pass them.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
args=(--action=checkUpdate --mode=manual --role=teacher --lang=en --masterPid=4711 --masterHwnd=1
    --exePath="$(b64 "$(winpath "$work/client/Client.exe")")"
    --updateUrl="$(b64 "http://127.0.0.1:9/update.json")"
    --masterLocalServer="$(b64 zip-start-master)"
    --logDirPath="$(b64 "$(winpath "$work/logs")")")
# The first start of a prefix makes it; the second is the one measured.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    wineboot -i > /dev/null 2>&1
    cd "$1"; shift
    timeout -s KILL 120 wine ./solupdate.exe "$@"
    status=$?
    wineserver -k 2> /dev/null
    exit $status' _ "$app" "${args[@]}" || echo "zip-start: solupdate.exe ended with status $?"

logs=("$work"/logs/solupdate_*.log)
[ -f "${logs[0]}" ] || { echo "zip-start: the updater wrote no log: it did not start" >&2; exit 1; }
if ! grep -q "checkrunner download failed" "${logs[@]}"; then
    echo "zip-start: the check did not run to its download; the log:" >&2
    cat "${logs[@]}" >&2
    exit 1
fi
grep -h "product version\|checkrunner download failed" "${logs[@]}" | head -n 5
echo "zip-start: the unpacked updater ran a check to its own download failure"
