# shellcheck shell=bash
# The one way a private Xvfb display is started, for the end-to-end tests, the Windows tests and
# scripts/test:
#
#   xvfb_launch DIR   # starts one, its log DIR/xvfb.log; exports DISPLAY and sets XVFB_PID; says
#                     # why and fails (nothing left running) when it does not come up
#   xvfb_start        # the same in PULSE_WORK, stopped with lib/pulse.sh's exit hooks (source
#                     # pulse.sh and call pulse_start first)
#
# -displayfd: the server picks a free display number and writes it once it accepts clients.

xvfb_launch() {
  local dir=$1 i
  Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$dir/display" </dev/null \
    >"$dir/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for ((i = 0; i < 200; i++)); do
    if [ -s "$dir/display" ]; then
      export DISPLAY=":$(head -n 1 "$dir/display")"
      return 0
    fi
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill "$XVFB_PID" 2>/dev/null
  wait "$XVFB_PID" 2>/dev/null
  echo "Xvfb did not start:" >&2
  sed 's/^/  /' "$dir/xvfb.log" >&2
  return 1
}

xvfb_start() {
  xvfb_launch "$PULSE_WORK" || return 1
  pulse_at_exit "kill $XVFB_PID 2>/dev/null; wait $XVFB_PID 2>/dev/null"
}
