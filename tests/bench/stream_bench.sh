#!/usr/bin/env bash
# Runs sdl_stream_bench against a private PulseAudio null sink.
# Usage: tests/bench/sdl_stream_bench.sh PATH/TO/sdl_stream_bench [bench options...]
set -euo pipefail
bench=$(realpath "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../e2e/lib/pulse.sh
source "$here/../e2e/lib/pulse.sh"
# Sanitizer builds: what the sound server's client library keeps is not ours to free.
export LSAN_OPTIONS="suppressions=$here/../audio/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
pulse_start
SDL_AUDIODRIVER=pulseaudio "$bench" "$@" </dev/null
