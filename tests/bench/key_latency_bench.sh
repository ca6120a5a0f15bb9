#!/usr/bin/env bash
# Runs key_latency_bench into a private PulseAudio null sink.
# Usage: tests/bench/key_latency_bench.sh [BENCH] [PRESSES]
#   BENCH defaults to build/linux/bin/key_latency_bench.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BENCH=${1:-$ROOT/build/linux/bin/key_latency_bench}
source "$ROOT/tests/e2e/lib/pulse.sh"
pulse_start
SDL_AUDIODRIVER=pulseaudio QT_QPA_PLATFORM=offscreen "$BENCH" "${2:-100}"
