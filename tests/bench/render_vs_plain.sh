#!/usr/bin/env bash
# kavrel-render's bank against the plain loop anyone would write (plain_bank: the same rows on one
# thread, two calls of the C library's sin per sample, one fwrite), as whole processes in one run,
# taking turns, both writing to /dev/null. Prints the best and the median of each and their
# ratios; the goal is at most 0.40.
#   tests/bench/render_vs_plain.sh [BIN_DIR] [RUNS] [TONE_TIME_MS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=${1:-$root/build/linux/bin}
runs=${2:-21}
tone_time=${3:-30000}
render=("$bin/kavrel-render" bank --tone-time "$tone_time" -o -)
plain=("$bin/plain_bank" "$tone_time")

# The same bytes, or the comparison means nothing.
if ! cmp -s <("${render[@]}" 2>/dev/null) <("${plain[@]}"); then
  echo "render_vs_plain: kavrel-render and plain_bank wrote different samples" >&2
  exit 1
fi

micros() { echo "${EPOCHREALTIME/[.,]/}"; }
timed() {  # prints the microseconds the command took
  local start
  start=$(micros)
  "$@" >/dev/null 2>&1
  echo $(($(micros) - start))
}
render_us=()
plain_us=()
for ((i = 0; i < runs + 2; i++)); do
  r=$(timed "${render[@]}")
  p=$(timed "${plain[@]}")
  if ((i >= 2)); then  # the first two warm the caches
    render_us+=("$r")
    plain_us+=("$p")
  fi
done

stats() {  # best and median of microseconds, in ms
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    printf "%.1f %.1f", v[1] / 1000, (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / 1000 }'
}
read -r render_best render_median <<<"$(stats "${render_us[@]}")"
read -r plain_best plain_median <<<"$(stats "${plain_us[@]}")"
printf '%s runs each, tone time %s ms, same samples (%s bytes)\n' "$runs" "$tone_time" \
  "$("${plain[@]}" | wc -c)"
printf '  kavrel-render bank -o -:                   best %7.1f ms, median %7.1f ms\n' \
  "$render_best" "$render_median"
printf '  plain loop, C library sin, one thread:     best %7.1f ms, median %7.1f ms\n' \
  "$plain_best" "$plain_median"
awk -v rb="$render_best" -v rm="$render_median" -v pb="$plain_best" -v pm="$plain_median" \
  'BEGIN { printf "kavrel-render / plain loop: %.2f (best), %.2f (median); goal at most 0.40\n",
           rb / pb, rm / pm }'
