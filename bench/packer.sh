#!/usr/bin/env bash
# Packer benchmark: what crafted PE files in a payload cost the packer's
# checks (tests/host/make_crafted_pe: import and delay-load descriptors
# sharing one table of names or ordinals, 65,535 exports all imported,
# 65,535 sections with many exports and imports), against packing the small
# report application at level 1, its reference, in the same run. Goals:
# each crafted payload refused or packed in under a second and under 100 MB.
#   bench/packer.sh [RUNS]      (default 5; medians shown)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ONEFILE_BUILD_DIR:-$root/build}
runs=${1:-5}
work=$build/bench/packer
pack=$build/host/onefile-pack
source "$root/bench/timing.sh"
rm -rf "$work"
mkdir -p "$work"
"$build/host/tests/make_crafted_pe" "$work"
reference=$build/windows/tests/e2e/apps/report

# One packing of FOLDER with ENTRY, whatever its exit code: "seconds
# kilobytes", the wall clock from this shell and the peak resident size.
measure() {  # FOLDER ENTRY
  local start end
  start=$(seconds_now)
  /usr/bin/time -f '%M' -o "$work/peak.txt" "$pack" create --level 1 --entry "$2" --sdk /none \
    -o "$work/out.block" "$1" > /dev/null 2>&1 || true
  end=$(seconds_now)
  echo "$(echo "$end - $start" | bc -l) $(tail -1 "$work/peak.txt")"
}

declare -A seconds memory
crafted=(shared_thunks many_exports ordinal_thunks delayed_ordinals many_sections sections_and_imports)
for name in reference "${crafted[@]}"; do
  folder=$work/$name
  [[ $name == reference ]] && folder=$reference
  entry=app.dll
  [[ $name == reference ]] && entry=report_app.dll
  times=() kilobytes=()
  for ((i = 0; i < runs; ++i)); do
    read -r s k < <(measure "$folder" "$entry")
    times+=("$s") kilobytes+=("$k")
  done
  seconds[$name]=$(printf '%s\n' "${times[@]}" | median)
  memory[$name]=$(printf '%s\n' "${kilobytes[@]}" | median)
done
echo "packer: the report application at level 1 (reference): $(printf %.3f "${seconds[reference]}") s, $((${memory[reference]} / 1024)) MB peak"
for name in "${crafted[@]}"; do
  echo "packer: crafted $name refused or packed: $(printf %.3f "${seconds[$name]}") s ($(ratio "${seconds[$name]}" "${seconds[reference]}")x the reference), $((${memory[$name]} / 1024)) MB peak ($(ratio "${memory[$name]}" "${memory[reference]}")x); goal under 1 s and 100 MB"
done
