# shellcheck shell=bash
# A private PulseAudio server with a null sink, a recorder on its monitor and a DTMF decoder, for
# end-to-end tests. Source it from a bash script:
#
#   source tests/e2e/lib/pulse.sh
#   pulse_start                      # private server; exports PULSE_SERVER, HOME, XDG_RUNTIME_DIR
#   pulse_record_start "$PULSE_WORK/cap.wav"
#   SDL_AUDIODRIVER=pulseaudio some_program
#   pulse_record_stop
#   pulse_decode_dtmf "$PULSE_WORK/cap.wav"    # prints the decoded keys, e.g. 123A
#   pulse_stop; pulse_restart        # the server goes away and comes back on the same socket
#
# Everything it starts is stopped by process id when the script exits, however it exits; even
# when the script is killed outright, a watcher stops the server. pulse_start takes over the EXIT
# trap: one the script set before still runs (first), later ones belong in pulse_at_exit. The
# work folder PULSE_WORK is removed at exit, unless PULSE_KEEP_WORK=1. Works as root and as a
# user, with no terminal and no standard input, and beside other servers started the same way.
#
# Settings, read by pulse_start: PULSE_NULL_SINK (the sink's name, default vsink; exported, and
# as PULSE_SINK, so clients play into it), PULSE_NULL_SINK_RATE (44100) and
# PULSE_NULL_SINK_CHANNELS (2), a sink like a real sound card's; PULSE_START_TIMEOUT (15 s);
# PULSE_MODE: realtime (the default; the server's threads real-time, as a desktop's sound server
# runs) or user (started as a user starts it, without real-time rights: no real-time threads and
# no raised priority). KAVREL_SOUND_SERVER: pulseaudio (the default) or pipewire (PipeWire with
# WirePlumber and pipewire-pulse, as today's desktops run it, real-time only; tests/e2e/lib/
# pipewire.sh). Either serves the PulseAudio protocol at PULSE_SERVER; PipeWire also its own, at
# XDG_RUNTIME_DIR/pipewire-0, and its recordings come from inside the daemon.

_pulse_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=pipewire.sh
source "$_pulse_here/pipewire.sh"

PULSE_PID=""
PULSE_REC_PID=""
PULSE_WORK=""
_pulse_watch_pid=""
_pulse_exit_hooks=()
_pulse_trapped=0

_pulse_log() { echo "pulse.sh: $*" >&2; }

_pulse_pipewire() {
  case "${KAVREL_SOUND_SERVER:-pulseaudio}" in
    pulseaudio) return 1 ;;
    pipewire) return 0 ;;
    *) _pulse_log "KAVREL_SOUND_SERVER is pulseaudio or pipewire, not '$KAVREL_SOUND_SERVER'"; exit 2 ;;
  esac
}

# Runs CMD (one string, evaluated) when the script exits, before the server is stopped.
pulse_at_exit() { _pulse_exit_hooks+=("$1"); }

_pulse_on_exit() {
  local rc=$? hook
  for hook in "${_pulse_exit_hooks[@]}"; do eval "$hook" || true; done
  pulse_record_stop || true
  pulse_stop || true
  if [ -n "$PULSE_WORK" ] && [ -d "$PULSE_WORK" ]; then
    if [ "${PULSE_KEEP_WORK:-0}" = 1 ]; then
      _pulse_log "kept $PULSE_WORK"
    else
      rm -rf "$PULSE_WORK"
    fi
  fi
  return "$rc"
}

# The command of a trap as `trap -p` prints it: trap -- 'CMD' EXIT.
_pulse_trap_command() {
  eval "set -- $1"
  printf '%s' "$3"
}

_pulse_install_traps() {
  [ "$_pulse_trapped" = 1 ] && return 0
  _pulse_trapped=1
  # Keep the script's own EXIT trap: it runs after ours.
  local previous
  previous=$(trap -p EXIT)
  [ -n "$previous" ] && pulse_at_exit "$(_pulse_trap_command "$previous")"
  trap _pulse_on_exit EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
}

_pulse_require() {
  local cmd missing=()
  for cmd in "$@"; do command -v "$cmd" >/dev/null 2>&1 || missing+=("$cmd"); done
  if [ ${#missing[@]} -gt 0 ]; then
    _pulse_log "missing ${missing[*]} (install with: scripts/setup e2e)"
    return 1
  fi
}

# Waits until PID has ended, up to SECONDS (fractions allowed), then kills it.
_pulse_end() {
  local pid=$1 signal=$2 seconds=$3 i
  kill -"$signal" "$pid" 2>/dev/null || true
  for ((i = 0; i < seconds * 20; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$pid" 2>/dev/null; then
    _pulse_log "process $pid did not end on SIG$signal; killing it"
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

# Starts the server and waits until it answers. Exports PULSE_SERVER (for every client: pactl,
# parecord, SDL), HOME and XDG_RUNTIME_DIR (private folders under PULSE_WORK).
pulse_start() {
  _pulse_require pactl setsid || return 1
  if [ -n "$PULSE_PID" ]; then
    _pulse_log "a server is already running (pid $PULSE_PID)"
    return 1
  fi
  _pulse_install_traps
  # A unix socket path must stay under 108 bytes: fall back to /tmp when TMPDIR is deep.
  local base=${TMPDIR:-/tmp}
  [ ${#base} -gt 60 ] && base=/tmp
  PULSE_WORK=$(mktemp -d "$base/pulse.XXXXXX") || return 1
  mkdir -m 700 "$PULSE_WORK/home" "$PULSE_WORK/run"
  export HOME="$PULSE_WORK/home" XDG_RUNTIME_DIR="$PULSE_WORK/run"
  # Clients must never start a server of their own when ours is not there.
  printf 'autospawn = no\n' >"$PULSE_WORK/client.conf"
  export PULSE_CLIENTCONFIG="$PULSE_WORK/client.conf"
  if _pulse_pipewire; then
    export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  else
    export PULSE_SERVER="unix:$PULSE_WORK/native"
  fi
  _pulse_launch
}

# Starts the server again on the same socket, after stopping it if it runs, as a desktop's sound
# server restarts: its clients lose their streams and may connect again. A recording ends with
# the server.
pulse_restart() {
  pulse_record_stop
  pulse_stop
  _pulse_launch
}

# Starts the server in PULSE_WORK and waits until it answers.
_pulse_launch() {
  local sink=${PULSE_NULL_SINK:-vsink} launched=0
  # The server gets a session of its own, as a desktop's sound server has, and so its own share
  # of the processors: busy programs in this script's session then do not hold up its main
  # thread, which passes every client's samples on (gaps in the sink under load otherwise).
  # With job control off, setsid runs in place and $! is the server itself.
  local job_control=0
  if [[ $- == *m* ]]; then
    job_control=1
    set +m
  fi
  if _pulse_pipewire; then
    _pipewire_launch "$sink" || launched=1
  else
    _pulse_launch_pulseaudio "$sink" || launched=1
  fi
  [ "$job_control" = 1 ] && set -m
  [ "$launched" = 0 ] || return 1
  _pulse_watch

  local i limit=$((${PULSE_START_TIMEOUT:-15} * 10))
  for ((i = 0; i < limit; i++)); do
    if ! kill -0 "$PULSE_PID" 2>/dev/null; then
      _pulse_log "the server ended at start-up:"
      _pulse_server_log >&2
      wait "$PULSE_PID" 2>/dev/null || true
      PULSE_PID=""
      pulse_stop
      return 1
    fi
    if pactl info </dev/null >/dev/null 2>&1 &&
      pactl list short sinks </dev/null 2>/dev/null | grep -q "[[:space:]]${sink}[[:space:]]"; then
      export PULSE_NULL_SINK=$sink PULSE_SINK=$sink
      _pulse_pipewire || _pulse_raise
      return 0
    fi
    sleep 0.1
  done
  _pulse_log "the server did not answer within ${PULSE_START_TIMEOUT:-15} s:"
  _pulse_server_log >&2
  pulse_stop
  return 1
}

_pulse_server_log() {
  if _pulse_pipewire; then
    _pipewire_logs
  else
    sed 's/^/  /' "$PULSE_WORK/pulseaudio.log"
  fi
}

# PulseAudio with a null sink, in PULSE_WORK; sets PULSE_PID.
_pulse_launch_pulseaudio() {
  local sink=$1
  _pulse_require pulseaudio || return 1
  local mode=${PULSE_MODE:-realtime} priority=()
  case "$mode" in
    realtime) ;;
    user) priority=(--realtime=no --high-priority=no) ;;
    *) _pulse_log "PULSE_MODE is realtime or user, not '$mode'"; return 1 ;;
  esac
  # norewinds=1: without it the first callbacks of a client came up to 1.8 s late.
  setsid pulseaudio "${priority[@]}" --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit -n \
    --load="module-null-sink sink_name=$sink rate=${PULSE_NULL_SINK_RATE:-44100} channels=${PULSE_NULL_SINK_CHANNELS:-2} norewinds=1" \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$PULSE_WORK/native" \
    </dev/null >>"$PULSE_WORK/pulseaudio.log" 2>&1 &
  PULSE_PID=$!
}

# PulseAudio's sink thread runs real-time; its main thread, which takes in every client's samples,
# only at a raised priority, and on this shared machine busy programs starved it into gaps for up
# to half a second, at every client buffer tried (12 to 40 ms). Real-time, as the whole sample
# path of a desktop's PipeWire runs, it held. Where the system refuses, it keeps its priority.
_pulse_raise() {
  if [ "${PULSE_MODE:-realtime}" = realtime ] && command -v chrt >/dev/null 2>&1; then
    chrt -r -p 4 "$PULSE_PID" >/dev/null 2>&1 || true
  fi
}

# Should this script be killed outright (no traps run), the server and the work folder go with
# it; the recorder ends by itself when its server does.
_pulse_watch() {
  local pids="$PULSE_PID ${_pipewire_pids[*]}"
  (
    while kill -0 "$$" 2>/dev/null; do
      kill -0 "$PULSE_PID" 2>/dev/null || exit 0
      sleep 1
    done
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null
    sleep 1
    [ "${PULSE_KEEP_WORK:-0}" = 1 ] || rm -rf "$PULSE_WORK"
  ) </dev/null >/dev/null 2>&1 &
  _pulse_watch_pid=$!
}

pulse_stop() {
  if _pulse_pipewire; then
    _pipewire_stop
  elif [ -n "$PULSE_PID" ]; then
    _pulse_end "$PULSE_PID" TERM 5
  fi
  PULSE_PID=""
  if [ -n "$_pulse_watch_pid" ]; then
    _pulse_end "$_pulse_watch_pid" TERM 1
    _pulse_watch_pid=""
  fi
}

# Records the sink's monitor into FILE (WAV, 11025 Hz, mono, 16-bit) until pulse_record_stop;
# returns once samples reach the file, so nothing played afterwards is missed, and sets
# PULSE_REC_STARTED_MS to the wall-clock milliseconds (date +%s%3N) of the recording's first sample.
pulse_record_start() {
  local file=$1
  _pulse_require parecord pactl sox || return 1
  if [ -z "$PULSE_PID" ]; then
    _pulse_log "pulse_record_start: no server (call pulse_start first)"
    return 1
  fi
  if [ -n "$PULSE_REC_PID" ] || [ ${#_pipewire_record[@]} -gt 0 ]; then
    _pulse_log "pulse_record_start: a recording is already running"
    return 1
  fi
  if _pulse_pipewire; then
    _pipewire_record_start "$file"
    return
  fi
  local before
  before=$(pactl list short source-outputs </dev/null | wc -l)
  parecord --latency-msec=20 -d "$PULSE_NULL_SINK.monitor" --file-format=wav --rate=11025 \
    --channels=1 --format=s16le "$file" </dev/null >>"$PULSE_WORK/parecord.log" 2>&1 &
  PULSE_REC_PID=$!
  local i
  for ((i = 0; i < 100; i++)); do
    if ! kill -0 "$PULSE_REC_PID" 2>/dev/null; then
      _pulse_log "the recorder ended at start-up:"
      sed 's/^/  /' "$PULSE_WORK/parecord.log" >&2
      wait "$PULSE_REC_PID" 2>/dev/null || true
      PULSE_REC_PID=""
      return 1
    fi
    # Connected, and samples already reach the file (past its 44-byte header).
    local size
    size=$(stat -c %s "$file" 2>/dev/null || echo 0)
    if [ "$(pactl list short source-outputs </dev/null | wc -l)" -gt "$before" ] &&
      [ "$size" -gt 44 ]; then
      PULSE_REC_STARTED_MS=$(($(date +%s%3N) - (size - 44) * 1000 / 22050))
      return 0
    fi
    sleep 0.05
  done
  _pulse_log "the recorder did not start within 5 s"
  pulse_record_stop
  return 1
}

# Stops the recorder; it finishes the WAV header as it ends.
pulse_record_stop() {
  if [ ${#_pipewire_record[@]} -gt 0 ]; then
    _pipewire_record_stop
    return
  fi
  [ -n "$PULSE_REC_PID" ] || return 0
  _pulse_end "$PULSE_REC_PID" INT 5
  PULSE_REC_PID=""
}

# Prints the DTMF keys heard in a recording, in order, on one line (e.g. 147*).
pulse_decode_dtmf() {
  local file=$1
  _pulse_require sox multimon-ng || return 1
  sox "$file" -t raw -r 22050 -e signed-integer -b 16 -c 1 - </dev/null |
    multimon-ng -q -c -a DTMF -t raw - | sed -n 's/^DTMF: //p' | tr -d '\n'
  echo
}
