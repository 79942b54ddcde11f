#!/bin/sh
# Runs one Windows program in the wine session of winesession.sh, killed after <seconds>. The DLL
# folders of the cross Qt and the compiler come from <dir>/winepath.
#   winerun.sh <dir> <seconds> <program.exe> [arguments...]
dir="$1"
limit="$2"
shift 2
[ -s "$dir/display" ] || { echo "winerun: no wine session in $dir" >&2; exit 1; }
export WINEPREFIX="$dir/prefix" HOME="$dir/home" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=":$(cat "$dir/display")" WINEPATH="$(cat "$dir/winepath")"
exec timeout -s KILL "$limit" wine "$@"
