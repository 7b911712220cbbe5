#!/usr/bin/env bash
# Start-up benchmark, interleaved (one run of each in turn), pinned with the
# wineserver to CPU 0 (see bench/extract.sh):
#   - a plain program that loads the application's DLL and calls run_code;
#   - the floor of a fresh start: the same system DLLs, COM, an empty child;
#   - a onefile executable's fresh start with the 830 KB test application;
#   - a re-entered start of it (a running parent, its variables inherited);
#   - fresh starts that sweep: with nothing to sweep and with 8 dead runs'
#     folders (2,000 files each) planted before each run, against the same
#     executable built without the sweep (with those folders planted the
#     same way, and on a clean TEMP), pinned and unpinned. The sweep
#     runs while the application runs, from half a second after its launch;
#     this application returns at once, so a detached worker takes the
#     leftovers after the run: heavy leftovers must not slow the start, as
#     the end of the output's pipe shows it.
#   bench/startup.sh [RUNS]      (default 15; medians shown)
set -euo pipefail
source "$(dirname "$0")/environment.sh"
runs=${1:-15}
onefile=$build/windows/tests/report_onefile.exe
nosweep=$build/windows/tests/report_nosweep_onefile.exe
prefix_temp=$(find "$WINEPREFIX/drive_c/users" -mindepth 2 -maxdepth 2 -name Temp | head -n 1)
dead_run=$work/dead-run
if [[ ! -f $dead_run/1999 ]]; then
  mkdir -p "$dead_run"
  for f in $(seq 0 1999); do echo left > "$dead_run/$f"; done
fi
# plant_dead_runs: the 8 dead runs' folders into TEMP, as hard links of
# one prepared tree. Writing 16,000 names just before a run slows that run
# here whether it sweeps or not, so the sweep's reference is the same
# executable built without the sweep, started after the same planting.
plant_dead_runs() {
  local i
  for i in 1 2 3 4 5 6 7 8; do cp -al "$dead_run" "$prefix_temp/onefile_4294967291_00000${i}_AAAAAAAAAAA"; done
  sync
}
app_dll=$(windows_path "$build/windows/tests/e2e/apps/report/report_app.dll")
plain=$build/windows/bench/plain_launcher.exe
floor=$build/windows/bench/floor_start.exe
empty=$(windows_path "$build/windows/bench/empty_child.exe")
pin=(taskset -c 0)
variable_from_report() {  # NAME REPORT: the hex-encoded value of NAME
  local key
  key=$(printf '%s' "$1" | xxd -p | tr -d '\n')
  sed -n "s/^$key=//p" "$2" | xxd -r -p
}

"$WINESERVER" -k 2>/dev/null || true
"${pin[@]}" "$WINESERVER" -p
"${pin[@]}" "$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1

# A running parent, whose variables a re-entered start inherits; it waits
# until its signal file is deleted.
parent_report=$work/parent-report.txt
release=$work/parent-release
rm -f "$parent_report"; touch "$release"
ONEFILE_TEST_REPORT=$(windows_path "$parent_report") "${pin[@]}" "$WINELOADER" "$onefile" \
  "--app-wait=$(windows_path "$release")" > /dev/null 2>&1 &
parent_job=$!
until [[ -s $parent_report ]]; do sleep 0.05; done
reentry_env=(env MERLOX_ONEFILE_PARENT="$(variable_from_report MERLOX_ONEFILE_PARENT "$parent_report")"
  MERLOX_ONEFILE_TIME_US="$(variable_from_report MERLOX_ONEFILE_TIME_US "$parent_report")"
  MERLOX_ONEFILE_RANDOM="$(variable_from_report MERLOX_ONEFILE_RANDOM "$parent_report")")

declare -A times
# measure KINDS...: one run of each in turn, $runs times, into times[kind].
measure() {
  local i kind start
  for ((i = 0; i < runs; i++)); do
    for kind in "$@"; do
      # An earlier run's upkeep worker finishes first: each run is timed
      # on its own.
      while pgrep -f 'report_(nosweep_)?onefile\.exe$' > /dev/null; do sleep 0.05; done
      rm -rf "$prefix_temp"/onefile_4294967291_*
      [[ $kind == *8* ]] && plant_dead_runs
      case $kind in
        nosweep*) command=("${pin[@]}" "$WINELOADER" "$nosweep") ;;
        sweep8*)  command=("${pin[@]}" "$WINELOADER" "$onefile") ;;
        fresh*)   command=("${pin[@]}" "$WINELOADER" "$onefile") ;;
        plain)    command=("${pin[@]}" "$WINELOADER" "$plain" "$app_dll") ;;
        floor)    command=("${pin[@]}" "$WINELOADER" "$floor" "$empty") ;;
        reentry)  command=("${reentry_env[@]}" "${pin[@]}" "$WINELOADER" "$onefile") ;;
      esac
      start=$(seconds_now)
      # Until the caller's pipe on the output ends, as a caller sees it: a
      # detached upkeep worker must not hold it.
      rm -f "$work/status"
      { "${command[@]}" < /dev/null 2> /dev/null || echo $? > "$work/status"; } | cat > "$work/output.txt"
      times[$kind]+="$(echo "$(seconds_now) - $start" | bc -l) "
      if [[ -s $work/status ]]; then
        echo "benchmark: $kind failed with exit code $(cat "$work/status"): $(cat "$work/output.txt")" >&2
        exit 1
      fi
    done
  done
}
measure plain floor fresh reentry nosweep nosweep8 sweep8
rm -f "$release"
wait "$parent_job" || true
"$WINESERVER" -k
# The sweep again with the application and the sweep free to use both
# CPUs, as on any machine with more than one.
pin=()
"$WINESERVER" -p
"$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
measure nosweep_free nosweep8_free fresh_free sweep8_free
left=$(ls -d "$prefix_temp"/onefile_4294967291_* 2> /dev/null | wc -l)
"$WINESERVER" -k
median_of() { printf '%s\n' ${times[$1]} | median; }
plain_time=$(median_of plain) floor_time=$(median_of floor) fresh_time=$(median_of fresh) reentry_time=$(median_of reentry)
nosweep_time=$(median_of nosweep) nosweep8_time=$(median_of nosweep8) sweep8_time=$(median_of sweep8)
nosweep_free=$(median_of nosweep_free) nosweep8_free=$(median_of nosweep8_free)
fresh_free=$(median_of fresh_free) sweep8_free=$(median_of sweep8_free)
rm -rf "$prefix_temp"/onefile_4294967291_*
ms() { echo "$1 * 1000" | bc -l | xargs printf '%.1f'; }
cat <<REPORT

Start-up, pinned to one CPU, $runs interleaved runs, medians:
  plain program (LoadLibrary + run_code)   $(ms "$plain_time") ms
  floor of a fresh start                   $(ms "$floor_time") ms
  onefile fresh start (830 KB DLL)         $(ms "$fresh_time") ms
  onefile re-entered start                 $(ms "$reentry_time") ms
  fresh / floor = $(ratio "$fresh_time" "$floor_time")   fresh / plain = $(ratio "$fresh_time" "$plain_time")   re-entered / plain = $(ratio "$reentry_time" "$plain_time")
  sweep, against the same executable built without it, whose application returns at once, until the output's pipe ends:
    nothing to sweep, against it on a clean TEMP (goal: at most 1.10); 8 dead runs of 2,000 files, against it
    with the same 8 planted the same way and left there (goal: at most 1.15); the planting alone, against clean:
    pinned:   without $(ms "$nosweep_time") ms, nothing to sweep $(ms "$fresh_time") ms = $(ratio "$fresh_time" "$nosweep_time"); without $(ms "$nosweep8_time") ms, 8 dead runs $(ms "$sweep8_time") ms = $(ratio "$sweep8_time" "$nosweep8_time"); planting $(ratio "$nosweep8_time" "$nosweep_time")
    unpinned: without $(ms "$nosweep_free") ms, nothing to sweep $(ms "$fresh_free") ms = $(ratio "$fresh_free" "$nosweep_free"); without $(ms "$nosweep8_free") ms, 8 dead runs $(ms "$sweep8_free") ms = $(ratio "$sweep8_free" "$nosweep8_free"); planting $(ratio "$nosweep8_free" "$nosweep_free")
    dead runs left right after the last such start: $left of 8 (the detached worker removes them after the run)
REPORT
