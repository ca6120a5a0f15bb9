#!/usr/bin/env bash
# kavrel without a mouse, as a keyboard user and a screen reader meet it: its window on a private
# virtual display with the accessibility bus, its sound into a private PulseAudio null sink. The
# window read through AT-SPI (every control and its own parts with a role and a name), keypad key
# 5 pressed through its accessible action, digits, # and * typed with the focus on a keypad key,
# Space and Enter on that key, a key held down, and Escape during a Play; the recording decoded by
# an independent DTMF decoder.
#
# Usage: kavrel_keyboard_e2e.sh KAVREL OUT
set -euo pipefail

KAVREL=$1
OUT=$2
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib/pulse.sh
source "$HERE/lib/pulse.sh"
# shellcheck source=lib/poll.sh
source "$HERE/lib/poll.sh"
# shellcheck source=lib/xvfb.sh
source "$HERE/lib/xvfb.sh"
# shellcheck source=lib/kavrel.sh
source "$HERE/lib/kavrel.sh"

# pyatspi is the system's Python module, whatever python3 comes first on the path.
ATSPI=(/usr/bin/python3 "$HERE/kavrel_atspi.py")
for cmd in Xvfb xdotool dbus-daemon /usr/bin/python3; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd (install with: scripts/setup e2e)" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null ||
  { echo "missing python3-pyatspi (install with: scripts/setup e2e)" >&2; exit 1; }
mkdir -p "$OUT"

step() { echo "-- $*" >&2; }
fail() {
  trap - ERR
  echo "FAIL: $*" >&2
  if [ -n "${W:-}" ]; then
    [ -f "$W/kavrel.log" ] && cp "$W/kavrel.log" "$OUT/kavrel-keyboard-output.log" &&
      sed 's/^/  kavrel: /' "$W/kavrel.log" >&2
    [ -f "$W/cap.wav" ] && cp "$W/cap.wav" "$OUT/kavrel-keyboard-capture.wav" &&
      echo "  recording kept in $OUT/kavrel-keyboard-capture.wav" >&2
  fi
  exit 1
}
set -E
# Inside a command substitution the status goes to the command around it, which decides.
trap '[ "$BASH_SUBSHELL" -ne 0 ] || fail "line $LINENO of $(basename "$0") failed with status $?"' ERR

pulse_start
W=$PULSE_WORK
step "virtual display and a session bus of its own"
xvfb_start || fail "no virtual display"
# The accessibility bus is started on demand by the session bus, and ends with it.
dbus-daemon --session --nofork --print-address=3 3>"$W/bus" </dev/null >"$W/dbus.log" 2>&1 &
bus_pid=$!
pulse_at_exit "kill $bus_pid 2>/dev/null; wait $bus_pid 2>/dev/null"
wait_for 10 '[ -s "$W/bus" ]' || fail "no session bus: $(cat "$W/dbus.log")"
DBUS_SESSION_BUS_ADDRESS=$(head -1 "$W/bus")
export DBUS_SESSION_BUS_ADDRESS

step "kavrel with its accessibility always on"
mkdir "$W/app"
cp "$KAVREL" "$W/app/kavrel"
# A dial string long enough to be playing still when Escape comes, on a loaded machine too.
DIAL=0123456789012345678901234567890123456789
printf '%s\r\n80\r\n 1 \r\n \r\n \r\n' "$DIAL" >"$W/app/Sindrat.ini"
kavrel_start "$W/app" "$W/kavrel.log" QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 ||
  fail "no window titled 'Pelorin 1.0' within 30 s"
title() { xdotool getwindowname "$WID" 2>/dev/null; }

step "the controls as a screen reader reads them"
"${ATSPI[@]}" controls >"$OUT/kavrel-atspi-controls.txt" ||
  fail "the window read through AT-SPI: $(cat "$OUT/kavrel-atspi-controls.txt")"
grep -qx "push button: '5' (770 Hz and 1336 Hz)" "$OUT/kavrel-atspi-controls.txt" ||
  fail "key 5 does not say what it sends"

pulse_record_start "$W/cap.wav" || fail "could not record the sink"
xdotool windowfocus --sync "$WID"

step "key 5 through its accessible action"
"${ATSPI[@]}" press 5 || fail "key 5 could not be pressed through AT-SPI"
wait_for 5 '[ "$(title)" = " 5" ]' || fail "the title is '$(title)' after the action, not ' 5'"

step "typed keys with the focus on keypad key 2, then Space and Enter on it"
xdotool key --delay 50 Tab Tab
xdotool type --delay 50 '159#*D'
xdotool key --delay 50 space Return
wait_for 5 '[ "$(title)" = " 5159#*D22" ]' || fail "the title is '$(title)', not ' 5159#*D22'"

step "a key held down sounds once"
xdotool keydown 7
wait_for 5 '[ "$(title)" = " 5159#*D227" ]' || fail "the title is '$(title)', not ' 5159#*D227'"
# Held on for a second, longer than the display's delay before a key repeats; the decoder hears
# whether the repeats pressed it again.
xdotool sleep 1 keyup 7
held=$(title)
[ "$held" = " 5159#*D227" ] || [ "$held" = "Pelorin 1.0" ] || fail "a held key sounded again: '$held'"
"${ATSPI[@]}" wait Play 10 || fail "the keys did not play out"

step "Escape during a Play"
"${ATSPI[@]}" press Play
wait_for 10 '[ "$(title)" = " $DIAL" ]' || fail "Play did not dial the dial string: title '$(title)'"
xdotool key Escape
"${ATSPI[@]}" wait Play 3 || fail "Escape did not stop the Play"
# The title comes back 3 s after the last key once nothing plays: the dial string was cut short.
wait_for 20 '[ "$(title)" = "Pelorin 1.0" ]' || fail "the title stays '$(title)'"
pulse_record_stop

heard=$(pulse_decode_dtmf "$W/cap.wav")
echo "heard: $heard" >&2
typed='5159#*D227'
played=${heard#"$typed"}
[ "$played" != "$heard" ] || fail "heard '$heard', expected it to begin with '$typed'"
[ "${DIAL#"$played"}" != "$DIAL" ] || [ -z "$played" ] ||
  fail "after the keys heard '$played', not the start of the dial string"
[ ${#played} -lt ${#DIAL} ] || fail "Escape did not stop the Play: all of '$DIAL' was heard"
step "ok"
