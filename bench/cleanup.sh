#!/usr/bin/env bash
# Cleanup benchmark: the reference tree, extracted anew before every run,
# deleted by the bootstrap's cleanup (the link-safe walk), by the shell's
# SHFileOperationW (how the cleanup was first built), by a minimal program
# that only calls DeleteFileW and RemoveDirectoryW (the floor), and by
# native rm -rf. Pinned with the wineserver to CPU 0 (see bench/extract.sh).
#   bench/cleanup.sh [RUNS]      (default 5; medians shown)
set -euo pipefail
source "$(dirname "$0")/environment.sh"
runs=${1:-5}
ensure_payload
pin=(taskset -c 0)
harness=$build/windows/tests/onefile_extract_harness.exe
probe=$build/windows/tests/onefile_probe.exe
delete_tree=$build/windows/bench/delete_tree.exe
# A fast level: only the extracted tree matters here.
block=$work/payload-3.block
# Its entry is never run (a Wine system DLL): made without the packer's
# checks of the entry.
[[ -f $block ]] || "$build/host/tests/make_test_block" app.dll "$payload" "$block" 3
out=$work/out
target=$(windows_path "$out")

"$WINESERVER" -k 2>/dev/null || true
"${pin[@]}" "$WINESERVER" -p
"${pin[@]}" "$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
# Extraction runs in the Windows world too, so the tree is what a run leaves.
reset='rm -rf "$out"; "${pin[@]}" "$WINELOADER" "$harness" --block "$block" "$target" > /dev/null; sync'
empty='rm -rf "$out"; mkdir -p "$out"'
# Interleaved: one run of each in turn, so drift hits all alike.
declare -A times
for ((i = 0; i < runs; i++)); do
  for kind in walk shell floor native start; do
    case $kind in
      walk)   eval "$reset"; command=("${pin[@]}" "$WINELOADER" "$probe" cleanup "$target") ;;
      shell)  eval "$reset"; command=("${pin[@]}" "$WINELOADER" "$delete_tree" shell "$target") ;;
      floor)  eval "$reset"; command=("${pin[@]}" "$WINELOADER" "$delete_tree" floor "$target") ;;
      native) eval "$reset"; command=(rm -rf "$out") ;;
      start)  eval "$empty"; command=("${pin[@]}" "$WINELOADER" "$probe" cleanup "$target") ;;
    esac
    start=$(seconds_now)
    "${command[@]}" > /dev/null 2>&1
    times[$kind]+="$(echo "$(seconds_now) - $start" | bc -l) "
    [[ ! -e $out ]] || { echo "benchmark: $kind left the tree behind" >&2; exit 1; }
  done
done
"$WINESERVER" -k
walk=$(median_of walk) shell=$(median_of shell) floor=$(median_of floor) native=$(median_of native) start=$(median_of start)
files=$(find "$payload" -type f | wc -l)
cat <<REPORT

Cleanup of the reference tree ($files files), pinned, $runs interleaved runs, medians:
  the bootstrap's walk (probe process)   $(printf '%.3f' "$walk") s
  SHFileOperationW (first cleanup)       $(printf '%.3f' "$shell") s
  DeleteFileW + RemoveDirectoryW floor   $(printf '%.3f' "$floor") s
  native rm -rf                          $(printf '%.3f' "$native") s
  the probe on an empty directory        $(printf '%.3f' "$start") s (process start)
  walk / SHFileOperationW = $(ratio "$walk" "$shell")   walk / floor = $(ratio "$walk" "$floor")   walk / rm -rf = $(ratio "$walk" "$native")
  without process starts: walk / floor = $(ratio "$(echo "$walk - $start" | bc -l)" "$(echo "$floor - $start" | bc -l)")
REPORT
