#!/usr/bin/env bash
# Package download benchmark: the updater's package downloader, without and with the size and
# SHA-256 check of a signed description, against `curl -o`, all fetching the same files from nginx
# on 127.0.0.1 (its own configuration under build/bench/download). Prints per size the wall time and
# throughput of each, curl's time / ours for both (median of the runs), peak RSS, and for every run
# whether our files match the served file, with the CPU seconds (user + system) each of ours took:
# on a busy machine the wall times scatter, the CPU cost of the hash much less.
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
echo "ours: without a check; hashed: with the size and SHA-256 a signed description names (hash computed as the bytes arrive)"
printf '%-8s %-4s %8s %8s %8s %9s %9s %9s %7s %7s %10s %10s %s\n' size run curl_s ours_s hashed_s curl_MiBs ours_MiBs \
    hashed_MiBs ratio ratio_h curl_rss_K hashed_rss_K intact
for mib in "${sizes[@]}"; do
    src="$work/www/file$mib.bin"
    head -c $((mib * 1048576)) /dev/urandom > "$src"
    chmod 644 "$src"
    sha=$(sha256sum "$src" | cut -d' ' -f1)
    url="http://127.0.0.1:$port/file$mib.bin"
    n=$pairs
    [ "$mib" -lt 4096 ] || n=1
    ratios=()
    hashed_ratios=()
    our_rss=()
    for pair in $(seq "$n"); do
        rm -f "$work"/out/*
        # Who goes first rotates, so none of the three always meets a cold cache.
        declare -A line=()
        for who in $(printf 'curl\nours\nhashed\n' | tail -n +$(( (pair - 1) % 3 + 1 )); printf 'curl\nours\nhashed\n' | head -n $(( (pair - 1) % 3 ))); do
            case $who in
                curl) line[curl]=$(/usr/bin/time -f '%e %M' curl -s -o "$work/out/curl.bin" "$url" 2>&1 | tail -1)
                      rm -f "$work/out/curl.bin" ;;
                ours) line[ours]=$(/usr/bin/time -o "$work/out/cpu" -f '%U %S' "$bench" "$url" "$work/out/ours.bin" 2>/dev/null || true)
                      line[ours_cpu]=$(awk '{print $1 + $2}' "$work/out/cpu")
                      cmp -s "$src" "$work/out/ours.bin" && line[ours_ok]=yes || line[ours_ok]=no
                      rm -f "$work/out/ours.bin" ;;
                hashed) line[hashed]=$(/usr/bin/time -o "$work/out/cpu" -f '%U %S' "$bench" "$url" "$work/out/hashed.bin" \
                          "$((mib * 1048576))" "$sha" 2>/dev/null || true)
                      line[hashed_cpu]=$(awk '{print $1 + $2}' "$work/out/cpu")
                      cmp -s "$src" "$work/out/hashed.bin" && line[hashed_ok]=yes || line[hashed_ok]=no
                      rm -f "$work/out/hashed.bin" ;;
            esac
        done
        curl_s=$(echo "${line[curl]}" | cut -d' ' -f1)
        curl_rss=$(echo "${line[curl]}" | cut -d' ' -f2)
        ours_s=$(echo "${line[ours]}" | sed 's/.*seconds=\([0-9.]*\).*/\1/')
        hashed_s=$(echo "${line[hashed]}" | sed 's/.*seconds=\([0-9.]*\).*/\1/')
        rss=$(echo "${line[hashed]}" | sed 's/.*peak_rss_kib=\([0-9]*\).*/\1/')
        intact="ours ${line[ours_ok]}, hashed ${line[hashed_ok]}; cpu_s ours ${line[ours_cpu]}, hashed ${line[hashed_cpu]}"
        ratio=$(awk -v c="$curl_s" -v o="$ours_s" 'BEGIN {printf "%.3f", c / o}')
        ratio_h=$(awk -v c="$curl_s" -v o="$hashed_s" 'BEGIN {printf "%.3f", c / o}')
        ratios+=("$ratio")
        hashed_ratios+=("$ratio_h")
        our_rss+=("$rss")
        printf '%-8s %-4s %8s %8s %8s %9.0f %9.0f %9.0f %7s %7s %10s %10s %s\n' "${mib}MiB" "$pair" "$curl_s" "$ours_s" \
            "$hashed_s" "$(awk -v m="$mib" -v s="$curl_s" 'BEGIN {print m / s}')" \
            "$(awk -v m="$mib" -v s="$ours_s" 'BEGIN {print m / s}')" "$(awk -v m="$mib" -v s="$hashed_s" 'BEGIN {print m / s}')" \
            "$ratio" "$ratio_h" "$curl_rss" "$rss" "$intact"
    done
    printf '%-8s median ratio (curl time / ours): without the hash %s, with the hash %s; peak RSS hashed: max %s KiB\n' \
        "${mib}MiB" "$(printf '%s\n' "${ratios[@]}" | median)" "$(printf '%s\n' "${hashed_ratios[@]}" | median)" \
        "$(printf '%s\n' "${our_rss[@]}" | sort -g | tail -1)"
    rm -f "$src" "$work"/out/*
done
