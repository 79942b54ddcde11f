#!/usr/bin/env bash
# Renders the progress dialog with the real skin and translations into docs/dialog-<state>-<lang>.png
# (English and Chinese, scale factor 1). Builds what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
cmake --build build -j2 --target renderdialog >/dev/null
QT_QPA_PLATFORM=offscreen build/tests/bin/renderdialog docs 2>/dev/null | grep -v '^System Name'
