# Busy threads beside a benchmark, as a build in another terminal keeps the processors busy. Source
# it after tests/e2e/lib/pulse.sh, whose exit hooks stop them.
#   busy_start N    starts N shell loops that never sleep, each in a session of its own
#   busy_stop       stops them
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
