#!/bin/sh
# The wine side of the Windows tests, in the prefix WINEPREFIX.
#   start: makes the prefix once per build tree (its first start takes a while) and keeps one
#          wineserver running, so that each program then starts in a fraction of a second;
#   stop:  ends that wineserver and waits until it is gone.
set -e
case "$1" in
    start)
        [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
        # Fails only when a server of this prefix runs already, which serves as well.
        wineserver -p 2>/dev/null || true
        ;;
    stop)
        wineserver -k || true
        wineserver -w
        ;;
    *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
