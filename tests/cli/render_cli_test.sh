#!/usr/bin/env bash
# kavrel-render's command line: formats, sizes, exit codes and write failures.
set -u
render=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
source "$(dirname "$0")/lib/check.sh"

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
"$render" bank extra 2>/dev/null; check "unexpected argument: exit 2" test $? -eq 2
"$render" bank --tone-time 30001 2>/dev/null; check "tone time above 30000: exit 2" test $? -eq 2
"$render" bank --tone-time 1e400 2>/dev/null; check "tone time beyond a double: exit 2" test $? -eq 2
"$render" bank --tone-time -1e400 2>/dev/null; check "tone time below a double: exit 2" test $? -eq 2
"$render" --help | grep -q "usage: kavrel-render"; check "--help" test $? -eq 0

# dial at full level (volume 1) is the keys' bank rows back to back, then the silent lead-out.
"$render" bank -o "$tmp/bank.raw" 2>/dev/null
row() { dd if="$tmp/bank.raw" bs=1764 skip="$1" count=1 2>/dev/null; }
{ row 1; row 2; row 0; row 3; row 16; head -c 1104 /dev/zero; } >"$tmp/expected.raw"
"$render" dial "12 3D" --volume 1 -o "$tmp/dial.raw" 2>/dev/null
check "dial at volume 1 = bank rows + silent half" cmp -s "$tmp/expected.raw" "$tmp/dial.raw"
"$render" dial "12 3D" -o "$tmp/quiet.raw" 2>/dev/null
check "default volume is quieter" test "$(cmp -l "$tmp/dial.raw" "$tmp/quiet.raw" | wc -l)" -gt 1000
# No settings file is read, whoever made it: not one in the temporary folder, nor the user's.
planted=$tmp/planted/kavrel-render-empty
mkdir -p "$planted/no-settings" "$tmp/config/kavrel"
for f in "$planted" "$planted/no-settings" "$tmp/config/kavrel"; do
  printf '9\r\n200\r\n 1 \r\n \r\n \r\n' >"$f/Sindrat.ini"
done
TMPDIR=$tmp/planted XDG_CONFIG_HOME=$tmp/config "$render" dial "12 3D" -o "$tmp/planted.raw" 2>/dev/null
check "settings files change nothing" cmp -s "$tmp/quiet.raw" "$tmp/planted.raw"
"$render" dial "12" --volume 5002 2>/dev/null; check "volume out of range: exit 2" test $? -eq 2
"$render" dial "12" --volume 1e400 2>/dev/null; check "volume beyond a double: exit 2" test $? -eq 2
"$render" dial 2>/dev/null; check "dial without a string: exit 2" test $? -eq 2

decode() {  # the DTMF digits in a raw 11025 Hz recording, by an independent decoder
  sox -t raw -r 11025 -e signed-integer -b 16 -c 1 "$1" -t raw -r 22050 - 2>/dev/null |
    multimon-ng -q -c -a DTMF -t raw - 2>/dev/null | sed -n 's/^DTMF: //p' | tr -d '\n'
}
if command -v multimon-ng >/dev/null && command -v sox >/dev/null; then
  "$render" dial "123A456B789C*0#D" -o "$tmp/all.raw" 2>/dev/null
  check "every key decodes" test "$(decode "$tmp/all.raw")" = "123A456B789C*0#D"
  "$render" dial "9a,,*" --tone-time 100 -o "$tmp/slow.raw" 2>/dev/null
  check "100 ms tones decode" test "$(decode "$tmp/slow.raw")" = "9A*"
  "$render" text "Hi there" -o "$tmp/text.raw" 2>/dev/null
  check "text decodes to two keys per character" test "$(decode "$tmp/text.raw")" = "476831B46765B365"
else
  echo "FAIL multimon-ng and sox are needed (scripts/setup installs them)"; failures=$((failures + 1))
fi

if [ -w /dev/full ]; then
  "$render" bank -o /dev/full 2>"$tmp/err"; rc=$?
  check "full disk: non-zero exit" test $rc -ne 0
  check "full disk: message" grep -q "failed" "$tmp/err"
fi
"$render" bank -o "$tmp/no/such/dir/x.wav" 2>/dev/null; check "unwritable path: exit 1" test $? -eq 1

exit $((failures > 0))
