#!/usr/bin/env bash
# Upkeep benchmark: what the background work costs starts that follow each
# other quickly, with an application that returns at once.
#   - 50 quick cached starts of the reference tree, after the start that
#     built the version: how often its content is read again (the trace's
#     recheck lines). Goal: at most twice in all.
#   - 70 leftovers of dead runs in TEMP that can never go (a process holds
#     a file in each): how many of 50 quick starts start an upkeep worker.
#     Goal: at most 5.
#   - a quick cached start against the same executable packed with
#     --no-sweep --no-cache-recheck (the same version folder), interleaved.
#     Goal: within 1.15 times.
# Every start goes through the unelevated launcher (Wine starts every
# process elevated, and an elevated start never uses the cache); each start
# waits for the worker it began, by its trace, before the next one.
#   bench/upkeep.sh [RUNS]      (default 15 timed runs of each; medians shown)
set -euo pipefail
source "$(dirname "$0")/environment.sh"
runs=${1:-15}
block=$(reference_block "${ONEFILE_BENCH_LEVEL:-19}")
cached=$work/upkeep-cached.exe
bare=$work/upkeep-bare.exe
"$build/host/onefile-pack" build --block "$block" --cache --cache-name onefile-upkeep-bench -o "$cached" > /dev/null
"$build/host/onefile-pack" build --block "$block" --cache --cache-name onefile-upkeep-bench --no-sweep \
  --no-cache-recheck -o "$bare" > /dev/null
launcher=$build/windows/tests/unelevated_launcher.exe
quick=$build/windows/tests/report_onefile.exe
cache_root=$(find "$WINEPREFIX/drive_c/users" -mindepth 3 -maxdepth 3 -path '*/AppData/Local' | head -n 1)/onefile/onefile-upkeep-bench
prefix_temp=$(find "$WINEPREFIX/drive_c/users" -mindepth 2 -maxdepth 2 -name Temp | head -n 1)
trace=$work/upkeep-trace.txt

# One start of EXE through the launcher, traced into $trace (appended);
# waits for its worker, if it began one.
start_traced() {  # EXE
  local before
  before=$(grep -c 'upkeep worker [0-9]* started' "$trace" 2> /dev/null || true)
  MERLOX_ONEFILE_TRACE_FILE=$(windows_path "$trace") "$WINELOADER" "$launcher" "$(windows_path "$1")" \
    < /dev/null > /dev/null 2>&1 || { echo "benchmark: a start of $1 failed" >&2; exit 1; }
  local after
  after=$(grep -c 'upkeep worker [0-9]* started' "$trace" 2> /dev/null || true)
  if (( after > before )); then
    until (( $(grep -c 'upkeep worker done' "$trace") >= after )); do sleep 0.05; done
  fi
}
count() { grep -cE "$1" "$trace" || true; }

"$WINESERVER" -k 2> /dev/null || true
"$WINESERVER" -p
"$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
rm -rf "$cache_root" "$trace"

# Rereads of the content over 50 quick cached starts.
start_traced "$cached"
rm -f "$trace"
for ((i = 0; i < 50; i++)); do start_traced "$cached"; done
reads=$(count 'rechecked, the same|differs from the hash|not proven')
echo "upkeep: 50 quick cached starts of the reference tree read its content $reads times (goal at most 2); workers started: $(count 'upkeep worker [0-9]* started')"

# Workers over 50 quick starts beside 70 stuck leftovers.
release=$work/upkeep-release
stuck=()
for ((i = 0; i < 70; i++)); do
  folder=$prefix_temp/onefile_42949671$((10 + i))_123456_stuckLeftov
  mkdir -p "$folder"; echo left > "$folder/held.txt"
  stuck+=("$(windows_path "$folder/held.txt")")
done
touch "$release"; rm -f "$release.ready"
"$WINELOADER" "$build/windows/bench/hold_files.exe" "$(windows_path "$release")" "${stuck[@]}" < /dev/null > /dev/null 2>&1 &
holder=$!
until [[ -f $release.ready ]]; do sleep 0.05; done
rm -f "$trace"
for ((i = 0; i < 50; i++)); do start_traced "$quick"; done
echo "upkeep: 50 quick starts beside 70 stuck leftovers started $(count 'upkeep worker [0-9]* started') upkeep workers (goal at most 5)"
rm -f "$release"; wait "$holder" || true
rm -rf "$prefix_temp"/onefile_42949671*_123456_stuckLeftov

# A quick cached start against the same without sweep and recheck.
declare -A times
for ((i = 0; i < runs; i++)); do
  for kind in cached bare; do
    exe=$cached; [[ $kind == bare ]] && exe=$bare
    start=$(seconds_now)
    start_traced "$exe"
    times[$kind]+="$(echo "$(seconds_now) - $start" | bc -l) "
  done
done
cached_s=$(printf '%s\n' ${times[cached]} | median)
bare_s=$(printf '%s\n' ${times[bare]} | median)
echo "upkeep: a quick cached start $(printf %.3f "$cached_s") s, the same packed with --no-sweep --no-cache-recheck $(printf %.3f "$bare_s") s: $(ratio "$cached_s" "$bare_s")x (goal at most 1.15)"
"$WINESERVER" -k
rm -rf "$cache_root" "$trace" "$cached" "$bare"
