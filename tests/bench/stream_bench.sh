#!/usr/bin/env bash
# Runs stream_bench against a private PulseAudio null sink, records the sink's monitor and checks
# the recording (stream_check verify, from the same folder): prints the blocks heard wrong and
# the holes in the recording beside the server's own count of underflows.
# Usage: tests/bench/stream_bench.sh [--mode realtime|user] PATH/TO/stream_bench [bench options...]
#   (bench options: --device pulse|sdl, --seconds, --tone-time, --load; see stream_bench.cpp)
set -euo pipefail
[ "${1:-}" = --mode ] && { export PULSE_MODE=$2; shift 2; }
bench=$(realpath "$1")
shift
check=$(dirname "$bench")/stream_check
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../e2e/lib/pulse.sh
source "$here/../e2e/lib/pulse.sh"
# Sanitizer builds: what the sound server's client library keeps is not ours to free.
export LSAN_OPTIONS="suppressions=$here/../audio/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
pulse_start
pulse_record_start "$PULSE_WORK/cap.wav"
status=0
SDL_AUDIODRIVER=pulseaudio "$bench" "$@" --expected "$PULSE_WORK/expected.bin" </dev/null || status=$?
sleep 0.3  # the end of the stream on its way through the sink
pulse_record_stop
[ "$status" -eq 0 ] || exit "$status"
wrong=$("$check" verify "$PULSE_WORK/expected.bin" "$PULSE_WORK/cap.wav" 2>&1 | grep -c '^verify: block' || true)
# The pause between tones is about 17 ms shorter than the tone time (23 ms at the default 40);
# at tone times below 30 ms holes are not told apart from pauses, only the blocks heard wrong.
tone_time=40
args=("$@")
for ((i = 0; i + 1 < ${#args[@]}; i++)); do
  [ "${args[i]}" = --tone-time ] && tone_time=${args[i + 1]%.*}
done
if [ "$tone_time" -ge 30 ]; then
  holes=$("$check" gaps "$PULSE_WORK/cap.wav" $((tone_time - 20)) 2>/dev/null)
else
  holes="(not told apart from pauses at this tone time)"
fi
echo "blocks heard wrong: $wrong; holes in the recording: $holes"
