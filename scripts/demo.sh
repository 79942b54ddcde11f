#!/usr/bin/env bash
# The main job on a fresh machine: set-up, build, then the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec bash demo/run.sh
