#!/usr/bin/env bash
# Fails when a Windows program imports a DLL it must not.
#   check_imports.sh shipped PROGRAM...   only kernel32 and the C runtime: the
#       bootstrap binds every other system DLL at run time, from the system
#       directory, where the fresh road needs it
#   check_imports.sh known PROGRAM...     only DLLs the system loads from its
#       own directory (KnownDLLs): a DLL planted beside a program is never used
set -euo pipefail
case ${1:-} in
  shipped) allowed='^(kernel32|msvcrt)\.dll$' ;;
  known) allowed='^(kernel32|user32|gdi32|shell32|shlwapi|ole32|oleaut32|advapi32|msvcrt|comdlg32|rpcrt4)\.dll$' ;;
  *) echo "usage: check_imports.sh shipped|known PROGRAM..." >&2; exit 64 ;;
esac
shift
status=0
for program in "$@"; do
  while read -r dll; do
    if ! grep -qiE "$allowed" <<< "$dll"; then
      echo "$program imports $dll"
      status=1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p')
done
exit $status
