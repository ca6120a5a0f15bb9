# The command-line tests' checks:   source tests/cli/lib/check.sh
# Each check prints one line, "ok" or "FAIL" with what it checked, and counts the failures.
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
