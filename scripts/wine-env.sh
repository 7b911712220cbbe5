# Sourced by the project's scripts: the private Wine prefix inside the build
# tree and the 64-bit loader, which Debian does not put on PATH.
onefile_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX_OVERRIDE:-${ONEFILE_BUILD_DIR:-$onefile_root/build}/wineprefix}
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installers: nothing here uses .NET or HTML.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver
