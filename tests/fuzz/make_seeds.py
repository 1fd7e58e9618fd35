#!/usr/bin/env python3
"""Writes the seed corpora for the fuzz harnesses.

usage: make_seeds.py TOLVANE_TOOL CORPUS_DIR

decode/: files keyed by the tool at several speeds, and the odd and hostile
files the loader must refuse (each named for the reason it gives).
keyer/: two bytes choosing the unit, then a text.
"""
import os
import struct
import subprocess
import sys
import tempfile


def chunk(cid, body, declared=None):
    return cid + struct.pack("<I", len(body) if declared is None else declared) + body


def fmt(tag=1, channels=1, rate=8000, bits=16):
    block = channels * bits // 8
    return struct.pack("<HHIIHH", tag, channels, rate, (rate * block) & 0xFFFFFFFF, block, bits)


def riff(chunks, form=b"WAVE"):
    body = form + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def samples(values):
    return struct.pack("<%dh" % len(values), *values)


def main():
    tool, out = sys.argv[1], sys.argv[2]
    decode_dir = os.path.join(out, "decode")
    keyer_dir = os.path.join(out, "keyer")
    os.makedirs(decode_dir, exist_ok=True)
    os.makedirs(keyer_dir, exist_ok=True)

    with tempfile.TemporaryDirectory() as tmp:
        keyed = [("E", 25), ("SOS", 25), ("A B", 25), ("PARIS", 30), ("73", 40), ("T", 60), (" A", 25), ("?", 25)]
        for text, unit in keyed:
            path = os.path.join(tmp, "k.wav")
            subprocess.run([tool, "encode", "--unit-ms", str(unit), text, path], check=True)
            name = "keyed-" + "".join(c if c.isalnum() else "_" for c in text) + "-%dms.wav" % unit
            with open(path, "rb") as f, open(os.path.join(decode_dir, name), "wb") as g:
                g.write(f.read())

    data = chunk(b"data", samples([1000, -2000, 32767, -32768, 0, 5]))
    good_fmt = chunk(b"fmt ", fmt())
    bad = {
        "empty": b"",
        "riff-only": b"RIFF",
        "wrong-form": riff([good_fmt, data], b"AVI "),
        "fmt-size-0": riff([chunk(b"fmt ", b""), data]),
        "fmt-size-15": riff([chunk(b"fmt ", b"\0" * 15), data]),
        "fmt-size-18": riff([chunk(b"fmt ", fmt() + b"\0\0"), data]),
        "fmt-size-ffffffff": riff([chunk(b"fmt ", fmt(), 0xFFFFFFFF), data]),
        "fmt-fields-cut": riff([chunk(b"fmt ", fmt())])[:12 + 8 + 9],
        "tag-0": riff([chunk(b"fmt ", fmt(tag=0)), data]),
        "tag-float": riff([chunk(b"fmt ", fmt(tag=3, bits=32)), data]),
        "tag-extensible": riff([chunk(b"fmt ", fmt(tag=0xFFFE)), data]),
        "channels-0": riff([chunk(b"fmt ", fmt(channels=0)), data]),
        "channels-2": riff([chunk(b"fmt ", fmt(channels=2)), data]),
        "rate-0": riff([chunk(b"fmt ", fmt(rate=0)), data]),
        "rate-7999": riff([chunk(b"fmt ", fmt(rate=7999)), data]),
        "rate-8001": riff([chunk(b"fmt ", fmt(rate=8001)), data]),
        "bits-8": riff([chunk(b"fmt ", fmt(bits=8)), data]),
        "bits-24": riff([chunk(b"fmt ", fmt(bits=24)), data]),
        "data-0": riff([good_fmt, chunk(b"data", b"")]),
        "data-1": riff([good_fmt, chunk(b"data", b"\x01")]),
        "data-7": riff([good_fmt, chunk(b"data", b"\x01" * 7)]),
        "data-one-byte-more": riff([good_fmt, chunk(b"data", samples([1, 2]), 5)]),
        "data-ffffffff": riff([good_fmt, chunk(b"data", samples([1, 2]), 0xFFFFFFFF)]),
        "data-before-fmt": riff([data, good_fmt]),
        "list-between": riff([good_fmt, chunk(b"LIST", b"INFOISFT\x06\0\0\0sox\0\0\0"), data]),
        "unknown-7fffffff": riff([good_fmt, chunk(b"junk", b"", 0x7FFFFFFF), data]),
        "unknown-80000000": riff([good_fmt, chunk(b"junk", b"", 0x80000000), data]),
        "unknown-ffffffff": riff([good_fmt, chunk(b"junk", b"", 0xFFFFFFFF), data]),
        "tiny-chunks": riff([good_fmt] + [chunk(b"tiny", b"x")] * 200 + [data]),
        "all-min": riff([good_fmt, chunk(b"data", samples([-32768] * 600))]),
        "single-sample": riff([good_fmt, chunk(b"data", samples([1234]))]),
        "silence": riff([good_fmt, chunk(b"data", samples([0] * 800))]),
        "eight-dots": riff([good_fmt, chunk(b"data", samples(([9000, -9000] * 100 + [0] * 200) * 8))]),
    }
    for i in range(1, 8):
        bad["chunk-header-cut-%d" % i] = riff([good_fmt])  + b"data\x10\0\0\0"[:i]
    for name, content in bad.items():
        with open(os.path.join(decode_dir, name + ".wav"), "wb") as f:
            f.write(content)

    texts = [(8, b"SOS"), (64, b"HELLO WORLD"), (1, b"a b  c"), (0, b"E"), (0xFF01, b"0"),
             (32, bytes(range(256))), (16, "caf\u00e9 ?".encode())]
    for i, (selector, text) in enumerate(texts):
        with open(os.path.join(keyer_dir, "seed-%d" % i), "wb") as f:
            f.write(struct.pack("<H", selector) + text)


if __name__ == "__main__":
    main()
