# shellcheck shell=bash
# The PipeWire side of tests/e2e/lib/pulse.sh (KAVREL_SOUND_SERVER=pipewire): a private PipeWire
# as today's desktops start it (the daemon, WirePlumber and pipewire-pulse, which serves the
# PulseAudio protocol, on a session bus of their own), with one sink, vsink. Sourced by pulse.sh;
# not meant to be used alone.
#
# The sink is a null sink clocked by the system's timer, as a sound card is by its own, and it runs
# while nothing plays. graph_record (KAVREL_GRAPH_RECORD, built with the tests) records its monitor
# into PULSE_WORK/sink.raw for the whole life of the server, as 11025 Hz mono 16-bit samples, on
# the graph's timeline: a period the graph went on without, because a client (the recorder
# too) was held up past it, is silence in the file as it was at the sink. A recorder that wrote
# what it got (pw-record, parecord, a pipe from the daemon) would close such a gap, and every
# sound after it would be heard early.

_pipewire_sink_conf() {
  local sink=$1
  cat <<EOF
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = $sink
      node.description = "Test sink"
      media.class = Audio/Sink
      audio.position = [ MONO ]
      object.linger = true
      # Runs while nothing plays, as a sound card does: the recording keeps time.
      node.always-process = true
      node.pause-on-idle = false
      session.suspend-timeout-seconds = 0
    }
  }
]
EOF
}

_pipewire_pids=()
_pipewire_record=()

# Starts the bus, the daemon, WirePlumber, pipewire-pulse and the sink's recorder in PULSE_WORK;
# sets PULSE_PID to the daemon (which runs the graph: stopping it stops every stream).
_pipewire_launch() {
  local sink=$1
  _pulse_require pipewire wireplumber pipewire-pulse dbus-daemon pactl || return 1
  if [ ! -x "${KAVREL_GRAPH_RECORD:-}" ]; then
    _pulse_log "KAVREL_GRAPH_RECORD names the recorder built with the tests (graph_record)"
    return 1
  fi
  if [ "${PULSE_MODE:-realtime}" != realtime ]; then
    _pulse_log "PipeWire runs as desktops start it (real-time, PULSE_MODE=realtime) only"
    return 1
  fi
  mkdir -p "$HOME/.config/pipewire/pipewire.conf.d"
  _pipewire_sink_conf "$sink" >"$HOME/.config/pipewire/pipewire.conf.d/kavrel-sink.conf"
  rm -f "$PULSE_WORK/bus"
  dbus-daemon --session --nofork --address="unix:path=$PULSE_WORK/bus" </dev/null \
    >>"$PULSE_WORK/dbus.log" 2>&1 &
  _pipewire_pids=($!)
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$PULSE_WORK/bus"
  local i
  for ((i = 0; i < 50; i++)); do
    [ -S "$PULSE_WORK/bus" ] && break
    sleep 0.1
  done
  # Each in a session of its own (pulse.sh); their data threads make themselves real-time
  # (PipeWire's module-rt), as on a desktop.
  setsid pipewire </dev/null >>"$PULSE_WORK/pipewire.log" 2>&1 &
  PULSE_PID=$!
  # Its clients give up when the daemon is not there yet (a desktop's socket activation waits).
  for ((i = 0; i < 100; i++)); do
    [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break
    kill -0 "$PULSE_PID" 2>/dev/null || return 1
    sleep 0.05
  done
  setsid wireplumber </dev/null >>"$PULSE_WORK/wireplumber.log" 2>&1 &
  _pipewire_pids+=($!)
  setsid pipewire-pulse </dev/null >>"$PULSE_WORK/pipewire-pulse.log" 2>&1 &
  _pipewire_pids+=($!)
  "$KAVREL_GRAPH_RECORD" "$PULSE_WORK/sink.raw" </dev/null >>"$PULSE_WORK/graph_record.log" 2>&1 &
  _pipewire_pids+=($!)
}

# Whether the daemon still runs, and the log to show when it did not come up.
_pipewire_logs() {
  local f
  for f in pipewire wireplumber pipewire-pulse graph_record; do
    echo "$f:"
    sed 's/^/  /' "$PULSE_WORK/$f.log" 2>/dev/null | tail -n 20
  done
}

_pipewire_stop() {
  local pid
  # pipewire-pulse and WirePlumber first, then the daemon, then the recorder and the bus.
  for pid in "${_pipewire_pids[2]:-}" "${_pipewire_pids[1]:-}"; do
    [ -n "$pid" ] && _pulse_end "$pid" TERM 5
  done
  [ -n "$PULSE_PID" ] && _pulse_end "$PULSE_PID" TERM 5
  for pid in "${_pipewire_pids[3]:-}" "${_pipewire_pids[0]:-}"; do
    [ -n "$pid" ] && _pulse_end "$pid" TERM 2
  done
  _pipewire_pids=()
}

# The bytes the sink has played so far.
_pipewire_played() { stat -c %s "$PULSE_WORK/sink.raw" 2>/dev/null || echo 0; }

_pipewire_record_start() {
  local file=$1 from now i
  from=$(_pipewire_played)
  from=$((from - from % 2))
  _pipewire_record=("$file" "$from")
  # Once the sink has played past this moment, nothing played afterwards can be missed.
  for ((i = 0; i < 100; i++)); do
    now=$(_pipewire_played)
    if [ "$now" -gt "$from" ]; then
      PULSE_REC_STARTED_MS=$(($(date +%s%3N) - (now - from) * 1000 / 22050))
      return 0
    fi
    sleep 0.05
  done
  _pulse_log "the sink played nothing within 5 s"
  _pipewire_record=()
  return 1
}

_pipewire_record_stop() {
  local file=${_pipewire_record[0]} from=${_pipewire_record[1]} to
  _pipewire_record=()
  to=$(_pipewire_played)
  # One read of just those bytes: a pipe into head would end tail with SIGPIPE, a failure under
  # pipefail, whenever the sink had played more than a pipe holds since `to`.
  dd if="$PULSE_WORK/sink.raw" of="$file.raw" iflag=skip_bytes,count_bytes skip="$from" \
    count=$(((to - from) / 2 * 2)) status=none
  sox -t raw -r 11025 -e signed-integer -b 16 -c 1 "$file.raw" "$file"
  rm -f "$file.raw"
}
