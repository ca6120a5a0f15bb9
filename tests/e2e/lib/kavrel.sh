# shellcheck shell=bash
# Starting kavrel in an end-to-end test (source lib/pulse.sh and lib/xvfb.sh first; their exit
# hooks end what these start):
#
#   kavrel_session KAVREL
#
# starts the test's private sound server and display, and copies KAVREL into a folder of its own,
# W/app; sets W, the test's scratch folder. Fails when the display does not come up.
#
#   kavrel_start APP LOG [NAME=VALUE...]
#
# starts APP/kavrel from APP on the test's display and sound server, with NAME=VALUE settings of
# its environment and its output in LOG, and sets KAVREL_PID and WID (its window). Fails when no
# window titled "Pelorin 1.0" is on screen within 30 s.
#
#   step TEXT   says what the test does next
#   fail TEXT   says what failed, shows kavrel's output (W/kavrel.log) and ends the test; a test
#               that keeps more on failure defines its own after sourcing this

step() { echo "-- $*" >&2; }
fail() {
  echo "FAIL: $*" >&2
  [ -f "${W:-}/kavrel.log" ] && sed 's/^/  kavrel: /' "$W/kavrel.log" >&2
  exit 1
}

kavrel_session() {
  pulse_start
  W=$PULSE_WORK
  xvfb_start || return 1
  mkdir "$W/app"
  cp "$1" "$W/app/kavrel"
}

kavrel_start() {
  local app=$1 log=$2
  shift 2
  (cd "$app" && exec env QT_QPA_PLATFORM=xcb SDL_AUDIODRIVER=pulseaudio "$@" ./kavrel \
    </dev/null >"$log" 2>&1) &
  KAVREL_PID=$!
  pulse_at_exit "kill -KILL $KAVREL_PID 2>/dev/null"
  WID=$(timeout 30 xdotool search --sync --onlyvisible --name '^Pelorin 1\.0$' | head -1) &&
    [ -n "$WID" ]
}
