#!/usr/bin/env bash
# The main job on a fresh machine: set-up, build, then the demo.
#   scripts/demo.sh [--windows]
# --windows runs it with the Windows build under wine (demo/run-windows.sh); that build needs the
# Qt for Windows of scripts/setup-windows.sh (about an hour, once per machine).
set -euo pipefail
cd "$(dirname "$0")/.."
windows=""
case "${1:-}" in
    --windows) windows=1 ;;
    "") ;;
    *) echo "usage: $0 [--windows]" >&2; exit 2 ;;
esac
scripts/setup.sh
if [ -n "$windows" ]; then
    if ! ls build/dist/solupdate-*-win64.zip > /dev/null 2>&1; then
        echo "demo: no Windows build: run scripts/setup-windows.sh (about an hour, once per machine), then this again" >&2
        exit 2
    fi
    exec bash demo/run-windows.sh
fi
exec bash demo/run.sh
