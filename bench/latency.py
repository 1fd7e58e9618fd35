#!/usr/bin/env python3
"""Latency of `tolvane decode` on a live stream: a producer writes keyed
audio in white noise (SNR in 2500 Hz) to the tool's standard input paced
at real time, 20 ms at a time, and a reader notes when each character
appears on standard output (--json). The latency of a character is the
wall time from the end of its last tone (as sent) to its line arriving.
Each decoded character is matched to the sent character of the same text
whose last tone ended nearest its reported time (within 0.3 s); the
first character after lock-on is included. Targets: p95 <= 2 s, max <= 3 s.

usage: bench/latency.py TOOL [--wpm 12,20,40] [--seconds 90] [--snr 10]
       [--pitch 700] [--seed 1]
Prints one line per speed: matched/sent characters, p50/p95/max seconds.
"""
import argparse
import json
import random
import subprocess
import sys
import threading
import time

import numpy as np

RATE = 8000
CODE = {
    "A": ".-", "B": "-...", "C": "-.-.", "D": "-..", "E": ".", "F": "..-.", "G": "--.", "H": "....",
    "I": "..", "J": ".---", "K": "-.-", "L": ".-..", "M": "--", "N": "-.", "O": "---", "P": ".--.",
    "Q": "--.-", "R": ".-.", "S": "...", "T": "-", "U": "..-", "V": "...-", "W": ".--", "X": "-..-",
    "Y": "-.--", "Z": "--..", "0": "-----", "1": ".----", "2": "..---", "3": "...--", "4": "....-",
    "5": ".....", "6": "-....", "7": "--...", "8": "---..", "9": "----.", "?": "..--..", "/": "-..-.",
}
WORDS = ["CQ", "DE", "TEST", "PARIS", "QRZ?", "73", "RST", "599", "NAME", "QTH", "WX", "RIG", "ANT", "K",
         "TU", "FB", "OM", "HR", "ES", "5NN", "BK", "R", "GE", "GM", "DX", "SOTA", "POTA", "W1AW", "DL2ABC"]


def key(text, wpm, pitch, lead):
    """Samples of `text` keyed at `wpm` after `lead` seconds of silence, and
    (character, end of its last tone in seconds) for each character."""
    unit = 1.2 / wpm
    ramp = int(0.005 * RATE)
    marks = []
    ends = []
    t = lead
    for w, word in enumerate(text.split()):
        if w:
            t += 4 * unit  # 3 after the letter already, 7 in all
        for c, ch in enumerate(word):
            if c:
                t += 2 * unit  # 1 after the element already, 3 in all
            for e, el in enumerate(CODE[ch]):
                if e:
                    t += unit
                length = unit if el == "." else 3 * unit
                marks.append((t, t + length))
                t += length
            ends.append((ch, t))
    n = int((t + 1) * RATE)
    out = np.zeros(n)
    shape = 0.5 - 0.5 * np.cos(np.pi * np.arange(ramp) / ramp)
    for a, b in marks:
        i, j = int(a * RATE), int(b * RATE)
        env = np.ones(j - i)
        env[:ramp] = shape
        env[-ramp:] = shape[::-1]
        out[i:j] = env * np.sin(2 * np.pi * pitch * np.arange(i, j) / RATE)
    return out, ends


def run(tool, wpm, seconds, snr, pitch, seed):
    rng = random.Random(seed)
    words = []
    while len(" ".join(words)) * 1.2 / wpm * 10 < seconds:  # about 10 units a character
        words.append(rng.choice(WORDS))
    text = " ".join(words)
    lead = 2.0
    tone, ends = key(text, wpm, pitch, lead)
    tone = np.concatenate([tone, np.zeros(3 * RATE)])
    amplitude = 8000.0
    # Tone power A^2/2 over the noise in 2500 Hz of the 4000 Hz band.
    sigma = np.sqrt(amplitude ** 2 / 2 / 10 ** (snr / 10) * 4000 / 2500)
    noise = np.random.default_rng(seed).normal(0, sigma, len(tone))
    samples = np.clip(amplitude * tone + noise, -32768, 32767).astype("<i2").tobytes()

    proc = subprocess.Popen([tool, "decode", "--raw", str(RATE), "--json", "-"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, bufsize=0)
    arrivals = []

    def reader():
        for line in proc.stdout:
            arrivals.append((time.monotonic(), json.loads(line)))

    thread = threading.Thread(target=reader)
    thread.start()
    block = 160 * 2  # 20 ms
    t0 = time.monotonic()
    for at in range(0, len(samples), block):
        delay = t0 + at / 2 / RATE - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        proc.stdin.write(samples[at:at + block])
    proc.stdin.close()
    thread.join()
    proc.wait()

    used = set()
    latencies = []
    decoded = ""
    for wall, event in arrivals:
        if event.get("type") != "text":
            continue
        decoded += event["text"]
        if event["text"] == " ":
            continue
        best = None
        for k, (ch, end) in enumerate(ends):
            if k not in used and ch == event["text"] and abs(end - event["time"]) < 0.3:
                if best is None or abs(end - event["time"]) < abs(ends[best][1] - event["time"]):
                    best = k
        if best is not None:
            used.add(best)
            latencies.append(wall - (t0 + ends[best][1]))
    lat = np.array(latencies) if latencies else np.array([float("nan")])
    print("%2d WPM, +%g dB in 2500 Hz, %4.0f s: %4d of %4d characters matched; latency p50 %.2f s, p95 %.2f s, "
          "max %.2f s" % (wpm, snr, len(tone) / RATE, len(latencies), len(ends), np.percentile(lat, 50),
                           np.percentile(lat, 95), lat.max()))
    if decoded.replace(" ", "") != text.replace(" ", ""):
        print("   sent:    %s\n   decoded: %s" % (text[:120], decoded.strip()[:120]))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("--wpm", default="12,20,40")
    parser.add_argument("--seconds", type=float, default=90)
    parser.add_argument("--snr", type=float, default=10)
    parser.add_argument("--pitch", type=float, default=700)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    for wpm in [int(w) for w in args.wpm.split(",")]:
        run(args.tool, wpm, args.seconds, args.snr, args.pitch, args.seed)


if __name__ == "__main__":
    main()
