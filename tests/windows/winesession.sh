#!/bin/sh
# One wine session for the Windows suites of a ctest run: an Xvfb, so the windows platform of Qt
# can make its windows, and one wineserver of the prefix <dir>/prefix (made once per build tree),
# so each suite then starts in a fraction of a second. The home folder is <dir>/home: the prefix's
# desktop and documents never reach the real one.
#   winesession.sh start|stop <dir>
set -e
dir="$2"
[ -n "$dir" ] || { echo "usage: $0 start|stop <dir>" >&2; exit 2; }
export WINEPREFIX="$dir/prefix" HOME="$dir/home" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$1" in
    start)
        mkdir -p "$HOME"
        rm -f "$dir/display"
        Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" </dev/null >/dev/null 2>&1 &
        echo $! >"$dir/xvfb.pid"
        for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
        [ -s "$dir/display" ] || { echo "winesession: Xvfb did not start" >&2; exit 1; }
        export DISPLAY=":$(cat "$dir/display")"
        [ -f "$WINEPREFIX/system.reg" ] || timeout -s KILL 300 wineboot -i >/dev/null 2>&1
        # Fails only when a server of this prefix runs already, which serves as well. Whatever
        # stays running must not hold ctest's output open, or ctest waits for it to end.
        wineserver -p </dev/null >/dev/null 2>&1 || true
        # Variables of Linux named QT_* do not reach wine's programs; the user's environment in the
        # registry does. Qt then logs to stderr rather than to the debugger.
        timeout -s KILL 120 wine reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f </dev/null >/dev/null 2>&1
        ;;
    stop)
        wineserver -k 2>/dev/null || true
        wineserver -w
        [ -f "$dir/xvfb.pid" ] && kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
        rm -f "$dir/xvfb.pid" "$dir/display"
        ;;
    *) echo "usage: $0 start|stop <dir>" >&2; exit 2 ;;
esac
