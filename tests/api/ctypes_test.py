"""Calls the shared library from Python through ctypes, as a host would."""
import ctypes
import os
import sys
import tempfile
import unittest

LIBRARY = sys.argv.pop(1)


class FromPython(unittest.TestCase):
    def setUp(self):
        self.lib = ctypes.CDLL(LIBRARY)
        self.lib.Morse2WAV.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
        self.lib.Morse2WAV.restype = ctypes.c_int32
        self.lib.Wave2Morse.argtypes = [ctypes.c_wchar_p]
        self.lib.Wave2Morse.restype = ctypes.c_wchar_p
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def test_status_and_sizes(self):
        cases = [("SOS", 999, 28844), ("", 999, 44), ("x" * 200, 2, None)]
        for text, status, size in cases:
            path = os.path.join(self.dir.name, "out.wav")
            if os.path.exists(path):
                os.remove(path)
            self.assertEqual(self.lib.Morse2WAV(text, path), status, text)
            if size is None:
                self.assertFalse(os.path.exists(path))
            else:
                self.assertEqual(os.path.getsize(path), size)

    def test_null_arguments_fail(self):
        self.assertEqual(self.lib.Morse2WAV(None, os.path.join(self.dir.name, "n.wav")), 2)
        self.assertEqual(self.lib.Morse2WAV("SOS", None), 2)

    def test_round_trips(self):
        cases = [("SOS", "SOS"), ("HELLO WORLD", "HELLO WORLD"), ("hello  world", "HELLO WORLD"),
                 ("E", "E"), ("A", "A"), ("I", "I"), ("M", "M"), ("N", "N"), ("EE", "EE"),
                 ("A ", "A "), ("ET", "ET"), ("TE", "TE"), (" A", " A"), ("A B", "A B"),
                 ("A  B", "A B"), ("SOS ", "SOS "), ("PARIS", "PARIS"), ("73", "73"),
                 ("TEST", "TEST"), ("MM", "MM"), ("Q", "Q"), ("O", "O"), ("ERROR", "ERROR"),
                 ("T", "E"), ("TT", "I"), ("TTT", "S"), ("TTTT", "H")]
        path = os.path.join(self.dir.name, "rt.wav")
        for keyed, decoded in cases:
            self.assertEqual(self.lib.Morse2WAV(keyed, path), 999)
            self.assertEqual(self.lib.Wave2Morse(path), decoded, keyed)

    def test_failure_answers_error(self):
        self.assertEqual(self.lib.Wave2Morse(os.path.join(self.dir.name, "none.wav")), "ERROR")


if __name__ == "__main__":
    unittest.main()
