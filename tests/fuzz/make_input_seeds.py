#!/usr/bin/env python3
"""Writes the hostile files of tests/data/hostile and the seed corpus of the
tool's input harness (tests/fuzz/corpus/input).

usage: make_input_seeds.py REPOSITORY [--seeds-only]

The hostile files are made here byte by byte (a FLAC of CONSTANT subframes,
Wave64 and CAF with 64-bit sizes, AIFF with odd 80-bit rates, truncated and
NaN-holding files, the placeholder sizes programs write to pipes), so they
need nothing but Python. The seeds are the formats the tool reads, small:
the ones Python can write, plus FLAC, Ogg, Opus, MP3 and others through
sndfile-convert and sox when those are installed. Each seed is one mode
byte (see input_fuzzer.cpp) and then the file.
"""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile

MORSE = {"E": ".", "T": "-", "S": "...", "O": "---", "A": ".-", "N": "-.", "R": ".-.",
         "I": "..", "P": ".--.", "C": "-.-.", "Q": "--.-", "D": "-..", "7": "--...", "3": "...--"}


def keyed(text, rate, unit_ms=40, pitch=600.0, level=0.5):
    """Float samples of `text` keyed at `unit_ms`, as the keyer times it."""
    unit = int(rate * unit_ms / 1000)
    out = []
    phase = 0.0
    step = 2 * math.pi * pitch / rate

    def tone(units):
        nonlocal phase
        for _ in range(units * unit):
            out.append(level * math.sin(phase))
            phase += step

    def gap(units):
        out.extend([0.0] * (units * unit))

    for c in text:
        if c == " ":
            gap(7)
            continue
        for s in MORSE[c]:
            tone(1 if s == "." else 3)
            gap(1)
        gap(2)
    return out


def pcm16(values, big=False):
    fmt = (">" if big else "<") + "%dh" % len(values)
    return struct.pack(fmt, *[max(-32768, min(32767, int(round(v * 32767)))) for v in values])


def riff_chunk(cid, body, declared=None):
    size = len(body) if declared is None else declared
    return cid + struct.pack("<I", size) + body + (b"\0" if len(body) % 2 else b"")


def wav(body_chunks, riff_size=None):
    body = b"WAVE" + b"".join(body_chunks)
    return b"RIFF" + struct.pack("<I", len(body) if riff_size is None else riff_size) + body


def fmt_chunk(tag, channels, rate, bits):
    block = channels * bits // 8
    return riff_chunk(b"fmt ", struct.pack("<HHIIHH", tag, channels, rate, rate * block, block, bits))


def wav_pcm16(samples, rate, data_size=None):
    return wav([fmt_chunk(1, 1, rate, 16), riff_chunk(b"data", pcm16(samples), data_size)])


def wav_float(values, rate):
    return wav([fmt_chunk(3, 1, rate, 32), riff_chunk(b"data", struct.pack("<%df" % len(values), *values))])


W64_RIFF = bytes.fromhex("726966662e91cf11a5d628db04c10000")


def w64_guid(tag):
    return tag + bytes.fromhex("f3acd3118cd100c04f8edb8a")


def w64(samples, rate, data_size=None):
    def chunk(tag, body, declared=None):
        size = 24 + len(body) if declared is None else declared
        pad = b"\0" * (-len(body) % 8)
        return w64_guid(tag) + struct.pack("<Q", size) + body + pad

    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    body = w64_guid(b"wave") + chunk(b"fmt ", fmt) + chunk(b"data", pcm16(samples), data_size)
    return W64_RIFF + struct.pack("<Q", 24 + len(body)) + body


def extended(rate):
    """The 80-bit IEEE extended float of AIFF's COMM chunk."""
    if isinstance(rate, bytes):
        return rate
    if rate == 0:
        return b"\0" * 10
    exponent = int(math.floor(math.log2(rate)))
    mantissa = int(rate * 2 ** (63 - exponent))
    return struct.pack(">HQ", 16383 + exponent, mantissa)


def aiff(samples, rate, frames=None, channels=1):
    comm = struct.pack(">hIh", channels, len(samples) // channels if frames is None else frames, 16) + extended(rate)
    ssnd = struct.pack(">II", 0, 0) + pcm16(samples, big=True)
    body = b"AIFF" + b"COMM" + struct.pack(">I", len(comm)) + comm + b"SSND" + struct.pack(">I", len(ssnd)) + ssnd
    return b"FORM" + struct.pack(">I", len(body)) + body


def caf(samples, rate, data_size=None):
    desc = struct.pack(">d4sIIIII", float(rate), b"lpcm", 2, 2, 1, 1, 16)  # flags 2: little-endian
    data = struct.pack(">I", 0) + pcm16(samples)
    size = len(data) if data_size is None else data_size
    return (b"caff" + struct.pack(">HH", 1, 0) + b"desc" + struct.pack(">q", len(desc)) + desc +
            b"data" + struct.pack(">q", size) + data)


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def utf8_number(n):
    """FLAC's UTF-8-like frame number."""
    if n < 0x80:
        return bytes([n])
    if n < 0x800:
        return bytes([0xC0 | n >> 6, 0x80 | n & 0x3F])
    return bytes([0xE0 | n >> 12, 0x80 | (n >> 6) & 0x3F, 0x80 | n & 0x3F])


def flac_constant(rate, frames, value=10000, block=65535, total=None):
    """FLAC whose every frame is one CONSTANT subframe of `block` samples:
    a few bytes each, however many samples they stand for."""
    info = bytearray()
    bits = (block << 16 | block) << 32  # min and max block size; frame sizes unknown
    info += struct.pack(">Q", bits)[0:4] + b"\0" * 6
    total = frames * block if total is None else total
    packed = rate << 44 | 0 << 41 | 15 << 36 | total  # mono, 16 bits
    info += struct.pack(">Q", packed) + b"\0" * 16
    out = bytearray(b"fLaC" + bytes([0x80, 0, 0, 34]) + info)
    for n in range(frames):
        header = bytearray([0xFF, 0xF8, 0x70, 0x08])  # block size in 16 bits; rate from STREAMINFO; mono 16-bit
        header += utf8_number(n) + struct.pack(">H", block - 1)
        header.append(crc8(header))
        frame = header + bytes([0x00]) + struct.pack(">h", value)  # CONSTANT, no wasted bits
        out += frame + struct.pack(">H", crc16(frame))
    return bytes(out)


def run(args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def hostile_files(repo):
    """The files of issue "Hostile input, end to end", as name -> bytes."""
    files = {}
    text8k = keyed("TEST", 8000)
    text44k = keyed("TEST", 44100, unit_ms=30)
    files["flac-1hz-constant-65535.flac"] = flac_constant(1, 1)
    files["flac-1hz-constant-bomb.flac"] = flac_constant(1, 16)
    files["flac-1000hz-constant-bomb.flac"] = flac_constant(1000, 16)
    files["flac-8000hz-10h-dc.flac"] = flac_constant(8000, 4395)
    files["caf-huge-data-size.caf"] = caf(text8k[:400], 8000, data_size=0x7FFFFFFFFFFFFFF0)
    for name, rate in [("inf", bytes.fromhex("7fff8000000000000000")), ("nan", bytes.fromhex("7fffc000000000000000")),
                       ("zero", 0), ("denormal", bytes.fromhex("00000000000000000001")),
                       ("2e30", 2.0 ** 100), ("negative", bytes.fromhex("c00bfa00000000000000")),
                       ("999hz", 999), ("half-hz", 0.5), ("1ghz", 1e9)]:
        files["aiff-rate-%s.aiff" % name] = aiff(text8k[:2000], rate)
    files["aiff-rate-8000hz-control.aiff"] = aiff(text8k, 8000)
    cut = lambda b: b[:len(b) * 6 // 10]
    files["wav-44k1-truncated.wav"] = cut(wav_pcm16(text44k, 44100))
    files["aiff-44k1-truncated.aiff"] = cut(aiff(text44k, 44100))
    files["w64-44k1-truncated.w64"] = cut(w64(text44k, 44100))
    files["caf-44k1-truncated.caf"] = cut(caf(text44k, 44100))
    with open(os.path.join(repo, "tests/data/ebook2cw-30wpm-500hz.mp3"), "rb") as f:
        files["mp3-truncated.mp3"] = cut(f.read())
    nan = list(text8k)
    for i in range(0, len(nan), 997):
        nan[i] = float("nan")
    inf = list(text8k)
    for i in range(0, len(inf), 1499):
        inf[i] = float("inf") if i % 2 else float("-inf")
    files["wav-float-nan.wav"] = wav_float(nan, 8000)
    files["wav-float-inf.wav"] = wav_float(inf, 8000)
    files["wav-float-all-nan.wav"] = wav_float([float("nan")] * 4000, 8000)
    files["wav-float-huge.wav"] = wav_float([v * 1e30 for v in text8k], 8000)
    # What programs writing WAV to a pipe put in the header.
    files["wav-8k-data-size-0.wav"] = wav_pcm16(text8k, 8000, data_size=0)
    files["wav-44k1-data-size-0.wav"] = wav_pcm16(text44k, 44100, data_size=0)
    files["wav-44k1-sox-pipe.wav"] = wav_pcm16(text44k, 44100, data_size=0x7FFFF000)
    return files


def seed_files(tmp):
    """Small files in the formats the tool reads, as name -> bytes."""
    short = keyed("EE", 8000, unit_ms=10)
    seeds = {
        "wav-8k-pcm16.wav": wav_pcm16(short, 8000),
        "wav-8k-float.wav": wav_float(short, 8000),
        "wav-8k-data-size-0.wav": wav_pcm16(short, 8000, data_size=0),
        "w64-8k.w64": w64(short, 8000),
        "aiff-8k.aiff": aiff(short, 8000),
        "caf-8k.caf": caf(short, 8000),
        "caf-8k-data-size-unknown.caf": caf(short, 8000, data_size=-1),
        "flac-1000hz-constant.flac": flac_constant(1000, 2, block=300),
    }
    wav = os.path.join(tmp, "seed.wav")
    with open(wav, "wb") as f:
        f.write(wav_pcm16(keyed("E", 8000, unit_ms=10), 8000))
    conversions = []
    if shutil.which("sndfile-convert"):
        conversions += [("flac", ["sndfile-convert", wav, "{out}"]),
                        ("ogg", ["sndfile-convert", wav, "{out}"]),
                        ("opus", ["sndfile-convert", wav, "{out}"]),
                        ("au", ["sndfile-convert", wav, "{out}"]),
                        ("rf64", ["sndfile-convert", wav, "{out}"]),
                        ("voc", ["sndfile-convert", wav, "{out}"]),
                        ("ima.wav", ["sndfile-convert", "-ima-adpcm", wav, "{out}"]),
                        ("gsm.wav", ["sndfile-convert", "-gsm610", wav, "{out}"]),
                        ("ulaw.wav", ["sndfile-convert", "-ulaw", wav, "{out}"])]
    if shutil.which("sox"):
        conversions += [("mp3", ["sox", wav, "-r", "22050", "{out}"]),
                        ("44k1-stereo-24bit.wav", ["sox", wav, "-r", "44100", "-c", "2", "-b", "24", "{out}"]),
                        ("u8.wav", ["sox", wav, "-e", "unsigned-integer", "-b", "8", "{out}"]),
                        ("aifc", ["sox", wav, "{out}"])]
    for suffix, command in conversions:
        out = os.path.join(tmp, "seed." + suffix)
        try:
            run([out if part == "{out}" else part for part in command])
        except (subprocess.CalledProcessError, OSError):
            continue
        with open(out, "rb") as f:
            seeds["converted-" + suffix.replace(".", "-")] = f.read()
    return seeds


def main():
    repo = sys.argv[1]
    seeds_only = "--seeds-only" in sys.argv
    hostile_dir = os.path.join(repo, "tests/data/hostile")
    corpus_dir = os.path.join(repo, "tests/fuzz/corpus/input")
    os.makedirs(corpus_dir, exist_ok=True)
    hostile = hostile_files(repo)
    if not seeds_only:
        for name, content in hostile.items():
            with open(os.path.join(hostile_dir, name), "wb") as f:
                f.write(content)
    with tempfile.TemporaryDirectory() as tmp:
        seeds = seed_files(tmp)
    with open(os.path.join(hostile_dir, "w64-huge-data-size.w64"), "rb") as f:
        hostile["w64-huge-data-size.w64"] = f.read()
    # The mode byte (see input_fuzzer.cpp): a file, and a stream giving 512
    # bytes a read.
    for name, content in list(seeds.items()) + [("hostile-" + n, c) for n, c in hostile.items() if len(c) <= 32000]:
        for mode in (0x00, 0x01 | 3 << 3):
            with open(os.path.join(corpus_dir, "%s-%02x" % (name, mode)), "wb") as f:
                f.write(bytes([mode]) + content)
    # Headerless: signed 16-bit at 8000 Hz; unsigned 8-bit I/Q pairs at
    # 2.4 MHz, as rtl_sdr writes them, as a stream at the input's rate.
    stereo = bytes(b for i in range(2048) for b in (128 + (i % 64), 128 - (i % 64)))
    for mode, param, raw in [(0x40, 0x00, pcm16(keyed("E", 8000, unit_ms=10))), (0x47, 0x0D, stereo)]:
        with open(os.path.join(corpus_dir, "raw-%02x-%02x" % (mode, param)), "wb") as f:
            f.write(bytes([mode, param]) + raw)


if __name__ == "__main__":
    main()
