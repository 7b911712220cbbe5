#!/usr/bin/env bash
# Shared cache benchmark (executables packed with --cache), interleaved, one
# run of each in turn, pinned with the wineserver to CPU 0:
#   - the floor of a fresh start (the same system DLLs, COM, an empty child);
#   - today's fresh start of the reference tree (bench/extract.sh makes it);
#   - its first cached start (the version folder removed before each run);
#   - a cached start of it (the check against the manifest, no unpacking);
#   - a repair of one deleted file;
#   - a cached start of the 830 KB test application.
# Every start goes through the same unelevated launcher (Wine starts every
# process elevated, and an elevated start never uses the cache), so each
# figure carries the same launcher cost.
#   bench/cache.sh [RUNS]      (default 9; medians shown)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ONEFILE_BUILD_DIR:-$root/build}
runs=${1:-9}
level=${ONEFILE_BENCH_LEVEL:-19}
work=$build/bench
source "$root/scripts/wine-env.sh"
source "$root/bench/timing.sh"
source "$root/bench/payload.sh"
mkdir -p "$work"
[[ -d $work/payload-app && -f $work/reference-$level.exe ]] || "$root/bench/extract.sh" 1 > /dev/null
fresh=$work/reference-$level.exe
# The block is packed once; the executable is linked in every run, with the
# bootstrap as it is now.
block=$work/reference-app-$level.block
[[ -f $block ]] || "$build/host/onefile-pack" create --level "$level" --entry report_app.dll -o "$block" \
  "$work/payload-app" > /dev/null
cached=$work/reference-cached.exe
"$build/host/onefile-pack" build --block "$block" --cache --cache-name onefile-bench -o "$cached" > /dev/null
tiny=$work/tiny/cached.exe
mkdir -p "$work/tiny"
cp "$build/windows/tests/cached_report_onefile.exe" "$tiny"
launcher=$build/windows/tests/unelevated_launcher.exe
floor=$build/windows/bench/floor_start.exe
empty=$(windows_path "$build/windows/bench/empty_child.exe")
cache_root=$(find "$WINEPREFIX/drive_c/users" -mindepth 3 -maxdepth 3 -path '*/AppData/Local' | head -n 1)/onefile/onefile-bench
pin=(taskset -c 0)

"$WINESERVER" -k 2>/dev/null || true
"${pin[@]}" "$WINESERVER" -p
"${pin[@]}" "$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
start_unelevated() { "${pin[@]}" "$WINELOADER" "$launcher" "$@" < /dev/null > /dev/null 2>&1; }
# One start to publish each version first.
start_unelevated "$(windows_path "$cached")"
start_unelevated "$(windows_path "$tiny")"
version=$(ls "$cache_root" | grep -E '^[0-9a-f]{16}$' | head -n 1)

declare -A times
for ((i = 0; i < runs; i++)); do
  for kind in floor fresh first cached repair tiny; do
    case $kind in
      floor)  command=("$WINELOADER" "$launcher" "$(windows_path "$floor")" "$empty") ;;
      fresh)  command=("$WINELOADER" "$launcher" "$(windows_path "$fresh")") ;;
      first)  rm -rf "$cache_root"; command=("$WINELOADER" "$launcher" "$(windows_path "$cached")") ;;
      cached) command=("$WINELOADER" "$launcher" "$(windows_path "$cached")") ;;
      repair) rm -f "$cache_root/$version/report_app.dll"
              command=("$WINELOADER" "$launcher" "$(windows_path "$cached")") ;;
      tiny)   command=("$WINELOADER" "$launcher" "$(windows_path "$tiny")") ;;
    esac
    # The unpacking runs leave hundreds of megabytes to write back: not on
    # the next run's clock.
    sync
    start=$(seconds_now)
    "${pin[@]}" "${command[@]}" < /dev/null > /dev/null 2>&1 || { echo "benchmark: $kind failed" >&2; exit 1; }
    times[$kind]+="$(echo "$(seconds_now) - $start" | bc -l) "
  done
done
# The floor of any check that lists the folder: the listing alone, in one
# process, as the check makes it.
read -r entries first_listing_ms listing_ms < <("${pin[@]}" "$WINELOADER" "$build/windows/bench/list_tree.exe" \
  "$(windows_path "$cache_root/$version")" < /dev/null | tr -d '\r')
"$WINESERVER" -k
rm -rf "$cache_root" "$work/tiny"
median_of() { printf '%s\n' ${times[$1]} | median; }
floor_time=$(median_of floor) fresh_time=$(median_of fresh) first_time=$(median_of first)
cached_time=$(median_of cached) repair_time=$(median_of repair) tiny_time=$(median_of tiny)
ms() { echo "$1 * 1000" | bc -l | xargs printf '%.1f'; }
files=$(find "$work/payload-app" -type f | wc -l)
folders=$(find "$work/payload-app" -mindepth 1 -type d | wc -l)
cat <<REPORT

Shared cache, pinned to one CPU, $runs interleaved runs, medians, each through the unelevated launcher:
  floor of a fresh start                        $(ms "$floor_time") ms
  fresh start of the reference tree            $(ms "$fresh_time") ms   ($files files, $folders folders)
  first cached start (unpack and publish)      $(ms "$first_time") ms = $(ratio "$first_time" "$fresh_time") of the fresh start (goal: at most 1.10)
  cached start (check, no unpacking)           $(ms "$cached_time") ms = $(ratio "$cached_time" "$floor_time") of the floor (goal: at most 1.50)
  repair of one deleted file                   $(ms "$repair_time") ms = $(ratio "$repair_time" "$fresh_time") of the fresh start
  cached start of the 830 KB application       $(ms "$tiny_time") ms = $(ratio "$tiny_time" "$floor_time") of the floor
  the check's own share (reference minus tiny)  $(ms "$(echo "$cached_time - $tiny_time" | bc -l)") ms
  Wine's listing of the $entries entries alone   $first_listing_ms ms the first time in a process, $listing_ms ms the median of 9:
    floor + first listing = $(ratio "$(echo "$floor_time + $first_listing_ms / 1000" | bc -l)" "$floor_time") of the floor, the least any check by listing can cost
REPORT
