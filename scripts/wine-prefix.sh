#!/usr/bin/env bash
# Creates a private Wine prefix once, without a display and without prompts.
#   wine-prefix.sh [PREFIX]    (default: the build tree's own prefix)
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
prefix=${1:-$WINEPREFIX}
# A crash under Wine starts winedbg, which reads the crashed program's
# debug information and prints a backtrace: seconds, and minutes on a busy
# machine. These prefixes run programs made to crash; the exit code tells.
# Without a Debugger value Wine starts winedbg all the same: the value names
# a program that does not exist, whose start fails at once.
without_crash_debugger() {
  WINEPREFIX=$1 "$WINELOADER" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /t REG_SZ /d 'onefile-no-crash-debugger %ld %ld' /f > /dev/null 2>&1 < /dev/null
  WINEPREFIX=$1 "$WINESERVER" -w
  touch "$1/.onefile-no-crash-debugger-v2"
}
if [[ -f $prefix/.onefile-ready ]]; then
  [[ -f $prefix/.onefile-no-crash-debugger-v2 ]] || without_crash_debugger "$prefix"
  exit 0
fi
echo "setup: creating the Wine prefix in $prefix"
rm -rf "$prefix"
mkdir -p "$prefix"
WINEPREFIX=$prefix env -u DISPLAY "$WINELOADER" wineboot --init > /dev/null 2>&1 < /dev/null
WINEPREFIX=$prefix "$WINESERVER" -w
without_crash_debugger "$prefix"
touch "$prefix/.onefile-ready"
