#!/usr/bin/env bash
# Fuzzes the package reader and applier of hpatchz with libFuzzer (clang).
#   scripts/fuzz-hpatch.sh [--seconds N] [--build-dir DIR]
# Default: a 20-minute run. The test suite runs it for 30 seconds. Exits non-zero when a crash,
# leak, hang or stray write was found; the reproducer is left in the build directory.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=1200
build="$root/build/fuzz-hpatch-long" # not the one ctest uses, so both can run at once
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds="$2"; shift 2 ;;
        --build-dir) build="$2"; shift 2 ;;
        *) echo "usage: $0 [--seconds N] [--build-dir DIR]" >&2; exit 2 ;;
    esac
done
cxx="$(command -v clang++ || command -v clang++-14 || true)"
if [ -z "$cxx" ]; then
    echo "clang++ not found" >&2
    exit 2
fi
cmake -S "$root/tests/hpatch/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null

work="$build/work"
corpus="$build/corpus"
rm -rf "$work"
mkdir -p "$work" "$corpus"
export HPATCH_FUZZ_DIR="$work"
# One empty run makes the old tree the seeds are made against.
"$build/hpatchfuzz" -runs=0 >/dev/null 2>&1 || true

seeds="$build/seeds"
rm -rf "$seeds"
mkdir -p "$seeds/new/dir" "$seeds/new/empty"
cp -r "$work/old/." "$seeds/new/"
sed -i 's/line 17 /LINE 17 /' "$seeds/new/a.txt"
printf 'XY' | dd of="$seeds/new/dir/b.bin" bs=1 seek=500 conv=notrunc 2>/dev/null
cp "$seeds/new/c.txt" "$seeds/new/dir/moved c.txt"
rm "$seeds/new/c.txt"
echo "added" > "$seeds/new/new file.txt"
"$build/mkhpatch-seed" "$work/old" "$seeds/new" "$seeds/inc.pkg" >/dev/null
"$build/mkhpatch-seed" --all-old "$work/old" "$seeds/new" "$seeds/all.pkg" >/dev/null
"$build/mkhpatch-seed" --full --level 3 "$seeds/new" "$seeds/full.pkg" >/dev/null
# Packages of formats 3 to 5 keep the older readers in the run.
cp "$root/tests/hpatch/data/format3.pkg" "$seeds/v3.pkg"
cp "$root/tests/hpatch/data/format4.pkg" "$seeds/v4.pkg"
cp "$root/tests/hpatch/data/format5.pkg" "$seeds/v5.pkg"
# The last byte of an input picks the hash repair and the check level of the run.
for p in inc all full v3 v4 v5; do
    for c in 0 1 3 5; do
        { cat "$seeds/$p.pkg"; printf "\\x0$c"; } > "$corpus/seed-$p-$c"
    done
done

cd "$build"
echo "fuzzing hpatchz for ${seconds}s (corpus $corpus)"
"$build/hpatchfuzz" "$corpus" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 2>&1 | tail -n 25
