# Sourced by the benchmarks: wall-clock seconds, medians and ratios.
seconds_now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
# The median of a benchmark's `times[KEY]` (a list of seconds).
median_of() { printf '%s\n' ${times[$1]} | median; }
ratio() { echo "$1 / $2" | bc -l | xargs printf '%.2f'; }
