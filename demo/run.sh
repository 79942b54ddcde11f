#!/usr/bin/env bash
# Runs a check against a sample installation and shows where the log went.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
mkdir -p "$work/install" "$work/logs"
cp /bin/true "$work/install/Client"
b64() { printf %s "$1" | base64 -w0; }
"$root/build/bin/solupdate" --mode=manual --action=checkUpdate --role=teacher \
    --exePath="$(b64 "$work/install/Client")" --updateUrl="$(b64 http://127.0.0.1:1/update.json)" \
    --masterPid=1 --lang=en --masterHwnd=1 --masterLocalServer="$(b64 demo-master)" \
    --logDirPath="$(b64 "$work/logs")"
echo "solupdate exited with $?"
echo "log: $(ls "$work"/logs/*.log)"
cat "$work"/logs/*.log
