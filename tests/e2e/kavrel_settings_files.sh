#!/usr/bin/env bash
# kavrel with a settings file that it did not make: a FIFO, a link to /dev/zero and one line of
# 100 MB. Each time the window must open within LIMIT seconds, and a termination signal must end
# it: the FIFO and the link are left as they were (a save replaces no such file, and says so), the
# large file is replaced by the window's initial values, which it started from. On a private
# virtual display and PulseAudio null sink.
#
# Usage: kavrel_settings_files.sh KAVREL [LIMIT]   (LIMIT in whole seconds, default 2)
set -euo pipefail

KAVREL=$1
LIMIT=${2:-2}
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
INI=$W/app/Sindrat.ini

# Starts kavrel on the settings file as it stands; its window must be on screen within LIMIT s.
start() {
  local started took
  started=$(date +%s%N)
  kavrel_start "$W/app" "$W/kavrel.log" || fail "$1: no window on screen within 30 s"
  took=$((($(date +%s%N) - started) / 1000000))
  echo "   the window is on screen $took ms after the start" >&2
  [ "$took" -le $((LIMIT * 1000)) ] || fail "$1: the window took $took ms, not $LIMIT s at most"
}
# Ends kavrel with SIGTERM, which saves the settings, and waits for its end.
stop() {
  kill -TERM "$KAVREL_PID"
  wait_ended "$KAVREL_PID" 15
  [ "$ENDED_STATUS" -ne 137 ] || fail "$1: kavrel did not end on SIGTERM"
}
# The save refused to replace what is no regular file, and the user was told.
refused() {
  grep -qF "could not be saved (Cannot replace '$INI': it is not a regular file)" "$W/kavrel.log" ||
    fail "$1: no message that the settings could not be saved"
}

step "a FIFO"
mkfifo "$INI"
start "a FIFO"
stop "a FIFO"
[ -p "$INI" ] || fail "the FIFO was replaced"
refused "a FIFO"
rm "$INI"

step "a link to /dev/zero"
ln -s /dev/zero "$INI"
start "a link to /dev/zero"
stop "a link to /dev/zero"
[ "$(readlink "$INI")" = /dev/zero ] || fail "the link was replaced"
refused "a link to /dev/zero"
rm "$INI"

step "one line of 100 MB"
truncate -s 100M "$INI"
start "one line of 100 MB"
stop "one line of 100 MB"
[ "$ENDED_STATUS" -eq 0 ] || fail "one line of 100 MB: kavrel ended with status $ENDED_STATUS"
printf '\r\n40\r\n 10 \r\n \r\n \r\n' >"$W/initial.ini"
cmp -s "$W/initial.ini" "$INI" ||
  fail "one line of 100 MB: the window did not keep its initial values: $(head -c 80 "$INI" | od -c | head -3)"

echo "kavrel opens its window within $LIMIT s with a FIFO, a link to /dev/zero and 100 MB as its settings file"
