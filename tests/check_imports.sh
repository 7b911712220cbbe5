#!/usr/bin/env bash
# Fails when a Windows program imports any DLL that the system does not load
# from its own directory (the KnownDLLs): a DLL planted beside a downloaded
# executable must never be picked up.
set -euo pipefail
allowed='^(kernel32|user32|gdi32|shell32|shlwapi|ole32|oleaut32|advapi32|msvcrt|comdlg32|rpcrt4)\.dll$'
status=0
for program in "$@"; do
  while read -r dll; do
    if ! grep -qiE "$allowed" <<< "$dll"; then
      echo "$program imports $dll, which is not a known system DLL"
      status=1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p')
done
exit $status
