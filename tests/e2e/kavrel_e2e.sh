#!/usr/bin/env bash
# kavrel as a user meets it: its window on a private virtual display, its sound into a private
# PulseAudio null sink. Keypad buttons pressed with the mouse, the stored dial string played,
# a text sent through the text box, the web link clicked, the window closed with the window
# manager's close request; the recording decoded by an independent DTMF decoder, the settings
# file it wrote checked byte for byte; then a save that fails; then the sound server ended, and
# hung, while a long dial string plays; then a start without a server, which starts afterwards. Screenshots of the window and of the messages are kept in
# OUT. What was heard must be exactly what was dialed, on the first run: the sound device keeps
# enough queued at the server that a busy machine leaves no hole in a tone.
#
# Usage: kavrel_e2e.sh KAVREL WM_CLOSE OUT   (PULSE_MODE: the server's, tests/e2e/lib/pulse.sh)
set -euo pipefail

KAVREL=$1
WM_CLOSE=$2
OUT=$3
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib/pulse.sh
source "$HERE/lib/pulse.sh"
# shellcheck source=lib/poll.sh
source "$HERE/lib/poll.sh"
# shellcheck source=lib/xvfb.sh
source "$HERE/lib/xvfb.sh"
# shellcheck source=lib/kavrel.sh
source "$HERE/lib/kavrel.sh"

for cmd in Xvfb xdotool xprop import convert; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd (install with: scripts/setup e2e)" >&2; exit 1; }
done
mkdir -p "$OUT"

step() { echo "-- $*" >&2; }
# A failing run keeps the program's output and the recording in OUT.
fail() {
  trap - ERR  # the clean-up that follows may fail harmlessly
  echo "FAIL: $*" >&2
  if [ -n "${W:-}" ]; then
    if [ -f "$W/kavrel.log" ]; then
      cp "$W/kavrel.log" "$OUT/kavrel-output.log"
      sed 's/^/  kavrel: /' "$W/kavrel.log" >&2
      echo "  its output kept in $OUT/kavrel-output.log" >&2
    fi
    [ -f "$W/cap.wav" ] && cp "$W/cap.wav" "$OUT/kavrel-capture.wav" && echo "  recording kept in $OUT/kavrel-capture.wav" >&2
  fi
  exit 1
}
kavrel_running() {
  local state
  state=$(ps -o stat= -p "$KAVREL_PID" 2>/dev/null) && [ "${state:0:1}" != Z ]
}
# Fails, saying how the program ended when it has: its exit status, or the signal that ended it.
fail_window_gone() {
  local where=$1 status=0
  if [ -z "${KAVREL_PID:-}" ] || kavrel_running; then
    fail "$where; kavrel is still running"
  fi
  wait "$KAVREL_PID" 2>/dev/null || status=$?
  if [ "$status" -gt 128 ]; then
    fail "$where: kavrel was ended by signal $((status - 128)) ($(kill -l "$status"))"
  fi
  fail "$where: kavrel ended with status $status"
}
# Any command that fails unexpectedly (an X call on a window that is gone, say) says why.
on_error() {
  local line=$1 status=$2
  # Inside a command substitution (a search for windows that finds none, say) the status goes to
  # the command around it, which decides.
  [ "$BASH_SUBSHELL" -eq 0 ] || return 0
  if [ -n "${KAVREL_PID:-}" ] && ! kavrel_running; then
    fail_window_gone "the window went away (at line $line)"
  fi
  fail "line $line of $(basename "$0") failed with status $status"
}
set -E
trap 'on_error $LINENO $?' ERR

pulse_start
W=$PULSE_WORK

step "virtual display"
xvfb_start || fail "no virtual display"

step "kavrel from a folder of its own, with prepared settings"
mkdir "$W/app"
cp "$KAVREL" "$W/app/kavrel"
DIAL=$'12a,#'
printf '%s\r\n80\r\n 301 \r\n \r\n \r\n' "$DIAL" >"$W/app/Sindrat.ini"
# The desktop's URL opener, recorded instead of starting a browser.
printf '#!/bin/sh\necho "$@" >>"%s/opened"\n' "$W" >"$W/browser"
chmod +x "$W/browser"

# Starts kavrel in its folder, with NAME=VALUE settings of its environment, and finds its window
# (WID); WHICH names the start in a failure.
start_kavrel() {  # WHICH [NAME=VALUE...]
  local which=$1
  shift
  kavrel_start "$W/app" "$W/kavrel.log" "$@" ||
    fail "no window titled 'Pelorin 1.0' within 30 s of the $which start"
}
start_kavrel first BROWSER="$W/browser"
! grep -q 'playing through SDL2' "$W/kavrel.log" || fail "kavrel did not reach the sound server"
title() { xdotool getwindowname "$WID" 2>/dev/null; }
# Waits up to SECONDS for the title TEXT; on failure tells the titles that were seen.
wait_title() {
  local text=$1 seconds=$2 seen=() now i
  for ((i = 0; i < seconds * 10; i++)); do
    now=$(title) || fail_window_gone "the window went away while waiting for the title '$text'"
    [ "$now" = "$text" ] && return 0
    [ ${#seen[@]} -gt 0 ] && [ "${seen[-1]}" = "$now" ] || seen+=("$now")
    sleep 0.1
  done
  fail "title never became '$text'; seen: $(printf "'%s' " "${seen[@]}")"
}
# A message box of the program has the same title: at start-up there must be none.
sleep 1
windows=$(xdotool search --onlyvisible --name '^Pelorin 1\.0$' | wc -l)
[ "$windows" -eq 1 ] || fail "$windows windows titled 'Pelorin 1.0': an error was shown at start-up"

step "window size and frame"
eval "$(xdotool getwindowgeometry --shell "$WID")"
[ "$WIDTH" = 373 ] && [ "$HEIGHT" = 281 ] || fail "window is ${WIDTH}x$HEIGHT, expected 373x281"
hints=$(xprop -id "$WID" WM_NORMAL_HINTS)
grep -q 'minimum size: 373 by 281' <<<"$hints" && grep -q 'maximum size: 373 by 281' <<<"$hints" ||
  fail "the window can be resized: $hints"
# Motif hints: no minimise or maximise function (0x08, 0x10) or box (0x20, 0x40).
motif=$(xprop -id "$WID" _MOTIF_WM_HINTS | sed -n 's/.* = //p')
functions=$(cut -d, -f2 <<<"$motif")
decorations=$(cut -d, -f3 <<<"$motif")
[ -n "$decorations" ] && (( (functions & 0x19) == 0 && (decorations & 0x61) == 0 )) ||
  fail "the window offers minimise or maximise: _MOTIF_WM_HINTS = $motif"

# Positions from the layout, in twips (15 per pixel): the keypad's left and top, index order.
CAPTIONS=123A456B789C*0#D
LEFTS=(2280 2925 3585 4230 2265 2925 3585 4230 2280 2925 3600 4230 2280 2925 3585 4230)
TOPS=(645 645 645 645 1290 1290 1290 1290 1935 1935 1935 1935 2580 2580 2580 2580)
KEY_PX=34

step "screenshot"
# The stored volume differs from the initial one, so the read-out shows for 1.5 s after start.
sleep 1.5
SHOT="$OUT/kavrel-window.png"
import -window "$WID" "$SHOT"
size=$(convert "$SHOT" -format '%wx%h' info:)
[ "$size" = 373x281 ] || fail "screenshot is $size, expected 373x281"
background=$(convert "$SHOT" -format '%[fx:int(255*p{2,140}.intensity)]' info:)
for i in $(seq 0 15); do
  x=$((LEFTS[i] / 15)) y=$((TOPS[i] / 15)) c=$((KEY_PX / 2))
  # Just outside the key: plain window; its first row and column: the button's outline, darker;
  # inside: a face brighter than the window, and the caption's dark strokes in the middle.
  read -r left_out left_edge top_out top_edge face ink < <(convert "$SHOT" -format \
    "$(for p in $((x - 1)),$((y + c)) $x,$((y + c)) $((x + c)),$((y - 1)) $((x + c)),$y $((x + 5)),$((y + 5)); do
      printf '%%[fx:int(255*p{%s}.intensity)] ' "$p"
    done)" info: && convert "$SHOT" -crop 12x16+$((x + c - 6))+$((y + c - 8)) \
    -format '%[fx:int(255*minima.intensity)]\n' info:)
  if [ "$left_out" -ne "$background" ] || [ "$top_out" -ne "$background" ] ||
    [ "$left_edge" -ge $((background - 30)) ] || [ "$top_edge" -ge $((background - 30)) ] ||
    [ "$face" -le "$background" ] || [ "$ink" -ge 80 ]; then
    fail "key ${CAPTIONS:i:1} does not look like a button at ($x,$y): outside $left_out/$top_out, edge $left_edge/$top_edge, face $face, caption $ink (window $background)"
  fi
done

eval "$(xdotool getwindowgeometry --shell "$WID")"  # X, Y: the client area's place on screen
# Presses mouse BUTTON on the control at twips LEFT TOP WIDTH HEIGHT, held for 100 ms.
press() {
  local left=$1 top=$2 width=$3 height=$4 button=${5:-1}
  xdotool mousemove --sync $((X + (left + width / 2) / 15)) $((Y + (top + height / 2) / 15)) \
    mousedown "$button" sleep 0.1 mouseup "$button"
}
press_key() {  # CAPTION [BUTTON]
  local i=${CAPTIONS%%"$1"*}
  i=${#i}
  press "${LEFTS[i]}" "${TOPS[i]}" 510 510 "${2:-1}"
}

pulse_record_start "$W/cap.wav" || fail "could not record the sink"
xdotool windowfocus --sync "$WID"

step "keypad: left, right and middle mouse buttons"
for k in 1 5 9 D; do press_key "$k"; done
press_key 7 3
for k in '*' 0 '#'; do press_key "$k"; done
press_key C 2
wait_title ' 159D7*0#C' 5
# The title comes back 3 s after the last key, once the sequence has played out.
wait_title 'Pelorin 1.0' 20

step "Play with the stored dial string"
press 4875 105 645 375
wait_title ' 12A#' 5
wait_title 'Pelorin 1.0' 20

step "text through the hidden text box, reached with the keyboard"
press 4005 3240 750 375        # into the tone time box; clicking types nothing
xdotool key --delay 80 Tab Down  # the scroll bar, one step down
# The volume read-out shows for 1.5 s, and while it shows it is a tab stop too: let it go.
sleep 2
xdotool key --delay 80 Tab Tab  # the link box, then the text box below the client area
xdotool type --delay 80 'Hi'
xdotool key Return
# H i CR LF: two keys for each half of the character code.
wait_title ' 47681019' 5
wait_title 'Pelorin 1.0' 20
sleep 0.3
pulse_record_stop

heard=$(pulse_decode_dtmf "$W/cap.wav")
expected='159D7*0#C12A#47681019'
[ "$heard" = "$expected" ] || fail "heard '$heard', expected '$expected'"

step "web link"
press 165 3750 1920 255
wait_for 10 '[ -s "$W/opened" ]' || fail "the link did not reach the URL opener"
[ "$(cat "$W/opened")" = 'http://www.pelorin.example/index.html' ] ||
  fail "opened '$(cat "$W/opened")'"

windows=$(xdotool search --onlyvisible --name '^Pelorin 1\.0$' | wc -l)
[ "$windows" -eq 1 ] || fail "an error message is showing"

step "close the window and check the settings it saved"
"$WM_CLOSE" "$WID" || fail "the close request could not be sent"
# A watchdog bounds the wait: a program that ignored the request would be killed (status 137).
wait_ended "$KAVREL_PID" 15
[ "$ENDED_STATUS" -ne 137 ] || fail "kavrel did not end within 15 s of the close request"
[ "$ENDED_STATUS" -eq 0 ] || fail "kavrel ended with status $ENDED_STATUS"
# The dial string and tone time as they were; the volume one step (100) further down.
printf '%s\r\n80\r\n 401 \r\n \r\n \r\n' "$DIAL" >"$W/expected.ini"
cmp -s "$W/expected.ini" "$W/app/Sindrat.ini" ||
  fail "settings file differs: $(od -c "$W/app/Sindrat.ini")"

step "a save that fails: told in a message box, nothing left behind"
# A folder where the settings file belongs: nothing can replace it, not even for root, who may
# write into any folder. The program starts from the initial values.
rm "$W/app/Sindrat.ini"
mkdir "$W/app/Sindrat.ini"
start_kavrel second
sleep 1
"$WM_CLOSE" "$WID" || fail "the close request could not be sent"
wait_for 10 '[ "$(xdotool search --onlyvisible --name "^Pelorin 1\.0$" | wc -l)" -eq 2 ]' ||
  fail "no message box when the settings could not be saved"
BOX=$(xdotool search --onlyvisible --name '^Pelorin 1\.0$' | grep -vx "$WID" | head -1)
import -window "$BOX" "$OUT/kavrel-save-failed.png"
xdotool windowfocus --sync "$BOX" key Return
wait_ended "$KAVREL_PID" 15
[ "$ENDED_STATUS" -eq 0 ] || fail "kavrel ended with status $ENDED_STATUS after the failed save"
[ -d "$W/app/Sindrat.ini" ] && [ -z "$(ls -A "$W/app/Sindrat.ini")" ] ||
  fail "the failed save changed the folder in the settings file's place"
left=$(cd "$W/app" && ls -A | grep -vx -e kavrel -e Sindrat.ini || true)
[ -z "$left" ] || fail "the failed save left files beside the program: $left"

step "the sound server ends, or hangs, while a long dial string plays: told once, the next key sounds"
rmdir "$W/app/Sindrat.ini"
LONG=123A456B789C*0#D123A456B789C*0#D123A456B789C*0#D  # 48 tones of 160 ms
printf '%s\r\n80\r\n 301 \r\n \r\n \r\n' "$LONG" >"$W/app/Sindrat.ini"
start_kavrel third
eval "$(xdotool getwindowgeometry --shell "$WID")"
boxes() { xdotool search --onlyvisible --name '^Pelorin 1\.0$' | grep -vx "$WID" | wc -l; }
# Plays the dial string, runs GONE (the server goes away) and BACK (it returns), then presses KEY
# and hears it.
lose_sound() {
  local gone=$1 back=$2 key=$3 box
  press 4875 105 645 375
  wait_title " $LONG" 5
  eval "$gone"
  wait_for 10 '[ "$(boxes)" -ge 1 ]' || fail "no message after: $gone"
  sleep 1
  [ "$(boxes)" -eq 1 ] || fail "$(boxes) messages after: $gone; expected one"
  box=$(xdotool search --onlyvisible --name '^Pelorin 1\.0$' | grep -vx "$WID" | head -1)
  import -window "$box" "$OUT/kavrel-device-lost.png"
  xdotool windowfocus --sync "$box" key Return
  wait_for 5 '[ "$(boxes)" -eq 0 ]' || fail "the message did not go"
  eval "$back"
  pulse_record_start "$W/cap.wav" || fail "could not record the sink after: $back"
  press_key "$key"
  # The title echoes it (after the dial string's keys, while they still show), then comes back.
  wait_for 5 '[[ "$(title)" == *"$key" ]]' || fail "the key $key did not reach the window"
  wait_title 'Pelorin 1.0' 20
  sleep 0.3
  pulse_record_stop
  [ "$(boxes)" -eq 0 ] || fail "a message is showing after the key"
  heard=$(pulse_decode_dtmf "$W/cap.wav")
  [ "$heard" = "$key" ] || fail "heard '$heard' after: $gone; $back; expected '$key'"
}
lose_sound pulse_stop pulse_restart 5
lose_sound 'kill -STOP $PULSE_PID' 'kill -CONT $PULSE_PID' 9
"$WM_CLOSE" "$WID" || fail "the close request could not be sent"
wait_ended "$KAVREL_PID" 15
[ "$ENDED_STATUS" -eq 0 ] || fail "kavrel ended with status $ENDED_STATUS after the lost sound"

step "no sound server at start-up, as when a desktop starts kavrel first: told once; once the server is there, the next key sounds"
pulse_stop
start_kavrel fourth
# The window shows once start-up is over: what is on screen first is the message.
eval "$(xdotool getwindowgeometry --shell "$WID")"
[ "${WIDTH}x$HEIGHT" != 373x281 ] || fail "the window opened without a message"
xdotool windowfocus --sync "$WID" key Return
WID=$(timeout 10 xdotool search --sync --onlyvisible --name '^Pelorin 1\.0$' | head -1)
eval "$(xdotool getwindowgeometry --shell "$WID")"
[ "${WIDTH}x$HEIGHT" = 373x281 ] || fail "no window after the message"
pulse_restart
pulse_record_start "$W/cap.wav" || fail "could not record the sink once the server started"
press_key 3
wait_title ' 3' 5
wait_title 'Pelorin 1.0' 20
pulse_record_stop
heard=$(pulse_decode_dtmf "$W/cap.wav")
[ "$heard" = 3 ] || fail "heard '$heard' once the server started; expected '3'"
[ "$(boxes)" -eq 0 ] || fail "a message is showing after the key"
"$WM_CLOSE" "$WID" || fail "the close request could not be sent"
wait_ended "$KAVREL_PID" 15
[ "$ENDED_STATUS" -eq 0 ] || fail "kavrel ended with status $ENDED_STATUS after starting without sound"

echo "kavrel end to end: keypad, dial string, text, link, close, settings, a failed save, a lost sound device and a late one as expected"
