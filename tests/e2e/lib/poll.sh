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
