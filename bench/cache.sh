#!/usr/bin/env bash
# Shared cache and start-up floors, interleaved, one run of each in turn,
# first with the wineserver and every start pinned to CPU 0, then unpinned
# (2 CPUs):
#   - the floor of a fresh start (the same system DLLs, COM, an empty child);
#   - today's fresh start of the reference tree (linked here from its block);
#   - its first cached start (the version folder removed before each run);
#   - a cached start of it (the check against the manifest, beside the
#     child's creation, no unpacking), with the recheck of its content (by
#     the detached worker after this quick application) and packed with
#     --no-cache-recheck;
#   - the same with an application that works for about a second and
#     measures its own time, with and without the recheck beside it;
#   - a repair of one deleted file;
#   - a cached start of the 830 KB test application;
#   - a fresh start of it without a splash, against a kernel32-only floor
#     (a windowed program without a runtime that starts an empty child).
# After each cached start the benchmark waits for its worker, by its trace,
# so that no recheck runs on the next start's clock; the worker's own time
# is shown. Every start goes through the same unelevated launcher (Wine
# starts every process elevated, and an elevated start never uses the
# cache), so each figure carries the same launcher cost.
#   bench/cache.sh [RUNS]      (default 9; medians shown)
set -euo pipefail
source "$(dirname "$0")/environment.sh"
runs=${1:-9}
level=${ONEFILE_BENCH_LEVEL:-19}
# The block is packed once; the executable is linked in every run, with the
# bootstrap as it is now.
block=$(reference_block "$level")
fresh=$work/reference-$level.exe
"$build/host/onefile-pack" build --block "$block" -o "$fresh" > /dev/null
cached=$work/reference-cached.exe
"$build/host/onefile-pack" build --block "$block" --cache --cache-name onefile-bench -o "$cached" > /dev/null
# The same version folder (the same block and name), without the recheck.
unchecked=$work/reference-unchecked.exe
"$build/host/onefile-pack" build --block "$block" --cache --cache-name onefile-bench --no-cache-recheck \
  -o "$unchecked" > /dev/null
tiny=$work/tiny/cached.exe
mkdir -p "$work/tiny"
cp "$build/windows/tests/cached_report_onefile.exe" "$tiny"
launcher=$build/windows/tests/unelevated_launcher.exe
floor=$build/windows/bench/floor_start.exe
empty=$(windows_path "$build/windows/bench/empty_child.exe")
cache_root=$(find "$WINEPREFIX/drive_c/users" -mindepth 3 -maxdepth 3 -path '*/AppData/Local' | head -n 1)/onefile/onefile-bench
pin=(taskset -c 0)

tiny_plain=$build/windows/tests/report_onefile.exe
kernel32_floor=$build/windows/bench/kernel32_floor.exe
trace=$work/cache-trace.txt
busy_file=$work/busy.txt
declare -A times

# Waits until the worker a start began (if any) is done; its time, in
# milliseconds from its own start, into the worker figures.
wait_for_worker() {
  local key=$1
  grep -q 'upkeep worker [0-9]* started' "$trace" 2> /dev/null || return 0
  until grep -q 'upkeep worker done' "$trace"; do sleep 0.05; done
  times[worker_$key]+="$(sed -n 's/.* \([0-9]*\) ms: upkeep worker done/\1/p' "$trace" | tr -d '\r') "
}

# One interleaved series; `pin` empty runs unpinned.
measure() {
  local mode=$1 kind command i start
  "$WINESERVER" -k 2>/dev/null || true
  "${pin[@]}" "$WINESERVER" -p
  "${pin[@]}" "$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
  # One start to publish each version first.
  "${pin[@]}" "$WINELOADER" "$launcher" "$(windows_path "$cached")" < /dev/null > /dev/null 2>&1
  "${pin[@]}" "$WINELOADER" "$launcher" "$(windows_path "$tiny")" < /dev/null > /dev/null 2>&1
  version=$(ls "$cache_root" | grep -E '^[0-9a-f]{16}$' | head -n 1)
  for ((i = 0; i < runs; i++)); do
    for kind in floor fresh first cached unchecked busy busy_unchecked repair tiny kernel32_floor tiny_plain; do
      case $kind in
        floor)  command=("$WINELOADER" "$launcher" "$(windows_path "$floor")" "$empty") ;;
        fresh)  command=("$WINELOADER" "$launcher" "$(windows_path "$fresh")") ;;
        first)  rm -rf "$cache_root"; command=("$WINELOADER" "$launcher" "$(windows_path "$cached")") ;;
        cached) command=("$WINELOADER" "$launcher" "$(windows_path "$cached")") ;;
        unchecked) command=("$WINELOADER" "$launcher" "$(windows_path "$unchecked")") ;;
        busy)   command=("$WINELOADER" "$launcher" "$(windows_path "$cached")" "--app-busy=$(windows_path "$busy_file")") ;;
        busy_unchecked) command=("$WINELOADER" "$launcher" "$(windows_path "$unchecked")"
                                 "--app-busy=$(windows_path "$busy_file")") ;;
        repair) rm -f "$cache_root/$version/app/report_app.dll"
                command=("$WINELOADER" "$launcher" "$(windows_path "$cached")") ;;
        tiny)   command=("$WINELOADER" "$launcher" "$(windows_path "$tiny")") ;;
        kernel32_floor) command=("$WINELOADER" "$launcher" "$(windows_path "$kernel32_floor")" "$empty") ;;
        tiny_plain) command=("$WINELOADER" "$launcher" "$(windows_path "$tiny_plain")") ;;
      esac
      # The unpacking runs leave hundreds of megabytes to write back: not on
      # the next run's clock.
      sync
      rm -f "$trace" "$busy_file"
      start=$(seconds_now)
      MERLOX_ONEFILE_TRACE_FILE=$(windows_path "$trace") "${pin[@]}" "${command[@]}" < /dev/null > "$work/said.txt" 2>&1 ||
        { echo "benchmark: $kind failed ($mode); it said:" >&2; cat "$work/said.txt" "$trace" >&2; exit 1; }
      times[$mode.$kind]+="$(echo "$(seconds_now) - $start" | bc -l) "
      [[ $kind == busy* ]] && times[$mode.own_$kind]+="$(echo "$(cat "$busy_file") / 1000000" | bc -l) "
      wait_for_worker "$mode.$kind"
    done
  done
  # The floor of any check that lists the folder: the listing alone, in one
  # process, as the check makes it.
  read -r entries first_listing_ms listing_ms < <("${pin[@]}" "$WINELOADER" "$build/windows/bench/list_tree.exe" \
    "$(windows_path "$cache_root/$version/app")" < /dev/null | tr -d '\r')
  times[$mode.listing]=$first_listing_ms
  "$WINESERVER" -k
}
pin=(taskset -c 0)
measure pinned
pin=()
measure unpinned
rm -rf "$cache_root" "$work/tiny"

ms() { echo "$1 * 1000" | bc -l | xargs printf '%.1f'; }
worker_ms() { [[ -n ${times[worker_$1]:-} ]] && printf '%s\n' ${times[worker_$1]} | median || echo "none"; }
files=$(find "$work/payload-app" -type f | wc -l)
folders=$(find "$work/payload-app" -mindepth 1 -type d | wc -l)
report() {
  local mode=$1 m
  declare -A t
  for m in floor fresh first cached unchecked busy busy_unchecked own_busy own_busy_unchecked repair tiny \
    kernel32_floor tiny_plain; do
    t[$m]=$(median_of "$mode.$m")
  done
  local listing=${times[$mode.listing]}
  cat <<REPORT

$mode, $runs interleaved runs, medians, each through the unelevated launcher:
  floor of a fresh start                        $(ms "${t[floor]}") ms
  fresh start of the reference tree            $(ms "${t[fresh]}") ms   ($files files, $folders folders)
  first cached start (unpack and publish)      $(ms "${t[first]}") ms = $(ratio "${t[first]}" "${t[fresh]}") of the fresh start (goal: at most 1.0)
  cached start (check beside the child)        $(ms "${t[cached]}") ms = $(ratio "${t[cached]}" "${t[floor]}") of the floor (goal: 1.5 pinned, 1.25 unpinned)
    the same without the recheck                $(ms "${t[unchecked]}") ms: with it = $(ratio "${t[cached]}" "${t[unchecked]}") of without
    its worker's recheck, after the exit code   $(worker_ms "$mode.cached") ms (from the worker's start)
  an application that works about a second, cached:
    the whole start, with the recheck           $(ms "${t[busy]}") ms = $(ratio "${t[busy]}" "${t[busy_unchecked]}") of without ($(ms "${t[busy_unchecked]}") ms)
    the application's own time, with it         $(ms "${t[own_busy]}") ms = $(ratio "${t[own_busy]}" "${t[own_busy_unchecked]}") of without ($(ms "${t[own_busy_unchecked]}") ms)
    a worker after it                           $(worker_ms "$mode.busy")
  repair of one deleted file                   $(ms "${t[repair]}") ms = $(ratio "${t[repair]}" "${t[fresh]}") of the fresh start (goal: at most 0.45)
  cached start of the 830 KB application       $(ms "${t[tiny]}") ms = $(ratio "${t[tiny]}" "${t[floor]}") of the floor
  the check's own share (reference minus tiny)  $(ms "$(echo "${t[cached]} - ${t[tiny]}" | bc -l)") ms
  Wine's listing of the $entries entries alone   $listing ms the first time in a process:
    floor + listing = $(ratio "$(echo "${t[floor]} + $listing / 1000" | bc -l)" "${t[floor]}") of the floor: what a check after the creation would cost
  kernel32-only floor (an empty child)         $(ms "${t[kernel32_floor]}") ms
  fresh start of the 830 KB application, no splash $(ms "${t[tiny_plain]}") ms = $(ratio "${t[tiny_plain]}" "${t[kernel32_floor]}") of it (goal: at most 1.15)
REPORT
}
report pinned
report unpinned
