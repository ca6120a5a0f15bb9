# Polling for the end-to-end scripts:   source tests/e2e/lib/poll.sh

# Polls CONDITION (evaluated) every 0.1 s for up to SECONDS; false when it never held.
wait_for() {
  local seconds=$1 condition=$2 i
  for ((i = 0; i < seconds * 10; i++)); do
    eval "$condition" && return 0
    sleep 0.1
  done
  return 1
}

# Waits for PID (a child of this shell) to end, killing it after SECONDS; sets ENDED_STATUS to
# its exit status (137 when it had to be killed).
wait_ended() {
  local pid=$1 seconds=$2 watchdog
  (sleep "$seconds" && kill -KILL "$pid" 2>/dev/null) &
  watchdog=$!
  ENDED_STATUS=0
  wait "$pid" || ENDED_STATUS=$?
  kill "$watchdog" 2>/dev/null || true
}
