#!/usr/bin/env bash
# False characters from `tolvane decode` (the default robust recogniser)
# on an hour of each input that holds no Morse: white noise, pink noise,
# speech (espeak-ng), a steady carrier, a sweep, mains hum and LSB dither.
# Target: at most 6 characters per hour each. Prints the count, the exit
# code (1: "no Morse code found") and the first characters.
#
# usage: bench/no_signal.sh [BUILD_DIR] [WORK_DIR] [SECONDS]
#   defaults: build, a new directory under /tmp (removed at the end), 3600.
# Needs: sox, espeak-ng.
set -euo pipefail
build=$(realpath "${1:-build}")
work=${2:-}
seconds=${3:-3600}
if [[ -z $work ]]; then
  work=$(mktemp -d /tmp/tolvane-no-signal.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
cd "$work"
tool=$build/tolvane
out="-r 8000 -b 16 -c 1"

sox -n $out white.wav synth "$seconds" whitenoise vol 0.3
sox -n $out pink.wav synth "$seconds" pinknoise vol 0.3
sox -n $out carrier.wav synth "$seconds" sine 700 vol 0.3
# 100 to 3000 Hz and back in 20 s, over and over.
sox -n $out up.wav synth 10 sine 100-3000 vol 0.3
sox -n $out down.wav synth 10 sine 3000-100 vol 0.3
sox up.wav down.wav cycle.wav
sox cycle.wav sweep.wav repeat "$((seconds / 20 - 1))"
sox -n $out hum.wav synth "$seconds" sine 50 sine 150 sine 250 vol 0.3 remix -
# Silence dithered in the last bit.
sox -n $out dither.wav synth "$seconds" whitenoise vol 0.00005
# Speech: a long English text read aloud, repeated to the hour, at 8 kHz.
for f in /usr/share/common-licenses/GPL-3 /usr/share/common-licenses/Apache-2.0; do
  [[ -f $f ]] && cat "$f"
done | tr -s ' \n' ' ' | head -c 60000 >speech.txt
espeak-ng -s 170 -w speech-22k.wav -f speech.txt
sox speech-22k.wav $out speech-once.wav vol 0.8
once=$(soxi -D speech-once.wav)
sox speech-once.wav speech.wav repeat "$(awk -v s="$seconds" -v o="$once" 'BEGIN {print int(s / o)}')" trim 0 "$seconds"

printf '%-10s %8s %6s %5s  %s\n' input seconds chars exit "first characters"
for kind in white pink speech carrier sweep hum dither; do
  set +e
  "$tool" decode --json "$kind.wav" >out.jsonl 2>err.txt
  code=$?
  set -e
  chars=$(tail -n 1 out.jsonl | sed 's/.*"chars":\([0-9]*\).*/\1/')
  # head leaves early: no pipefail for this one.
  text=$(set +o pipefail; grep -o '"text":"[^"]*"' out.jsonl | sed 's/"text":"\(.*\)"/\1/' | tr -d '\n' | head -c 60)
  printf '%-10s %8s %6s %5s  %s\n' "$kind" "$(soxi -D "$kind.wav")" "$chars" "$code" "$text"
done
echo "command: $tool decode --json KIND.wav (chars from the end line)"
