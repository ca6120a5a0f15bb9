#!/usr/bin/env bash
# Committed files are exactly what their generator makes: runs the generator with a scratch output
# folder as its last argument and compares every file it wrote with the committed one.
#   generated_files_test.sh COMMITTED_DIR GENERATOR [ARG]...
set -u
committed=$1
shift
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$@" "$out" || { echo "FAIL the generator failed: $*"; exit 1; }
count=0
failures=0
for made in "$out"/*; do
  [ -f "$made" ] || continue
  count=$((count + 1))
  name=$(basename "$made")
  if cmp -s "$made" "$committed/$name"; then
    echo "ok   $name"
  else
    echo "FAIL $name differs from the committed one (run: $*)"
    failures=$((failures + 1))
  fi
done
[ "$count" -gt 0 ] || { echo "FAIL the generator wrote nothing"; exit 1; }
exit $((failures > 0))
