#!/usr/bin/env bash
# Kavrel.exe as a user meets it, under Wine: its window on a private display, its DirectSound
# output in a private PulseAudio null sink. Keypad keys pressed with the mouse, a dial string
# edited and played, the volume stepped, a text typed into the hidden text box (reached by the
# keyboard) and sent with Enter, keys typed on the keypad; the sink's monitor recorded and decoded
# by an independent DTMF decoder; the web link clicked (Wine's shell is given a recorder for a
# browser); the window closed with Alt+F4 and the settings file it wrote checked byte for byte.
# A screenshot is kept in OUT.
#   kavrel_wine_e2e.sh KAVREL_EXE OUT
set -euo pipefail

KAVREL=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
OUT=$2
source "$(dirname "$0")/lib/desktop.sh"
source "$(dirname "$0")/../e2e/lib/poll.sh"

# The display first, then the rest under Wine's prefix (scripts/wine-env), which ends every Wine
# process it started when the rest ends, however it ends.
if [ -z "${KAVREL_WINE_E2E_INNER:-}" ]; then
  desktop_start
  KAVREL_WINE_E2E_INNER=1 "$DESKTOP_ROOT/scripts/wine-env" "$0" "$KAVREL" "$OUT"
  exit
fi

for cmd in import sox multimon-ng; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd (install with: scripts/setup e2e)" >&2; exit 1; }
done
mkdir -p "$OUT"
DESKTOP_WORK=$(mktemp -d "${TMPDIR:-/tmp}/kavrel-wine-e2e.XXXXXX")
pulse_at_exit 'rm -rf "$DESKTOP_WORK"'

step() { echo "-- $*" >&2; }
fail() {
  echo "FAIL: $*" >&2
  if [ -f "$DESKTOP_WORK/cap.wav" ]; then
    cp "$DESKTOP_WORK/cap.wav" "$OUT/kavrel-wine-capture.wav"
    echo "  recording kept in $OUT/kavrel-wine-capture.wav" >&2
  fi
  if [ -f "$DESKTOP_WORK/kavrel.err" ]; then
    { grep -v '^ALSA lib' "$DESKTOP_WORK/kavrel.err" || true; } | tail -n 20 | sed 's/^/  wine: /' >&2
  fi
  exit 1
}

pulse_start
W=$DESKTOP_WORK

step "Kavrel.exe from a folder of its own, with prepared settings"
mkdir "$W/app"
cp "$KAVREL" "$W/app/Kavrel.exe"
printf '159\r\n60\r\n 201 \r\n \r\n \r\n' >"$W/app/Sindrat.ini"
# Wine's shell hands web addresses to the first of these programs: a recorder, not a browser.
printf '#!/bin/sh\necho "$@" >>"%s/opened"\n' "$W" >"$W/browser"
chmod +x "$W/browser"
wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$W/browser" /f \
  </dev/null >/dev/null 2>&1 || fail "could not set Wine's browser"
# Wine's sound path set up as for every test that hears a program (lib/desktop.sh). The DirectSound
# device's report on its refills goes to the debug channel, kept in kavrel.err.
(cd "$W/app" && exec env "${DESKTOP_WINE_SOUND[@]}" WINEDEBUG=-all,warn+debugstr wine Kavrel.exe \
  </dev/null >"$W/kavrel.out" 2>"$W/kavrel.err") &
KAVREL_PID=$!
pulse_at_exit "kill $KAVREL_PID 2>/dev/null"

window() { xdotool search --onlyvisible --name '^Pelorin 1\.0$' 2>/dev/null | head -n 1; }
wait_for 60 '[ -n "$(window)" ]' || fail "no window titled 'Pelorin 1.0' within 60 s"
WID=$(window)
# Without a window manager the X window is the client area: click positions are client pixels.
eval "$(xdotool getwindowgeometry --shell "$WID")"
[ "$WIDTH" = 373 ] && [ "$HEIGHT" = 281 ] || fail "client area ${WIDTH}x$HEIGHT, not 373x281"
title() { xdotool getwindowname "$WID"; }
# The DirectSound device reports its refills when it closes.
refills() { desktop_dsound_report "$W/kavrel.err"; }

# Pixel centres of the keypad and of the other controls used, from the control table.
declare -A KEY=([1]="169 60" [2]="212 60" [3]="256 60" [A]="299 60"
                [4]="168 103" [5]="212 103" [6]="256 103" [B]="299 103"
                [7]="169 146" [8]="212 146" [9]="257 146" [C]="299 146"
                ['*']="169 189" [0]="212 189" ['#']="256 189" [D]="299 189")
TEXT1="234 20"
PLAY="346 19"
SCROLL_DOWN_ARROW="345 265"

close_window() {
  click "$TEXT1"
  xdotool key alt+F4
  wait_for 30 '! kill -0 "$KAVREL_PID" 2>/dev/null'
}
click() {
  xdotool mousemove --window "$WID" $1 click 1
  sleep 0.2
}
press() {  # a key held for 100 ms
  xdotool mousemove --window "$WID" ${KEY[$1]} mousedown 1
  sleep 0.1
  xdotool mouseup 1
}

# Keys typed before Wine has made the window active would be lost: a click on a label activates
# it. With no window manager the keyboard goes to the window under the pointer.
LABEL1="200 227"
click "$LABEL1"
# The stored volume differs from the initial one, so the volume read-out covers the dial string
# for 1.5 s after start-up.
sleep 3

step "the dial string edited, the volume one step down"
click "$TEXT1"
xdotool key End
xdotool type '#A'
click "$SCROLL_DOWN_ARROW"
sleep 0.3

step "recording"
pulse_record_start "$W/cap.wav"
KEYS="159D"
for ((i = 0; i < ${#KEYS}; i++)); do
  press "${KEYS:i:1}"
  sleep 0.2
done
got=$(title)
[ "$got" = " $KEYS" ] || fail "title '$got' after the keys, expected ' $KEYS'"
sleep 1

step "Play"
click "$PLAY"
sleep 1.5

step "text into the hidden text box: Text1, then five tabs"
click "$TEXT1"
xdotool key Tab Tab Tab Tab Tab
xdotool type 'Hi'
xdotool key Return

step "typed keys: Tab from the text box to key 1, then # * D 0 as typed"
xdotool key Tab
xdotool type --delay 50 '#*D0'
wait_for 10 '[[ "$(title)" == *"#*D0" ]]' ||
  fail "title '$(title)' after the typed keys, expected it to end in '#*D0'"
# The title comes back 3 s after the last key once the output has stopped by itself, long after
# the last of the sound has left Wine.
wait_for 20 '[ "$(title)" = "Pelorin 1.0" ]' || fail "the title did not come back"
pulse_record_stop

heard=$(pulse_decode_dtmf "$W/cap.wav")
# H i CR LF, two keys each: 0x48 0x69 0x0D 0x0A; then the typed keys
expected="${KEYS}159#A47681019#*D0"
if [ "$heard" != "$expected" ]; then
  # Closed first, so that the device's report says whether a refill of Kavrel.exe came late.
  close_window
  fail "heard '$heard', expected '$expected'"
fi
echo "ok   decoded $heard"

step "the web link"
TEXT4="75 258"
click "$TEXT4"
wait_for 30 '[ -s "$W/opened" ]' || fail "clicking the web link opened nothing"
opened=$(cat "$W/opened")
[ "$opened" = "http://www.pelorin.example/index.html" ] || fail "the web link opened '$opened'"
echo "ok   the web link opened $opened"

step "screenshot"
import -display "$DISPLAY" -window root "$OUT/kavrel-wine.png"
echo "ok   screenshot in $OUT/kavrel-wine.png"

step "Alt+F4"
close_window || fail "Kavrel.exe did not end after Alt+F4"
wait "$KAVREL_PID" || fail "Kavrel.exe ended with status $?"
echo "ok   $(refills)"
saved=$(od -An -c "$W/app/Sindrat.ini" | tr -s ' \n' ' ')
expected_saved=$(printf '159#A\r\n60\r\n 301 \r\n \r\n \r\n' | od -An -c | tr -s ' \n' ' ')
[ "$saved" = "$expected_saved" ] || fail "settings file:$saved, expected:$expected_saved"
echo "ok   settings file written on close"
