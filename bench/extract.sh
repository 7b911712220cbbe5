#!/usr/bin/env bash
# Extraction benchmark: packs a reference payload built from files on this
# machine, extracts it with the Windows harness under Wine, and compares with
# native tar through zstd and with a plain zstd decode, all in one run.
#   bench/extract.sh [RUNS]        (default 3 runs per figure; medians shown)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ONEFILE_BUILD_DIR:-$root/build}
runs=${1:-3}
level=${ONEFILE_BENCH_LEVEL:-19}
work=$build/bench
source "$root/scripts/wine-env.sh"
pack=$build/host/onefile-pack
harness=$build/windows/tests/onefile_extract_harness.exe

source "$root/bench/payload.sh"
source "$root/bench/timing.sh"
reset='rm -rf "$work/out"; sync'

mkdir -p "$work"
ensure_payload
content=$(du -sb "$payload" | cut -f1)

block=$work/payload-$level.block
if [[ ! -f $block ]]; then
  start=$(seconds_now)
  "$pack" create --level "$level" --entry app.dll -o "$block" "$payload" > /dev/null
  echo "packer, level $level, $(nproc) threads: $(echo "$(seconds_now) - $start" | bc -l | xargs printf '%.1f') s" >&2
fi
verify=$("$pack" verify "$block")
frame=$(sed -n 's/.*frame \([0-9]*\) bytes.*/\1/p' <<< "$verify")
window=$(sed -n 's/.*window \([0-9]*\) bytes.*/\1/p' <<< "$verify")
block_size=$(stat -c %s "$block")
head -c $((3 + frame)) "$block" | tail -c +4 > "$work/frame.zst"
[[ -f $work/payload-$level.tar.zst ]] || tar -C "$payload" -cf - . | zstd -q -"$level" -T0 -o "$work/payload-$level.tar.zst"
echo "block: $block_size bytes for $content bytes of files (ratio $(echo "$content / $block_size" | bc -l | xargs printf '%.2f')), window $window bytes" >&2

target='Z:'${work//\//\\}'\out'
tar_zst=$work/payload-$level.tar.zst
extract_wine=("$WINELOADER" "$harness" --block "$block" "$target")
extract_tar=(bash -c 'mkdir -p "$2" && zstd -q -d -c "$1" | tar -C "$2" -xf -' _ "$tar_zst" "$work/out")
decode_zstd=(bash -c 'zstd -q -d -c "$1" > /dev/null' _ "$work/frame.zst")

"$WINESERVER" -k 2>/dev/null || true
sleep 1
echo "--- pinned: Wine process and wineserver on CPU 0" >&2
taskset -c 0 "$WINESERVER" -p
taskset -c 0 "$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
wine_pinned=$(time_runs "harness extraction under Wine (pinned)" taskset -c 0 "${extract_wine[@]}")
tar_pinned=$(time_runs "native zstd -d | tar -x (pinned)" taskset -c 0 "${extract_tar[@]}")
zstd_pinned=$(time_runs "native zstd -d > /dev/null (pinned)" taskset -c 0 "${decode_zstd[@]}")
rm -rf "$work/out"
peak=$( { /usr/bin/time -f '%M' taskset -c 0 "$WINELOADER" "$harness" --block "$block" "$target" > /dev/null; } 2>&1 | tail -n 1)
"$WINESERVER" -k; sleep 1

echo "--- unpinned" >&2
"$WINESERVER" -p
"$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
wine_free=$(time_runs "harness extraction under Wine (unpinned)" "${extract_wine[@]}")
tar_free=$(time_runs "native zstd -d | tar -x (unpinned)" "${extract_tar[@]}")
zstd_free=$(time_runs "native zstd -d > /dev/null (unpinned)" "${decode_zstd[@]}")
"$WINESERVER" -k
rm -rf "$work/out"

budget=$(( (block_size + window) / 1024 + 16 * 1024 ))
cat <<REPORT

Extraction of $content bytes in $(find "$payload" -type f | wc -l) files, level $level:
  pinned:   harness / native tar = $(ratio "$wine_pinned" "$tar_pinned")   harness / zstd decode = $(ratio "$wine_pinned" "$zstd_pinned")
  unpinned: harness / native tar = $(ratio "$wine_free" "$tar_free")   harness / zstd decode = $(ratio "$wine_free" "$zstd_free")
  peak resident memory of the harness (pinned run): $peak KiB; budget block + window + 16 MiB = $budget KiB
REPORT
