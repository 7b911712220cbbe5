# Sourced by the benchmarks: wall-clock medians of whole commands.
seconds_now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
ratio() { echo "$1 / $2" | bc -l | xargs printf '%.2f'; }

# time_runs NAME COMMAND...: runs the command $runs times (after $reset, if
# set), prints the figures on standard error and the median on standard output.
time_runs() {
  local name=$1; shift
  local times=() start end m
  for ((i = 0; i < runs; i++)); do
    [[ -n ${reset:-} ]] && eval "$reset"
    start=$(seconds_now)
    "$@" > /dev/null 2>&1 || [[ ${allow_failure:-} == 1 ]] || { echo "benchmark: '$name' failed" >&2; exit 1; }
    end=$(seconds_now)
    times+=("$(echo "$end - $start" | bc -l)")
  done
  m=$(printf '%s\n' "${times[@]}" | median)
  printf '%-48s median %8.4f s   (runs: %s)\n' "$name" "$m" "$(printf '%.3f ' "${times[@]}")" >&2
  echo "$m"
}
