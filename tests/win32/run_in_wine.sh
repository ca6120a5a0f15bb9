#!/usr/bin/env bash
# Runs a Windows test program under Wine from a scratch folder of its own (it may write beside
# itself), on a private X display, with a private PulseAudio null sink (--sound) or with no sound
# server at all:
#   run_in_wine.sh [--sound] PROGRAM.exe [ARG]...
set -euo pipefail
source "$(dirname "$0")/lib/desktop.sh"

sound=0
if [ "${1:-}" = --sound ]; then
  sound=1
  shift
fi
program=$1
shift

desktop_start
if [ "$sound" = 1 ]; then pulse_start; else desktop_no_sound; fi
cp "$program" "$DESKTOP_WORK/"
cd "$DESKTOP_WORK"
desktop_wine "./$(basename "$program")" "$@"
