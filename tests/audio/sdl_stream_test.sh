#!/usr/bin/env bash
# The output module on the real SDL2 device: streams keys paced by its own notifications into a
# private PulseAudio null sink, records the sink's monitor, and checks that the keys decode in
# order (an independent DTMF decoder) and that the blocks follow each other with no gap.
# Usage: sdl_stream_test.sh PATH/TO/sdl_stream_check
set -euo pipefail

check=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../e2e/lib/pulse.sh
source "$here/../e2e/lib/pulse.sh"
# Sanitizer builds: what the sound server's client library keeps is not ours to free.
export LSAN_OPTIONS="suppressions=$here/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

keys='123A456B789C*0#D147*2580369#ABCD'
failed_copy="$PWD/sdl_stream_failed.wav"
rm -f "$failed_copy"

pulse_start

# No server to reach: creating the output fails and says so.
if PULSE_SERVER="unix:$PULSE_WORK/nothing-here" SDL_AUDIODRIVER=pulseaudio \
  "$check" play --expected "$PULSE_WORK/unused.bin" </dev/null 2>"$PULSE_WORK/no-device.txt"; then
  echo "FAIL: playing without an audio server succeeded" >&2
  exit 1
fi
if ! grep -q 'No audio output device could be opened: ' "$PULSE_WORK/no-device.txt"; then
  echo "FAIL: unclear message without an audio server:" >&2
  cat "$PULSE_WORK/no-device.txt" >&2
  exit 1
fi

pulse_record_start "$PULSE_WORK/capture.wav"
SDL_AUDIODRIVER=pulseaudio timeout 60 "$check" play --keys "$keys" --scroll 601 \
  --expected "$PULSE_WORK/expected.bin" </dev/null
# Let the end of the stream pass the sink before the recorder stops.
sleep 0.3
pulse_record_stop

status=0
digits=$(pulse_decode_dtmf "$PULSE_WORK/capture.wav")
if [ "$digits" = "$keys" ]; then
  echo "decoded $digits" >&2
else
  echo "FAIL: decoded '$digits', wanted '$keys'" >&2
  status=1
fi
"$check" verify "$PULSE_WORK/expected.bin" "$PULSE_WORK/capture.wav" || status=1

if [ "$status" -ne 0 ]; then
  cp "$PULSE_WORK/capture.wav" "$failed_copy" && echo "recording kept as $failed_copy" >&2
fi
exit "$status"
