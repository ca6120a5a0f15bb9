# A private X display and Wine prefix for tests of Windows programs with windows, beside the
# private sound server of tests/e2e/lib/pulse.sh. Source it from a bash script:
#
#   source tests/win32/lib/desktop.sh
#   desktop_start                 # exports DISPLAY; DESKTOP_WORK is a scratch folder
#   pulse_start                   # optional: Wine's sound then plays into the null sink
#   desktop_wine prog.exe ARG...  # runs it under Wine; its output is printed when it ends
#
# Wine draws on the display its desktop process was started on, and that process belongs to the
# prefix. A prefix shared by a whole test run (scripts/wine-env) is used when the run says which
# display its desktop is on (KAVREL_WINE_DISPLAY, set by scripts/test); otherwise an Xvfb display
# of our own is started and scripts/wine-env boots a prefix of our own on it. Everything is
# stopped by process id, and DESKTOP_WORK removed, when the script exits.

_desktop_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DESKTOP_ROOT=$(cd "$_desktop_here/../../.." && pwd)
source "$DESKTOP_ROOT/tests/e2e/lib/pulse.sh"
source "$DESKTOP_ROOT/tests/e2e/lib/xvfb.sh"

DESKTOP_WORK=""
DESKTOP_XVFB_PID=""

_desktop_log() { echo "desktop.sh: $*" >&2; }

_desktop_cleanup() {
  if [ -n "$DESKTOP_XVFB_PID" ]; then
    _pulse_end "$DESKTOP_XVFB_PID" TERM 5
    DESKTOP_XVFB_PID=""
  fi
  if [ -n "$DESKTOP_WORK" ] && [ -d "$DESKTOP_WORK" ]; then rm -rf "$DESKTOP_WORK"; fi
}

desktop_start() {
  local missing=()
  for cmd in wine wineserver Xvfb xdotool; do
    command -v "$cmd" >/dev/null 2>&1 || missing+=("$cmd")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    _desktop_log "missing ${missing[*]} (install with: scripts/setup win32 e2e)"
    return 1
  fi
  DESKTOP_WORK=$(mktemp -d "${TMPDIR:-/tmp}/desktop.XXXXXX")
  # pulse_start, when called afterwards, keeps this trap and runs it with its own clean-up.
  trap _desktop_cleanup EXIT

  if [ -n "${KAVREL_WINE_DISPLAY:-}" ] && [ -n "${KAVREL_WINE_PREFIX:-}" ] &&
    [ "${WINEPREFIX:-}" = "$KAVREL_WINE_PREFIX" ]; then
    export DISPLAY=$KAVREL_WINE_DISPLAY
    return 0
  fi
  # Our own display, and so our own prefix, booted on it by scripts/wine-env.
  unset KAVREL_WINE_PREFIX WINEPREFIX
  xvfb_launch "$DESKTOP_WORK" || return 1
  DESKTOP_XVFB_PID=$XVFB_PID
}

# With no sound server to reach, Wine finds no audio device.
desktop_no_sound() {
  printf 'autospawn = no\n' >"$DESKTOP_WORK/client.conf"
  export PULSE_CLIENTCONFIG="$DESKTOP_WORK/client.conf" PULSE_SERVER="unix:$DESKTOP_WORK/none"
}

# The environment of a Windows program whose sound a test hears, so that what is heard depends on
# the program (its buffer, notifications and refills), not on how Wine feeds the server. Wine 8
# mixes DirectSound and runs its PulseAudio driver's timer on ordinary threads (before Wine 9 no
# Windows thread priority reaches Linux, where Windows runs its audio engine above the programs),
# takes the driver's period from the server's smallest request, 10 ms on a null sink, and keeps
# three periods queued at the server: a Wine thread 30 ms late lets the server run dry inside a
# tone, heard as a digit twice. libpulse's PULSE_LATENCY_MSEC sets the queue every stream asks
# for, Wine's probe of the server included: at 100 Wine's period is 20 ms and the server holds all
# of the 80 ms that Wine's DirectSound mixes ahead. Wine signals a position once its mixer has
# passed it, a period at a time, so either way about 20 ms of the 30 ms lead are left for a
# refill. Measured with tests/bench/wine_sound.sh (README, "Sound under Wine").
DESKTOP_WINE_SOUND=(PULSE_LATENCY_MSEC=100)

# The DirectSound device's report on its refills ("DirectSound: N refills while playing, ..."), from
# the standard error of a program run with WINEDEBUG=warn+debugstr, once the program has closed.
desktop_dsound_report() {
  sed -n 's/.*OutputDebugStringA "\(DirectSound: .*\)\\n"$/\1/p' "$1"
}

# Runs a Windows program under Wine and waits for it; prints its standard output, and its
# standard error when it fails. Returns its exit code.
desktop_wine() {
  local status=0
  # Wine's background services inherit the streams of the call that starts them: files, never
  # pipes whose readers would wait for them.
  "$DESKTOP_ROOT/scripts/wine-env" wine "$@" </dev/null >"$DESKTOP_WORK/wine.out" \
    2>"$DESKTOP_WORK/wine.err" || status=$?
  cat "$DESKTOP_WORK/wine.out"
  if [ "$status" -ne 0 ]; then
    _desktop_log "$1 ended with $status; its standard error:"
    { grep -v '^ALSA lib' "$DESKTOP_WORK/wine.err" || true; } | tail -n 40 | sed 's/^/  /' >&2
  fi
  return "$status"
}
