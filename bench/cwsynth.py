#!/usr/bin/env python3
"""A Morse test-signal synthesiser, independent of Tolvane's keyer.

Writes 8000 Hz 16-bit mono WAV files of a text keyed with the impairments
real recordings have: any speed and pitch, Farnsworth spacing, per-element
timing jitter, raised-cosine edges, a random starting phase, slow fading,
leading and trailing silence, and additive white Gaussian noise at a
calibrated SNR (key-down tone power against noise power in a 2500 Hz band).

usage: cwsynth.py OUT.wav TEXT [--wpm 20] [--farnsworth WPM] [--pitch 600]
         [--jitter 0.0] [--edge-ms 5] [--fade 1.0] [--fade-period 10]
         [--snr none|dB] [--lead 0.5] [--trail 0.5] [--seed 1]
         [--speed-change WPM]
"""
import argparse
import math
import random
import struct
import wave

RATE = 8000
CODES = {
    "A": ".-", "B": "-...", "C": "-.-.", "D": "-..", "E": ".", "F": "..-.", "G": "--.",
    "H": "....", "I": "..", "J": ".---", "K": "-.-", "L": ".-..", "M": "--", "N": "-.",
    "O": "---", "P": ".--.", "Q": "--.-", "R": ".-.", "S": "...", "T": "-", "U": "..-",
    "V": "...-", "W": ".--", "X": "-..-", "Y": "-.--", "Z": "--..", "0": "-----",
    "1": ".----", "2": "..---", "3": "...--", "4": "....-", "5": ".....", "6": "-....",
    "7": "--...", "8": "---..", "9": "----.", ".": ".-.-.-", ",": "--..--", "?": "..--..",
    "/": "-..-.", "=": "-...-",
}


def timeline(text, wpm, farnsworth, jitter, rng, speed_change=None):
    """(on, seconds) elements. Farnsworth keeps the characters at `wpm` and
    stretches the gaps between characters and words to an overall speed of
    `farnsworth` WPM (the ARRL formula). `speed_change` switches to another
    speed halfway through the text."""
    elements = []
    words = text.upper().split()
    half = len(words) // 2
    for w, word in enumerate(words):
        speed = speed_change if speed_change and w >= half else wpm
        dot = 1.2 / speed
        if farnsworth and farnsworth < speed:
            # Total extra delay per standard word of 50 units, spread over
            # 19 units of character and word gaps.
            extra = (60.0 * speed - 37.2 * farnsworth) / (speed * farnsworth) / 19.0
        else:
            extra = dot
        if w > 0:
            elements.append((False, 7 * extra))
        for c, ch in enumerate(word):
            if ch not in CODES:
                continue
            if c > 0:
                elements.append((False, 3 * extra))
            for s, sym in enumerate(CODES[ch]):
                if s > 0:
                    elements.append((False, dot))
                elements.append((True, (3 if sym == "-" else 1) * dot))
    if jitter:
        elements = [(on, max(0.2 * d, d * (1 + rng.uniform(-jitter, jitter)))) for on, d in elements]
    return elements


def synthesise(args):
    rng = random.Random(args.seed)
    text = " ".join(args.text.upper().split())
    elements = [(False, args.lead)] + timeline(text, args.wpm, args.farnsworth, args.jitter, rng,
                                               args.speed_change) + [(False, args.trail)]
    # Key envelope with raised-cosine edges.
    key = []
    for on, seconds in elements:
        key.extend([1.0 if on else 0.0] * int(round(seconds * RATE)))
    edge = max(1, int(args.edge_ms * RATE / 1000))
    ramp = [0.5 - 0.5 * math.cos(math.pi * (i + 0.5) / edge) for i in range(edge)]
    shaped = [0.0] * len(key)
    up = 0
    for i, k in enumerate(key):
        up = min(edge, up + 1) if k else max(0, up - 1)
        shaped[i] = ramp[up - 1] if up > 0 else 0.0
    amplitude = 8000.0
    noise_sigma = 0.0
    if args.snr is not None:
        snr = 10 ** (args.snr / 10.0)
        noise_sigma = math.sqrt(amplitude * amplitude / 2.0 / (snr * 2500.0 / (RATE / 2.0)))
    phase = rng.uniform(0, 2 * math.pi)
    step = 2 * math.pi * args.pitch / RATE
    out = []
    for n, s in enumerate(shaped):
        fade = 1.0
        if args.fade < 1.0:
            # Slow fading between full strength and `fade` of it.
            fade = args.fade + (1 - args.fade) * (0.5 + 0.5 * math.cos(2 * math.pi * n / (args.fade_period * RATE)))
        v = amplitude * fade * s * math.sin(phase + step * n)
        if noise_sigma:
            v += rng.gauss(0.0, noise_sigma)
        out.append(max(-32768, min(32767, int(round(v)))))
    with wave.open(args.out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(struct.pack("<%dh" % len(out), *out))


def parser():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("out")
    p.add_argument("text")
    p.add_argument("--wpm", type=float, default=20)
    p.add_argument("--farnsworth", type=float)
    p.add_argument("--pitch", type=float, default=600)
    p.add_argument("--jitter", type=float, default=0.0, help="fraction, e.g. 0.25 for +-25%%")
    p.add_argument("--edge-ms", type=float, default=5)
    p.add_argument("--fade", type=float, default=1.0, help="lowest amplitude as a fraction")
    p.add_argument("--fade-period", type=float, default=10.0, help="seconds")
    p.add_argument("--snr", type=float, help="dB in a 2500 Hz band; no noise when absent")
    p.add_argument("--lead", type=float, default=0.5)
    p.add_argument("--trail", type=float, default=0.5)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--speed-change", type=float)
    return p


if __name__ == "__main__":
    synthesise(parser().parse_args())
