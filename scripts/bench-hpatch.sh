#!/usr/bin/env bash
# Figures of the patch tool on public version pairs (npm) and a synthetic ~500 MB tree:
# package size, creation and apply time and peak RSS, beside tar | zstd -19 --long=27 of the new tree.
#   scripts/bench-hpatch.sh [--small]     --small: the npm pairs only, without the 500 MB tree
# Work files go to build/bench-hpatch (about 3 GB with the synthetic tree).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
small=0
[ "${1:-}" = "--small" ] && small=1
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j2 --target hpatchbench hpatchz mkhpatch >/dev/null
bin="$root/build/bin"
work="$root/build/bench-hpatch"
mkdir -p "$work/npm" "$work/trees" "$work/out"

fetch() { # name version -> prints the unpacked tree
    local pkg="$1@$2" dir="$work/trees/${1//\//_}-$2"
    if [ ! -d "$dir/package" ]; then
        mkdir -p "$dir"
        local tgz
        tgz=$(cd "$work/npm" && npm pack "$pkg" --silent 2>/dev/null | tail -n 1)
        tar -xzf "$work/npm/$tgz" -C "$dir"
    fi
    echo "$dir/package"
}

measure() { "$bin/hpatchbench" measure "$@"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

report() { # label old new goalBytes applyGoal [maker options...]
    local label="$1" old="$2" new="$3" goal="$4" applyGoal="$5"
    shift 5
    local tag="${label// /_}" pkg full tzst out
    pkg="$work/out/$tag.pkg"; full="$work/out/$tag.full.pkg"; tzst="$work/out/$tag.tar.zst"; out="$work/out/$tag.new"
    rm -rf "$out" "$work/out/x"
    read -r mt mr mc < <(measure "$bin/mkhpatch" "$@" "$old" "$new" "$pkg")
    read -r ft fr fc < <(measure "$bin/mkhpatch" --full "$new" "$full")
    read -r tt tr tc < <(measure sh -c "tar -C '$(dirname "$new")' -cf - '$(basename "$new")' | zstd -19 --long=27 -T1 -q -f -o '$tzst'")
    mkdir -p "$work/out/x"
    read -r xt xr xc < <(measure sh -c "zstd -dc --long=27 '$tzst' | tar -x -C '$work/out/x'")
    read -r at ar ac < <(measure "$bin/hpatchz" -C-diff -f "$old" "$pkg" "$out")
    local same=yes
    diff -r -q "$new" "$out" >/dev/null || same=NO
    local size fsize tsize
    size=$(stat -c %s "$pkg"); fsize=$(stat -c %s "$full"); tsize=$(stat -c %s "$tzst")
    echo "== $label (maker options: ${*:-none}); exit codes make $mc full $fc tar $tc untar $xc apply $ac; output equal: $same"
    printf "  incremental %12d bytes   goal %s   (%s)\n" "$size" "${goal:-none}" \
        "$([ -n "$goal" ] && awk -v s="$size" -v g="$goal" 'BEGIN { printf "%.3f x goal", s / g }')"
    printf "  full        %12d bytes   tar.zst %d bytes   full/tar.zst %.3f (goal <= 1.00)\n" "$fsize" "$tsize" \
        "$(awk -v a="$fsize" -v b="$tsize" 'BEGIN { print a / b }')"
    printf "  create incr %8.2f s  %8s MiB peak (goal 60 s, 1024 MiB)   create full %8.2f s  %8s MiB peak   tar.zst %8.2f s\n" \
        "$mt" "$(mib "$mr")" "$ft" "$(mib "$fr")" "$tt"
    printf "  apply       %8.2f s  %8s MiB peak (goal 24 MiB)   untar.zst %8.2f s  %8s MiB peak   apply/untar %.3f (goal <= %s)\n" \
        "$at" "$(mib "$ar")" "$xt" "$(mib "$xr")" "$(awk -v a="$at" -v b="$xt" 'BEGIN { print a / b }')" "${applyGoal:-none}"
    rm -rf "$out" "$work/out/x"
}

echo "hpatch benchmark, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores"
ts1=$(fetch typescript 5.3.2); ts0=$(fetch typescript 5.3.3)
report "typescript 5.3.2 to 5.3.3" "$ts1" "$ts0" 1800 0.5
ts2=$(fetch typescript 5.2.2)
report "typescript 5.2.2 to 5.3.2" "$ts2" "$ts1" 80000 0.5
mo0=$(fetch monaco-editor 0.44.0); mo1=$(fetch monaco-editor 0.45.0)
report "monaco-editor 0.44.0 to 0.45.0" "$mo0" "$mo1" 920000 0.7
sw0=$(fetch @swc/core-linux-x64-gnu 1.3.100); sw1=$(fetch @swc/core-linux-x64-gnu 1.3.101)
report "swc core 1.3.100 to 1.3.101" "$sw0" "$sw1" 4100000 0.7
if [ "$small" = 0 ]; then
    if [ ! -d "$work/trees/synthetic/new" ]; then
        rm -rf "$work/trees/synthetic"
        "$bin/hpatchbench" synth "$work/trees/synthetic/old" "$work/trees/synthetic/new" 500
    fi
    report "synthetic 500 MB" "$work/trees/synthetic/old" "$work/trees/synthetic/new" "" ""
fi
