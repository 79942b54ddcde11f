#!/usr/bin/env bash
# The whole test suite on a fresh machine: set-up, build, then every test under ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cd build
ctest --output-on-failure -j "$(nproc 2>/dev/null || echo 2)" --timeout 600
