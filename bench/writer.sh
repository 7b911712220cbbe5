#!/usr/bin/env bash
# What writing the executable costs beside making the block: `build` against
# `create` of the same payload at the same level (the example application,
# the reference tree, and a 150 MB payload of the reference tree's largest
# files; at levels 1 and 9), and `build --block` of a ready block against
# `cp` of the same block file (with --cache, which hashes the block, too).
# Interleaved runs, medians. Goals: build at most 1.2x the time and 1.1x
# the peak memory of create; build --block at most 1.2x cp.
#   bench/writer.sh [RUNS]      (default 5)
set -euo pipefail
source "$(dirname "$0")/environment.sh"
runs=${1:-5}
out=$work/writer
rm -rf "$out"
mkdir -p "$out"
reference_block 1 > /dev/null  # makes $work/payload-app: the reference tree, the test application its entry
reference=$work/payload-app
app_dll=report_app.dll

# A payload of about 150 MB: the reference tree's largest files.
large=$work/payload-150
if [[ ! -f $large/$app_dll ]]; then
  rm -rf "$large"; mkdir -p "$large"
  cp "$reference/$app_dll" "$large/$app_dll"
  (cd "$reference" && find . -type f -not -name "$app_dll" -printf '%s %P\n' | sort -rn | awk '
    total <= 150 * 1000 * 1000 { total += $1; print $2 }') |
    while read -r file; do mkdir -p "$large/$(dirname "$file")"; cp "$reference/$file" "$large/$file"; done
fi
declare -A folders=([example]=$build/windows/examples/hello_app [reference]=$reference [150MB]=$large)
declare -A entries=([example]=hello.dll [reference]=$app_dll [150MB]=$app_dll)

# One command's "seconds kilobytes": wall clock and peak resident size.
measure() {  # COMMAND...
  local start end
  start=$(seconds_now)
  /usr/bin/time -f '%M' -o "$out/peak.txt" "$@" > /dev/null 2>&1
  end=$(seconds_now)
  echo "$(echo "$end - $start" | bc -l) $(tail -1 "$out/peak.txt")"
}

declare -A times memory
record() {  # KEY COMMAND...
  local key=$1 s k
  shift
  read -r s k < <(measure "$@")
  times[$key]+=" $s"; memory[$key]+=" $k"
}
median_memory() { printf '%s\n' ${memory[$1]} | median; }

for name in example reference 150MB; do
  for level in 1 9; do
    for ((i = 0; i < runs; ++i)); do
      record "create $name $level" "$pack" create --level "$level" --entry "${entries[$name]}" --sdk /none \
        -o "$out/app.block" "${folders[$name]}"
      record "build $name $level" "$pack" build --level "$level" --entry "${entries[$name]}" -o "$out/app.exe" \
        "${folders[$name]}"
    done
    c=$(median_of "create $name $level"); b=$(median_of "build $name $level")
    cm=$(median_memory "create $name $level"); bm=$(median_memory "build $name $level")
    echo "writer: $name at level $level: build $(printf %.3f "$b") s, $((bm / 1024)) MB against create $(printf %.3f "$c") s, $((cm / 1024)) MB: $(ratio "$b" "$c")x the time (goal 1.2), $(ratio "$bm" "$cm")x the memory (goal 1.1)"
  done
done

# build --block of the 150 MB payload's block against cp of it.
"$pack" create --level 1 --entry "$app_dll" -o "$out/large.block" "$large" > /dev/null
for ((i = 0; i < runs; ++i)); do
  record cp cp "$out/large.block" "$out/copy.block"
  record "build --block" "$pack" build --block "$out/large.block" -o "$out/from-block.exe"
  record "build --block --cache" "$pack" build --block "$out/large.block" --cache -o "$out/from-block.exe"
done
c=$(median_of cp)
for key in "build --block" "build --block --cache"; do
  b=$(median_of "$key")
  echo "writer: $key of a $(( $(stat -c %s "$out/large.block") / 1000000 )) MB block: $(printf %.3f "$b") s against cp $(printf %.3f "$c") s: $(ratio "$b" "$c")x (goal 1.2 without --cache)"
done
