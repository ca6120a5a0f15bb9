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
# its exit status (137 when it had to be killed). The watchdog is a plain sleep, a child of this
# shell that is ended as soon as PID is: nothing is left holding the test's output open.
wait_ended() {
  local pid=$1 seconds=$2 watchdog first=""
  sleep "$seconds" </dev/null >/dev/null 2>&1 &
  watchdog=$!
  wait -n -p first "$pid" "$watchdog" 2>/dev/null || true
  if [ "$first" = "$watchdog" ]; then
    kill -KILL "$pid" 2>/dev/null || true
  else
    kill "$watchdog" 2>/dev/null || true
  fi
  wait "$watchdog" 2>/dev/null || true
  ENDED_STATUS=0
  wait "$pid" 2>/dev/null || ENDED_STATUS=$?
}
