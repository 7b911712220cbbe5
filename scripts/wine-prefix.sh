#!/usr/bin/env bash
# Creates a private Wine prefix once, without a display and without prompts.
#   wine-prefix.sh [PREFIX]    (default: the build tree's own prefix)
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
prefix=${1:-$WINEPREFIX}
if [[ -f $prefix/.onefile-ready ]]; then
  exit 0
fi
echo "setup: creating the Wine prefix in $prefix"
rm -rf "$prefix"
mkdir -p "$prefix"
WINEPREFIX=$prefix env -u DISPLAY "$WINELOADER" wineboot --init > /dev/null 2>&1 < /dev/null
WINEPREFIX=$prefix "$WINESERVER" -w
touch "$prefix/.onefile-ready"
