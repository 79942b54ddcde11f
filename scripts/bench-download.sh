#!/usr/bin/env bash
# Package download benchmark: the updater's package downloader against `curl -o`, both fetching
# the same files from nginx on 127.0.0.1 (its own configuration under build/bench/download).
# Prints per size the wall time and throughput of both, curl's time / ours (median of pairs),
# peak RSS of both, and for every run whether size and content match the served file.
#
#   scripts/bench-download.sh [sizes in MiB, default "256 1024 4096"]
#   PAIRS=3 scripts/bench-download.sh 256 1024
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(256 1024 4096)
pairs=${PAIRS:-3}

for tool in nginx curl /usr/bin/time cmp; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup.sh installs it)"; exit 1; }
done
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target bench_download >/dev/null
bench="$root/build/bin/bench_download"

work="$root/build/bench/download"
mkdir -p "$work/www" "$work/out" "$work/tmp"
chmod 755 "$work" "$work/www"
# shellcheck source=lib/nginx.sh
. "$root/scripts/lib/nginx.sh"
cleanup() {
    stop_nginx
    rm -f "$work"/www/*.bin "$work"/out/*
}
trap cleanup EXIT
start_nginx "$work" "$work/www"
port=$NGINX_PORT

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

echo "nginx $(nginx -v 2>&1 | sed 's/.*\///') on 127.0.0.1:$port, $(curl --version | head -1 | cut -d' ' -f1-2), pairs per size: $pairs"
printf '%-8s %-5s %9s %9s %9s %9s %8s %12s %12s %s\n' size pair curl_s ours_s curl_MiBs ours_MiBs ratio curl_rss_KiB ours_rss_KiB intact
for mib in "${sizes[@]}"; do
    src="$work/www/file$mib.bin"
    head -c $((mib * 1048576)) /dev/urandom > "$src"
    chmod 644 "$src"
    url="http://127.0.0.1:$port/file$mib.bin"
    n=$pairs
    [ "$mib" -lt 4096 ] || n=1
    ratios=()
    our_rss=()
    for pair in $(seq "$n"); do
        rm -f "$work"/out/*
        # Who goes first alternates, so neither always meets a cold cache.
        if [ $((pair % 2)) -eq 0 ]; then line=$("$bench" "$url" "$work/out/ours.bin" 2>/dev/null); fi
        curl_line=$(/usr/bin/time -f '%e %M' curl -s -o "$work/out/curl.bin" "$url" 2>&1 | tail -1)
        curl_s=$(echo "$curl_line" | cut -d' ' -f1)
        curl_rss=$(echo "$curl_line" | cut -d' ' -f2)
        rm -f "$work/out/curl.bin"
        if [ $((pair % 2)) -eq 1 ]; then line=$("$bench" "$url" "$work/out/ours.bin" 2>/dev/null); fi
        ours_s=$(echo "$line" | sed 's/.*seconds=\([0-9.]*\).*/\1/')
        rss=$(echo "$line" | sed 's/.*peak_rss_kib=\([0-9]*\).*/\1/')
        ok=$(echo "$line" | sed 's/^ok=\([01]\).*/\1/')
        intact=no
        [ "$ok" = 1 ] && cmp -s "$src" "$work/out/ours.bin" && intact=yes
        ratio=$(awk -v c="$curl_s" -v o="$ours_s" 'BEGIN {printf "%.3f", c / o}')
        ratios+=("$ratio")
        our_rss+=("$rss")
        printf '%-8s %-5s %9s %9s %9.0f %9.0f %8s %12s %12s %s (%s bytes)\n' "${mib}MiB" "$pair" "$curl_s" "$ours_s" \
            "$(awk -v m="$mib" -v s="$curl_s" 'BEGIN {print m / s}')" "$(awk -v m="$mib" -v s="$ours_s" 'BEGIN {print m / s}')" \
            "$ratio" "$curl_rss" "$rss" "$intact" "$(stat -c %s "$work/out/ours.bin" 2>/dev/null || echo 0)"
    done
    printf '%-8s median ratio (curl time / ours): %s, peak RSS ours: max %s KiB\n' "${mib}MiB" \
        "$(printf '%s\n' "${ratios[@]}" | median)" "$(printf '%s\n' "${our_rss[@]}" | sort -g | tail -1)"
    rm -f "$src" "$work"/out/*
done
