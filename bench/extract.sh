#!/usr/bin/env bash
# Extraction benchmark: packs a reference payload built from files on this
# machine, extracts it with the Windows harness under Wine, and compares with
# native tar through zstd and with a plain zstd decode, all in one run. The
# harness also times, inside its process, the extraction as a start makes
# it (decoding ahead on a thread of its own), the same on one thread, the
# decoding alone and the writing alone (of the stream decoded beforehand).
#   bench/extract.sh [RUNS]        (default 3 runs per figure; medians shown)
set -euo pipefail
source "$(dirname "$0")/environment.sh"
runs=${1:-3}
level=${ONEFILE_BENCH_LEVEL:-19}
harness=$build/windows/tests/onefile_extract_harness.exe
ensure_payload
content=$(du -sb "$payload" | cut -f1)

block=$work/payload-$level.block
if [[ ! -f $block ]]; then
  start=$(seconds_now)
  # Its entry is never run (a Wine system DLL): made without the packer's
  # checks of the entry.
  "$build/host/tests/make_test_block" app.dll "$payload" "$block" "$level"
  echo "packer, level $level, $(nproc) threads: $(echo "$(seconds_now) - $start" | bc -l | xargs printf '%.1f') s" >&2
fi
verify=$("$pack" verify "$block")
frame=$(sed -n 's/.*frame \([0-9]*\) bytes.*/\1/p' <<< "$verify")
window=$(sed -n 's/.*window \([0-9]*\) bytes.*/\1/p' <<< "$verify")
block_size=$(stat -c %s "$block")
head -c $((3 + frame)) "$block" | tail -c +4 > "$work/frame.zst"
# Written aside and renamed: a run stopped halfway leaves no partial archive.
if [[ ! -f $work/payload-$level.tar.zst ]]; then
  tar -C "$payload" -cf - . | zstd -q -f -"$level" -T0 -o "$work/payload-$level.tar.zst.part"
  mv "$work/payload-$level.tar.zst.part" "$work/payload-$level.tar.zst"
fi
echo "block: $block_size bytes for $content bytes of files (ratio $(echo "$content / $block_size" | bc -l | xargs printf '%.2f')), window $window bytes" >&2

# The whole fresh road: the payload behind the report application, which
# returns at once; unpacked, run and removed again by the bootstrap.
whole=$work/reference-$level.exe
"$pack" build --block "$(reference_block "$level")" -o "$whole" > /dev/null

out=$work/out
target=$(windows_path "$out")
tar_zst=$work/payload-$level.tar.zst

# measure PIN...: every figure once per round, rounds interleaved, medians.
declare -A times
measure() {
  local kind command start
  "$WINESERVER" -k 2>/dev/null || true
  "$@" "$WINESERVER" -p
  "$@" "$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
  for ((i = 0; i < runs; i++)); do
    for kind in harness one_thread decode write tar zstd whole tar_rm; do
      rm -rf "$out"; sync
      case $kind in
        harness) command=("$WINELOADER" "$harness" --block "$block" --timed "$target") ;;
        one_thread) command=("$WINELOADER" "$harness" --block "$block" --one-thread "$target") ;;
        decode)  command=("$WINELOADER" "$harness" --block "$block" --decode-only "$target") ;;
        write)   command=("$WINELOADER" "$harness" --block "$block" --write-only "$target") ;;
        tar)     command=(bash -c 'mkdir -p "$2" && zstd -q -d -c "$1" | tar -C "$2" -xf -' _ "$tar_zst" "$out") ;;
        zstd)    command=(bash -c 'zstd -q -d -c "$1" > /dev/null' _ "$work/frame.zst") ;;
        whole)   command=("$WINELOADER" "$whole") ;;
        tar_rm)  command=(bash -c 'mkdir -p "$2" && zstd -q -d -c "$1" | tar -C "$2" -xf - && rm -rf "$2"' _ "$tar_zst" "$out") ;;
      esac
      start=$(seconds_now)
      "$@" "${command[@]}" < /dev/null > "$work/harness.out" 2>&1 || { echo "benchmark: $kind failed" >&2; exit 1; }
      times[$kind$1]+="$(echo "$(seconds_now) - $start" | bc -l) "
      # The harness's own time of the work, without the process around it.
      if grep -q '^seconds ' "$work/harness.out"; then
        times[inner_$kind$1]+="$(sed -n 's/^seconds \([0-9.]*\).*/\1/p' "$work/harness.out") "
      fi
    done
  done
  "$WINESERVER" -k
}
measure taskset -c 0
measure env
rm -rf "$out"
rm -rf "$out"; "$WINESERVER" -p; "$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
peak=$( { /usr/bin/time -f '%M' "$WINELOADER" "$harness" --block "$block" "$target" > /dev/null; } 2>&1 | tail -n 1)
"$WINESERVER" -k; rm -rf "$out"
line() {  # PIN LABEL
  local h t z w r
  h=$(median_of "harness$1") t=$(median_of "tar$1") z=$(median_of "zstd$1") w=$(median_of "whole$1") r=$(median_of "tar_rm$1")
  printf '  %-9s extraction %.2f s / tar %.2f s = %s   / zstd decode %.2f s = %s   whole road %.2f s / tar + rm -rf %.2f s = %s\n' \
    "$2" "$h" "$t" "$(ratio "$h" "$t")" "$z" "$(ratio "$h" "$z")" "$w" "$r" "$(ratio "$w" "$r")"
}

# Inside the harness: the overlapped extraction against the larger of its
# two halves, and against the one-thread extraction.
inner() {  # PIN LABEL
  local e o d w larger
  e=$(median_of "inner_harness$1") o=$(median_of "inner_one_thread$1") d=$(median_of "inner_decode$1") w=$(median_of "inner_write$1")
  larger=$(echo "if ($d > $w) $d else $w" | bc -l)
  printf '  %-9s extraction %.2f s: decoding alone %.2f s, writing alone %.2f s: %s of the larger (goal: 1.05 unpinned); one thread %.2f s: %s of it (goal: 1.0 pinned)\n' \
    "$2" "$e" "$d" "$w" "$(ratio "$e" "$larger")" "$o" "$(ratio "$e" "$o")"
}

# The harness holds the block in memory; the reader, the window and its
# pieces decoded ahead.
budget=$(( (block_size + window) / 1024 + (32 + 16) * 1024 ))
cat <<REPORT

Extraction of $content bytes in $(find "$payload" -type f | wc -l) files, level $level, $runs interleaved rounds, medians:
$(line taskset pinned:)
$(line env unpinned:)
 inside the harness's process:
$(inner taskset pinned:)
$(inner env unpinned:)
  peak resident memory of the harness: $peak KiB; budget block + window + 32 MiB of pieces + 16 MiB = $budget KiB
REPORT
