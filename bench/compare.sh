#!/usr/bin/env bash
# Times tolvane against the disk and against independent Morse tools, on the
# same machine and the same files, and prints the ratios and peak memory.
#
# usage: bench/compare.sh [TOLVANE_TOOL] [WORK_DIR] [RUNS]
#   defaults: build/tolvane, a new directory under /tmp, 9 runs (median).
# Needs: python3, /usr/bin/time; optionally ebook2cw, multimon-ng and sox
# for the comparison with the field.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tool=$(realpath "${1:-build/tolvane}")
work=${2:-$(mktemp -d /tmp/tolvane-compare.XXXXXX)}
runs=${3:-9}
mkdir -p "$work"
cd "$work"

# One hour of mixed words at 20 WPM (60 ms units), the same every time.
python3 - <<'PY'
import random
random.seed(1)
words = ["PARIS", "CQ", "DE", "TOLVANE", "THE", "QUICK", "BROWN", "FOX", "73", "SOS",
         "HELLO", "WORLD", "MORSE", "CODE", "RADIO", "1234", "?/=+", "(OK)"]
text = []
while len(" ".join(text)) < 6000:
    text.append(random.choice(words))
open("hour.txt", "w").write(" ".join(text) + "\n")
PY

# Median wall time of a shell command over $runs runs, in seconds.
median() {
  local times=() i start end
  for ((i = 0; i < runs; i++)); do
    start=$(date +%s%N)
    bash -c "$1" >/dev/null 2>&1
    end=$(date +%s%N)
    times+=("$(((end - start) / 1000))")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.4f\n", a[int((NR+1)/2)]/1e6}'
}
peak() {  # peak resident set size in KB
  /usr/bin/time -f %M bash -c "$1" 2>&1 >/dev/null | tail -n 1
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

"$tool" encode - hour.wav <hour.txt
# Tools from before --basic decode with the basic recogniser by default.
basic=--basic
"$tool" decode --basic hour.wav >/dev/null 2>&1 || basic=
bytes=$(stat -c %s hour.wav)
audio=$(awk -v b="$bytes" 'BEGIN {printf "%.1f", (b - 44) / 16000}')
echo "1-hour text: $(wc -c <hour.txt) characters -> hour.wav, $bytes bytes, $audio s of audio"
echo "median of $runs runs, seconds; files in $work"
echo

# Warm the page cache for the readers.
cat hour.wav >/dev/null
t_encode=$(median "'$tool' encode - out.wav <hour.txt")
t_head=$(median "head -c $bytes /dev/zero >zero.bin")
# Without the final fsync (eatmydata turns it into nothing), when installed.
t_encode_nosync=
if command -v eatmydata >/dev/null; then
  t_encode_nosync=$(median "eatmydata '$tool' encode - out.wav <hour.txt")
fi
# Shaped keying at 48 kHz: six times the bytes, and a sine per sample.
"$tool" encode --rise-ms 5 --rate 48000 - shaped.wav <hour.txt
shaped_bytes=$(stat -c %s shaped.wav)
t_shaped=$(median "'$tool' encode --rise-ms 5 --rate 48000 - shaped.wav <hour.txt")
t_shaped_head=$(median "head -c $shaped_bytes /dev/zero >zero.bin")
t_decode=$(median "'$tool' decode $basic hour.wav")
t_cat=$(median "cat hour.wav >/dev/null")
t_robust=$(median "'$tool' decode --robust hour.wav")
printf '%-44s %8s s\n' "tolvane encode (1 hour)" "$t_encode" "head -c $bytes /dev/zero > file" "$t_head"
printf '%-44s %8s   (target <= 3)\n' "  ratio encode / head" "$(ratio "$t_encode" "$t_head")"
if [ -n "$t_encode_nosync" ]; then
  printf '%-44s %8s s\n' "tolvane encode, no fsync (eatmydata)" "$t_encode_nosync"
  printf '%-44s %8s   (target <= 3)\n' "  ratio encode / head" "$(ratio "$t_encode_nosync" "$t_head")"
fi
printf '%-44s %8s s\n' "encode --rise-ms 5 --rate 48000" "$t_shaped" "head -c $shaped_bytes /dev/zero > file" "$t_shaped_head"
printf '%-44s %8s\n' "  ratio shaped encode / head" "$(ratio "$t_shaped" "$t_shaped_head")"
printf '%-44s %8s s\n' "tolvane decode --basic (1 hour)" "$t_decode" "cat file > /dev/null" "$t_cat"
printf '%-44s %8s   (target <= 4, stretch <= 3)\n' "  ratio decode / cat" "$(ratio "$t_decode" "$t_cat")"
printf '%-44s %8s x real time\n' "  decode speed" "$(ratio "$audio" "$t_decode")"
printf '%-44s %8s x real time\n' "  encode speed" "$(ratio "$audio" "$t_encode")"
printf '%-44s %8s s\n' "tolvane decode --robust (1 hour)" "$t_robust"
printf '%-44s %8s x real time\n' "  robust decode speed" "$(ratio "$audio" "$t_robust")"
echo
printf '%-44s %8s KB\n' "peak memory, tolvane encode" "$(peak "'$tool' encode - out.wav <hour.txt")"
# Any length and format, the text from standard input: ten hours of text,
# and 500 MB of a character that keys nothing.
for i in 1 2 3 4 5 6 7 8 9 10; do cat hour.txt; done >ten.txt
for format in wav flac; do
  printf '%-44s %8s KB   (target <= 8192)\n' "  10 hours from stdin, --rate 48000 $format" \
    "$(peak "'$tool' encode --rate 48000 --rise-ms 5 --format $format - out.$format <ten.txt")"
done
# The lossy encoders take minutes for ten hours; one hour at 8000 Hz.
for format in ogg opus mp3; do
  printf '%-44s %8s KB   (target <= 8192)\n' "  1 hour from stdin, --rise-ms 5 $format" \
    "$(peak "'$tool' encode --rise-ms 5 --format $format - out.$format <hour.txt")"
done
printf '%-44s %8s KB   (target <= 8192)\n' "  500 MB of '#' from stdin" \
  "$(peak "head -c 500000000 /dev/zero | tr '\\0' '#' | '$tool' encode - out.wav")"
printf '%-44s %8s KB\n' "  yes E | tolvane encode - out.wav (refused)" "$(peak "yes E | '$tool' encode - out.wav")"
rm -f out.* ten.txt shaped.wav
printf '%-44s %8s KB   (%s bytes per sample)\n' "peak memory, tolvane decode --basic" \
  "$(peak "'$tool' decode $basic hour.wav")" \
  "$(awk -v m="$(peak "'$tool' decode $basic hour.wav")" -v b="$bytes" 'BEGIN {printf "%.2f", m * 1024 / ((b - 44) / 2)}')"
# What the program itself allocates, without the libraries' pages.
anon=$(python3 "$here/peak.py" "$tool" decode $basic hour.wav | sed 's/.*rss_anon_kb=\([0-9]*\).*/\1/')
printf '%-44s %8s KB   (target <= 8192)\n' "  of it anonymous (RssAnon)" "$anon"
printf '%-44s %8s KB   (target <= 32768)\n' "peak memory, tolvane decode (robust)" \
  "$(peak "'$tool' decode --robust hour.wav")"

if command -v ebook2cw >/dev/null; then
  t_ebook=$(median "ebook2cw -w 20 -f 600 -s 8000 -O -o ebook hour.txt")
  echo
  printf '%-44s %8s s   (OGG; it cannot write WAV)\n' "ebook2cw, same text" "$t_ebook"
  printf '%-44s %8s\n' "  ratio tolvane encode / ebook2cw" "$(ratio "$t_encode" "$t_ebook")"
  printf '%-44s %8s KB\n' "  peak memory" "$(peak "ebook2cw -w 20 -f 600 -s 8000 -O -o ebook hour.txt")"
fi
if command -v multimon-ng >/dev/null && command -v sox >/dev/null; then
  # multimon-ng reads raw 22050 Hz samples; the conversion is not timed.
  sox hour.wav -t raw -r 22050 -e signed-integer -b 16 -c 1 hour.raw
  t_mm=$(median "multimon-ng -t raw -a MORSE_CW -q hour.raw")
  printf '%-44s %8s s\n' "multimon-ng -a MORSE_CW, same audio" "$t_mm"
  printf '%-44s %8s\n' "  ratio tolvane decode / multimon-ng" "$(ratio "$t_decode" "$t_mm")"
  printf '%-44s %8s KB\n' "  peak memory" "$(peak "multimon-ng -t raw -a MORSE_CW -q hour.raw")"
fi
