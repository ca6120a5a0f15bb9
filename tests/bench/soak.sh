#!/usr/bin/env bash
# The soak run: soak_bench drives kavrel's window for MINUTES minutes (default 10) on a private
# Xvfb display, its sound going into a private PulseAudio null sink that is recorded throughout.
# Each episode's stretch of the recording is decoded on its own and compared with the keys it
# sent (a sequence cut short by a tone time change must be heard as a beginning of them). Prints
# underruns, resident memory after the first minute and at the end, messages (handler errors)
# and the decoding's result.
# Usage: tests/bench/soak.sh [MINUTES] [SEED] [BENCH]   (BENCH: build/linux/bin/soak_bench)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
MINUTES=${1:-10}
SEED=${2:-1}
BENCH=${3:-$ROOT/build/linux/bin/soak_bench}
source "$ROOT/tests/e2e/lib/pulse.sh"
source "$ROOT/tests/e2e/lib/poll.sh"
source "$ROOT/tests/e2e/lib/xvfb.sh"

pulse_start
W=$PULSE_WORK
xvfb_start

pulse_record_start "$W/cap.wav"
# The recording's first sample, in wall-clock milliseconds: what has reached the file by now
# was recorded just before.
recorded=$(($(stat -c %s "$W/cap.wav") - 44))
REC_START=$(($(date +%s%3N) - recorded * 1000 / 22050))
status=0
SDL_AUDIODRIVER=pulseaudio QT_QPA_PLATFORM=xcb "$BENCH" "$MINUTES" "$SEED" >"$W/soak.txt" ||
  status=$?
pulse_record_stop
sed -n 's/^soak: //p' "$W/soak.txt"
[ "$status" -eq 0 ] || { echo "soak_bench failed with status $status" >&2; exit "$status"; }

# Each episode from 150 ms before its first input to 150 ms after its sound stopped; between
# episodes there are at least 300 ms of silence.
episodes=0 matched=0 cut=0 cut_ok=0 mismatches=()
while read -r _ start end kind digits was_cut; do
  [ "$digits" = - ] && digits=""
  from=$(((start - REC_START - 150)))
  [ "$from" -lt 0 ] && from=0
  heard=$(sox "$W/cap.wav" -t raw -r 22050 -e signed-integer -b 16 -c 1 - \
    trim "$(printf '%d.%03d' $((from / 1000)) $((from % 1000)))" \
    "$(printf '%d.%03d' $(((end - start + 300) / 1000)) $(((end - start + 300) % 1000)))" |
    multimon-ng -q -c -a DTMF -t raw - 2>/dev/null | sed -n 's/^DTMF: //p' | tr -d '\n')
  episodes=$((episodes + 1))
  if [ "$was_cut" = 1 ]; then
    cut=$((cut + 1))
    [ "${digits:0:${#heard}}" = "$heard" ] && cut_ok=$((cut_ok + 1)) && continue
  elif [ "$heard" = "$digits" ]; then
    matched=$((matched + 1))
    continue
  fi
  mismatches+=("$kind at $(((start - REC_START) / 1000)) s: sent '$digits', heard '$heard'")
done < <(grep '^episode ' "$W/soak.txt")
echo "decoded: $matched of $((episodes - cut)) whole episodes as sent; $cut_ok of $cut cut short by a tone time change heard as a beginning of theirs"
for m in "${mismatches[@]}"; do echo "  mismatch: $m"; done
[ ${#mismatches[@]} -eq 0 ]
