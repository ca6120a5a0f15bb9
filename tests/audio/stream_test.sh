#!/usr/bin/env bash
# The output module on a real device (pulse: the PulseAudio client's; sdl: SDL2's; pipewire:
# PipeWire's own) streams keys paced by its own notifications into a private sound server's sink
# (KAVREL_SOUND_SERVER, tests/e2e/lib/pulse.sh), which is recorded; the keys must decode in order
# (an independent DTMF decoder) and the blocks follow each other with no gap. First the device
# refuses every breach of the buffer contract, and a stream goes on through a pause of the server.
# A recording that is not what was written passes only where the device itself counted why (a
# hole, or a refill the window thread made too late): its counts must agree with what was heard.
# Usage: stream_test.sh PATH/TO/stream_check pulse|sdl|pipewire
set -euo pipefail

check=$(realpath "$1")
device=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../e2e/lib/pulse.sh
source "$here/../e2e/lib/pulse.sh"
# shellcheck source-path=SCRIPTDIR source=../e2e/lib/poll.sh
source "$here/../e2e/lib/poll.sh"
# Sanitizer builds: what the sound server's client library keeps is not ours to free.
export LSAN_OPTIONS="suppressions=$here/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

keys='123A456B789C*0#D147*2580369#ABCD'
failed_copy="$PWD/${device}_stream_failed.wav"
rm -f "$failed_copy"

pulse_start

# No server to reach: creating the output fails and says so.
nothing=(PULSE_SERVER="unix:$PULSE_WORK/nothing-here" PIPEWIRE_REMOTE="$PULSE_WORK/nothing-here")
if env "${nothing[@]}" SDL_AUDIODRIVER=pulseaudio \
  "$check" play --device "$device" --expected "$PULSE_WORK/unused.bin" </dev/null \
  2>"$PULSE_WORK/no-device.txt"; then
  echo "FAIL: playing without an audio server succeeded" >&2
  exit 1
fi
if ! grep -q 'No audio output device could be opened: ' "$PULSE_WORK/no-device.txt"; then
  echo "FAIL: unclear message without an audio server:" >&2
  cat "$PULSE_WORK/no-device.txt" >&2
  exit 1
fi

# No server for the default device: it plays through SDL2 and says so in one line; without an
# SDL2 output either, the one line of its refusal names every reason.
if [ "$device" = pulse ]; then
  env "${nothing[@]}" SDL_AUDIODRIVER=dummy \
    "$check" contract --device linux </dev/null 2>"$PULSE_WORK/fallback.txt"
  [ "$(grep -c '^stream_check: no sound server (PipeWire: .*; PulseAudio: .*); playing through SDL2$' \
    "$PULSE_WORK/fallback.txt")" = 1 ] || { echo "FAIL: no one-line fallback to SDL2:" >&2; cat "$PULSE_WORK/fallback.txt" >&2; exit 1; }
  if env "${nothing[@]}" SDL_AUDIODRIVER=pulseaudio \
    "$check" play --device linux --expected "$PULSE_WORK/unused.bin" </dev/null \
    2>"$PULSE_WORK/neither.txt" ||
    ! grep -q '^stream_check: No audio output device could be opened: PipeWire: .*; PulseAudio: .*; SDL2: ' \
      "$PULSE_WORK/neither.txt"; then
    echo "FAIL: without any output the default device did not say why in one line:" >&2
    cat "$PULSE_WORK/neither.txt" >&2
    exit 1
  fi
fi

# The shared contract table, on the real device.
SDL_AUDIODRIVER=pulseaudio "$check" contract --device "$device" </dev/null

# The server pauses for half a second while a stream plays, as on a busy machine: a hole is heard,
# and the stream goes on to its end; the device is not taken as lost.
SDL_AUDIODRIVER=pulseaudio timeout 60 "$check" play --device "$device" --keys "$keys" \
  --expected "$PULSE_WORK/paused.bin" </dev/null 2>"$PULSE_WORK/paused.txt" &
paused_play=$!
wait_for 10 '[ -n "$(pactl list short sink-inputs </dev/null)" ]' ||
  { echo "FAIL: the stream never reached the server" >&2; exit 1; }
kill -STOP "$PULSE_PID"
sleep 0.5
kill -CONT "$PULSE_PID"
played=0
wait "$paused_play" || played=$?
if [ "$played" -ne 0 ] && [ "$played" -ne 3 ]; then
  echo "FAIL: a pause of the server for 0.5 s ended the stream (status $played):" >&2
  cat "$PULSE_WORK/paused.txt" >&2
  exit 1
fi
# PipeWire's device heard the pause as a hole, and asks the graph for a longer period.
if [ "$device" = pipewire ] && ! grep -q '(asked [1-9][0-9]* samples, from 128, [1-9]' "$PULSE_WORK/paused.txt"; then
  echo "FAIL: the PipeWire device did not ask for a longer period after a hole:" >&2
  cat "$PULSE_WORK/paused.txt" >&2
  exit 1
fi

# One stream, recorded and checked.
capture="$PULSE_WORK/capture.wav" expected="$PULSE_WORK/expected.bin"
pulse_record_start "$capture"
played=0
SDL_AUDIODRIVER=pulseaudio timeout 60 "$check" play --device "$device" --keys "$keys" \
  --scroll 601 --expected "$expected" </dev/null 2>"$PULSE_WORK/play.txt" || played=$?
cat "$PULSE_WORK/play.txt" >&2
pulse_record_stop
# 3: the device heard a half again, as the window thread missed the 30 ms lead.
[ "$played" -eq 0 ] || [ "$played" -eq 3 ] || { echo "FAIL: stream_check play failed" >&2; exit 1; }

status=0
digits=$(pulse_decode_dtmf "$capture")
if [ "$digits" = "$keys" ]; then
  echo "decoded $digits" >&2
else
  echo "decoded '$digits', wanted '$keys'" >&2
  status=1
fi
"$check" verify "$expected" "$capture" || status=1
holes=$("$check" gaps "$capture" 20 2>/dev/null)
counted=$(sed -n 's/.* holes \([0-9]*\);.*/\1/p' "$PULSE_WORK/play.txt")
late=$(sed -n 's/.* \([0-9]*\) late refills.*/\1/p' "$PULSE_WORK/play.txt")
if [ "$holes" -gt "$counted" ]; then
  echo "FAIL: the recording has $holes holes, the device counted $counted" >&2
  status=2
elif [ "$status" -ne 0 ] && [ "$((counted + late))" -gt 0 ]; then
  echo "the machine held the stream up: the device counted $counted holes and $late late refills," \
    "and the recording has $holes holes: heard as the device said" >&2
  status=0
fi
if [ "$status" -ne 0 ]; then
  cp "$capture" "$failed_copy" && echo "recording kept as $failed_copy" >&2
  echo "FAIL: the recording is not what was written, and the device counted nothing wrong" >&2
fi
exit "$status"
