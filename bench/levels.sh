#!/usr/bin/env bash
# Packing levels: the time and size of `onefile-pack create` at levels 3,
# 9, 12, 15 and 19, each without and with long-distance matching (--long,
# within the format's 2^27 window), on the reference payload and on a tree
# of many small files (text of /usr/share/doc and /usr/include). Level 19,
# the executable's packing default, is the reference of each row's ratios.
#   bench/levels.sh [RUNS]      (default 1; slow: level 19 takes minutes)
set -euo pipefail
source "$(dirname "$0")/environment.sh"
runs=${1:-1}
ensure_payload
# The packer takes only an entry that exports run_code: the report
# application's DLL stands in for the payload's app.dll, in a tree of hard
# links to the reference payload.
entry=$build/windows/tests/e2e/apps/report/report_app.dll
reference=$work/levels-reference
rm -rf "$reference"
cp -al "$payload" "$reference"
rm "$reference/app.dll"
cp "$entry" "$reference/app.dll"
small=$work/small-files
if [[ ! -f $small/app.dll ]]; then
  rm -rf "$small"; mkdir -p "$small"
  cp "$entry" "$small/app.dll"
  find /usr/share/doc /usr/include -type f -size -64k | grep -E '^[A-Za-z0-9_./+-]+$' | sort |
    awk '!seen[tolower($0)]++' | sed -n 1,6000p |
    while read -r file; do mkdir -p "$small/$(dirname "${file#/}")"; cp "$file" "$small/${file#/}"; done
fi

declare -A seconds size
measure() {  # TREE LEVEL LONG
  local i start times=""
  for ((i = 0; i < runs; i++)); do
    start=$(seconds_now)
    "$pack" create --level "$2" $3 --entry app.dll --sdk /none -o "$work/levels.block" "$1" > /dev/null
    times+="$(echo "$(seconds_now) - $start" | bc -l) "
  done
  seconds[$1 $2 $3]=$(printf '%s\n' $times | median)
  size[$1 $2 $3]=$(stat -c %s "$work/levels.block")
  echo "  ${1##*/} level $2 ${3:---no-long}: ${seconds[$1 $2 $3]} s, ${size[$1 $2 $3]} bytes" >&2
}
report() {  # TREE TITLE
  local level long
  echo "  $2 ($(find "$1" -type f | wc -l) files, $(du -sb "$1" | cut -f1) bytes):"
  echo "    level  matching   seconds  x faster than 19   block bytes  / level 19"
  for long in "" --long; do
    for level in 3 9 12 15 19; do
      printf '    %5s  %-8s %9.2f  %16s  %12s  %s\n' "$level" "${long:-default}" "${seconds[$1 $level $long]}" \
        "$(ratio "${seconds[$1 19 ]}" "${seconds[$1 $level $long]}")" "${size[$1 $level $long]}" \
        "$(ratio "${size[$1 $level $long]}" "${size[$1 19 ]}")"
    done
  done
}
for tree in "$reference" "$small"; do
  for long in "" --long; do
    for level in 3 9 12 15 19; do measure "$tree" "$level" "$long"; done
  done
done
echo
echo "Packing levels, $runs run(s) each, medians; ratios against level 19 without --long:"
report "$reference" "reference payload"
report "$small" "many small files"
rm -rf "$work/levels.block" "$reference"
