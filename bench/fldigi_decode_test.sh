#!/usr/bin/env bash
# Manual check of bench/fldigi_decode.py; not registered in CTest, since it
# needs fldigi, Xvfb and xdotool and takes about 45 s.
#
# usage: bench/fldigi_decode_test.sh [BUILD_DIR]     (default: build)
# Needs BUILD_DIR/tolvane and BUILD_DIR/accuracy to make the test signals.
# Exit status: 0 when every check passed, 77 when fldigi, Xvfb or xdotool
# is missing, 1 otherwise.
set -u
here=$(cd "$(dirname "$0")" && pwd)
script=$here/fldigi_decode.py
build=$(cd "${1:-build}" && pwd) || exit 1
python=$(python3 -c 'import sys; print(sys.executable)')
work=$(mktemp -d /tmp/fdtest.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

ok() { passed=$((passed + 1)); echo "ok      $1"; }
bad() { failed=$((failed + 1)); echo "FAILED  $1"; [ $# -gt 1 ] && echo "        $2"; }

# The helpers that need no fldigi: reading, padding, pitch finding, cleaning.
if out=$(cd "$here" && PYTHONDONTWRITEBYTECODE=1 "$python" - "$work" 2>&1 <<'PY'
import math, random, struct, sys, wave
import fldigi_decode as fd

work = sys.argv[1]
# Stereo 16-bit: channels are averaged and scaled to [-1, 1].
with wave.open(work + "/stereo.wav", "wb") as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(11025)
    w.writeframes(struct.pack("<4h", 16384, 0, -32768, -32768))
samples, rate = fd.read_pcm(work + "/stereo.wav")
assert rate == 11025 and samples == [0.25, -1.0], (rate, samples)
# 8-bit PCM is unsigned around 128.
with wave.open(work + "/u8.wav", "wb") as w:
    w.setnchannels(1); w.setsampwidth(1); w.setframerate(8000)
    w.writeframes(bytes([192, 128, 64]))
assert fd.read_pcm(work + "/u8.wav")[0] == [0.5, 0.0, -0.5]
# Padding: silence before and after, the signal unchanged between.
fd.write_padded([0.5, -0.25], 8000, work + "/padded.wav")
padded, _ = fd.read_pcm(work + "/padded.wav")
lead, tail = int(fd.LEAD_SECONDS * 8000), int(fd.TAIL_SECONDS * 8000)
assert len(padded) == lead + 2 + tail, len(padded)
assert abs(padded[lead] - 0.5) < 1e-3 and abs(padded[lead + 1] + 0.25) < 1e-3
assert not any(padded[:lead]) and not any(padded[lead + 2:])
# A 737 Hz tone keyed for the first 0.6 s of 3 s of white noise (the tone
# as strong as the noise while it sounds): found within 5 Hz.
random.seed(7)
rate, tone = 8000, []
for n in range(3 * rate):
    key = n < 0.6 * rate and (n // 480) % 3 != 2
    tone.append(0.3 * key * math.sin(2 * math.pi * 737 * n / rate) + random.gauss(0, 0.2))
pitch = fd.estimate_pitch(tone, rate)
assert abs(pitch - 737) <= 5, pitch
assert fd.estimate_pitch([0.0] * rate, rate) is None
# Cleaning: prosigns back to punctuation, other markers one '*', no control
# characters, one space between words.
assert fd.clean(b"CQ <AR>\n<KN>TEST\x07 <SK>  <BT> 5NN\r") == "CQ + (TEST * = 5NN", fd.clean(b"x")
print("helpers")
PY
); then ok "$out"; else bad "helpers" "$out"; fi

# Exit statuses without a real decode.
"$python" "$script" "$work/none.wav" >/dev/null 2>"$work/err"
if [ $? -eq 1 ] && [ -s "$work/err" ]; then
  ok "missing file: status 1 and a message"
else
  bad "missing file" "$(cat "$work/err")"
fi
env PATH=/nonexistent "$python" "$script" "$work/none.wav" >/dev/null 2>"$work/err"
if [ $? -eq 77 ] && grep -q fldigi "$work/err"; then
  ok "no fldigi on PATH: status 77"
else
  bad "no fldigi on PATH" "$(cat "$work/err")"
fi

for tool in fldigi Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped the decoding checks: $tool is not installed"
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ] && exit 77 || exit 1
  fi
done

# What the runs leave behind: temporary directories and fldigi processes.
leftovers() {
  local dirs
  dirs=$(find "${TMPDIR:-/tmp}" -maxdepth 1 -name 'fldigi-decode-*' | wc -l)
  echo "$dirs directories, $(pgrep -c -f 'fldigi --config-dir .*fldigi-decode-') fldigi"
}
before=$(leftovers)

# fldigi often garbles the first characters while its detector settles, so
# each text starts with VVV and only what follows is required.
got=
decodes() {  # NAME EXPECTED WAV [OPTIONS]
  local name=$1 expected=$2 wav=$3 status
  shift 3
  got=$("$python" "$script" "$@" "$wav" 2>"$work/err")
  status=$?
  if [ $status -eq 0 ] && [[ " $got " == *" $expected "* ]]; then
    ok "$name: \"$got\""
  else
    bad "$name" "status $status, got \"$got\", want \"$expected\" in it; $(tail -n 3 "$work/err")"
  fi
}
"$build/tolvane" encode --wpm 20 "VVV CQ CQ DE W1AW W1AW K" "$work/clean.wav" || exit 1
decodes "clean 20 WPM at 600 Hz" "CQ CQ DE W1AW W1AW K" "$work/clean.wav"
alone=$got
"$build/accuracy" --write "$work/noisy.wav" --wpm 25 --pitch 800 --snr 6 --seed 3 \
  "VVV THE QUICK BROWN FOX 73" >/dev/null || exit 1
decodes "25 WPM at 800 Hz, SNR 6 dB, pitch found" "THE QUICK BROWN FOX 73" "$work/noisy.wav" --wpm 25

# Runs side by side must not share a display, a port or a directory.
"$python" "$script" "$work/clean.wav" >"$work/first" 2>&1 &
"$python" "$script" "$work/clean.wav" >"$work/second" 2>&1
wait
if [ "$(cat "$work/first")" = "$alone" ] && [ "$(cat "$work/second")" = "$alone" ]; then
  ok "two runs at once read what one run alone did"
else
  bad "two runs at once" "alone \"$alone\", side by side \"$(cat "$work/first")\" and \"$(cat "$work/second")\""
fi

# An interrupted run still removes its directory and stops fldigi.
"$python" "$script" "$work/clean.wav" >/dev/null 2>&1 &
runner=$!
sleep 4
kill -TERM "$runner"
wait "$runner"
status=$?
after=$(leftovers)
if [ $status -eq 143 ] && [ "$after" = "$before" ]; then
  ok "SIGTERM mid-run: status 143, nothing left behind"
else
  bad "SIGTERM mid-run" "status $status; before: $before; after: $after"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
