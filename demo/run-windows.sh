#!/usr/bin/env bash
# The updater at work on Windows, under wine: the Windows build upgrades a Windows sample client
# from 1.0.0.0 to 1.1.0.0, as a school's machine would see it.
#  - The installation is a Windows client (a version resource, running until it is ended) with the
#    data files of the sample trees and the updater's zip inside, in "C:\Program Files\Sample Client 示例".
#  - The vendor's release is made on Linux (demo/release.sh): packages by our package maker, an
#    update description signed by the release tool, served by nginx on 127.0.0.1.
#  - solupdate.exe checks and tells a Windows master stand-in (mastermock.exe, a named pipe), then
#    upgrades: the backup, the hand-off to the copy in the backup through "runas", the end of the
#    client, the download, hpatchz.exe, the dialog (on Xvfb), the Uninstall entry in the registry and
#    the desktop shortcut.
# Then it checks what a user would: the installed tree is the release's byte for byte, the client
# was ended, `wine reg query` shows DisplayVersion 1.1.0.0 and the shortcut leads to the client.
# Exits 0 only when all of it holds; ctest runs it as windows_upgrade.
#   demo/run-windows.sh [--build DIR] [--zip FILE] [--work DIR] [--updater-beside] [--file-held]
# --build: the host build tree (default build/), which holds the Windows one; --zip: the updater's
# zip (default: the newest in the build's dist/); --work: where everything is made, the wine prefix
# included (else a new folder in /tmp, kept for a look; a folder of an earlier run is made anew);
# --updater-beside: the updater lives in a folder of its own, "C:\Program Files\Sample Updater",
# so the hand-off must take its DLLs along, and none of them may end up in the installation;
# --file-held: another program holds a file of the installation open without sharing, so the
# upgrade must fail, and leave the installation as it was: 1.0.0.0 byte for byte, no new
# DisplayVersion, and in the history the failed restore of the file it could not replace (9).
# Needs the host build and the Windows build of scripts/setup.sh after scripts/setup-windows.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
here="$root/tests/windows"
work=""
zip=""
beside=""
held=""
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build="${2:?}"; shift 2 ;;
        --work) work="${2:?}"; shift 2 ;;
        --zip) zip="${2:?}"; shift 2 ;;
        --updater-beside) beside=1; shift ;;
        --file-held) held=1; shift ;;
        *) echo "usage: $0 [--build DIR] [--zip FILE] [--work DIR] [--updater-beside] [--file-held]" >&2; exit 2 ;;
    esac
done
bin="$build/bin"
testbin="$build/tests/bin"
winbin="$build/win-qt/tests/bin"
[ -n "$zip" ] || zip="$(ls -t "$build"/dist/solupdate-*-win64.zip 2> /dev/null | head -n1 || true)"
for tool in "$bin/mkhpatch" "$bin/solrelease" "$testbin/versiontree" "$testbin/wmclose" "$winbin/mastermock.exe" \
            "$winbin/sampleclient-1.0.0.0.exe" "$winbin/sampleclient-1.1.0.0.exe" "$winbin/holder.exe" "$zip"; do
    [ -f "$tool" ] || { echo "missing ${tool:-the Windows zip}: run scripts/setup-windows.sh, then scripts/setup.sh" >&2; exit 2; }
done

marker=.solupdate-windows-run
if [ -z "$work" ]; then
    work="$(mktemp -d /tmp/solupdate-windemo.XXXXXX)"
elif [ -f "$work/$marker" ]; then
    # What a killed run left running in its prefix ends with its wine server.
    "$here/winesession.sh" stop "$work/session" > /dev/null 2>&1 || true
    rm -rf "$work"
elif [ -n "$(ls -A "$work" 2> /dev/null)" ]; then
    echo "$work holds files of something else; give an empty or new folder" >&2
    exit 2
fi
mkdir -p "$work"
touch "$work/$marker"
work="$(cd "$work" && pwd)"
session="$work/session"
pids=()
cleanup() {
    # What still runs in the prefix (an interrupted upgrade) ends with its wine server.
    "$here/winesession.sh" stop "$session" > /dev/null 2>&1 || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }
b64() { printf %s "$1" | base64 -w0; }
# The Windows path of a unix one, through wine's drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
source "$root/demo/release.sh"

step "wine session"
# A prefix of its own: nothing of another run or suite can pass for this one's registry value,
# shortcut or history.
"$here/winesession.sh" start "$session"
export WINEPREFIX="$session/prefix" HOME="$session/home" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=":$(cat "$session/display")"
# The installation brings its own DLLs: nothing of the build machine may stand in for them.
unset WINEPATH WINEDLLPATH QT_PLUGIN_PATH QT_QPA_PLATFORM_PLUGIN_PATH QT_QPA_PLATFORM
users="$WINEPREFIX/drive_c/users"
# The shortcuts on the user's and the public desktop (wine links the user's to the home folder).
desktop_links() { find -L "$users"/*/Desktop -maxdepth 1 -name '*.lnk' 2> /dev/null || true; }
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tandemo_Teacher'
echo "  prefix $WINEPREFIX on display $DISPLAY"

step "sample client 1.0.0.0 (installed) and 1.1.0.0 (the release), the updater $([ -n "$beside" ] && echo beside them || echo inside each)"
python3 -m zipfile -e "$zip" "$work/zip"
updater_files="$(find "$work/zip" -mindepth 1 -maxdepth 1 -type d)"
make_release_key "$bin" "$work"
printf '[config]\r\nCheckInterval=3600\r\nCheckIntervalAfterUserCancel=86400\r\nNeedKilledProcessesBeforeUpgrade=\r\nPublicKey=%s\r\n' \
    "$public_key" > "$updater_files/solupdate.ini"
for version in 1.0.0.0 1.1.0.0; do
    tree="$work/release-$version"
    "$testbin/versiontree" "$tree" "$version"
    # Windows has no symbolic links of this kind; the client is a Windows program of the version.
    find "$tree" -type l -delete
    cp "$winbin/sampleclient-$version.exe" "$tree/Client.exe"
    [ -n "$beside" ] || cp -r "$updater_files"/. "$tree/"
done
install="$WINEPREFIX/drive_c/Program Files/Sample Client 示例"
install_win='C:\Program Files\Sample Client 示例'
updater_win="$install_win"
cp -a "$work/release-1.0.0.0" "$install"
echo "  $install_win: $(find "$install" -type f | wc -l) files"
if [ -n "$beside" ]; then
    updater_win='C:\Program Files\Sample Updater'
    cp -r "$updater_files" "$WINEPREFIX/drive_c/Program Files/Sample Updater"
    echo "  the updater in $updater_win"
fi

step "the release: packages made by mkhpatch, signed with solrelease, served by nginx"
publish_release "$bin" "$work" 1.1.0.0
pids+=("$nginx_pid")

step "the master: the running client and its named pipe server (mastermock.exe)"
wine "$install_win\\Client.exe" > /dev/null 2>&1 &
client=$!
pids+=("$client")
master_out="$work/master-received.txt"
: > "$master_out"
coproc MASTER { WINEPATH="$(winpath "$updater_files")" exec wine "$winbin/mastermock.exe" --name demo-master --out "$(winpath "$master_out")"; }
master_pid=$MASTER_PID # bash forgets it once the coprocess ends
pids+=("$master_pid")
ready=""
read -r -t 60 -u "${MASTER[0]}" ready || true
ready="${ready%$'\r'}"
if [ "$ready" != listening ]; then
    # It once ended at once under load, saying nothing: its exit code is all there is to go on.
    how="still running"
    kill -0 "$master_pid" 2>/dev/null || { code=0; wait "$master_pid" || code=$?; how="ended with exit code $code"; }
    echo "mastermock.exe did not start: it printed \"$ready\", $how" >&2
    exit 1
fi
echo "  client (wine pid $client) running; mastermock.exe listening as demo-master"

mkdir -p "$work/logs"
args=(--mode=manual --role=teacher --exePath="$(b64 "$install_win\\Client.exe")" --updateUrl="$(b64 "$base/update.json")"
      --masterPid="$client" --lang=en --masterHwnd=1 --masterLocalServer="$(b64 demo-master)"
      --logDirPath="$(b64 "$(winpath "$work/logs")")")
# The log folder argument is this run's alone, also among other wine sessions of a parallel ctest.
copy_pattern="$(printf %s "${args[-1]}" | sed 's/[+]/\\&/g')"

step "check"
status=0
timeout -s KILL 120 wine "$updater_win\\solupdate.exe" --action=checkUpdate "${args[@]}" || status=$?
echo "  solupdate.exe checkUpdate exited with $status"
grep -ho 'update description signature [a-z]*[^"]*' "$work"/logs/*.log | sed 's/^/  /' || true
echo "  the master received:"
print_master_messages "$master_out"
grep -qF 'targetVersion\":\"1.1.0.0' "$master_out" \
    || { echo "the master was not offered 1.1.0.0" >&2; exit 1; }

if [ -n "$held" ]; then
    step "a program that holds lib\\core.dll of the installation without sharing (holder.exe)"
    wine "$winbin/holder.exe" "$install_win\\lib\\core.dll" > "$work/holder.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 300); do grep -q held "$work/holder.out" && break; sleep 0.2; done
    grep -q held "$work/holder.out" || { echo "holder.exe did not hold the file: $(cat "$work/holder.out")" >&2; exit 1; }
    echo "  held"
fi

step "upgrade"
# The client's end below must be the updater's doing.
kill -0 "$client" 2> /dev/null || { echo "the client is not running before the upgrade" >&2; exit 1; }
status=0
timeout -s KILL 120 wine "$updater_win\\solupdate.exe" --action=upgrade "${args[@]}" || status=$?
echo "  solupdate.exe upgrade handed over to its copy in the backup (exit $status)"
copy_log=""
for _ in $(seq 900); do
    for log in "$work"/logs/*.log; do
        grep -q 'action:realUpgrade' "$log" && copy_log="$log"
    done
    [ -n "$copy_log" ] && grep -q 'upgrade runner doloop complete' "$copy_log" && break
    sleep 0.2
done
[ -n "$copy_log" ] || { echo "the copy in the backup never logged; the logs:" >&2; cat "$work"/logs/*.log >&2; exit 1; }
if ! grep -q 'upgrade runner doloop complete' "$copy_log"; then
    echo "the copy ended without an outcome; its log:" >&2
    sed 's/^/  /' "$copy_log" >&2
    exit 1
fi
grep -o 'restart self for real upgrade\|update description signature [a-z]*[^"]*\|upgrade runner [a-z ]*\(package\|pakcage\|reportResult\)[^"]*' \
    "$work"/logs/*.log | sed 's/^[^:]*://; s/^/  /' || true
sleep 1
import -window root "$work/upgrade-outcome.png"
echo "  screenshot of the outcome: $work/upgrade-outcome.png"
# The dialog's result page waits for the user; its close button ends the copy.
pgrep -f -- "$copy_pattern" > /dev/null || { echo "the copy ended before its dialog was closed" >&2; exit 1; }
window="$(xdotool search --onlyvisible --classname 'solupdate.exe' 2> /dev/null | head -n1 || true)"
[ -n "$window" ] && "$testbin/wmclose" "$window"
closed=""
for _ in $(seq 100); do
    pgrep -f -- "$copy_pattern" > /dev/null || { closed=1; break; }
    sleep 0.1
done
[ -n "$closed" ] || { echo "the copy did not end when its dialog was closed" >&2; exit 1; }
echo "  the dialog was closed and the copy ended"

step "result"
failed=""
check() { # <what> <ok?>
    if [ "$2" = yes ]; then echo "  ok: $1"; else echo "  FAILED: $1" >&2; failed=1; fi
}
expected=1.1.0.0
[ -z "$held" ] || expected=1.0.0.0
version="$(strings -e l "$install/Client.exe" | grep -A1 -x ProductVersion | tail -n1 || true)"
echo "  installed version (Client.exe's version resource): $version"
same=no
diff -r "$work/release-$expected" "$install" > "$work/tree.diff" 2>&1 && same=yes
check "the installation is the $expected release byte for byte ($work/tree.diff)" "$same"
ended=no
kill -0 "$client" 2> /dev/null || ended=yes
check "the running client was ended by the updater" "$ended"
registry="$( (wine reg query "$uninstall_key" /v DisplayVersion 2> /dev/null || true) | tr -d '\r' | sed -n 's/.*DisplayVersion *REG_SZ *//p')"
echo "  wine reg query $uninstall_key /v DisplayVersion: ${registry:-<none>}"
if [ -z "$held" ]; then
    check "DisplayVersion is 1.1.0.0" "$([ "$registry" = 1.1.0.0 ] && echo yes || echo no)"
else
    check "DisplayVersion was not set" "$([ -z "$registry" ] && echo yes || echo no)"
fi
shortcut="$(desktop_links | head -n1)"
echo "  desktop shortcut: ${shortcut:-<none>}"
# The shell link holds the target's path as Unicode names of its item list.
target=no
[ -n "$shortcut" ] && python3 - "$shortcut" "$install_win\\Client.exe" <<'EOF' && target=yes
import sys
link = open(sys.argv[1], "rb").read()
names = sys.argv[2].split("\\")[1:]
sys.exit(0 if link[:4] == b"L\0\0\0" and all(name.encode("utf-16-le") in link for name in names) else 1)
EOF
[ -n "$held" ] || check "the desktop shortcut leads to $install_win\\Client.exe" "$target"
history="$(find "$users" -path '*/AppData/Local/*' -name 'solupdate_history_teacher.ini' 2> /dev/null | head -n1)"
echo "  history: ${history:-<none>}"
[ -n "$history" ] && sed 's/^/    /' "$history"
status="$(sed -n 's/^LastUpgradeStatus=//p' "${history:-/dev/null}" | tr -d '\r')"
# A success leaves the 0 the check had written; only a failure can be told from the history.
if [ -n "$held" ]; then
    check "the history holds the failed restore (LastUpgradeStatus $status)" "$([ "$status" = 9 ] && echo yes || echo no)"
fi
echo "  logs: $work/logs"
[ -z "$failed" ] || { echo "the Windows upgrade did not hold" >&2; exit 1; }
echo "  the installation is at $expected under wine, as it should be"
