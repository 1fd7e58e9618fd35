#!/usr/bin/env python3
"""What the basic recogniser reads and what it does not, beside the
robust recogniser and multimon-ng, on the same files: Farnsworth spacing from cw and ebook2cw,
white noise, hand-keyed jitter and fading from the test-signal
synthesiser (`accuracy --write`).

usage: bench/limits.py TOLVANE_TOOL ACCURACY_TOOL
Prints a Markdown table of character error rates (edit distance over the
text's length, after upper-casing and collapsing spaces).
"""
import os
import subprocess
import sys
import tempfile

TEXT = "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 1234567890"


def normal(text):
    return " ".join(text.upper().split())


def cer(reference, hypothesis):
    a, b = normal(reference), normal(hypothesis)
    row = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        prev, row[0] = row[0], i
        for j in range(1, len(b) + 1):
            cur = min(row[j] + 1, row[j - 1] + 1, prev + (a[i - 1] != b[j - 1]))
            prev, row[j] = row[j], cur
    return row[len(b)] / max(1, len(a))


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def to8k(source, target):
    run(["sox", source, "-r", "8000", "-c", "1", "-b", "16", "-e", "signed-integer", target, "pad", "0", "1"],
        check=True)


def rates(tool, path):
    ours = run([tool, "decode", "--basic", path]).stdout
    robust = run([tool, "decode", path]).stdout
    theirs = run(["multimon-ng", "-t", "wav", "-a", "MORSE_CW", "-q", path]).stdout
    return cer(TEXT, ours), cer(TEXT, robust), cer(TEXT, theirs)


def main():
    tool, accuracy = sys.argv[1], sys.argv[2]
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "x.wav")
        with open(os.path.join(tmp, "t.txt"), "w") as f:
            f.write(TEXT + "\n")
        for eff in (15, 10, 5):
            run(["ebook2cw", "-w", "20", "-e", str(eff), "-O", "-o", "f", "t.txt"], cwd=tmp, check=True)
            to8k(os.path.join(tmp, "f0000.ogg"), wav)
            rows.append(("Farnsworth 20/%d WPM (ebook2cw -e %d)" % (eff, eff),) + rates(tool, wav))
        for gap in (2, 5):
            raw = os.path.join(tmp, "cw.wav")
            run(["cw", "-s", "a", "-d", "file:FILE=%s,FORMAT=wav" % raw, "-w", "20", "-g", str(gap), "-e"],
                input=TEXT + "\n", check=True)
            to8k(raw, wav)
            rows.append(("extra letter gaps (cw -w 20 -g %d)" % gap,) + rates(tool, wav))
        synth = [accuracy, "--write", wav, "--trail", "1", TEXT]
        for snr in (20, 15, 10, 6, 3, 0):
            run(synth[:-1] + ["--snr", str(snr), TEXT], check=True)
            rows.append(("white noise, SNR %+d dB in 2500 Hz" % snr,) + rates(tool, wav))
        for jitter in (0.1, 0.25):
            run(synth[:-1] + ["--jitter", str(jitter), TEXT], check=True)
            rows.append(("hand keying, timing jitter +-%d %%" % (jitter * 100),) + rates(tool, wav))
        run(synth[:-1] + ["--qsb", "0.1", TEXT], check=True)
        rows.append(("slow fading to 10 % amplitude",) + rates(tool, wav))
    print("| recording (20 WPM, 600 Hz) | tolvane decode --basic | tolvane decode | multimon-ng |")
    print("|---|---|---|---|")
    for name, ours, robust, theirs in rows:
        print("| %s | %.0f %% | %.0f %% | %.0f %% |" % (name, 100 * ours, 100 * robust, 100 * theirs))


if __name__ == "__main__":
    main()
