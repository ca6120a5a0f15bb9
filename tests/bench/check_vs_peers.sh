#!/usr/bin/env bash
# kavrel-render check beside two other DTMF receivers on the same material: multimon-ng (its
# DTMF decoder, which converts the file through sox to 22050 Hz first) and SpanDSP's (Debian's
# libspandsp, through a client of a few lines built here, fed 8000 Hz samples by sox). Prints one
# table:
# - digits heard in synthesized speech: espeak-ng reading a text with numbers in 13 voices,
#   languages and speeds, about 29 minutes at 8000 Hz;
# - of the 16 keys (60 ms each, 60 ms apart; tests/bench/dtmf_keys.py), how many are heard in
#   white noise at each S/N, with both frequencies off by -5% to +5%, at each twist, at each
#   level, and after a G.711 round trip; "+N" counts digits heard that were not sent;
# - throughput on one core (best of RUNS, processor time): a 10-minute 8000 Hz mu-law file of
#   7500 keys at 40 ms, which all three must hear whole, and a 30-minute tone.
#   tests/bench/check_vs_peers.sh [BIN_DIR] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=${1:-$root/build/linux/bin}
runs=${2:-3}
keys_py=$root/tests/bench/dtmf_keys.py
for cmd in sox espeak-ng multimon-ng pkg-config cc python3 taskset; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd (scripts/setup bench)" >&2; exit 1; }
done
pkg-config --exists spandsp || { echo "missing libspandsp-dev (scripts/setup bench)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# SpanDSP's receiver with its defaults: 16-bit 8000 Hz samples in, the digits out.
cat >"$tmp/spandsp_dtmf.c" <<'EOF'
#include <spandsp.h>
#include <stdio.h>
static void heard(void *user, const char *digits, int len) { fwrite(digits, 1, len, stdout); }
int main(void) {
  int16_t samples[4096];
  size_t n;
  dtmf_rx_state_t *rx = dtmf_rx_init(NULL, heard, NULL);
  while ((n = fread(samples, sizeof samples[0], 4096, stdin)) > 0) dtmf_rx(rx, samples, (int)n);
  putchar('\n');
  return 0;
}
EOF
# shellcheck disable=SC2046
cc -O2 -o "$tmp/spandsp_dtmf" "$tmp/spandsp_dtmf.c" $(pkg-config --cflags --libs spandsp)

check() { "$bin/kavrel-render" check "$1" | sed -n 's/^digits //p' | sed 's/^none$//'; }
multimon() { multimon-ng -q -c -a DTMF -t wav "$1" 2>/dev/null | sed -n 's/^DTMF: //p' | tr -d '\n'; }
spandsp() { sox "$1" -t raw -e signed -b 16 -c 1 -r 8000 - | "$tmp/spandsp_dtmf"; }
receivers=(check multimon spandsp)

results=$tmp/results
: >"$results"
# row LABEL FILE: what each receiver hears in FILE, for the table.
row() {
  local r
  for r in "${receivers[@]}"; do printf '%s\t%s\t%s\n' "$1" "$r" "$("$r" "$2")" >>"$results"; done
}
keys() { python3 "$keys_py" "$tmp/keys.wav" "$@" && echo "$tmp/keys.wav"; }

# Speech: the same text, from a different place, in each voice, with numbers read out.
i=0
for setting in "en-us+m3 150 40" "en+f2 200 60" "de+m1 170 45" "fr+f3 180 55" "es+m4 220 35" \
  "it+f1 160 70" "ru+m2 190 30" "pl+f4 170 50" "pt-br+m7 200 40" "hi+f2 160 60" \
  "cmn+m5 150 50" "nl+f5 240 65" "sv+m6 175 25"; do
  read -r voice speed pitch <<<"$setting"
  tr -s ' \n' '  ' </usr/share/common-licenses/GPL-3 |
    cut -d' ' -f$((i * 400 + 1))-$((i * 400 + speed * 100 / 60)) |
    awk -v seed="$i" 'BEGIN { srand(seed) } { n = split($0, w, " "); for (k = 1; k <= n; k++) {
      printf "%s ", w[k]; if (k % 37 == 0) printf ". %d %d. ", int(rand() * 100000), int(rand() * 1000) } }' \
      >"$tmp/text"
  espeak-ng -v "$voice" -s "$speed" -p "$pitch" -f "$tmp/text" -w "$tmp/voice.wav"
  sox "$tmp/voice.wav" -r 8000 -b 16 -c 1 "$tmp/speech$(printf %02d "$i").wav" 2>/dev/null
  i=$((i + 1))
done
sox "$tmp"/speech??.wav "$tmp/speech.wav"
minutes=$(soxi -D "$tmp/speech.wav" | awk '{ printf "%.1f", $1 / 60 }')
row "speech, $minutes min, 13 voices: digits" "$tmp/speech.wav"

for snr in 20 15 12 10 6 3; do row "white noise, S/N $snr dB" "$(keys --snr "$snr")"; done
for offset in -5.0 -4.5 -4.0 -3.5 -3.0 -2.5 -2.0 -1.5 -1.0 -0.5 0.0 0.5 1.0 1.5 2.0 2.5 3.0 \
  3.5 4.0 4.5 5.0; do
  row "both frequencies $(printf %+.1f "$offset")%" "$(keys --offset "$offset")"
done
for twist in -14 -12 -10 -8 -6 -4 -2 0 2 4 6 8 10 12; do
  row "twist $(printf %+d "$twist") dB" "$(keys --twist "$twist")"
done
for level in 0 -5 -10 -15 -20 -25 -30 -35 -40; do
  row "key at $level dBFS" "$(keys --level "$level")"
done
for law in mu-law a-law; do
  sox "$(keys --level -30)" -e "$law" -t wav - | sox - -e signed -b 16 "$tmp/g711.wav"
  row "$law round trip, key at -30 dBFS" "$tmp/g711.wav"
done

# Throughput. The 10-minute file: one minute of 750 random keys, ten times over.
digits=$(python3 -c "import random; random.seed(1)
print(''.join(random.choice('0123456789ABCD*#') for _ in range(750)))")
"$bin/kavrel-render" dial "$digits" --rate 8000 --format mulaw -o "$tmp/minute.wav" 2>/dev/null
sox "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" \
  "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" "$tmp/minute.wav" \
  "$tmp/ten.wav"
sox -n -r 8000 -e mu-law "$tmp/tone.wav" synth 1800 sine 941 sine 1633 remix "1v0.3,2v0.3"
for r in "${receivers[@]}"; do
  heard=$("$r" "$tmp/ten.wav")
  if [ "$heard" != "$(printf "$digits%.0s" {1..10})" ]; then
    echo "check_vs_peers: $r heard ${#heard} digits of the 7500 in the 10-minute file" >&2
    exit 1
  fi
done
TIMEFORMAT='%U %S'
best() {  # the least processor time of RUNS runs of receiver $1 on file $2, on one core
  local cpu best=""
  for ((n = 0; n < runs; n++)); do
    { time taskset -c 0 bash -c "$(declare -f "$1"); bin=$bin tmp=$tmp $1 $2" >/dev/null; } 2>"$tmp/time"
    cpu=$(awk '{ print $1 + $2 }' "$tmp/time")
    best=$(awk -v a="$cpu" -v b="${best:-$cpu}" 'BEGIN { print (a < b ? a : b) }')
  done
  echo "$best"
}
for r in "${receivers[@]}"; do
  printf '%s\t%s\t%s\n' "10 min of 7500 keys: times real time" "$r" \
    "$(best "$r" "$tmp/ten.wav" | awk '{ printf "=%.0f", 600 / $1 }')" >>"$results"
  printf '%s\t%s\t%s\n' "30 min of one tone: times real time" "$r" \
    "$(best "$r" "$tmp/tone.wav" | awk '{ printf "=%.0f", 1800 / $1 }')" >>"$results"
done

# The table: digits for speech, keys heard of 16 for the rest, the figures as they are.
python3 - "$results" <<'EOF'
import sys
SENT = "123A456B789C*0#D"
def heard(text):
    # The longest common subsequence with the keys sent, and the digits beyond it.
    n = len(text)
    prev = [0] * (n + 1)
    for a in SENT:
        cur = [0] * (n + 1)
        for j, b in enumerate(text):
            cur[j + 1] = prev[j] + 1 if a == b else max(prev[j + 1], cur[j])
        prev = cur
    return f"{prev[n]}" + (f" +{n - prev[n]}" if n > prev[n] else "")
rows, cells = [], {}
for line in open(sys.argv[1]):
    label, receiver, text = line.rstrip("\n").split("\t")
    if label not in cells:
        rows.append(label)
        cells[label] = {}
    cells[label][receiver] = (text[1:] if text.startswith("=") else
                              str(len(text)) if label.startswith("speech") else heard(text))
width = max(len(r) for r in rows)
print(f"{'':{width}}  {'check':>8}  {'multimon-ng':>11}  {'SpanDSP':>8}")
for r in rows:
    c = cells[r]
    print(f"{r:{width}}  {c['check']:>8}  {c['multimon']:>11}  {c['spandsp']:>8}")
print("goals for check: no digit in speech; every key down to 10 dB S/N, from -1.5% to +1.5%")
print("and over 26 dB of level, none beyond 3.5%; at least multimon-ng's throughput")
EOF
