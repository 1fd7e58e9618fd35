"""Interop with software nobody here wrote.

Our files read by others: Python's wave module, sox and multimon-ng. Files
made by others read by us: cw, ebook2cw, sox, Python's wave and libsndfile,
regenerated live and decoded through the tool and through Wave2Morse.

usage: interop_test.py TOLVANE_TOOL LIBTOLVANE SOURCE_DIR
Exits 77 (skipped) when a peer program is missing, or 1 when
TOLVANE_REQUIRE_PEERS is set (CMake's TOLVANE_REQUIRE_ALL sets it).
"""
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import wave

TOOL, LIBRARY, SOURCE = sys.argv[1:4]
del sys.argv[1:4]
PEERS = ["sox", "multimon-ng", "cw", "ebook2cw", "sndfile-metadata-set"]

# The alphabet, written out again here so the sample counts are checked
# against an independent reading of the timing rules.
CODES = {
    "A": ".-", "B": "-...", "C": "-.-.", "D": "-..", "E": ".", "F": "..-.", "G": "--.",
    "H": "....", "I": "..", "J": ".---", "K": "-.-", "L": ".-..", "M": "--", "N": "-.",
    "O": "---", "P": ".--.", "Q": "--.-", "R": ".-.", "S": "...", "T": "-", "U": "..-",
    "V": "...-", "W": ".--", "X": "-..-", "Y": "-.--", "Z": "--..", "0": "-----",
    "1": ".----", "2": "..---", "3": "...--", "4": "....-", "5": ".....", "6": "-....",
    "7": "--...", "8": "---..", "9": "----.", ".": ".-.-.-", ",": "--..--", "?": "..--..",
    "'": ".----.", "!": "-.-.--", "/": "-..-.", "(": "-.--.", ")": "-.--.-", "&": ".-...",
    ":": "---...", ";": "-.-.-.", "=": "-...-", "+": ".-.-.", "-": "-....-", "_": "..--.-",
    '"': ".-..-.", "$": "...-..-", "@": ".--.-.",
}

TEXTS = [
    "SOS", "PARIS PARIS", "HELLO WORLD", "0123456789",
    "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG", "WHAT? YES.", "A,B/C=D+E",
    "73 DE W1AW K", "(OK) 'HI' \"YO\"", "RST 599 @ 14:05;", "$5 & -_ !", "cq cq de tolvane",
]


def expected_samples(text, unit):
    units = 0
    for c in text.upper() if text.isascii() else text:
        if c == " ":
            units += 7
        elif c in CODES:
            units += sum(3 if s == "-" else 1 for s in CODES[c]) + len(CODES[c]) + 2
    return units * unit


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, check=True, **kw)


def normal(text):
    """Upper case, runs of spaces collapsed, no spaces at the ends."""
    return " ".join(text.upper().split())


class Peers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lib = ctypes.CDLL(LIBRARY)
        cls.lib.Morse2WAV.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
        cls.lib.Morse2WAV.restype = ctypes.c_int32
        cls.lib.Wave2Morse.argtypes = [ctypes.c_wchar_p]
        cls.lib.Wave2Morse.restype = ctypes.c_wchar_p

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def keyed(self, text, unit_ms=60):
        path = self.path("keyed.wav")
        if unit_ms == 60 and len(text.encode()) < 200:
            self.assertEqual(self.lib.Morse2WAV(text, path), 999)
        else:
            run([TOOL, "encode", "--unit-ms", str(unit_ms), text, path])
        return path

    def decode_both(self, path):
        # --basic is Wave2Morse's recogniser, to the byte; the default one
        # reads the same text, without the trailing space.
        tool = run([TOOL, "decode", "--basic", path]).stdout.rstrip("\n")
        library = self.lib.Wave2Morse(path)
        self.assertEqual(tool, library, path)
        robust = run([TOOL, "decode", path]).stdout.rstrip("\n")
        self.assertEqual(normal(robust), normal(tool), path)
        return tool

    # --- Our files, read by others --------------------------------------

    def test_python_wave_reads_keyed_files(self):
        for unit_ms in (60, 25, 200):
            for text in TEXTS:
                with wave.open(self.keyed(text, unit_ms), "rb") as w:
                    self.assertEqual(w.getnchannels(), 1)
                    self.assertEqual(w.getsampwidth(), 2)
                    self.assertEqual(w.getframerate(), 8000)
                    self.assertEqual(w.getcomptype(), "NONE")
                    self.assertEqual(w.getnframes(), expected_samples(text, unit_ms * 8), text)

    def test_sox_reads_keyed_files(self):
        for text in TEXTS:
            path = self.keyed(text)
            info = {flag: run(["sox", "--i", flag, path]).stdout.strip()
                    for flag in ("-r", "-c", "-b", "-e", "-s")}
            self.assertEqual(info["-r"], "8000")
            self.assertEqual(info["-c"], "1")
            self.assertEqual(info["-b"], "16")
            self.assertEqual(info["-e"], "Signed Integer PCM")
            self.assertEqual(int(info["-s"]), expected_samples(text, 480))
            stat = run(["sox", path, "-n", "stat"])
            self.assertNotIn("WARN", stat.stderr, text)
            self.assertIn("Samples read:", stat.stderr)

    def test_multimon_ng_decodes_keyed_files(self):
        for text in TEXTS:
            padded = self.path("padded.wav")
            # multimon-ng wants about five units of silence after the end.
            run(["sox", self.keyed(text), padded, "pad", "0", "1"])
            out = run(["multimon-ng", "-t", "wav", "-a", "MORSE_CW", "-q", padded]).stdout
            self.assertEqual(normal(out), normal(text))

    # --- Files made by others, read by us -------------------------------

    def to8k(self, source, name):
        target = self.path(name)
        run(["sox", source, "-r", "8000", "-c", "1", "-b", "16", "-e", "signed-integer", target])
        return target

    def test_cw_recordings_decode(self):
        text = "CQ DE W1AW 73"
        for wpm in (12, 20, 30):
            for tone in (400, 600, 800, 1000):
                raw = self.path("cw.wav")
                run(["cw", "-s", "a", "-d", "file:FILE=%s,FORMAT=wav" % raw, "-w", str(wpm),
                     "-t", str(tone), "-e"], input=text + "\n")
                self.assertEqual(run(["sox", "--i", "-r", raw]).stdout.strip(), "44100")
                decoded = self.decode_both(self.to8k(raw, "cw8k.wav"))
                self.assertEqual(normal(decoded), text, (wpm, tone))

    def test_ebook2cw_recordings_decode(self):
        text = "THE QUICK BROWN FOX 1234567890"
        with open(self.path("book.txt"), "w") as f:
            f.write(text + "\n")
        for wpm, tone, ogg in ((12, 400, True), (20, 600, False), (30, 1000, True), (25, 800, False)):
            args = ["ebook2cw", "-w", str(wpm), "-f", str(tone), "-o", "book"]
            run(args + (["-O"] if ogg else []) + ["book.txt"], cwd=self.dir)
            source = self.path("book0000." + ("ogg" if ogg else "mp3"))
            decoded = self.decode_both(self.to8k(source, "book8k.wav"))
            self.assertEqual(normal(decoded), text, (wpm, tone, ogg))
            os.remove(source)

    def test_regenerated_fixtures_load_or_are_refused_as_listed(self):
        script = os.path.join(SOURCE, "tests", "data", "make_fixtures.sh")
        run([script, TOOL, self.dir])
        with open(os.path.join(SOURCE, "tests", "data", "fixtures.tsv")) as f:
            rows = [line.rstrip("\n").split("\t") for line in f if line[0] != "#"]
        self.assertGreaterEqual(len(rows), 12)
        for name, kind, expected, tool_text in rows:
            path = self.path(name)
            result = subprocess.run([TOOL, "decode", "--basic", path], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, name)
            self.assertEqual(result.stdout, tool_text + "\n", name)
            self.assertEqual(self.lib.Wave2Morse(path), expected if kind == "text" else "ERROR", name)


if __name__ == "__main__":
    missing = [p for p in PEERS if shutil.which(p) is None]
    if missing:
        if os.environ.get("TOLVANE_REQUIRE_PEERS", "") not in ("", "0"):
            print("FAIL: missing " + ", ".join(missing) + " (TOLVANE_REQUIRE_PEERS is set)")
            sys.exit(1)
        print("skipped: missing " + ", ".join(missing))
        sys.exit(77)
    unittest.main()
