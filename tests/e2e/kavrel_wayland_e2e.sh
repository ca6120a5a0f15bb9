#!/usr/bin/env bash
# kavrel as a user of today's desktop meets it: a native Wayland window (Weston, headless), sound
# through PipeWire, driven as a screen reader drives it (there is no xdotool on Wayland): the
# controls read through AT-SPI, keypad keys pressed through their accessible action, a dial
# string put into its box and played; the sink recorded and decoded by an independent DTMF decoder.
#
# Usage: kavrel_wayland_e2e.sh KAVREL OUT   (KAVREL_SOUND_SERVER=pipewire: tests/e2e/lib/pulse.sh)
set -euo pipefail

KAVREL=$1
OUT=$2
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib/pulse.sh
source "$HERE/lib/pulse.sh"
# shellcheck source=lib/poll.sh
source "$HERE/lib/poll.sh"
# shellcheck source=lib/kavrel.sh
source "$HERE/lib/kavrel.sh"

# pyatspi is the system's Python module, whatever python3 comes first on the path.
ATSPI=(/usr/bin/python3 "$HERE/kavrel_atspi.py")
for cmd in weston dbus-daemon /usr/bin/python3; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd (install with: scripts/setup e2e)" >&2; exit 1; }
done
mkdir -p "$OUT"

pulse_start
W=$PULSE_WORK
step "Weston without a screen, and a session bus for the accessibility bus"
weston --backend=headless-backend.so --socket=kavrel-wayland --idle-time=0 </dev/null \
  >"$W/weston.log" 2>&1 &
pulse_at_exit "kill $! 2>/dev/null; wait $! 2>/dev/null"
wait_for 20 '[ -S "$XDG_RUNTIME_DIR/kavrel-wayland" ]' ||
  fail "Weston did not start: $(tail -5 "$W/weston.log")"
# PipeWire's own bus serves on a desktop, where the accessibility bus is one more of its services;
# here the server of pulse.sh has its bus when it is PipeWire.
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  dbus-daemon --session --nofork --address="unix:path=$W/a11y-bus" </dev/null >"$W/dbus.log" 2>&1 &
  pulse_at_exit "kill $! 2>/dev/null"
  wait_for 10 '[ -S "$W/a11y-bus" ]' || fail "no session bus: $(cat "$W/dbus.log")"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$W/a11y-bus"
fi

step "kavrel on Wayland, with its accessibility always on"
mkdir "$W/app"
cp "$KAVREL" "$W/app/kavrel"
printf '0\r\n60\r\n 1 \r\n \r\n \r\n' >"$W/app/Sindrat.ini"
# Qt's Wayland platform and nothing else: without a Wayland connection the program does not start.
(cd "$W/app" && exec env -u DISPLAY WAYLAND_DISPLAY=kavrel-wayland QT_QPA_PLATFORM=wayland \
  QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 ./kavrel </dev/null >"$W/kavrel.log" 2>&1) &
KAVREL_PID=$!
pulse_at_exit "kill -KILL $KAVREL_PID 2>/dev/null"
"${ATSPI[@]}" controls >"$OUT/kavrel-wayland-controls.txt" ||
  fail "the window read through AT-SPI: $(cat "$OUT/kavrel-wayland-controls.txt")"
kill -0 "$KAVREL_PID" 2>/dev/null || fail "kavrel ended"

pulse_record_start "$W/cap.wav" || fail "could not record the sink"
step "keys 1 5 9 D through their accessible action"
for k in 1 5 9 D; do "${ATSPI[@]}" press "$k" || fail "key $k could not be pressed"; done
"${ATSPI[@]}" title " 159D" 5 || fail "the keys did not reach the window"
# The title comes back 3 s after the last key, once the keys have played out.
"${ATSPI[@]}" title "Pelorin 1.0" 20 || fail "the keys did not play out"

step "a dial string typed into its box and played"
DIAL='147*2580369#'
"${ATSPI[@]}" type "Dial string" "$DIAL" || fail "the dial string could not be typed"
"${ATSPI[@]}" press Play
"${ATSPI[@]}" title " $DIAL" 5 || fail "Play did not dial the dial string"
"${ATSPI[@]}" wait Play 20 || fail "the dial string did not play out"
"${ATSPI[@]}" title "Pelorin 1.0" 20 || fail "the title did not come back"
pulse_record_stop

heard=$(pulse_decode_dtmf "$W/cap.wav")
[ "$heard" = "159D$DIAL" ] || {
  cp "$W/cap.wav" "$OUT/kavrel-wayland-capture.wav"
  fail "heard '$heard', expected '159D$DIAL' (recording kept in $OUT)"
}
kill -TERM "$KAVREL_PID"
wait_ended "$KAVREL_PID" 10
[ "$ENDED_STATUS" -eq 0 ] || fail "kavrel ended with status $ENDED_STATUS"
grep -q "$DIAL" "$W/app/Sindrat.ini" || fail "the dial string was not saved: $(cat "$W/app/Sindrat.ini")"
echo "kavrel on Wayland: read, pressed and typed through AT-SPI, heard as dialed"
