#!/usr/bin/env bash
# Renders the progress dialog with the real skin and translations into docs/dialog-<state>-<lang>.png
# (English and Chinese, scale factor 1). Builds what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
cmake --build build -j2 --target renderdialog >/dev/null
# The VNC platform is the one that lets us choose the screen's size and physical size (1440 pixels
# at 111 DPI, the reference screen); it listens on a free port only while the pictures are drawn.
QT_QPA_PLATFORM="vnc:size=1440x900:mmsize=329x206:port=0" build/scripts/renderdialog/renderdialog docs 2>/dev/null \
    | grep -v '^System Name'
