#!/usr/bin/env bash
# The updater at work, from a check to an installed new version, on this machine alone:
#  - builds the sample client "version 1.0.0.0" and installs it, and the same client at 1.1.0.0;
#  - publishes 1.1.0.0 as a vendor does (demo/release.sh): packages made by our package maker, their
#    sizes and hashes in an update description signed by the release tool, all served by nginx;
#  - starts the master stand-in and runs a check, printing what the master received;
#  - runs the upgrade with its dialog on screen (a virtual one when there is no display), saves a
#    screenshot of the outcome, closes the dialog, and prints the installed version, the logs and
#    the history. Everything it started is ended on the way out.
# Run after scripts/setup.sh has built the project (scripts/demo.sh does both).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/build/bin"
testbin="$root/build/tests/bin"
out="$root/build/demo"
for tool in "$bin/solupdate" "$bin/hpatchz" "$bin/mkhpatch" "$bin/solrelease" "$testbin/versiontree" "$testbin/mastermock" \
            "$testbin/wmclose"; do
    [ -x "$tool" ] || { echo "missing $tool: build first (scripts/setup.sh)" >&2; exit 1; }
done

work="$(mktemp -d /tmp/solupdate-demo.XXXXXX)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    # An updater that is still up (the demo was interrupted) is ours by its path.
    for exe in /proc/[0-9]*/exe; do
        case "$(readlink "$exe" 2>/dev/null)" in
            "$work"/*) pid="${exe#/proc/}"; kill -9 "${pid%/exe}" 2>/dev/null || true ;;
        esac
    done
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }
b64() { printf %s "$1" | base64 -w0; }
source "$root/demo/release.sh"

# Every per-user location of the demo lies in its work directory.
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config"
export XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/home/.runtime" TMPDIR="$work/home/tmp"
# A desktop session has its desktop directory; the shortcut of a successful upgrade goes there.
mkdir -p "$HOME/Desktop" "$TMPDIR" "$XDG_RUNTIME_DIR" "$work/logs" "$work/www/packages" "$out"
chmod 700 "$XDG_RUNTIME_DIR"

step "sample client 1.0.0.0 (installed) and 1.1.0.0 (the release)"
install="$work/Sample Client 示例"
"$testbin/versiontree" "$work/release-1.0.0.0" 1.0.0.0
"$testbin/versiontree" "$work/release-1.1.0.0" 1.1.0.0
cp -a "$work/release-1.0.0.0" "$install"
(cd "$install" && find . -type f | sort | sed 's/^/  /')

step "the release: packages made by mkhpatch, signed with solrelease, served by nginx"
make_release_key "$bin" "$work"
publish_release "$bin" "$work" 1.1.0.0
pids+=("$nginx_pid")

step "the updater beside its settings"
updater="$work/updater"
mkdir -p "$updater"
cp "$bin/solupdate" "$bin/hpatchz" "$updater/"
printf '[config]\nCheckInterval=3600\nCheckIntervalAfterUserCancel=86400\nNeedKilledProcessesBeforeUpgrade=\nPublicKey=%s\n' \
    "$public_key" > "$updater/solupdate.ini"
echo "  $updater"

step "the master: the running client and its local server (mastermock)"
"$install/Client.exe" &
client=$!
pids+=($client)
master_out="$work/master-received.txt"
coproc MASTER { exec "$testbin/mastermock" --name demo-master --out "$master_out"; }
pids+=($MASTER_PID)
read -r -u "${MASTER[0]}" ready
echo "  client pid $client; mastermock $ready as demo-master"

args=(--mode=manual --role=teacher --exePath="$(b64 "$install/Client.exe")" --updateUrl="$(b64 "$base/update.json")"
      --masterPid="$client" --lang=en --masterHwnd=1 --masterLocalServer="$(b64 demo-master)"
      --logDirPath="$(b64 "$work/logs")")

step "check"
set +e
"$updater/solupdate" --action=checkUpdate "${args[@]}"
status=$?
set -e
echo "  solupdate checkUpdate exited with $status"
grep -ho 'update description signature [a-z]*[^"]*' "$work"/logs/*.log | sed 's/^/  /'
echo "  the master received:"
print_master_messages "$master_out"

step "upgrade"
if [ -z "${DISPLAY:-}" ]; then
    Xvfb -displayfd 1 -screen 0 1440x900x24 -dpi 111 -nolisten tcp -noreset > "$work/xvfb.display" 2> "$work/xvfb.log" &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/xvfb.display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$work/xvfb.display")"
    echo "  no display: the dialog shows on Xvfb $DISPLAY"
fi
unset QT_QPA_PLATFORM
set +e
"$updater/solupdate" --action=upgrade "${args[@]}"
status=$?
set -e
echo "  solupdate upgrade handed over to its elevated copy (exit $status)"
# The copy writes the second log of the directory; it ends when its loop is done and the dialog is closed.
copy_log=""
for _ in $(seq 600); do
    for log in "$work"/logs/*.log; do
        grep -q '"mainapplication initialize"' "$log" && grep -q 'action:realUpgrade' "$log" && copy_log="$log"
    done
    if [ -n "$copy_log" ]; then
        copy_pid="$(basename "$copy_log" | sed -E 's/^solupdate_([0-9]+)_.*/\1/')"
        grep -q 'upgrade runner doloop complete' "$copy_log" && break
        kill -0 "$copy_pid" 2>/dev/null || break
    fi
    sleep 0.2
done
[ -n "$copy_log" ] || { echo "the upgrade copy never logged" >&2; exit 1; }
if ! grep -q 'upgrade runner doloop complete' "$copy_log"; then
    echo "the upgrade copy ended without an outcome; its log:" >&2
    sed 's/^/  /' "$copy_log" >&2
    exit 1
fi
grep -o 'update description signature [a-z]*[^"]*\|upgrade runner [a-z ]*\(package\|pakcage\|reportResult\)[^"]*' \
    "$copy_log" | sed 's/^/  /'
sleep 1
import -window root "$out/upgrade-outcome.png"
echo "  screenshot of the outcome: $out/upgrade-outcome.png"
window="$(xdotool search --onlyvisible --pid "$copy_pid" 2>/dev/null | head -n1 || true)"
[ -n "$window" ] && "$testbin/wmclose" "$window"
for _ in $(seq 100); do kill -0 "$copy_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$client" 2>/dev/null && echo "  the old client is still running" || echo "  the old client was ended by the updater"

step "result"
version="$(strings -e l "$install/Client.exe" | grep -A1 -x ProductVersion | tail -n1)"
echo "  installed version (Client.exe's version resource): $version"
echo "  DisplayVersion ($XDG_CONFIG_HOME/uninstall.ini): $(sed -n 's/^DisplayVersion=//p' "$XDG_CONFIG_HOME/uninstall.ini" 2>/dev/null)"
echo "  desktop shortcut: $(ls "$HOME"/Desktop/* 2>/dev/null) -> $(readlink "$HOME"/Desktop/* 2>/dev/null)"
echo "  logs: $work/logs"
ls "$work/logs" | sed 's/^/    /'
history="$XDG_DATA_HOME/solupdate/solupdate_history_teacher.ini"
echo "  history: $history"
sed 's/^/    /' "$history"
echo "  the local data directory now holds: $(ls "$XDG_DATA_HOME/solupdate" | tr '\n' ' ')"
if [ "$version" = "1.1.0.0" ]; then
    echo "  upgraded to 1.1.0.0"
else
    echo "  the installation is still at $version" >&2
    exit 1
fi
