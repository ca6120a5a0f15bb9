#!/usr/bin/env bash
# kavrel-render's telephony output and its checker, held against what sox writes and reads:
# every rate and format as soxi sees it, the G.711 tables against sox's, tones that sox makes
# measured, each Q.24 verdict, and the dialer's own output judged at many tone times.
#   render_telephony_test.sh KAVREL_RENDER G711_TABLE
set -u
render=$1
g711=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
source "$(dirname "$0")/lib/check.sh"
if ! command -v sox >/dev/null; then
  echo "FAIL sox is needed (scripts/setup installs it)"
  exit 1
fi

# Every rate and format: the header soxi reads, the data the raw output holds.
declare -A soxi_name=([pcm16]="Signed Integer PCM" [mulaw]="u-law" [alaw]="A-law")
declare -A width=([pcm16]=2 [mulaw]=1 [alaw]=1)
for rate in 8000 11025 16000 44100 48000; do
  for format in pcm16 mulaw alaw; do
    f="$tmp/$rate-$format"
    "$render" dial "159D#*" --rate "$rate" --format "$format" -o "$f.wav" 2>/dev/null
    "$render" dial "159D#*" --rate "$rate" --format "$format" -o "$f.raw" 2>/dev/null
    samples=$(($(stat -c %s "$f.raw") / ${width[$format]}))
    check "$rate Hz $format: soxi reads rate, channels, encoding and length" test \
      "$(soxi -r "$f.wav") $(soxi -c "$f.wav") $(soxi -e "$f.wav") $(soxi -s "$f.wav")" = \
      "$rate 1 ${soxi_name[$format]} $samples"
    check "$rate Hz $format: 0.53 s long" test "$(sox --i -D "$f.wav" | cut -c 1-4)" = 0.53
    check "$rate Hz $format: the WAV data are the raw output" \
      cmp -s <(sox "$f.wav" -t raw - 2>/dev/null) <(sox -t raw -r "$rate" -c 1 \
      -e "$(soxi -e "$f.wav" | sed 's/Signed Integer PCM/signed/')" -b $((8 * ${width[$format]})) \
      "$f.raw" -t raw - 2>/dev/null)
  done
done
check "--rate 11025 --format pcm16 is the default, byte for byte" \
  cmp -s <("$render" dial 123 -o - 2>/dev/null) \
  <("$render" dial 123 --rate 11025 --format pcm16 -o - 2>/dev/null)
check "G.711 is the 16-bit sound encoded" cmp -s "$tmp/11025-mulaw.raw" \
  <(sox -D -t raw -r 11025 -e signed -b 16 -c 1 "$tmp/11025-pcm16.raw" -t raw -e mu-law - 2>/dev/null)
"$render" dial 1 --rate 22050 2>/dev/null; check "rate 22050: exit 2" test $? -eq 2
"$render" dial 1 --format ulaw 2>/dev/null; check "format ulaw: exit 2" test $? -eq 2

# The G.711 tables: every 16-bit sample encoded and every code decoded, as sox does (no dither).
python3 -c 'import struct, sys; sys.stdout.buffer.write(struct.pack("<65536h", *range(-32768, 32768)))' \
  >"$tmp/all.raw"
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)))' >"$tmp/codes.raw"
for law in mu-law:mulaw a-law:alaw; do
  check "${law#*:} encoding of all 65536 samples = sox's" cmp -s <("$g711" "${law#*:}") \
    <(sox -D -t raw -r 8000 -e signed -b 16 -c 1 "$tmp/all.raw" -t raw -e "${law%:*}" - 2>/dev/null)
  check "${law#*:} decoding of all 256 codes = sox's" cmp -s <("$g711" "${law#*:}-decode") \
    <(sox -t raw -r 8000 -e "${law%:*}" -b 8 -c 1 "$tmp/codes.raw" -t raw -e signed -b 16 - 2>/dev/null)
done

# tone FILE RATE ENCODING BITS LOW_HZ HIGH_HZ LOW_AMPLITUDE HIGH_AMPLITUDE SECONDS: two sines in
# 50 ms of silence each side.
tone() {
  sox -D -n -r "$2" -e "$3" -b "$4" -c 1 "$1" synth "$9" sine "$5" sine "$6" \
    remix "1v$7,2v$8" pad 0.05 0.05
}
# The one tone's line of check: digit start length pause low error high error low_dB high_dB twist
line() { "$render" check "$1" | awk 'NR == 2'; }

# Measured against what sox made: frequency within 0.2%, level 0.5 dB, length 2 ms, in every
# format at every rate; the tones, levels and lengths taken in turn from these (a key, its two
# frequencies off the nominal ones by up to 1%, their amplitudes, the seconds).
tones=("1 697 1209 0.3 0.3 0.1" "2 705 1330 0.5 0.25 0.06" "6 770 1477 0.1 0.2 0.045"
  "C 852 1633 0.4 0.4 0.2" "0 941 1336 0.3 0.2 0.08" "5 763 1349 0.2 0.3 0.1"
  "* 941 1209 0.05 0.05 0.15" "9 852 1477 0.35 0.3 0.07" "A 697 1633 0.01 0.02 0.05"
  "# 948 1470 0.3 0.15 0.5")
i=0
for rate in 8000 11025 16000 44100 48000; do
  for encoding in signed:16 unsigned:8 mu-law:8 a-law:8; do
    read -r digit low high la ha seconds <<<"${tones[$((i % ${#tones[@]}))]}"
    i=$((i + 1))
    f="$tmp/sox-$rate-${encoding%:*}.wav"
    tone "$f" "$rate" "${encoding%:*}" "${encoding#*:}" "$low" "$high" "$la" "$ha" "$seconds"
    read -r d _ length _ mlow _ mhigh _ ldb hdb _ <<<"$(line "$f")"
    check "sox $rate Hz ${encoding%:*}, $low+$high Hz, $seconds s: $d, $mlow $mhigh Hz, $ldb $hdb dBFS, $length ms" \
      awk -v d="$d" -v digit="$digit" -v f1="$mlow" -v f2="$mhigh" -v l1="$ldb" -v l2="$hdb" \
      -v len="$length" -v low="$low" -v high="$high" -v a1="$la" -v a2="$ha" -v s="$seconds" 'BEGIN {
        e = 0.002; ok = d == digit && (f1 / low - 1)^2 < e^2 && (f2 / high - 1)^2 < e^2
        ok = ok && (l1 - 20 * log(a1) / log(10))^2 < 0.25 && (l2 - 20 * log(a2) / log(10))^2 < 0.25
        exit !(ok && (len - 1000 * s)^2 < 4) }'
  done
done

# Each rule broken gives its verdict and exit 1; a file that keeps them, exit 0.
verdict() {  # DESCRIPTION PATTERN EXIT FILE
  "$render" check "$4" >"$tmp/out"
  local rc=$?
  check "$1: exit $3, '$2'" test "$rc" -eq "$3" -a "$(grep -c -- "$2" "$tmp/out")" -eq 1
}
tone "$tmp/ok.wav" 8000 signed 16 697 1209 0.3 0.3 0.1
verdict "a tone to standard" "^all 1 digits within Q.24$" 0 "$tmp/ok.wav"
tone "$tmp/off.wav" 8000 signed 16 717.9 1209 0.3 0.3 0.1
verdict "3% off" "^frequency off: 1 of 1 tones more than 1.5% off (.*+3.00%, not sure" 1 "$tmp/off.wav"
tone "$tmp/far.wav" 8000 mu-law 8 697 1253 0.3 0.3 0.1
verdict "3.6% off" "^frequency off: .*+3.6.%, more than 3.5%: refused)$" 1 "$tmp/far.wav"
tone "$tmp/short.wav" 8000 signed 16 852 1336 0.3 0.3 0.03
verdict "30 ms tone" "^too short: 1 of 1 tones last under 40 ms (shortest: 8 at 0.050 s, 30.0 ms)$" 1 \
  "$tmp/short.wav"
tone "$tmp/twist.wav" 8000 signed 16 770 1336 0.2818 0.1 0.1
verdict "9 dB normal twist" "^twist beyond the limits: .*twist -9.0 dB, normal twist" 1 "$tmp/twist.wav"
tone "$tmp/normal.wav" 8000 signed 16 770 1336 0.3 0.1504 0.1
verdict "6 dB normal twist" "^all 1 digits within Q.24$" 0 "$tmp/normal.wav"
tone "$tmp/reverse.wav" 8000 signed 16 770 1336 0.1504 0.3 0.1
verdict "6 dB reverse twist" "^twist beyond the limits: .*twist +6.0 dB, reverse twist" 1 \
  "$tmp/reverse.wav"
sox -D "$tmp/ok.wav" "$tmp/a.wav" trim 0 0.15
sox -D "$tmp/short.wav" "$tmp/b.wav" trim 0.02
sox -D "$tmp/a.wav" "$tmp/b.wav" "$tmp/pause.wav"
verdict "30 ms pause" "^pause too short: 1 of 1 pauses under 40 ms (shortest: \(29\.[5-9]\|30\.[0-4]\) ms before 8" 1 \
  "$tmp/pause.wav"
sox -D -n -r 8000 -b 16 "$tmp/silence.wav" synth 0.5 sine 440 vol 0.3
verdict "no key (a 440 Hz tone)" "^no DTMF tone found$" 1 "$tmp/silence.wav"

# The dialer's own sound: every tone time from 40 ms keeps the rules, 20 to 35 ms is too short.
keys="147*2580369#ABCD"
for t in 40 40.5 41 42 45 50 60 77.7 100 150 250; do
  "$render" dial "$keys" --tone-time "$t" --rate 8000 --format alaw -o "$tmp/t.wav" 2>/dev/null
  verdict "dial at $t ms" "^all 16 digits within Q.24$" 0 "$tmp/t.wav"
done
for t in 20 22 25 28 30 32 35; do
  "$render" dial "$keys" --tone-time "$t" -o "$tmp/t.wav" 2>/dev/null
  verdict "dial at $t ms" "^too short: 16 of 16 tones last under 40 ms" 1 "$tmp/t.wav"
  check "dial at $t ms: heard $keys" grep -qxF "digits $keys" "$tmp/out"
done
"$render" dial "159D#*" --rate 8000 --format mulaw -o "$tmp/rt.wav" 2>/dev/null
verdict "round trip 8000 Hz mu-law" "^digits 159D#\*$" 0 "$tmp/rt.wav"

# Speech is no DTMF: espeak-ng reading numbers and words in three voices (the harmonics of a voice
# pass for key pairs).
if command -v espeak-ng >/dev/null; then
  text="Please call me back on 0 2 9 8 7, 4 1 6 3, extension 5 5 2. Your balance is 1 thousand \
    8 hundred and 47 pounds. Press 1 for sales, 2 for support, or hold the line for an operator."
  for voice in en+f2:200:70 de+m1:160:40 fr+f3:180:55; do
    IFS=: read -r name speed pitch <<<"$voice"
    espeak-ng -v "$name" -s "$speed" -p "$pitch" -w "$tmp/voice.wav" "$text $text"
    sox "$tmp/voice.wav" -r 8000 -e mu-law "$tmp/speech-${name%%+*}.wav"
  done
  sox "$tmp"/speech-*.wav "$tmp/speech.wav"
  verdict "speech, $(soxi -d "$tmp/speech.wav"): no tone" "^no DTMF tone found$" 1 "$tmp/speech.wav"
else
  echo "FAIL espeak-ng is needed (scripts/setup installs it)"
  failures=$((failures + 1))
fi

# The JSON report: one document with the text report's tones, digits and verdict lines.
"$render" check "$tmp/pause.wav" >"$tmp/pause.txt"
"$render" check --json "$tmp/pause.wav" >"$tmp/pause.json"
check "--json: a JSON document" python3 -m json.tool "$tmp/pause.json" /dev/null
check "--json: the tones, digits and verdicts of the text report" python3 - "$tmp/pause.json" \
  "$tmp/pause.txt" <<'EOF'
import json, sys
doc, text = json.load(open(sys.argv[1])), open(sys.argv[2]).read().splitlines()
rows = [line.split() for line in text[1:] if line and line[0] in "0123456789ABCD*#"]
ok = [t["digit"] for t in doc["tones"]] == [r[0] for r in rows] == list("18")
ok = ok and all(f"{t['start_s']:.3f}" == r[1] and f"{t['length_ms']:.1f}" == r[2] and
                f"{t['low_hz']:.1f}" == r[4] and f"{t['high_hz']:.1f}" == r[6]
                for t, r in zip(doc["tones"], rows))
ok = ok and doc["tones"][0]["pause_ms"] is None and doc["tones"][1]["sample"] > 1000
ok = ok and "digits " + doc["digits"] in text and not doc["within_q24"]
ok = ok and [v["text"] for v in doc["verdicts"]] == text[text.index("digits 18") + 1:]
ok = ok and [v["rule"] for v in doc["verdicts"]] == ["tone_too_short", "pause_too_short"]
sys.exit(not ok)
EOF

# Files that are not what their header says end at once with exit 2 and a reason: a rate of
# 2·10^9 Hz (or just outside 4000 to 192000 Hz), a data chunk or RIFF size beyond the file's
# end. Through a pipe, whose size is unknown, the data run to its end.
python3 - "$tmp" <<'EOF'
import struct, sys
def wav(name, rate=8000, data=None, riff=None):
    body = bytes(2000)
    chunks = (b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, 2 * rate, 2, 16) + b"data" +
              struct.pack("<I", len(body) if data is None else data) + body)
    riff = 4 + len(chunks) if riff is None else riff
    open(f"{sys.argv[1]}/{name}.wav", "wb").write(b"RIFF" + struct.pack("<I", riff) + b"WAVE" + chunks)
wav("rate-2e9", rate=2000000000)
wav("rate-3999", rate=3999)
wav("rate-192001", rate=192001)
wav("data-beyond", data=0x7FFFF000)
wav("riff-beyond", riff=0x7FFFF024)
EOF
for bad in rate-2e9:"rate, 2000000000 Hz, is outside" rate-3999:"rate, 3999 Hz" \
  rate-192001:"rate, 192001 Hz" data-beyond:"data chunk says 2147479552 bytes but 2000 bytes" \
  riff-beyond:"header says 2147479596 bytes but the file has 2044"; do
  "$render" check "$tmp/${bad%%:*}.wav" >"$tmp/out" 2>"$tmp/err"
  rc=$?
  check "check of ${bad%%:*}: exit 2, '${bad#*:}', nothing written" \
    test "$rc" -eq 2 -a ! -s "$tmp/out" -a "$(grep -cF "${bad#*:}" "$tmp/err")" -eq 1
done
check "check of a file through a pipe: the same report" \
  cmp -s <("$render" check "$tmp/pause.wav") <(cat "$tmp/pause.wav" | "$render" check /dev/stdin)

"$render" check "$tmp/none.wav" 2>/dev/null; check "check of a missing file: exit 2" test $? -eq 2
"$render" check "$tmp/all.raw" 2>/dev/null; check "check of a raw file: exit 2" test $? -eq 2
sox -n -r 8000 -b 24 "$tmp/24.wav" synth 0.1 sine 697
"$render" check "$tmp/24.wav" 2>/dev/null; check "check of 24-bit PCM: exit 2" test $? -eq 2
head -c 60 "$tmp/ok.wav" >"$tmp/cut.wav"
"$render" check "$tmp/cut.wav" >/dev/null 2>&1; check "check of a cut file: no crash" test $? -le 2
"$render" check "$tmp/ok.wav" --rate 8000 2>/dev/null; check "check with an option: exit 2" test $? -eq 2
"$render" check 2>/dev/null; check "check without a file: exit 2" test $? -eq 2

exit $((failures > 0))
