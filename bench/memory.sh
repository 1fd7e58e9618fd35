#!/usr/bin/env bash
# Peak memory of the basic recogniser on long inputs: Wave2Morse and
# tolvane decode on a sparse 4 GiB WAV (4 KB on disk), an hour of keyed
# audio as a file and through a pipe, four hours of 44.1 kHz stereo through
# a pipe, and standard input that never ends. Reports the largest
# anonymous resident memory (RssAnon: what the program itself allocates,
# the target is 8 MB) and the peak resident set (VmHWM, with the libraries'
# pages), sampled by bench/peak.py. Use a Release build.
#
# usage: bench/memory.sh [BUILD_DIR] [WORK_DIR]
#   defaults: build, a new directory under /tmp (removed at the end).
# Needs: python3; sox for the 44.1 kHz rows.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-build}")
work=${2:-}
if [[ -z $work ]]; then
  work=$(mktemp -d /tmp/tolvane-memory.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
tool=$build/tolvane
[[ -x $tool ]] || tool=$build/tools/tolvane
wave2morse=$build/bench/wave2morse

# SOS at the start of a data chunk that declares 0xFFFFFFDA bytes, the rest
# a hole in the file: 2^31 - 19 samples, 4 KB on disk.
"$tool" encode SOS "$work/sos.wav"
python3 - "$work/sos.wav" "$work/sparse.wav" <<'PY'
import struct, sys
keyed = open(sys.argv[1], "rb").read()
size = 0xFFFFFFFF - 37
with open(sys.argv[2], "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", size + 36) + keyed[8:40] + struct.pack("<I", size) + keyed[44:])
    f.truncate(44 + size)
PY
python3 -c 'import random; random.seed(1); print(" ".join(random.choice(["PARIS", "CQ", "DE", "TOLVANE", "73", "SOS"]) for _ in range(1100)))' >"$work/hour.txt"
"$tool" encode - "$work/hour.wav" <"$work/hour.txt"

row() {  # label, command...
  local label=$1
  shift
  printf '%-58s %s\n' "$label" "$(python3 "$here/peak.py" "$@")"
}
echo "files in $work; memory in KB"
row "Wave2Morse, sparse 4 GiB WAV" "$wave2morse" "$work/sparse.wav"
row "tolvane decode, sparse 4 GiB WAV" "$tool" decode "$work/sparse.wav"
row "tolvane decode, 1 hour WAV" "$tool" decode "$work/hour.wav"
row "tolvane decode -, 1 hour WAV through a pipe" bash -c 'cat "$1" | "$2" decode -' _ "$work/hour.wav" "$tool"
row "tolvane decode --robust, 1 hour WAV" "$tool" decode --robust "$work/hour.wav"
row "tolvane decode --raw 8000 --max-duration 3600 - </dev/zero" \
  bash -c '"$1" decode --raw 8000 --max-duration 3600 - </dev/zero' _ "$tool"
if command -v sox >/dev/null; then
  row "tolvane decode -, 4 h of 44.1 kHz stereo through a pipe" \
    bash -c 'sox -n -r 44100 -c 2 -b 16 -t wav - synth 14400 sine 600 2>/dev/null | "$1" decode -' _ "$tool"
fi
