#!/usr/bin/env bash
# A whole check as the master runs it, start to exit: the update description downloaded from nginx
# on 127.0.0.1, compared, the result sent to the master stand-in, the history written. Beside it,
# `curl -s -o` of the same document in the same run. Prints median wall times, their ratio and the
# check's peak RSS.
#
#   scripts/bench-check.sh [runs, default 21]
#   WRAP=eatmydata scripts/bench-check.sh   # the same with every fsync made a no-op, to see what the
#                                           # history file's durable writes cost
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${1:-21}

for tool in nginx curl /usr/bin/time python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup.sh installs it)"; exit 1; }
done
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target solupdate mastermock writeversionfile >/dev/null

work="$root/build/bench/check"
rm -rf "$work"
mkdir -p "$work/www" "$work/bin" "$work/install" "$work/logs" "$work/home/tmp" "$work/out"
cp build/bin/solupdate "$work/bin/"
printf '[config]\nCheckInterval=3600\nCheckIntervalAfterUserCancel=86400\n' > "$work/bin/solupdate.ini"
build/tests/bin/writeversionfile "$work/install/Client.exe" 1.0.0.0
cat > "$work/www/update.json" <<'JSON'
{"strategy":{"force":false},"config":{"name":"client","version":"1.1.0.0","title":"Update",
 "content":{"cn":"更快的同步","en":"Faster sync"},"product_url":"http://127.0.0.1/",
 "package":{"upgrade_packages":[{"download_url":"http://127.0.0.1/p.pkg","version_required":"1.0.0.0"}],
            "full_package":{"download_url":"http://127.0.0.1/full.pkg"}}}}
JSON

export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config" \
       XDG_CACHE_HOME="$work/home/.cache" TMPDIR="$work/home/tmp" QT_QPA_PLATFORM=offscreen

# shellcheck source=lib/nginx.sh
. "$root/scripts/lib/nginx.sh"
master_pid=
cleanup() {
    stop_nginx
    [ -z "$master_pid" ] || { kill "$master_pid" 2>/dev/null || true; wait "$master_pid" 2>/dev/null || true; }
}
trap cleanup EXIT
start_nginx "$work/nginx" "$work/www"
url="http://127.0.0.1:$NGINX_PORT/update.json"

build/tests/bin/mastermock --name bench-master --out "$work/out/master.txt" > "$work/out/master.stdout" &
master_pid=$!
for _ in $(seq 50); do grep -q listening "$work/out/master.stdout" 2>/dev/null && break; sleep 0.1; done

b64() { printf %s "$1" | base64 -w0; }
args=(--mode=manual --action=checkUpdate --role=teacher "--exePath=$(b64 "$work/install/Client.exe")"
      "--updateUrl=$(b64 "$url")" --masterPid=1 --lang=en --masterHwnd=1
      "--masterLocalServer=$(b64 bench-master)" "--logDirPath=$(b64 "$work/logs")")

now() { date +%s.%N; }
ours=() theirs=() rss=()
for i in $(seq "$runs"); do
    t0=$(now)
    /usr/bin/time -f %M -o "$work/out/rss" ${WRAP:-} "$work/bin/solupdate" "${args[@]}" || true
    t1=$(now)
    curl -s -o "$work/out/update.json" "$url"
    t2=$(now)
    ours+=("$(echo "$t1 - $t0" | bc -l)")
    theirs+=("$(echo "$t2 - $t1" | bc -l)")
    rss+=("$(cat "$work/out/rss")")
done

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
m_ours=$(median "${ours[@]}")
m_curl=$(median "${theirs[@]}")
m_rss=$(median "${rss[@]}")
received=$(wc -l < "$work/out/master.txt")
grep -q "check runner sendUpgradeInfoToMaster success" "$work"/logs/*.log || { echo "the check never reached the master"; exit 1; }
printf 'runs: %d, master received %d messages\n' "$runs" "$received"
printf 'check (start to exit): median %.1f ms\n' "$(echo "$m_ours * 1000" | bc -l)"
printf 'curl -s -o:            median %.1f ms\n' "$(echo "$m_curl * 1000" | bc -l)"
printf 'ratio check / curl:    %.2f\n' "$(echo "$m_ours / $m_curl" | bc -l)"
printf 'check peak RSS:        median %d KiB\n' "$m_rss"
