#!/usr/bin/env bash
# Key press to tone onset at the sink: runs key_onset_bench into a private sound server's sink
# (PulseAudio, or PipeWire with --server pipewire), optionally beside busy threads (shell loops
# that never sleep, as a build keeps the processors busy) or a machine that takes its processors
# away (--stall "TAKE EVERY", cpu_stall's milliseconds). The last lines read
#   key to onset at the sink: median M ms, p99 P ms, max X ms, underruns U
#   server underflows in all S; device ...
# (U: presses with a gap at the sink, a late refill or a server underflow.)
#
# Usage: tests/bench/key_onset_bench.sh [--busy N] [--stall "TAKE EVERY"] [--presses N]
#            [--server pulseaudio|pipewire] [--mode realtime|user] [BENCH]
#            [-- device options of tests/support/device_choice.h]
#   BENCH defaults to build/linux/bin/key_onset_bench; at least 100 presses (the default);
#   --mode is the server's (tests/e2e/lib/pulse.sh).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
busy=0
stall=""
presses=100
bench=$ROOT/build/linux/bin/key_onset_bench
device_options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --busy) busy=$2; shift 2 ;;
    --stall) stall=$2; shift 2 ;;
    --presses) presses=$2; shift 2 ;;
    --server) export KAVREL_SOUND_SERVER=$2; shift 2 ;;
    --mode) export PULSE_MODE=$2; shift 2 ;;
    --) shift; device_options=("$@"); break ;;
    -*) echo "usage: $0 [--busy N] [--stall 'TAKE EVERY'] [--presses N] [--server S] [--mode M] [BENCH] [-- options]" >&2; exit 2 ;;
    *) bench=$1; shift ;;
  esac
done
[[ "$busy" =~ ^[0-9]+$ ]] || { echo "--busy takes a number of threads" >&2; exit 2; }
[[ "$presses" =~ ^[0-9]+$ ]] && [ "$presses" -ge 100 ] ||
  { echo "--presses takes a number of 100 or more" >&2; exit 2; }

# shellcheck source=../e2e/lib/pulse.sh
source "$ROOT/tests/e2e/lib/pulse.sh"
pulse_start

source "$ROOT/tests/bench/busy.sh"
busy_start "$busy"
stall_start "$(dirname "$bench")" $stall
echo "key_onset_bench: $presses presses, $busy busy threads, ${stall:+stalls of $stall ms, }$(nproc) processors, server ${KAVREL_SOUND_SERVER:-pulseaudio} ${PULSE_MODE:-realtime}" >&2
SDL_AUDIODRIVER=pulseaudio QT_QPA_PLATFORM=offscreen "$bench" "$presses" \
  ${device_options[@]+"${device_options[@]}"}
