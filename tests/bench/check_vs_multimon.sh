#!/usr/bin/env bash
# How many times faster than real time `kavrel-render check` reads a 10-minute 8000 Hz file,
# beside multimon-ng's DTMF decoder on the same file (which converts it through sox to its own
# 22050 Hz first). The file: one minute of 750 random keys at 40 ms, mu-law, ten times over.
# Both run on one core; the best of RUNS is printed with processor and wall times. The goal is
# at least 50 times faster than real time.
#   tests/bench/check_vs_multimon.sh [BIN_DIR] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=${1:-$root/build/linux/bin}
runs=${2:-5}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

keys=$(python3 -c "import random; random.seed(1)
print(''.join(random.choice('0123456789ABCD*#') for _ in range(750)))")
"$bin/kavrel-render" dial "$keys" --rate 8000 --format mulaw -o "$tmp/minute.wav" 2>/dev/null
sox "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" \
  "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" \
  "$tmp/file.wav"
seconds=$(soxi -D "$tmp/file.wav")

check=(taskset -c 0 "$bin/kavrel-render" check "$tmp/file.wav")
multimon=(taskset -c 0 multimon-ng -q -c -a DTMF -t wav "$tmp/file.wav")
# The same digits from both, or the comparison means nothing.
heard=$("${check[@]}" | sed -n 's/^digits //p')
decoded=$("${multimon[@]}" 2>/dev/null | sed -n 's/^DTMF: //p' | tr -d '\n')
if [ "$heard" != "$decoded" ] || [ "${#heard}" -ne 7500 ]; then
  echo "check_vs_multimon: the two heard different digits (${#heard} and ${#decoded})" >&2
  exit 1
fi

TIMEFORMAT='%U %S %R'
best() {  # best processor and wall seconds of RUNS runs of the command
  local cpu wall best_cpu="" best_wall=""
  for ((i = 0; i < runs; i++)); do
    { time "$@" >/dev/null 2>&1; } 2>"$tmp/time"
    read -r cpu wall < <(awk '{ print $1 + $2, $3 }' "$tmp/time")
    best_cpu=$(awk -v a="$cpu" -v b="${best_cpu:-$cpu}" 'BEGIN { print (a < b ? a : b) }')
    best_wall=$(awk -v a="$wall" -v b="${best_wall:-$wall}" 'BEGIN { print (a < b ? a : b) }')
  done
  echo "$best_cpu $best_wall"
}
read -r check_cpu check_wall <<<"$(best "${check[@]}")"
read -r multimon_cpu multimon_wall <<<"$(best "${multimon[@]}")"
printf '%.0f s of 8000 Hz mu-law, 7500 keys heard by both; best of %s runs on one core\n' \
  "$seconds" "$runs"
report() {
  awk -v name="$1" -v cpu="$2" -v wall="$3" -v s="$seconds" 'BEGIN {
    printf "  %-26s %6.2f s processor, %6.2f s wall: %5.0f times real time\n", name, cpu, wall,
           s / (cpu > wall ? cpu : wall) }'
}
report "kavrel-render check" "$check_cpu" "$check_wall"
report "multimon-ng -a DTMF (+sox)" "$multimon_cpu" "$multimon_wall"
echo "goal: check at least 50 times faster than real time"
