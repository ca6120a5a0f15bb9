#!/usr/bin/env bash
# How long a stall of the processors each sound device rides out: streams of 64 keys (stream_check
# play, paced by their notifications) into a private server's sink while cpu_stall takes each
# processor for TAKE ms every 200 ms (in turn, and all at once), the recording checked block by
# block (stream_check verify) and for holes (stream_check gaps). Prints one line per device, stall
# and way: streams heard as written, holes in the recordings, holes the device counted, late
# refills.
#
# Usage: tests/bench/stall_limit.sh [--server pulseaudio|pipewire] [--runs N] [BIN]
#            [-- TAKE...]  (default: 10 20 30 40 60 ms; BIN: build/linux/bin)
# The devices: the server's own (PipeWire's on PipeWire, PulseAudio's on PulseAudio) and SDL2.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
runs=3
bin=$ROOT/build/linux/bin
takes=(10 20 30 40 60)
while [ $# -gt 0 ]; do
  case "$1" in
    --server) export KAVREL_SOUND_SERVER=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --) shift; takes=("$@"); break ;;
    *) bin=$1; shift ;;
  esac
done
source "$ROOT/tests/e2e/lib/pulse.sh"
source "$ROOT/tests/bench/busy.sh"
pulse_start
export SDL_AUDIODRIVER=pulseaudio
own=pulse
[ "${KAVREL_SOUND_SERVER:-pulseaudio}" = pipewire ] && own=pipewire
keys='123A456B789C*0#D147*2580369#ABCD'
keys=$keys$keys
echo "stall_limit: server ${KAVREL_SOUND_SERVER:-pulseaudio}, $runs streams of ${#keys} keys each, $(nproc) processors"
printf '%-9s %-26s %-8s %-10s %-10s %-10s\n' device stall heard-ok holes-heard counted late
for device in "$own" sdl; do
  for take in "${takes[@]}"; do
    for way in "" --together; do
      stall_start "$bin" "$take" 200 $way
      ok=0 heard=0 counted=0 late=0
      for ((r = 0; r < runs; r++)); do
        pulse_record_start "$PULSE_WORK/cap.wav"
        out=$("$bin/stream_check" play --device "$device" --keys "$keys" \
          --expected "$PULSE_WORK/expected.bin" 2>&1 </dev/null | grep 'blocks of' || true)
        pulse_record_stop
        "$bin/stream_check" verify "$PULSE_WORK/expected.bin" "$PULSE_WORK/cap.wav" >/dev/null 2>&1 &&
          ok=$((ok + 1))
        h=$("$bin/stream_check" gaps "$PULSE_WORK/cap.wav" 20 2>/dev/null || true)
        c=$(sed -n 's/.* holes \([0-9]*\);.*/\1/p' <<<"$out")
        l=$(sed -n 's/.* \([0-9]*\) late refills.*/\1/p' <<<"$out")
        heard=$((heard + ${h:-0})) counted=$((counted + ${c:-0})) late=$((late + ${l:-0}))
      done
      busy_stop
      _busy_pids=()
      printf '%-9s %-26s %-8s %-10s %-10s %-10s\n' "$device" \
        "$take ms/200 ms${way:+, all at once}" "$ok/$runs" "$heard" "$counted" "$late"
    done
  done
done
