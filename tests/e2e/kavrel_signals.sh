#!/usr/bin/env bash
# A termination signal ends kavrel at any moment and saves its settings: while the message that no
# sound output could be opened waits at start-up, and while the window plays a long dial string
# after an edit. Each time the program must end within LIMIT seconds with status 0, and leave the
# settings that its window held. On a private virtual display and PulseAudio null sink.
#
# Usage: kavrel_signals.sh KAVREL [LIMIT]   (LIMIT in whole seconds, default 1)
set -euo pipefail

KAVREL=$1
LIMIT=${2:-1}
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib/pulse.sh
source "$HERE/lib/pulse.sh"
# shellcheck source=lib/poll.sh
source "$HERE/lib/poll.sh"
# shellcheck source=lib/xvfb.sh
source "$HERE/lib/xvfb.sh"
# shellcheck source=lib/kavrel.sh
source "$HERE/lib/kavrel.sh"

kavrel_session "$KAVREL" || fail "no virtual display"

# Starts kavrel from its folder with the given settings file and environment (NAME=VALUE...);
# waits for its first window on screen and sets WID.
start() {
  local settings=$1
  shift
  printf '%b' "$settings" >"$W/app/Sindrat.ini"
  kavrel_start "$W/app" "$W/kavrel.log" "$@" ||
    fail "nothing titled 'Pelorin 1.0' on screen within 30 s"
}
# Sends SIGTERM; kavrel must end within LIMIT seconds, with status 0, leaving SETTINGS. A program
# that ends late is waited for up to 15 s, to tell slow from stuck.
terminate() {
  local when=$1 settings=$2 started took
  started=$(date +%s%N)
  kill -TERM "$KAVREL_PID"
  wait_ended "$KAVREL_PID" 15
  took=$((($(date +%s%N) - started) / 1000000))
  echo "   ended $took ms after SIGTERM" >&2
  [ "$ENDED_STATUS" -ne 137 ] || fail "kavrel did not end within 15 s of SIGTERM $when"
  [ "$took" -le $((LIMIT * 1000)) ] || fail "kavrel ended $took ms after SIGTERM $when, not within $LIMIT s"
  [ "$ENDED_STATUS" -eq 0 ] || fail "kavrel ended with status $ENDED_STATUS on SIGTERM $when"
  printf '%b' "$settings" >"$W/expected.ini"
  cmp -s "$W/expected.ini" "$W/app/Sindrat.ini" ||
    fail "settings after SIGTERM $when: $(od -c "$W/app/Sindrat.ini")"
}

step "SIGTERM while the message that there is no sound output waits at start-up"
start '12a\r\n80\r\n301\r\n' PULSE_SERVER="unix:$W/no-server"
# The window shows only once start-up is over: what is on screen is the message.
eval "$(xdotool getwindowgeometry --shell "$WID")"
[ "${WIDTH}x$HEIGHT" != 373x281 ] || fail "the window opened instead of the message"
terminate "during the message" '12a\r\n80\r\n 301 \r\n \r\n \r\n'

step "SIGTERM while the window plays a long dial string, after an edit"
DIAL=$(printf '1234567890%.0s' {1..10})  # 100 keys of 160 ms: 16 s
start "$DIAL\\r\\n80\\r\\n 301 \\r\\n \\r\\n \\r\\n"
eval "$(xdotool getwindowgeometry --shell "$WID")"
# Clicks the control at twips LEFT TOP WIDTH HEIGHT.
click() {
  xdotool mousemove --sync $((X + ($1 + $3 / 2) / 15)) $((Y + ($2 + $4 / 2) / 15)) click 1
}
xdotool windowfocus --sync "$WID"
click 4005 3240 750 375           # the tone time box, whose next tab stop is the volume
xdotool key --delay 80 Tab Down   # the volume one step (100) down
click 4875 105 645 375            # Play
wait_for 10 '[ "$(xdotool getwindowname "$WID")" = " $DIAL" ]' || fail "the dial string did not start"
terminate "while playing" "$DIAL\\r\\n80\\r\\n 401 \\r\\n \\r\\n \\r\\n"

echo "kavrel ends on SIGTERM within $LIMIT s, during the start-up message and while playing, with its settings saved"
