#!/usr/bin/env python3
"""Writes the 16 DTMF keys as a 16-bit mono WAV file for the receivers' benchmark.

Each key is two sines for TONE ms, then PAUSE ms of nothing, after 100 ms of nothing; white
Gaussian noise over the whole file at a signal-to-noise ratio (the power of a key's two tones
against the noise's, over the whole band).

  dtmf_keys.py OUT.wav [--rate HZ] [--level DBFS] [--twist DB] [--offset PCT] [--snr DB]
                       [--tone MS] [--pause MS] [--seed N]

--level is the key's peak: at 0 dBFS the two tones together reach full scale (each -6 dBFS).
--twist is the high tone's level minus the low one's, split between the two. --offset moves
both frequencies by that share.
"""
import argparse
import math
import random
import struct
import wave

KEYS = "123A456B789C*0#D"
LOW = [697, 770, 852, 941]
HIGH = [1209, 1336, 1477, 1633]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("--rate", type=int, default=8000)
    p.add_argument("--level", type=float, default=-10)
    p.add_argument("--twist", type=float, default=0)
    p.add_argument("--offset", type=float, default=0)
    p.add_argument("--snr", type=float, default=None)
    p.add_argument("--tone", type=float, default=60)
    p.add_argument("--pause", type=float, default=60)
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    rng = random.Random(a.seed)
    # Each tone's amplitude: the key's peak split, then the twist.
    peak = 32767 * 10 ** (a.level / 20)
    low_amp = peak / 2 * 10 ** (-a.twist / 40)
    high_amp = peak / 2 * 10 ** (a.twist / 40)
    noise = 0.0
    if a.snr is not None:
        noise = math.sqrt((low_amp**2 + high_amp**2) / 2 / 10 ** (a.snr / 10))
    samples = [0.0] * int(a.rate * 0.1)
    for i, key in enumerate(KEYS):
        row, col = divmod(i, 4)
        f1 = LOW[row] * (1 + a.offset / 100)
        f2 = HIGH[col] * (1 + a.offset / 100)
        phase1, phase2 = rng.random() * 2 * math.pi, rng.random() * 2 * math.pi
        for n in range(int(a.rate * a.tone / 1000)):
            t = n / a.rate
            samples.append(low_amp * math.sin(2 * math.pi * f1 * t + phase1) +
                           high_amp * math.sin(2 * math.pi * f2 * t + phase2))
        samples.extend([0.0] * int(a.rate * a.pause / 1000))
    frames = bytearray()
    for s in samples:
        v = round(s + (rng.gauss(0, noise) if noise else 0))
        frames += struct.pack("<h", max(-32768, min(32767, v)))
    with wave.open(a.out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(a.rate)
        w.writeframes(bytes(frames))


if __name__ == "__main__":
    main()
