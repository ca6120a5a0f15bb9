#!/usr/bin/env bash
# How Kavrel.exe sounds under Wine: RUNS times, a fresh Kavrel.exe on a private display plays a
# 32-key dial string twice at 60 ms into a private PulseAudio null sink, optionally beside busy
# threads or a machine that takes its processors away. Each recording is decoded (multimon-ng, as
# kavrel_wine_e2e does) and measured (kavrel-render check: tones cut into pieces; stream_check gaps:
# holes), and the DirectSound device's report says whether a refill of the program came late.
# Prints a line per run and a summary line.
#
# Usage: tests/bench/wine_sound.sh [--runs N] [--busy N] [--stall "TAKE EVERY"] [--as-installed]
#            [KAVREL_EXE] [LINUX_BIN]
#   KAVREL_EXE: build/win64/bin/Kavrel.exe (KAVREL_WINE_ARCH=win32 for a 32-bit one);
#   LINUX_BIN: build/linux/bin, for kavrel-render, stream_check and cpu_stall;
#   --as-installed: Wine's sound path as installed, not as the tests set it (lib/desktop.sh).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
runs=6 busy=0 stall="" installed=0
all=("$@") args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --busy) busy=$2; shift 2 ;;
    --stall) stall=$2; shift 2 ;;
    --as-installed) installed=1; shift ;;
    -*) echo "usage: $0 [--runs N] [--busy N] [--stall 'TAKE EVERY'] [--as-installed] [KAVREL_EXE] [LINUX_BIN]" >&2; exit 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
exe=$(realpath "${args[0]:-$ROOT/build/win64/bin/Kavrel.exe}")
bin=$(realpath "${args[1]:-$ROOT/build/linux/bin}")
export KAVREL_WINE_ARCH=${KAVREL_WINE_ARCH:-win64}

source "$ROOT/tests/win32/lib/desktop.sh"
source "$ROOT/tests/e2e/lib/poll.sh"
if [ -z "${WINE_SOUND_INNER:-}" ]; then
  desktop_start
  WINE_SOUND_INNER=1 "$DESKTOP_ROOT/scripts/wine-env" "$0" "${all[@]}"
  exit
fi
source "$ROOT/tests/bench/busy.sh"
pulse_start
busy_start "$busy"
# shellcheck disable=SC2086
stall_start "$bin" $stall
sound=("${DESKTOP_WINE_SOUND[@]}")
[ "$installed" = 1 ] && sound=()
W=$DESKTOP_WORK
DIAL="1234567890ABCD*#1470258#369*ABCD"
echo "wine_sound: $runs runs, Wine's sound path ${sound[*]:-as installed}, $busy busy threads," \
  "${stall:+stalls of $stall ms, }$(nproc) processors"

window() { xdotool search --onlyvisible --name '^Pelorin 1\.0$' 2>/dev/null | head -n 1; }
title() { xdotool getwindowname "$wid"; }
click() { xdotool mousemove --window "$wid" $1 click 1; }
ok=0 cut_runs=0 pieces=0 holes=0 late=0 slowest=0
for ((r = 1; r <= runs; r++)); do
  rm -rf "$W/app"
  mkdir "$W/app"
  cp "$exe" "$W/app/Kavrel.exe"
  printf '%s\r\n60\r\n 201 \r\n \r\n \r\n' "$DIAL" >"$W/app/Sindrat.ini"
  (cd "$W/app" && exec env "${sound[@]}" WINEDEBUG=-all,warn+debugstr wine Kavrel.exe \
    </dev/null >/dev/null 2>"$W/kavrel.err") &
  pid=$!
  wait_for 60 '[ -n "$(window)" ]' || { echo "run $r: no window" >&2; exit 1; }
  wid=$(window)
  click "200 227"  # a label, which makes the window active
  pulse_record_start "$W/cap.wav"
  for _ in 1 2; do
    click "346 19"  # Play
    wait_for 10 '[ "$(title)" != "Pelorin 1.0" ]'
    wait_for 30 '[ "$(title)" = "Pelorin 1.0" ]' || { echo "run $r: no end of play" >&2; exit 1; }
  done
  pulse_record_stop
  click "234 20"
  xdotool key alt+F4
  wait_for 30 '! kill -0 "$pid" 2>/dev/null' || { echo "run $r: Kavrel.exe did not end" >&2; exit 1; }
  heard=$(pulse_decode_dtmf "$W/cap.wav")
  # check exits 1 where a tone breaks a rule of Q.24; the count is what is wanted here.
  tones=$({ "$bin/kavrel-render" check "$W/cap.wav" || true; } |
    awk 'NR > 1 && NF >= 10 {n++} END {print n + 0}')
  gaps=$("$bin/stream_check" gaps "$W/cap.wav" 40 2>/dev/null)
  report=$(desktop_dsound_report "$W/kavrel.err")
  l=$(sed -n 's/.*, \([0-9]*\) late,.*/\1/p' <<<"$report")
  s=$(sed -n 's/.*the slowest \([0-9.]*\) ms.*/\1/p' <<<"$report")
  [ "$heard" = "$DIAL$DIAL" ] && ok=$((ok + 1))
  [ "$tones" -gt 64 ] && cut_runs=$((cut_runs + 1))
  pieces=$((pieces + (tones > 64 ? tones - 64 : 0))) holes=$((holes + gaps)) late=$((late + ${l:-0}))
  slowest=$(awk -v a="$slowest" -v b="${s:-0}" 'BEGIN {print (b > a ? b : a)}')
  echo "run $r: heard $([ "$heard" = "$DIAL$DIAL" ] && echo ok || echo "'$heard'"), $tones tones," \
    "$gaps holes; $report"
done
echo "runs $runs, heard ok $ok, runs with tones cut $cut_runs, extra pieces $pieces, holes $holes," \
  "late refills $late, the slowest refill $slowest ms after its notification"
