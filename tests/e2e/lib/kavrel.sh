# shellcheck shell=bash
# Starting kavrel in an end-to-end test (source lib/pulse.sh first; its exit hooks kill it):
#
#   kavrel_start APP LOG [NAME=VALUE...]
#
# starts APP/kavrel from APP on the test's display and sound server, with NAME=VALUE settings of
# its environment and its output in LOG, and sets KAVREL_PID and WID (its window). Fails when no
# window titled "Pelorin 1.0" is on screen within 30 s.

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
