#!/usr/bin/env bash
# The whole test suite on a fresh machine: set-up, build, then every test under ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cd build
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
ctest --output-on-failure -j "$(nproc 2>/dev/null || echo 2)" --timeout 600 2>&1 | tee "$out" || status=$?
# How much of the Windows set ran (the wine session's start and stop are no tests): without the
# Windows toolchain it is one skipped entry.
total=0 ran=0
while read -r name; do
    total=$((total + 1))
    grep -Eq "Test +#[0-9]+: $name \.+ *(\*\*\*)?(Passed|Failed)" "$out" && ran=$((ran + 1))
done < <(ctest -N -L windows | sed -n 's/^ *Test *#[0-9]*: //p' | grep -v -x -E 'windows_wine_(start|stop)')
echo "Windows tests run under wine: $ran of $total"
exit "$status"
