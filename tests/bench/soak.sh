#!/usr/bin/env bash
# The soak run: soak_bench drives kavrel's window for MINUTES minutes (default 10) on a private
# Xvfb display, its sound going into a private PulseAudio null sink that is recorded throughout.
# Each episode's stretch of the recording is decoded on its own, by multimon-ng and by a second
# receiver (dtmf2num), and compared with the keys it sent (a sequence cut short by a tone time
# change must be heard as a beginning of them). dtmf2num hears some long tones twice even where
# nothing is wrong (a '0' of 150 ms in a clean rendering): it is held to what it hears in
# kavrel-render's rendering of the same keys at the same tone time, and the episodes where that
# differs from the keys are counted apart. Prints the mixer's late refills and the server's
# own underflows beside the holes found in the recording, resident memory after the first minute
# and at the end, messages (handler errors) and each receiver's episodes heard wrong.
# Usage: tests/bench/soak.sh [--busy N] [--stall "TAKE EVERY"] [--server pulseaudio|pipewire]
#            [--mode realtime|user] [MINUTES] [SEED] [BENCH]
#            [-- device options of tests/support/device_choice.h]
#   BENCH defaults to build/linux/bin/soak_bench; --busy starts N busy threads beside it (shell
#   loops that never sleep, each in a session of its own), --stall cpu_stall; --server and --mode
#   are the server's (pulse.sh).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
busy=0
stall=""
positional=()
device_options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --busy) busy=$2; shift 2 ;;
    --stall) stall=$2; shift 2 ;;
    --server) export KAVREL_SOUND_SERVER=$2; shift 2 ;;
    --mode) export PULSE_MODE=$2; shift 2 ;;
    --) shift; device_options=("$@"); break ;;
    *) positional+=("$1"); shift ;;
  esac
done
MINUTES=${positional[0]:-10}
SEED=${positional[1]:-1}
BENCH=${positional[2]:-$ROOT/build/linux/bin/soak_bench}
GAPS=$(dirname "$BENCH")/stream_check
RENDER=$(dirname "$BENCH")/kavrel-render
source "$ROOT/tests/e2e/lib/pulse.sh"
source "$ROOT/tests/e2e/lib/poll.sh"
source "$ROOT/tests/e2e/lib/xvfb.sh"
command -v dtmf2num >/dev/null || { echo "missing dtmf2num (install with: scripts/setup e2e)" >&2; exit 1; }

pulse_start
W=$PULSE_WORK
xvfb_start
source "$ROOT/tests/bench/busy.sh"
busy_start "$busy"
stall_start "$(dirname "$BENCH")" $stall
echo "soak: $MINUTES min, seed $SEED, server ${KAVREL_SOUND_SERVER:-pulseaudio} ${PULSE_MODE:-realtime}, $busy busy threads, ${stall:+stalls of $stall ms, }$(nproc) processors"

pulse_record_start "$W/cap.wav"
REC_START=$PULSE_REC_STARTED_MS
status=0
SDL_AUDIODRIVER=pulseaudio QT_QPA_PLATFORM=xcb "$BENCH" "$MINUTES" "$SEED" \
  ${device_options[@]+"${device_options[@]}"} >"$W/soak.txt" || status=$?
pulse_record_stop
busy_stop
sed -n 's/^soak: //p' "$W/soak.txt"
[ "$status" -eq 0 ] || { echo "soak_bench failed with status $status" >&2; exit "$status"; }
# The shortest pause between tones, at the shortest tone time the run sets (60 ms), is 43 ms.
holes=$("$GAPS" gaps "$W/cap.wav" 35 2>"$W/gaps.txt")
echo "holes in the recording (silences of 2 to 35 ms inside sound): $holes"
sed 's/^gaps: /  hole: /' "$W/gaps.txt" | head -20

# Each episode from 150 ms before its first input to 150 ms after its sound stopped; between
# episodes there are at least 300 ms of silence.
episodes=0 cut=0
declare -A matched=([multimon-ng]=0 [dtmf2num]=0) cut_ok=([multimon-ng]=0 [dtmf2num]=0)
mismatches=()
own_limit=0
dtmf2num_keys() { dtmf2num -o "$1" 2>/dev/null | sed -n 's/^- DTMF numbers: *//p' | sed 's/^none$//'; }
while read -r _ start end kind digits was_cut tone_time; do
  [ "$digits" = - ] && digits=""
  from=$(((start - REC_START - 150)))
  [ "$from" -lt 0 ] && from=0
  sox "$W/cap.wav" "$W/episode.wav" \
    trim "$(printf '%d.%03d' $((from / 1000)) $((from % 1000)))" \
    "$(printf '%d.%03d' $(((end - start + 300) / 1000)) $(((end - start + 300) % 1000)))"
  episodes=$((episodes + 1))
  [ "$was_cut" = 1 ] && cut=$((cut + 1))
  for receiver in multimon-ng dtmf2num; do
    if [ "$receiver" = multimon-ng ]; then
      heard=$(sox "$W/episode.wav" -t raw -r 22050 -e signed-integer -b 16 -c 1 - |
        multimon-ng -q -c -a DTMF -t raw - 2>/dev/null | sed -n 's/^DTMF: //p' | tr -d '\n')
    else
      heard=$(dtmf2num_keys "$W/episode.wav")
      if [ -n "$digits" ] && [ "$was_cut" = 0 ]; then
        "$RENDER" dial "$digits" --tone-time "$tone_time" --volume 1 -o "$W/clean.wav" 2>/dev/null
        clean=$(dtmf2num_keys "$W/clean.wav")
        if [ "$clean" != "$digits" ]; then
          own_limit=$((own_limit + 1))
          [ "$heard" = "$clean" ] && matched[$receiver]=$((matched[$receiver] + 1)) && continue
        fi
      fi
    fi
    if [ "$was_cut" = 1 ]; then
      [ "${digits:0:${#heard}}" = "$heard" ] && cut_ok[$receiver]=$((cut_ok[$receiver] + 1)) && continue
    elif [ "$heard" = "$digits" ]; then
      matched[$receiver]=$((matched[$receiver] + 1))
      continue
    fi
    mismatches+=("$receiver: $kind at $(((start - REC_START) / 1000)) s: sent '$digits', heard '$heard'")
  done
done < <(grep '^episode ' "$W/soak.txt")
echo "dtmf2num hears $own_limit whole episodes wrong in their clean rendering too: held to that"
for receiver in multimon-ng dtmf2num; do
  echo "decoded by $receiver: $((episodes - cut - matched[$receiver])) of $((episodes - cut)) whole episodes heard wrong; $((cut - cut_ok[$receiver])) of $cut cut short by a tone time change not heard as a beginning of theirs"
done
for m in ${mismatches[@]+"${mismatches[@]}"}; do echo "  mismatch: $m"; done
[ ${#mismatches[@]} -eq 0 ]
