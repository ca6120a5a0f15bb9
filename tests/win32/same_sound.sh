#!/usr/bin/env bash
# The Windows build sounds exactly like the Linux one: kavrel-render's bank, dial and text
# outputs byte for byte at several tone times and volumes (and in G.711), and the bits of every
# sine the tone bank is made of. The Windows programs run under Wine.
#   same_sound.sh LINUX_BIN_DIR WINDOWS_BIN_DIR
set -u
if [ $# -ne 2 ]; then
  echo "usage: same_sound.sh LINUX_BIN_DIR WINDOWS_BIN_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
# One Wine prefix for all the calls below.
if [ -z "${KAVREL_WINE_PREFIX:-}" ] || [ "${WINEPREFIX:-}" != "$KAVREL_WINE_PREFIX" ]; then
  exec "$root/scripts/wine-env" "$0" "$@"
fi
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
for program in "$linux/kavrel-render" "$linux/sine_bits" "$windows/kavrel-render.exe" \
  "$windows/sine_bits.exe"; do
  if [ ! -x "$program" ] && [ ! -f "$program" ]; then
    echo "FAIL missing $program (build the linux preset first: cmake --preset linux &&" \
      "cmake --build --preset linux)"
    exit 1
  fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
failures=0
checked=0

# Runs the same kavrel-render command on both builds and compares the samples.
same() {
  local name=$1
  shift
  "$linux/kavrel-render" "$@" -o "linux-$name.raw" 2>/dev/null
  local linux_status=$?
  # The output goes to a file in the current folder, which Wine maps to the same place.
  wine "$windows/kavrel-render.exe" "$@" -o "windows-$name.raw" </dev/null >/dev/null 2>&1
  local windows_status=$?
  checked=$((checked + 1))
  if [ "$linux_status" -ne 0 ] || [ "$windows_status" -ne 0 ]; then
    echo "FAIL $* (exit $linux_status on Linux, $windows_status on Windows)"
    failures=$((failures + 1))
  elif cmp -s "linux-$name.raw" "windows-$name.raw"; then
    echo "ok   $* ($(stat -c %s "linux-$name.raw") bytes)"
  else
    echo "FAIL $*: $(cmp "linux-$name.raw" "windows-$name.raw" 2>&1 | head -n 1)"
    failures=$((failures + 1))
  fi
}

for t in 0 20 40 40.5 42 100 777.7 2000 30000; do same "bank-$t" bank --tone-time "$t"; done
same dial-all dial "123A456B789C*0#D"
same dial-pauses dial "9a,,*" --tone-time 100
same dial-full dial "12 3D" --volume 1
same dial-half dial "#5" --volume 2501 --tone-time 42
same dial-quietest dial "D0" --volume 5001 --tone-time 20
# Volumes whose gain the two C libraries' pow computes one unit apart.
same dial-gain-a dial "147*2580369#ABCD" --volume 2600
same dial-gain-b dial "147*2580369#ABCD" --volume 4990
same text-words text "Hi there"
same text-short text "A~ }" --tone-time 20 --volume 151
same dial-mulaw dial "147*2580369#ABCD" --format mulaw
same dial-alaw dial "12 3D" --format alaw --volume 1

# Without a resampling library the Windows builds refuse other rates, saying why; the checker
# reads the same in both.
checked=$((checked + 1))
wine "$windows/kavrel-render.exe" dial 1 --rate 8000 -o refused.raw </dev/null >/dev/null \
  2>refused.txt
status=$?
if [ "$status" -eq 2 ] && grep -q "only 11025 Hz" refused.txt && [ ! -e refused.raw ]; then
  echo "ok   --rate 8000 refused on Windows: $(tr -d '\r' <refused.txt | head -n 1)"
else
  echo "FAIL --rate 8000 on Windows: exit $status, $(tr -d '\r' <refused.txt | head -n 1)"
  failures=$((failures + 1))
fi
checked=$((checked + 1))
"$linux/kavrel-render" dial "159D#*" --rate 8000 --format mulaw -o phone.wav 2>/dev/null
"$linux/kavrel-render" check phone.wav >linux-check.txt
wine "$windows/kavrel-render.exe" check phone.wav </dev/null 2>/dev/null | tr -d '\r' \
  >windows-check.txt
if grep -q "^all 6 digits within Q.24" linux-check.txt && cmp -s linux-check.txt windows-check.txt
then
  echo "ok   check of an 8000 Hz mu-law file: the same report"
else
  echo "FAIL check differs:"
  diff linux-check.txt windows-check.txt | sed 's/^/  /'
  failures=$((failures + 1))
fi

# The sines, phase by phase. On a difference, both builds dump every value and the first
# differing phases are shown.
"$linux/sine_bits" >linux-sines.txt
wine "$windows/sine_bits.exe" </dev/null 2>/dev/null | tr -d '\r' >windows-sines.txt
checked=$((checked + 1))
ours() { sed 's/ libm=.*//' "$1"; }
if [ "$(wc -l <linux-sines.txt)" -eq 8 ] && cmp -s <(ours linux-sines.txt) <(ours windows-sines.txt); then
  echo "ok   sine bits of every phase of the 8 frequencies ($(cut -d' ' -f2 linux-sines.txt |
    head -n 1) phases each)"
else
  echo "FAIL sine bits differ:"
  diff <(ours linux-sines.txt) <(ours windows-sines.txt) | sed 's/^/  /'
  "$linux/sine_bits" linux-sines.bin >/dev/null
  wine "$windows/sine_bits.exe" windows-sines.bin </dev/null >/dev/null 2>&1
  per=$(cut -d' ' -f2 linux-sines.txt | head -n 1)
  cmp -l linux-sines.bin windows-sines.bin 2>/dev/null | awk '{print int(($1 - 1) / 24)}' |
    uniq | head -n 5 | while read -r record; do
    echo "  frequency $(sed -n "$((record / per + 1))p" linux-sines.txt | cut -d' ' -f1) Hz," \
      "sample $((record % per + 1)): phase, Sine, sin (Linux, then Windows):"
    od -An -tx8 -j $((record * 24)) -N 24 linux-sines.bin | sed 's/^/    /'
    od -An -tx8 -j $((record * 24)) -N 24 windows-sines.bin | sed 's/^/    /'
  done
  failures=$((failures + 1))
fi
# For the record: whether the C libraries' sines agree.
differ=$(paste -d' ' linux-sines.txt windows-sines.txt |
  awk '{ split($5, a, "="); split($10, b, "="); if (a[2] != b[2]) n++ } END { print n + 0 }')
echo "note the C libraries' sin differ on $differ of the 8 frequencies (not used by the bank)"

echo "$((checked - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
