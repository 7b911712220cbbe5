#!/usr/bin/env bash
# Creates the private Wine prefix once, without a display and without prompts.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
if [[ -f $WINEPREFIX/.onefile-ready ]]; then
  exit 0
fi
echo "setup: creating the Wine prefix in $WINEPREFIX"
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
env -u DISPLAY "$WINELOADER" wineboot --init > /dev/null 2>&1 < /dev/null
"$WINESERVER" -w
touch "$WINEPREFIX/.onefile-ready"
