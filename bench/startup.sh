#!/usr/bin/env bash
# Start-up benchmark: a onefile executable with a small payload against a
# plain program that loads the same DLL and calls run_code itself; a
# re-entered start; and the whole run on the extraction benchmark's payload.
# Everything runs pinned, with the wineserver, on CPU 0 (see bench/extract.sh).
#   bench/startup.sh [RUNS]      (default 15; medians shown)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ONEFILE_BUILD_DIR:-$root/build}
runs=${1:-15}
source "$root/scripts/wine-env.sh"
source "$root/bench/timing.sh"
work=$build/bench
mkdir -p "$work"
onefile=$build/windows/tests/report_onefile.exe
app_dir=$build/windows/tests/e2e/apps/report
plain=$build/windows/bench/plain_launcher.exe
pin=(taskset -c 0)
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }
variable_from_report() {  # NAME REPORT: the hex-encoded value of NAME
  local key
  key=$(printf '%s' "$1" | xxd -p | tr -d '\n')
  sed -n "s/^$key=//p" "$2" | xxd -r -p
}

"$WINESERVER" -k 2>/dev/null || true
sleep 1
"${pin[@]}" "$WINESERVER" -p
"${pin[@]}" "$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1

plain_time=$(time_runs "plain program, LoadLibrary + run_code" "${pin[@]}" "$WINELOADER" "$plain" "$(windows_path "$app_dir/report_app.dll")")
fresh_time=$(time_runs "onefile, fresh start (830 KB DLL)" "${pin[@]}" "$WINELOADER" "$onefile")

# A running parent, whose variables a re-entered start inherits.
parent_report=$work/parent-report.txt
rm -f "$parent_report"
ONEFILE_TEST_REPORT=$(windows_path "$parent_report") "${pin[@]}" "$WINELOADER" "$onefile" --app-sleep=$((runs * 1000 + 5000)) > /dev/null 2>&1 &
parent_job=$!
for _ in $(seq 100); do [[ -s $parent_report ]] && break; sleep 0.1; done
reentry_time=$(MERLOX_ONEFILE_PARENT=$(variable_from_report MERLOX_ONEFILE_PARENT "$parent_report") \
  MERLOX_ONEFILE_TIME_US=$(variable_from_report MERLOX_ONEFILE_TIME_US "$parent_report") \
  MERLOX_ONEFILE_RANDOM=$(variable_from_report MERLOX_ONEFILE_RANDOM "$parent_report") \
  time_runs "onefile, re-entered start" "${pin[@]}" "$WINELOADER" "$onefile")
wait "$parent_job" || true

# The whole run on the reference payload: unpack, run, clean up.
payload=$work/payload
if [[ -d $payload ]]; then
  big=$work/reference-onefile.exe
  block=$work/reference.block
  if [[ ! -f $big ]]; then
    rm -rf "$work/payload-app"
    cp -al "$payload" "$work/payload-app"
    cp "$app_dir/report_app.dll" "$work/payload-app/report_app.dll"
    "$build/host/onefile-pack" create --entry report_app.dll -o "$block" "$work/payload-app" > /dev/null
    "$build/host/onefile-pack" build --block "$block" -o "$big" > /dev/null
  fi
  whole_time=$(time_runs "onefile, whole run on the reference payload" "${pin[@]}" "$WINELOADER" "$big")
  reset='rm -rf "$work/out"' extract_time=$(time_runs "  of which: extraction alone (harness)" "${pin[@]}" "$WINELOADER" \
    "$build/windows/tests/onefile_extract_harness.exe" --block "$block" "$(windows_path "$work/out")")
  harness=$build/windows/tests/onefile_extract_harness.exe
  probe=$build/windows/tests/onefile_probe.exe
  extract_again='rm -rf "$work/out"; "${pin[@]}" "$WINELOADER" "$harness" --block "$block" "$(windows_path "$work/out")" > /dev/null'
  links_time=$(runs=5 reset=$extract_again time_runs "  of which: the walk for links (after extraction)" \
    "${pin[@]}" "$WINELOADER" "$probe" remove-links "$(windows_path "$work/out")")
  cleanup_time=$(runs=5 reset=$extract_again time_runs "  of which: the whole cleanup (after extraction)" \
    "${pin[@]}" "$WINELOADER" "$probe" cleanup "$(windows_path "$work/out")")
  rm -rf "$work/out"
fi
"$WINESERVER" -k

echo
echo "Start-up, pinned to one CPU, $runs runs each:"
echo "  fresh start / plain program    = $(ratio "$fresh_time" "$plain_time")  (overhead $(echo "($fresh_time - $plain_time) * 1000" | bc -l | xargs printf '%.0f') ms)"
echo "  re-entered start / plain       = $(ratio "$reentry_time" "$plain_time")"
if [[ -n ${whole_time:-} ]]; then
  rest=$(echo "$whole_time - $extract_time - ($fresh_time - $plain_time)" | bc -l)
  echo "  reference payload: whole run $(printf '%.2f' "$whole_time") s = extraction $(printf '%.2f' "$extract_time") s" \
       "+ start-up $(echo "$fresh_time - $plain_time" | bc -l | xargs printf '%.2f') s + cleanup and the rest $(printf '%.2f' "$rest") s"
  echo "  cleanup alone $(printf '%.2f' "$cleanup_time") s, of which the walk for links $(printf '%.2f' "$links_time") s (process start included in both)"
fi
