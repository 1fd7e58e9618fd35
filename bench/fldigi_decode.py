#!/usr/bin/env python3
"""Decode a Morse (CW) WAV file with fldigi's CW modem, headless, and print
the text it decoded on one line.

usage: bench/fldigi_decode.py [--wpm N] [--pitch HZ] [--real-time] [-v] FILE.wav

Exit status: 0 with the text on standard output (an empty line when fldigi
decoded nothing); 77 when fldigi, Xvfb or xdotool is not installed; 1 with a
message on standard error on any other failure.

How it works. fldigi has no batch mode and no XML-RPC method or command-line
option that plays a file into its decoder; the one way in is the GUI menu
File > Audio > Playback. So the script:
  1. writes the audio as 16-bit mono PCM WAV with 0.5 s of silence before it
     (the file may start with the key down) and 1 s after it (so the decoder
     prints the last character), into a new temporary directory;
  2. writes a fresh fldigi configuration there (fldigi_def.xml: no sound card,
     "File I/O" audio, XML-RPC on a free local port, CW speed tracking on,
     fast detector attack; a macro file whose first macro is <HS:on>,
     fldigi's high-speed playback; no first-run wizard, since a
     configuration file exists) and
     an FLTK preference that selects FLTK's own file chooser, whose layout
     does not depend on whether GTK is installed;
  3. starts Xvfb on a free display (-displayfd) and fldigi with
     --config-dir and --home-dir in that directory;
  4. over XML-RPC selects the CW modem, sets the carrier to the pitch (given,
     or the strongest tone found by a Goertzel scan), turns AFC on and the
     squelch off, and clears the receive pane;
  5. with xdotool opens File > Audio > Playback, types the file name into the
     chooser, answers "No" to "Playback continuous loop?";
  6. once fldigi has the file open, runs the <HS:on> macro so fldigi reads
     the file as fast as it can decode instead of in real time, and waits
     until fldigi closes the file (it does so at the end) and the received
     text stops growing;
  7. collects the text with rx.get_data, asks fldigi to quit
     (fldigi.terminate), stops Xvfb and removes the directory, also on
     failure, Ctrl-C or SIGTERM.
Cleaning: control characters and line breaks become spaces; fldigi's
prosign notation is mapped back to the punctuation sent with the same code
(<AR> +, <AS> &, <BT> =, <KN> (); any other <..> prosign counts as one
unknown character '*'; runs of spaces collapse to one. Characters fldigi
prints for codes outside the ITU set (its Ä, Ü, ...) are kept.

Tested with fldigi 4.1.23 (Debian 12 package 4.1.23-1, fldigi --version:
"fldigi 4.1.23"), xvfb 21.1.7 and xdotool 3.20160805.
Time for a 30-second file: about 8 s on an idle two-core machine (3.5 s for
fldigi to start, 1.5 s of menu and dialog steps, 0.2 s for the file itself,
which fldigi reads at a few hundred times real time, 2 s for it to quit);
12 to 16 s when the machine is busy. --real-time plays the file at its own
pace instead: its length plus those 8 s.

Known limits:
  - Needs Xvfb and xdotool (Debian packages xvfb, xdotool) besides fldigi.
  - The GUI steps are keyed to fldigi 4.1's File menu (Folders, Macros,
    Config Scripts, Text Capture, Audio, Exit) and to the button layout of
    FLTK's choice dialog; another fldigi version may need them adjusted.
    Each step is checked, so a mismatch fails with a message, not a hang.
  - fldigi decodes one pitch at a time: a file with several signals yields
    the one nearest the carrier. Without --pitch the strongest tone between
    100 and 3500 Hz is taken.
  - Speed tracking starts at --wpm (default 20) and follows the sender only
    within fldigi's tracking range, set here to --wpm +/- max(5, wpm/2), or
    5..50 WPM without --wpm; sending outside it is misread. Tracking needs a
    few characters to move far from where it starts, so pass --wpm when the
    speed is known: 12 or 30 WPM files read without it lost their first word.
  - fldigi loses or garbles the first one or two characters of most files
    while its detector settles (here: "T CQ DE" for "CQ CQ DE", "TV" for
    "VVV"). A longer lead-in of silence or of faint noise did not change
    that; the fast attack set here helps at low levels.
  - Input: WAV files Python's wave module reads (8/16/24/32-bit integer
    PCM, any rate and channel count; channels are averaged); anything else
    is converted with sox when sox is installed.
"""

import argparse
import math
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import wave
import xmlrpc.client

EXIT_SKIP = 77
LEAD_SECONDS = 0.5
TAIL_SECONDS = 1.0
PLAYBACK_NAME = "in.wav"

# fldigi's own prosign notation, mapped back to the ITU punctuation that is
# keyed with the same code.
PROSIGNS = {"<AR>": "+", "<AS>": "&", "<BT>": "=", "<KN>": "("}


class Missing(Exception):
    """A required program is not installed (exit 77)."""


class Failure(Exception):
    """Anything else that went wrong (exit 1)."""


def clean(raw):
    """fldigi's received bytes -> one line of decoded text."""
    text = raw.decode("utf-8", errors="replace") if isinstance(raw, bytes) else raw
    for sign, char in PROSIGNS.items():
        text = text.replace(sign, char)
    text = re.sub(r"<[A-Z]{2,3}>", "*", text)
    text = "".join(" " if ord(c) < 32 or ord(c) == 127 else c for c in text)
    return " ".join(text.split())


# ---------------------------------------------------------------- audio


def read_pcm(path):
    """(mono samples as floats in [-1, 1], sample rate) of an integer PCM WAV."""
    with wave.open(path, "rb") as w:
        channels, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
        frames = w.readframes(w.getnframes())
    if width == 1:
        values = [b - 128 for b in frames]
        scale = 128.0
    elif width == 2:
        values = list(struct.unpack("<%dh" % (len(frames) // 2), frames))
        scale = 32768.0
    elif width == 3:
        values = [int.from_bytes(frames[i:i + 3], "little", signed=True) for i in range(0, len(frames) - 2, 3)]
        scale = 8388608.0
    elif width == 4:
        values = list(struct.unpack("<%di" % (len(frames) // 4), frames))
        scale = 2147483648.0
    else:
        raise wave.Error("unsupported sample width %d" % width)
    if channels == 1:
        return [v / scale for v in values], rate
    count = len(values) // channels
    mono = [sum(values[i * channels:(i + 1) * channels]) / (channels * scale) for i in range(count)]
    return mono, rate


def load_audio(path, tmp):
    """Mono samples and rate of any audio file: WAV directly, else via sox."""
    try:
        return read_pcm(path)
    except (wave.Error, EOFError, struct.error) as error:
        if not shutil.which("sox"):
            raise Failure("%s: not an integer PCM WAV file (%s), and sox is not installed to convert it"
                          % (path, error))
    converted = os.path.join(tmp, "converted.wav")
    result = subprocess.run(["sox", path, "-b", "16", "-e", "signed-integer", "-c", "1", converted],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure("sox could not read %s: %s" % (path, result.stderr.strip()))
    try:
        return read_pcm(converted)
    except (wave.Error, EOFError, struct.error) as error:
        raise Failure("%s: unreadable after conversion (%s)" % (path, error))


def write_padded(samples, rate, path):
    """16-bit mono WAV of the samples with silence before and after."""
    lead, tail = [0] * int(LEAD_SECONDS * rate), [0] * int(TAIL_SECONDS * rate)
    ints = [max(-32768, min(32767, int(round(s * 32767)))) for s in samples]
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(struct.pack("<%dh" % (len(lead) + len(ints) + len(tail)), *(lead + ints + tail)))


def goertzel_power(block, rate, freq):
    coeff = 2.0 * math.cos(2.0 * math.pi * freq / rate)
    s1 = s2 = 0.0
    for x in block:
        s1, s2 = x + coeff * s1 - s2, s1
    return s1 * s1 + s2 * s2 - coeff * s1 * s2


def estimate_pitch(samples, rate, low=100.0, high=3500.0):
    """Frequency (Hz) of the strongest tone: Goertzel power summed over the
    loudest blocks (where the key is most likely down), scanned in 25 Hz steps
    and refined in 1 Hz steps. None when the audio is silent."""
    step = max(1, rate // 8000)  # scan at about 8 kHz whatever the file's rate
    if step > 1:
        samples = [sum(samples[i:i + step]) / step for i in range(0, len(samples) - step + 1, step)]
        rate = rate / step
    size = max(64, int(rate) // 16)  # 62.5 ms blocks: 16 Hz resolution
    blocks = [samples[i:i + size] for i in range(0, len(samples) - size + 1, size)]
    blocks = sorted(blocks, key=lambda b: sum(x * x for x in b), reverse=True)[:16]
    if not blocks or sum(x * x for x in blocks[0]) == 0:
        return None
    high = min(high, rate * 0.45)

    def power(freq):
        return sum(goertzel_power(b, rate, freq) for b in blocks)

    coarse = max((low + 25.0 * k for k in range(int((high - low) / 25.0) + 1)), key=power)
    return max((coarse + k for k in range(-24, 25) if low <= coarse + k <= high), key=power)


# ---------------------------------------------------------------- fldigi


class Transport(xmlrpc.client.Transport):
    """XML-RPC over HTTP with a time limit, so a stuck fldigi cannot hang us."""

    def __init__(self, seconds):
        super().__init__()
        self.seconds = seconds

    def make_connection(self, host):
        connection = super().make_connection(host)
        connection.timeout = self.seconds
        return connection


def free_ports(count):
    """`count` distinct local TCP ports that are free right now."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def write_config(tmp, port, wpm):
    cfg = os.path.join(tmp, "config")
    os.makedirs(os.path.join(cfg, "macros"))
    os.makedirs(os.path.join(tmp, "files"))  # --home-dir: fldigi does not create it
    speed = wpm if wpm else 20
    spread = max(5, wpm // 2) if wpm else 30
    settings = {
        "AUDIOIO": 3,  # File I/O only: no sound card
        "XMLRPC_ADDRESS": "127.0.0.1",
        "XMLRPC_PORT": port,
        "CHECK_FOR_UPDATES": 0,
        "CWTRACK": 1,  # automatic receive speed tracking
        "CWSPEED": speed,  # where tracking starts
        "CWRANGE": spread,  # tracking range around CWSPEED
        "CWLOWERLIMIT": 5,
        "CWUPPERLIMIT": 50 if not wpm else max(50, speed + spread),
        "CWRX_ATTACK": 2,  # fast detector attack: fewer lost first characters
        "SLOWCPU": 0,
    }
    with open(os.path.join(cfg, "fldigi_def.xml"), "w") as f:
        f.write("<FLDIGI_DEFS>\n")
        for tag, value in settings.items():
            f.write("<%s>%s</%s>\n" % (tag, value, tag))
        f.write("</FLDIGI_DEFS>\n")
    with open(os.path.join(cfg, "macros", "macros.mdf"), "w") as f:
        f.write("//fldigi macro definition file extended\n\n/$ 0 HS on\n<HS:on>\n")
    # FLTK's own file chooser rather than GTK's, whichever is installed.
    prefs = os.path.join(tmp, "home", ".fltk", "fltk.org")
    os.makedirs(prefs)
    with open(os.path.join(prefs, "fltk.prefs"), "w") as f:
        f.write("; FLTK preferences file format 1.0\n; vendor: fltk.org\n; application: fltk\n\n"
                "[.]\n\n[./options]\n\nFNFCUsesGTK:0\n")
    return cfg


class Session:
    """Xvfb + fldigi in one temporary directory; close() undoes everything."""

    def __init__(self, tmp, verbose):
        self.tmp = tmp
        self.verbose = verbose
        self.xvfb = None
        self.fldigi = None
        self.fldigi_log = None
        self.env = None
        self.server = None
        self.url = None
        self.start = time.monotonic()

    def log(self, message):
        if self.verbose:
            sys.stderr.write("[%6.2f s] %s\n" % (time.monotonic() - self.start, message))

    def start_xvfb(self):
        read_end, write_end = os.pipe()
        try:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
        finally:
            os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            if not select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))[0]:
                break
            chunk = os.read(read_end, 16)
            if not chunk:  # Xvfb exited
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            raise Failure("Xvfb did not start (no display number)")
        display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=display, HOME=os.path.join(self.tmp, "home"))
        self.log("Xvfb on display %s" % display)

    def start_fldigi(self, config, port, arq_port):
        # Its own ARQ port too, so that runs side by side do not share one.
        self.fldigi_log = open(os.path.join(self.tmp, "fldigi.log"), "w")
        self.fldigi = subprocess.Popen(
            ["fldigi", "--config-dir", config, "--home-dir", os.path.join(self.tmp, "files"),
             "--xmlrpc-server-address", "127.0.0.1", "--xmlrpc-server-port", str(port),
             "--arq-server-address", "127.0.0.1", "--arq-server-port", str(arq_port)],
            cwd=self.tmp, env=self.env, stdin=subprocess.DEVNULL,
            stdout=self.fldigi_log, stderr=subprocess.STDOUT,
            start_new_session=True)
        self.url = "http://127.0.0.1:%d/" % port
        self.server = xmlrpc.client.ServerProxy(self.url, transport=Transport(30))
        deadline = time.monotonic() + 60
        while True:
            if self.fldigi.poll() is not None:
                raise Failure("fldigi exited with status %d before its XML-RPC server answered; its output:\n%s"
                              % (self.fldigi.returncode, self.fldigi_output()))
            try:
                version = self.server.fldigi.version()
                break
            except (OSError, xmlrpc.client.ProtocolError):
                if time.monotonic() > deadline:
                    raise Failure("fldigi's XML-RPC server did not answer within 60 s (a dialog may be open: "
                                  "windows %s); its output:\n%s" % (self.windows(), self.fldigi_output()))
                time.sleep(0.1)
        self.log("fldigi %s answers on port %d" % (version, port))

    def fldigi_output(self):
        try:
            with open(os.path.join(self.tmp, "fldigi.log"), errors="replace") as f:
                lines = [l for l in f.read().splitlines() if not re.match(r"(ALSA lib|Cannot connect|jack|Jack)", l)]
            return "\n".join(lines[-20:])
        except OSError:
            return ""

    def xdotool(self, *args):
        result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True)
        if result.returncode != 0 and args[0] != "search":
            raise Failure("xdotool %s failed: %s" % (" ".join(args), result.stderr.strip()))
        return result.stdout

    def windows(self):
        """Visible fldigi windows: {id: (name, width, height)}."""
        found = {}
        for wid in self.xdotool("search", "--onlyvisible", "--class", "fldigi").split():
            name = subprocess.run(["xdotool", "getwindowname", wid], env=self.env,
                                  capture_output=True, text=True).stdout.strip()
            shape = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], env=self.env,
                                   capture_output=True, text=True).stdout
            fields = dict(line.split("=", 1) for line in shape.split() if "=" in line)
            if "WIDTH" in fields:
                found[wid] = (name, int(fields["WIDTH"]), int(fields["HEIGHT"]))
        return found

    def wait_window(self, what, test, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            for wid, (name, width, height) in self.windows().items():
                if test(name, width, height):
                    return wid, width, height
            time.sleep(0.05)
        raise Failure("fldigi did not show %s; windows now: %s" % (what, self.windows()))

    def input_fd(self, path):
        """Descriptor number under which fldigi has `path` open, or None."""
        base = "/proc/%d/fd" % self.fldigi.pid
        try:
            for fd in os.listdir(base):
                try:
                    if os.readlink(os.path.join(base, fd)) == path:
                        return fd
                except OSError:
                    continue
        except OSError:
            pass
        return None

    def close(self):
        if self.fldigi is not None and self.fldigi.poll() is None:
            asked = False
            if self.url is not None:
                try:
                    xmlrpc.client.ServerProxy(self.url, transport=Transport(5)).fldigi.terminate(0)
                    asked = True
                except Exception:  # not listening yet, or stuck: signals below
                    pass
            if not asked:
                self.fldigi.terminate()
            try:
                self.fldigi.wait(10 if asked else 3)
            except subprocess.TimeoutExpired:
                self.fldigi.kill()  # e.g. a modal dialog keeps it from quitting
                self.fldigi.wait()
        if self.fldigi_log is not None:
            self.fldigi_log.close()
        if self.xvfb is not None and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()


def decode(session, pitch, seconds, real_time):
    server = session.server
    server.modem.set_by_name("CW")
    server.modem.set_carrier(int(round(pitch)))
    server.main.set_afc(True)
    server.main.set_squelch(False)
    server.main.rx()
    server.text.clear_rx()
    server.rx.get_data()
    session.log("CW modem at %d Hz" % server.modem.get_carrier())

    main = session.wait_window("its main window", lambda name, w, h: name.startswith("fldigi ver"))[0]
    # File > Audio > Playback: click "File", then walk the menu with the keys.
    session.xdotool("mousemove", "--window", main, "18", "10", "click", "1")
    time.sleep(0.3)
    session.xdotool("key", "--delay", "50", *(["Down"] * 5 + ["Right", "Down", "Down", "Return"]))
    session.wait_window("the file chooser", lambda name, w, h: name == "Audio file")
    # The chooser starts in fldigi's working directory with the name field
    # selected; a bare file name (no '/') keeps its completion out of the way.
    session.xdotool("type", "--delay", "20", PLAYBACK_NAME)
    session.xdotool("key", "Return")
    # "Playback continuous loop?": an untitled dialog; "No" is the rightmost button.
    dialog, width, height = session.wait_window(
        "the loop question", lambda name, w, h: name == "" and w < 600 and h < 200)
    session.xdotool("mousemove", "--window", dialog, str(width - 30), str(height - 22), "click", "1")
    session.log("playback chosen")

    path = os.path.join(session.tmp, PLAYBACK_NAME)
    size = os.path.getsize(path)
    deadline = time.monotonic() + 15
    fd = None
    while fd is None:
        fd = session.input_fd(path)
        if fd is None:
            if time.monotonic() > deadline:
                raise Failure("fldigi did not open the file for playback; windows: %s" % session.windows())
            time.sleep(0.005)
    if not real_time:
        server.main.run_macro(0)  # <HS:on>: read the file as fast as it decodes
    session.log("fldigi reads the file (%d bytes)" % size)

    received = bytearray()
    deadline = time.monotonic() + seconds * 1.5 + 30
    while session.input_fd(path) == fd:
        if time.monotonic() > deadline:
            raise Failure("fldigi did not finish the file in time")
        received += server.rx.get_data().data
        time.sleep(0.02)
    session.log("fldigi closed the file")
    # The decoder prints the last character after the trailing silence;
    # wait until nothing new has arrived for half a second.
    quiet_since = time.monotonic()
    while time.monotonic() - quiet_since < 0.5:
        chunk = server.rx.get_data().data
        if chunk:
            received += chunk
            quiet_since = time.monotonic()
        time.sleep(0.05)
    return bytes(received)


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Decode a Morse WAV file with fldigi's CW modem, headless.")
    parser.add_argument("--wpm", type=int, help="expected speed in words per minute (default: track 5..50)")
    parser.add_argument("--pitch", type=float, help="tone frequency in Hz (default: the strongest tone)")
    parser.add_argument("--real-time", action="store_true", help="play the file at its own pace")
    parser.add_argument("-v", "--verbose", action="store_true", help="report each step on standard error")
    parser.add_argument("file", help="WAV file")
    args = parser.parse_args(argv)
    if args.wpm is not None and not 5 <= args.wpm <= 100:
        parser.error("--wpm must be between 5 and 100")
    if args.pitch is not None and not 50 <= args.pitch <= 4000:
        parser.error("--pitch must be between 50 and 4000 Hz")
    return args


def run(args):
    missing = [tool for tool in ("fldigi", "Xvfb", "xdotool") if not shutil.which(tool)]
    if missing:
        raise Missing("not installed: %s (Debian packages fldigi, xvfb, xdotool)" % ", ".join(missing))
    if not os.path.isfile(args.file):
        raise Failure("%s: no such file" % args.file)
    tmp = tempfile.mkdtemp(prefix="fldigi-decode-")
    session = Session(tmp, args.verbose)
    try:
        samples, rate = load_audio(args.file, tmp)
        pitch = args.pitch or estimate_pitch(samples, rate)
        if pitch is None:
            return ""  # silence: nothing to decode
        write_padded(samples, rate, os.path.join(tmp, PLAYBACK_NAME))
        seconds = LEAD_SECONDS + len(samples) / rate + TAIL_SECONDS
        session.log("%.1f s of audio at %d Hz, pitch %.0f Hz" % (seconds, rate, pitch))
        port, arq_port = free_ports(2)
        config = write_config(tmp, port, args.wpm)
        session.start_xvfb()
        session.start_fldigi(config, port, arq_port)
        raw = decode(session, pitch, seconds, args.real_time)
        session.log("received %d bytes" % len(raw))
        return clean(raw)
    except (OSError, xmlrpc.client.Error) as error:
        raise Failure("%s: %s" % (type(error).__name__, error))
    finally:
        session.close()
        shutil.rmtree(tmp, ignore_errors=True)
        session.log("cleaned up")


class Interrupted(Exception):
    """SIGTERM or SIGHUP arrived; carries the signal number."""


def interrupt(number, frame):
    raise Interrupted(number)


def main(argv):
    args = parse_args(argv)
    # SIGTERM and SIGHUP take the same way out as Ctrl-C: through the cleanup.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupt)
    try:
        print(run(args))
        return 0
    except Missing as error:
        sys.stderr.write("fldigi_decode: %s\n" % error)
        return EXIT_SKIP
    except Failure as error:
        sys.stderr.write("fldigi_decode: %s\n" % error)
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("fldigi_decode: interrupted\n")
        return 128 + signal.SIGINT
    except Interrupted as number:
        sys.stderr.write("fldigi_decode: stopped by signal %s\n" % number)
        return 128 + number.args[0]


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
