#!/usr/bin/env bash
# How the costs grow: the reference tree at 1x, 4x and 10x, once in file
# count (its files under 1 MiB repeated in more folders) and once in bytes
# (its larger files repeated), each point against native
#   zstd -d | tar -x   then   rm -rf
# of the same tree at the same level, in the same run, and against the
# platform's own floor under the same Wine: a plain program that only
# creates, writes and closes the same files, then deletes them
# (bench/write_tree.cpp). For each point:
#   - the fresh road (unpack, run the application that returns at once,
#     remove);
#   - the first cached start (unpack into a staging folder and publish);
#   - a cached start (the check against the manifest beside the child);
#   - a repair after one small file of the version was deleted;
#   - the bootstrap's peak private memory on the two roads that unpack.
# Every start goes through the unelevated launcher (Wine starts every
# process elevated, and an elevated start never uses the cache); the cached
# executable is packed with --no-cache-recheck, so no recheck of gigabytes
# runs on the next start's clock. Unpinned.
#   bench/curves.sh [RUNS]     (default 3 per point; medians shown)
#
# Peak private memory: the bootstrap's anonymous resident memory (RssAnon in
# /proc/PID/status of its Wine process: its heap, the decoder's window and
# pieces, Wine's own private memory; not the executable's mapped image or
# any file's pages), sampled about every millisecond while it runs, in runs
# of their own. What the bootstrap commits and never touches is not counted;
# the decoder touches its window and pieces as it fills them.
set -euo pipefail
source "$(dirname "$0")/environment.sh"
runs=${1:-3}
level=${ONEFILE_BENCH_CURVES_LEVEL:-3}
launcher=$build/windows/tests/unelevated_launcher.exe
curves=$work/curves
mkdir -p "$curves"
reference_block 19 > /dev/null   # makes $work/payload-app, the 1x tree
cache_root=$(find "$WINEPREFIX/drive_c/users" -mindepth 3 -maxdepth 3 -path '*/AppData/Local' | head -n 1)/onefile/onefile-curves

# The tree of KIND (files or bytes) at FACTOR, made once from hard links of
# the reference; its path.
scaled_tree() {
  local kind=$1 factor=$2 tree=$curves/$1-$2 i
  if [[ ! -d $tree ]]; then
    rm -rf "$tree.part"
    cp -al "$work/payload-app" "$tree.part"
    for ((i = 2; i <= factor; i++)); do
      mkdir -p "$tree.part/copy$i"
      if [[ $kind == files ]]; then
        (cd "$work/payload-app" && find usr -type f -size -1024k -print0 | xargs -0 cp --parents -l -t "$tree.part/copy$i")
      else
        (cd "$work/payload-app" && find usr -type f -size +1023k -print0 | xargs -0 cp --parents -l -t "$tree.part/copy$i")
      fi
    done
    mv "$tree.part" "$tree"
  fi
  echo "$tree"
}

# The executables and the native archive of a tree, made once.
prepare_point() {
  local name=$1 tree=$2
  [[ -f $curves/$name.block ]] ||
    "$pack" create --level "$level" --entry report_app.dll -o "$curves/$name.block" "$tree" > /dev/null
  "$pack" build --block "$curves/$name.block" -o "$curves/$name-fresh.exe" > /dev/null
  "$pack" build --block "$curves/$name.block" --cache --cache-name onefile-curves --no-cache-recheck \
    -o "$curves/$name-cached.exe" > /dev/null
  [[ -f $curves/$name.list ]] || (cd "$tree" && find . -type f -printf '%s %P\n') > "$curves/$name.list"
  if [[ ! -f $curves/$name.tar.zst ]]; then
    # Hard links inside the tree are written out as files, as the packer does.
    tar -C "$tree" --hard-dereference -cf - . | zstd -q -f -"$level" -T0 -o "$curves/$name.tar.zst.part"
    mv "$curves/$name.tar.zst.part" "$curves/$name.tar.zst"
  fi
}

start() {  # EXE: through the unelevated launcher, its output dropped
  "$WINELOADER" "$launcher" "$(windows_path "$1")" < /dev/null > /dev/null 2>&1
}

# Waits until the worker a start began (if any) is done.
trace=$work/curves-trace.txt
wait_for_worker() {
  grep -q 'upkeep worker [0-9]* started' "$trace" 2> /dev/null || return 0
  until grep -q 'upkeep worker done' "$trace"; do sleep 0.05; done
}

# The peak RssAnon, in KiB, of the first process running EXE while it runs.
peak_private() {
  local exe=$1 name pid="" peak=0 value key
  name=$(basename "$exe")
  start "$exe" &
  local starter=$!
  while [[ -z $pid ]] && kill -0 "$starter" 2> /dev/null; do
    for dir in /proc/[0-9]*; do
      { read -r -d '' argument0 < "$dir/cmdline"; } 2> /dev/null || true
      if [[ ${argument0:-} == *"$name" ]]; then pid=${dir#/proc/}; break; fi
    done
  done
  while [[ -n $pid ]] && [[ -e /proc/$pid/status ]]; do
    while read -r key value _; do
      [[ $key == RssAnon: ]] && ((value > peak)) && peak=$value
    done < "/proc/$pid/status" 2> /dev/null || true
  done
  wait "$starter" || { echo "benchmark: $exe failed" >&2; exit 1; }
  echo "$peak"
}

declare -A times peaks windows
one_small=usr/include/EGL/egl.h
points=(files-1 files-4 files-10 bytes-4 bytes-10)
for point in "${points[@]}"; do
  tree=$(scaled_tree "${point%-*}" "${point#*-}")
  prepare_point "$point" "$tree"
  windows[$point]=$("$pack" verify "$curves/$point.block" | sed -n 's/.*window \([0-9]*\) bytes.*/\1/p')
done

out=$work/curves-out
"$WINESERVER" -k 2>/dev/null || true
"$WINESERVER" -p
"$WINELOADER" cmd /c exit < /dev/null > /dev/null 2>&1
for point in "${points[@]}"; do
  fresh=$curves/$point-fresh.exe cached=$curves/$point-cached.exe
  rm -rf "$cache_root"
  start "$cached"
  version=$(ls "$cache_root" | grep -E '^[0-9a-f]{16}$' | head -n 1)
  for ((i = 0; i < runs; i++)); do
    for kind in tar floor fresh first cached repair; do
      case $kind in
        floor)  mkdir -p "$out"
                command=("$WINELOADER" "$build/windows/bench/write_tree.exe" "$(windows_path "$curves/$point.list")"
                         "$(windows_path "$out")" 1) ;;
        tar)    command=(bash -c 'mkdir -p "$2" && zstd -q -d -c "$1" | tar -C "$2" -xf - && rm -rf "$2"' _
                         "$curves/$point.tar.zst" "$out") ;;
        fresh)  command=(start "$fresh") ;;
        first)  rm -rf "$cache_root"; command=(start "$cached") ;;
        cached) command=(start "$cached") ;;
        repair) rm -f "$cache_root/$version/app/$one_small"; command=(start "$cached") ;;
      esac
      sync
      rm -f "$trace"
      begin=$(seconds_now)
      MERLOX_ONEFILE_TRACE_FILE=$(windows_path "$trace") "${command[@]}" ||
        { echo "benchmark: $kind of $point failed" >&2; exit 1; }
      times[$point.$kind]+="$(echo "$(seconds_now) - $begin" | bc -l) "
      rm -rf "$out"
      wait_for_worker
    done
  done
  peaks[$point.fresh]=$(peak_private "$fresh")
  rm -rf "$cache_root"
  peaks[$point.first]=$(peak_private "$cached")
  rm -rf "$cache_root"
done
"$WINESERVER" -k

ratio_at() { ratio "$(median_of "$1.$2")" "$(median_of "$1.$3")"; }
cat <<REPORT

Cost curves, level $level, $runs interleaved runs per point, unpinned, medians; each road's time
and its ratios to native zstd -d | tar -x + rm -rf of the same tree and to the platform's floor
(the same files created, written, closed and deleted by a plain program under the same Wine),
in the same run:
REPORT
printf '  %-9s %7s %8s %9s %9s | %22s %22s %22s %22s | %s\n' point files MB tar floor fresh "first cached" cached \
  repair "peak private MiB fresh / first (window + 64 MiB)"
for point in "${points[@]}"; do
  tree=$curves/$point
  count=$(find "$tree" -type f | wc -l)
  # Hard links counted as the files they are.
  megabytes=$(find "$tree" -type f -printf '%s\n' | awk '{s += $1} END {printf "%d", s / 1000000}')
  row=$(printf '  %-9s %7d %8d %8.2fs %8.2fs |' "$point" "$count" "$megabytes" "$(median_of "$point.tar")" \
    "$(median_of "$point.floor")")
  for kind in fresh first cached repair; do
    row+=$(printf ' %6.2fs = %5s / %5s ' "$(median_of "$point.$kind")" "$(ratio_at "$point" "$kind" tar)" \
      "$(ratio_at "$point" "$kind" floor)")
  done
  budget=$(( windows[$point] / 1048576 + 64 ))
  row+=$(printf '| %d / %d (%d)' $((peaks[$point.fresh] / 1024)) $((peaks[$point.first] / 1024)) "$budget")
  echo "$row"
done
cat <<REPORT
Goals: each ratio at 10x within 10 % of its ratio at 1x (files-1 is the 1x of both curves);
the peak private memory at most the frame's window + 64 MiB at every size.
REPORT
