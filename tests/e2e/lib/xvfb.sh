# shellcheck shell=bash
# A private Xvfb display for end-to-end tests, beside the private sound server of lib/pulse.sh
# and the polling of lib/poll.sh (source both, and call pulse_start, first):
#
#   xvfb_start        # exports DISPLAY; says why and fails when Xvfb does not start
#
# The display is stopped with pulse.sh's exit hooks; its log is PULSE_WORK/xvfb.log.

xvfb_start() {
  Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$PULSE_WORK/display" </dev/null \
    >"$PULSE_WORK/xvfb.log" 2>&1 &
  local pid=$!
  pulse_at_exit "kill $pid 2>/dev/null; wait $pid 2>/dev/null"
  if ! wait_for 20 '[ -s "$PULSE_WORK/display" ]'; then
    echo "Xvfb did not start: $(cat "$PULSE_WORK/xvfb.log")" >&2
    return 1
  fi
  export DISPLAY=":$(head -1 "$PULSE_WORK/display")"
}
