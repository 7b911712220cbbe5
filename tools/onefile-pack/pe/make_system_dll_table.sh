#!/usr/bin/env bash
# Writes system_dll_names.inc: the DLLs Windows ships in its system folder,
# taken from the Windows DLLs Debian's wine64 implements (one folder of
# them), minus what Windows does not ship: Wine's own (wine*), the
# compilers' runtimes and every redistributable (Visual C++, DirectX
# extras, drivers' loaders), plus the few Windows DLLs Wine lacks.
#   tools/onefile-pack/pe/make_system_dll_table.sh [WINE_DLL_FOLDER]
set -euo pipefail
folder=${1:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}
here=$(cd "$(dirname "$0")" && pwd)
[[ -d $folder ]] || { echo "make_system_dll_table.sh: no folder $folder (install wine64)" >&2; exit 1; }
redistributable='^(wine|msvcp|vcruntime|msvcr[0-9d]|msvcm[0-9]|vcomp|concrt|atl[0-9]|d3dx|d3dcompiler_(3|4[0-6])|xinput1_[123]\.|x3daudio|xactengine|xapofx|xaudio2_[0-7]\.|zlib1|vulkan-1|opencl|wpcap|unicows|mscorwks|capi2032|ctapi32|wintab32|wnaspi32|wing32|dx8vb|lib)'
missing_from_wine='cryptbase.dll logoncli.dll'
{
  echo "// Made by make_system_dll_table.sh from the Windows DLLs of Debian's wine64;"
  echo "// edit that script, not this list."
  { ls "$folder" | grep -Ei '\.(dll|drv)$' | tr 'A-Z' 'a-z' | grep -Ev "$redistributable"
    printf '%s\n' $missing_from_wine; } | sort -u | sed 's/.*/"&",/'
} > "$here/system_dll_names.inc"
echo "make_system_dll_table.sh: $(grep -c '^"' "$here/system_dll_names.inc") names in $here/system_dll_names.inc"
