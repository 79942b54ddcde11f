#!/usr/bin/env bash
# The updater at work, from a check to an installed new version, on this machine alone:
#  - builds the sample client "version 1.0.0.0" and installs it, and the same client at 1.1.0.0;
#  - makes an incremental and a full package to 1.1.0.0 with our package maker;
#  - publishes them as a vendor does with the release tool: a new key pair, the packages' sizes and
#    hashes written into the update description, the description signed;
#  - serves them and the update description from nginx on 127.0.0.1;
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
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

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

step "packages made by mkhpatch"
"$bin/mkhpatch" "$work/release-1.0.0.0" "$work/release-1.1.0.0" "$work/www/packages/client-1.0.0.0-1.1.0.0.pkg"
"$bin/mkhpatch" --full "$work/release-1.1.0.0" "$work/www/packages/client-1.1.0.0-full.pkg"
ls -l "$work/www/packages" | sed 's/^/  /'

step "nginx on 127.0.0.1"
port="$(free_port)"
base="http://127.0.0.1:$port"
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/body; proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi; uwsgi_temp_path $work/nginx/uwsgi; scgi_temp_path $work/nginx/scgi;
  types { application/json json; text/html html; }
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/www; }
}
EOF
cat > "$work/www/update.json" <<EOF
{
  "strategy": { "force": false },
  "config": {
    "name": "sample client",
    "version": "1.1.0.0",
    "title": "Sample client 1.1.0.0",
    "content": { "cn": "示例客户端 1.1.0.0：更快，更稳。", "en": "Sample client 1.1.0.0: faster and steadier." },
    "product_url": "$base/index.html",
    "expires": "$(date -u -d '+30 days' +%Y-%m-%dT%H:%M:%SZ)",
    "package": {
      "upgrade_packages": [
        { "download_url": "$base/packages/client-1.0.0.0-1.1.0.0.pkg", "version_required": "1.0.0.0" }
      ],
      "full_package": { "download_url": "$base/packages/client-1.1.0.0-full.pkg" }
    }
  }
}
EOF
echo "<html><body>Sample client downloads</body></html>" > "$work/www/index.html"

step "release signed with solrelease"
public_key="$("$bin/solrelease" keygen "$work/release.key" | sed -n 's/^PublicKey=//p')"
"$bin/solrelease" hash "$work/www/update.json" "$work/www/packages"
"$bin/solrelease" sign "$work/release.key" "$work/www/update.json"
"$bin/solrelease" verify "$public_key" "$work/www/update.json" | sed 's/^/  /'
echo "  public key (PublicKey in solupdate.ini): $public_key"
python3 - "$work/www/update.json" <<'EOF'
import json, sys
package = json.load(open(sys.argv[1], encoding="utf-8"))["config"]["package"]
for entry in package["upgrade_packages"] + [package["full_package"]]:
    print("  %s: %d bytes, sha256 %s" % (entry["download_url"].rsplit("/", 1)[1], entry["size"], entry["sha256"]))
EOF
nginx=/usr/sbin/nginx
"$nginx" -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
pids+=($!)
for _ in $(seq 100); do curl -sf -o /dev/null "$base/update.json" && break; sleep 0.1; done
echo "  serving $work/www at $base"

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
python3 - "$master_out" <<'EOF'
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    message = json.loads(line)
    print("   ", json.dumps(message, ensure_ascii=False))
    payload = json.loads(message.get("data", "{}"))
    for key, value in payload.items():
        print("      %s: %s" % (key, json.dumps(value, ensure_ascii=False)))
EOF

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
