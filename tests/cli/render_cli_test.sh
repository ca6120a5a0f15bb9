#!/usr/bin/env bash
# kavrel-render's command line: formats, sizes, exit codes and write failures.
set -u
render=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

"$render" bank -o "$tmp/bank.raw" 2>"$tmp/err"
check "raw bank: 17 x 882 samples" test "$(stat -c %s "$tmp/bank.raw")" -eq $((17 * 882 * 2))
check "summary names BlockSamples" grep -q "BlockSamples 882" "$tmp/err"

"$render" bank --tone-time 100 -o "$tmp/bank.WAV" 2>/dev/null
check "wav bank: header + 17 x 2206 samples" test "$(stat -c %s "$tmp/bank.WAV")" -eq $((44 + 17 * 2206 * 2))
check "wav header" test "$(head -c 4 "$tmp/bank.WAV")$(dd if="$tmp/bank.WAV" bs=1 skip=8 count=8 2>/dev/null)" = "RIFFWAVEfmt "
check "wav data = raw" cmp -s <(tail -c +45 "$tmp/bank.WAV") <("$render" bank --tone-time 100 2>/dev/null)
check "tone time read like the box (' 4 0abc')" cmp -s "$tmp/bank.raw" <("$render" bank --tone-time ' 4 0abc' -o - 2>/dev/null)

"$render" bank --tone-time 2>/dev/null; check "missing value: exit 2" test $? -eq 2
"$render" frobnicate 2>/dev/null; check "unknown command: exit 2" test $? -eq 2
"$render" bank --bogus 2>/dev/null; check "unknown option: exit 2" test $? -eq 2
"$render" 2>/dev/null; check "no command: exit 2" test $? -eq 2
"$render" bank --tone-time 30001 2>/dev/null; check "tone time above 30000: exit 2" test $? -eq 2
"$render" --help | grep -q "usage: kavrel-render"; check "--help" test $? -eq 0

if [ -w /dev/full ]; then
  "$render" bank -o /dev/full 2>"$tmp/err"; rc=$?
  check "full disk: non-zero exit" test $rc -ne 0
  check "full disk: message" grep -q "failed" "$tmp/err"
fi
"$render" bank -o "$tmp/no/such/dir/x.wav" 2>/dev/null; check "unwritable path: exit 1" test $? -eq 1

exit $((failures > 0))
