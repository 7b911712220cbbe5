#!/usr/bin/env bash
# One X display and one Wine session in the display prefix for all the
# display cases of a test run (a CTest fixture): starting Xvfb and a
# wineserver per case cost more than most cases themselves.
#   display-session.sh start PREFIX FILE   writes the display's name to FILE
#   display-session.sh stop PREFIX FILE
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
command=$1 prefix=$2 file=$3
case $command in
  start)
    # A display number no other X server holds a lock on.
    number=$((70 + $$ % 50))
    while [[ -e /tmp/.X$number-lock ]]; do number=$((number + 1)); done
    setsid Xvfb ":$number" -screen 0 1920x1080x24 -nolisten tcp -br < /dev/null > /dev/null 2>&1 &
    echo $! > "$file.xvfb"
    for _ in $(seq 600); do [[ -S /tmp/.X11-unix/X$number ]] && break; sleep 0.1; done
    [[ -S /tmp/.X11-unix/X$number ]] || { echo "display-session: Xvfb :$number did not start" >&2; exit 1; }
    # The session's wineserver stays until stop; it keeps this display.
    DISPLAY=":$number" WINEPREFIX=$prefix "$WINESERVER" -p < /dev/null > /dev/null 2>&1 || true
    DISPLAY=":$number" WINEPREFIX=$prefix "$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
    echo ":$number" > "$file"
    ;;
  stop)
    WINEPREFIX=$prefix "$WINESERVER" -k > /dev/null 2>&1 || true
    [[ -f $file.xvfb ]] && kill "$(cat "$file.xvfb")" 2> /dev/null || true
    rm -f "$file" "$file.xvfb"
    ;;
  *) echo "usage: display-session.sh start|stop PREFIX FILE" >&2; exit 64 ;;
esac
