# A machine that is busy beside a benchmark. Source it after tests/e2e/lib/pulse.sh, whose exit
# hooks stop what it starts.
#   busy_start N               N shell loops that never sleep, each in a session of its own, as a
#                              build in another terminal keeps the processors busy
#   stall_start BIN [TAKE EVERY [--together]]
#                              BIN/cpu_stall taking each processor for TAKE ms every EVERY ms;
#                              nothing without TAKE
#   busy_stop                  stops them all
_busy_pids=()
busy_stop() { [ ${#_busy_pids[@]} -eq 0 ] || kill "${_busy_pids[@]}" 2>/dev/null || true; }
busy_start() {
  local i
  pulse_at_exit busy_stop
  # With job control off, setsid runs in place and $! is the loop itself.
  for ((i = 0; i < $1; i++)); do
    setsid bash -c 'while :; do :; done' </dev/null >/dev/null 2>&1 &
    _busy_pids+=($!)
  done
}

stall_start() {
  local bin=$1
  shift
  [ $# -gt 0 ] || return 0
  pulse_at_exit busy_stop
  "$bin/cpu_stall" --take "$1" --every "$2" ${3:+"$3"} >/dev/null &
  _busy_pids+=($!)
}
