#!/usr/bin/env bash
# Peak resident memory (VmHWM, libraries included) of the streaming
# `tolvane decode` (the robust recogniser, the default): one hour of every
# format the README lists, as a file and through a pipe; four hours of
# 44.1 kHz stereo through a pipe; and 24 hours of 8 kHz mono WAV whose
# header gives no length, generated on the fly into a pipe. The target is
# 32 MB for any duration and format. Only the tool is measured
# (/usr/bin/time around it), not the programs feeding the pipe. Also the
# CPU time per hour of audio at 8 kHz (target: 1000 x real time or more).
# Use a Release build.
#
# usage: bench/stream_memory.sh [BUILD_DIR] [WORK_DIR]
#   defaults: build, a new directory under /tmp (removed at the end).
# Needs: python3, sox, sndfile-convert, /usr/bin/time.
set -euo pipefail
build=$(realpath "${1:-build}")
work=${2:-}
if [[ -z $work ]]; then
  work=$(mktemp -d /tmp/tolvane-stream-memory.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
cd "$work"
tool=$build/tolvane

python3 -c 'import random; random.seed(1); print(" ".join(random.choice(["PARIS", "CQ", "DE", "TOLVANE", "73", "SOS", "TEST", "QRZ?"]) for _ in range(1400)))' >hour.txt
"$tool" encode --rise-ms 5 - hour.wav <hour.txt
"$tool" encode --rise-ms 5 --rate 44100 - hour44.wav <hour.txt
sox hour44.wav -c 2 stereo44.wav
"$tool" encode --rise-ms 5 --rate 44100 --format flac - hour.flac <hour.txt
"$tool" encode --rise-ms 5 --rate 44100 --format ogg - hour.ogg <hour.txt
"$tool" encode --rise-ms 5 --rate 48000 --format opus - hour.opus <hour.txt
"$tool" encode --rise-ms 5 --rate 22050 --format mp3 - hour.mp3 <hour.txt
sndfile-convert hour44.wav hour.aiff
sndfile-convert hour44.wav hour.w64
sndfile-convert hour44.wav hour.caf
sndfile-convert hour44.wav hour.au
tail -c +45 hour.wav >hour.raw
audio=$(python3 -c "import os; print(round((os.path.getsize('hour.wav') - 44) / 16000, 1))")
echo "one hour: $audio s of audio; peak resident KB of tolvane decode alone (target <= 32768)"

# Runs a shell pipeline whose last stage is the tool under /usr/bin/time;
# prints peak KB, CPU seconds and the characters decoded, which must be the
# hour's text as many times as the input holds it (HOURS, default 1).
chars_per_hour=$("$tool" decode hour.wav | tr -d '\n' | wc -c)
measure() {
  local label=$1 pipeline=$2 hours=${3:-1}
  local line got
  line=$(bash -c "$pipeline" 2>&1 >out.txt | grep '^peak=' | tail -n 1)
  got=$(tr -d '\n' <out.txt | wc -c)
  if ((got < hours * chars_per_hour)); then
    label="$label (SHORT: $got of $((hours * chars_per_hour)))"
  fi
  printf '%-46s %8s KB  cpu %7s s  %6s chars   %s\n' "$label" \
    "$(sed 's/.*peak=\([0-9]*\).*/\1/' <<<"$line")" \
    "$(sed 's/.*cpu=\([0-9.]*\)+\([0-9.]*\).*/\1 \2/' <<<"$line" | awk '{print $1 + $2}')" \
    "$(wc -c <out.txt)" "$pipeline"
}
timed="/usr/bin/time -f 'peak=%M cpu=%U+%S'"
for f in hour.wav stereo44.wav hour.flac hour.ogg hour.opus hour.mp3 hour.aiff hour.w64 hour.caf hour.au; do
  measure "1 h $f, file" "$timed '$tool' decode $f"
  measure "1 h $f, pipe" "cat $f | $timed '$tool' decode -"
done
measure "1 h raw s16 8 kHz, pipe" "cat hour.raw | $timed '$tool' decode --raw 8000 -"
# sox writes 0x7FFFF000 as the size (2 GiB, 3.4 hours here): read past it.
measure "4 h 44.1 kHz stereo WAV, pipe" "sox stereo44.wav -t wav - repeat 3 | $timed '$tool' decode -" 4
# 24 hours: a header with data size 0xFFFFFFFF, then the hour's samples 24
# times, written as they are read.
cat >gen24.py <<'PY'
import struct, sys
samples = open("hour.raw", "rb").read()
out = sys.stdout.buffer
out.write(b"RIFF" + struct.pack("<I", 0xFFFFFFFF) + b"WAVEfmt " + struct.pack("<IHHIIHH", 16, 1, 1, 8000, 16000, 2, 16)
          + b"data" + struct.pack("<I", 0xFFFFFFFF))
for _ in range(24):
    out.write(samples)
PY
measure "24 h 8 kHz WAV, unknown length, pipe" "python3 gen24.py | $timed '$tool' decode -" 24

echo
echo "speed at 8 kHz, CPU time of one hour (user+sys), median of 3:"
for mode in "" "--basic"; do
  cpu=$(for i in 1 2 3; do
    /usr/bin/time -f '%U %S' "$tool" decode $mode hour.wav 2>&1 >/dev/null | tail -n 1 | awk '{print $1 + $2}'
  done | sort -n | sed -n 2p)
  printf '%-46s %8s s   %8s x real time   %s\n' "tolvane decode ${mode:-(robust)} hour.wav" "$cpu" \
    "$(awk -v a="$audio" -v c="$cpu" 'BEGIN {printf "%.0f", a / (c > 0 ? c : 0.001)}')" "tolvane decode $mode hour.wav"
done
