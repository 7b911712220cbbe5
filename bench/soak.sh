#!/usr/bin/env bash
# Soak: N starts (default 2,000) of a per-run executable and N of a cached
# one, one after another, with every CPU kept busy by other processes the
# whole time. Counts the starts that did not end with the application's
# exit code, and the retries of the child's creation the trace shows.
# Goal: no failure.
#   bench/soak.sh [N]
set -euo pipefail
source "$(dirname "$0")/environment.sh"
starts=${1:-2000}
launcher=$build/windows/tests/unelevated_launcher.exe
cached=$work/soak/cached.exe
mkdir -p "$work/soak"
cp "$build/windows/tests/cached_report_onefile.exe" "$cached"
trace=$work/soak-trace.txt
busy=()
stop_busy() { kill "${busy[@]}" 2> /dev/null || true; }
trap stop_busy EXIT
for ((cpu = 0; cpu < $(nproc); cpu++)); do
  yes > /dev/null &
  busy+=($!)
done

"$WINESERVER" -k 2> /dev/null || true
"$WINESERVER" -p
"$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
for kind in per-run cached; do
  rm -f "$trace"
  failed=0
  for ((i = 0; i < starts; i++)); do
    if [[ $kind == per-run ]]; then
      command=("$WINELOADER" "$build/windows/tests/report_onefile.exe" --app-exit=7)
    else
      command=("$WINELOADER" "$launcher" "$(windows_path "$cached")" --app-exit=7)
    fi
    # A start that hangs (seen once in 2,000: a process spinning in Wine's
    # start-up, before the bootstrap's first line) counts as failed, and
    # the soak goes on.
    status=0
    MERLOX_ONEFILE_TRACE_FILE=$(windows_path "$trace") timeout -s KILL 120 "${command[@]}" < /dev/null \
      > "$work/soak/out.txt" 2>&1 || status=$?
    if (( status != 7 )); then
      failed=$((failed + 1))
      echo "soak: $kind start $i ended with $status: $(head -c 300 "$work/soak/out.txt")" >&2
    fi
  done
  echo "soak: $starts $kind starts with every CPU busy: $failed failed, $(grep -c 'trying again' "$trace" || true) retries of the child's creation (goal: no failure)"
done
"$WINESERVER" -k
rm -rf "$work/soak" "$trace"
