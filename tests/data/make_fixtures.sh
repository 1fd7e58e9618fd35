#!/usr/bin/env bash
# Regenerates the WAV, OGG and MP3 fixtures that peer programs wrote, so the
# ordinary tests can read them without the programs installed.
#
# usage: tests/data/make_fixtures.sh TOLVANE_TOOL [OUTPUT_DIR]
#
# Made on Debian 12 with: cw 3.6.0 (cw 3.6.0-5+b1), ebook2cw 0.8.4
# (ebook2cw 0.8.4-1), SoX v14.4.2 (sox 14.4.2+git20190427-3.5 with
# libsox-fmt-all), sndfile-metadata-set from libsndfile 1.2.0
# (sndfile-programs 1.2.0-1+deb12u1), Python 3.11 (wave module).
# What each file must decode to, or why it must be refused, is listed in
# fixtures.tsv beside this script.
set -euo pipefail
tool=$1
out=${2:-$(cd "$(dirname "$0")" && pwd)}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

to8k() { sox "$1" -r 8000 -c 1 -b 16 -e signed-integer "$2"; }

# cw keys through ALSA's file plugin at 44.1 kHz; it keeps 10 units
# between words.
cw_fixture() {  # WPM TONE TEXT NAME
  echo "$3" | cw -s a -d "file:FILE=$work/cw.wav,FORMAT=wav" -w "$1" -t "$2" -e >/dev/null
  to8k "$work/cw.wav" "$out/$4"
}
cw_fixture 12 400 "73" cw-12wpm-400hz.wav
cw_fixture 20 600 "DE W1AW" cw-20wpm-600hz.wav
cw_fixture 30 1000 "RST 599" cw-30wpm-1000hz.wav

# ebook2cw writes OGG (-O) or MP3, at 11025 Hz by default.
echo "QRZ? K1ABC" >"$work/text.txt"
(cd "$work" && ebook2cw -w 20 -f 700 -O -o ogg text.txt >/dev/null)
cp "$work/ogg0000.ogg" "$out/ebook2cw-20wpm-700hz.ogg"
to8k "$work/ogg0000.ogg" "$out/ebook2cw-20wpm-700hz.wav"
(cd "$work" && ebook2cw -w 30 -f 500 -o mp3 text.txt >/dev/null)
cp "$work/mp30000.mp3" "$out/ebook2cw-30wpm-500hz.mp3"
to8k "$work/mp30000.mp3" "$out/ebook2cw-30wpm-500hz.wav"

# Our own keying, rewritten by other WAV writers.
"$tool" encode "SOS" "$work/sos.wav"
"$tool" encode "E" "$work/e.wav"
sox "$work/sos.wav" "$out/sox-plain.wav"
sox "$work/e.wav" -b 24 "$out/sox-24bit-extensible.wav"
sox "$work/e.wav" -e floating-point "$out/sox-float.wav"
sox "$work/e.wav" -r 44100 -c 2 "$out/sox-44100hz-stereo.wav"
python3 - "$work/sos.wav" "$out/python-wave.wav" <<'PY'
import sys, wave
with wave.open(sys.argv[1], "rb") as r, wave.open(sys.argv[2], "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(8000)
    w.writeframes(r.readframes(r.getnframes()))
PY
# libsndfile appends a LIST chunk after the data, and puts a bext chunk
# before it.
sndfile-metadata-set --str-comment "Tolvane interop" --str-title "SOS" \
  "$work/sos.wav" "$out/sndfile-list.wav" >/dev/null
sndfile-metadata-set --bext-description "Tolvane interop" \
  "$work/sos.wav" "$out/sndfile-bext.wav" >/dev/null
