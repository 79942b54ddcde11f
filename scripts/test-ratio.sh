#!/usr/bin/env bash
# Lines of test code (.cpp/.h under tests/) against the rest of the .cpp/.h files in git.
set -euo pipefail
cd "$(dirname "$0")/.."
tests=$(git ls-files 'tests/*.cpp' 'tests/*.h' | xargs cat | wc -l)
other=$(git ls-files '*.cpp' '*.h' | grep -v '^tests/' | xargs cat | wc -l)
awk -v t="$tests" -v o="$other" 'BEGIN { printf "test code %d lines, other code %d lines, ratio %.2f\n", t, o, t / o }'
