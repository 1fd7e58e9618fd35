#!/usr/bin/env bash
# The keyer's own files read back by `tolvane decode` (the default robust
# recogniser): every --unit-ms from FIRST to LAST, four texts each. Prints
# each file read otherwise than its text, then the count.
#
# usage: bench/keyer_files.sh [BUILD_DIR] [FIRST] [LAST]
#   defaults: build, 5, 200.
set -euo pipefail
tool=$(realpath "${1:-build}")/tolvane
first=${2:-5}
last=${3:-200}
work=$(mktemp -d /tmp/tolvane-keyer-files.XXXXXX)
trap 'rm -rf "$work"' EXIT

texts=("CQ CQ DE W1AW K" "PARIS PARIS" "HELLO WORLD 73" "5NN TU")
wrong=0
total=0
for ((unit = first; unit <= last; ++unit)); do
  for text in "${texts[@]}"; do
    "$tool" encode --unit-ms "$unit" "$text" "$work/k.wav"
    read=$("$tool" decode "$work/k.wav" 2>/dev/null || true)
    total=$((total + 1))
    if [[ $read != "$text" ]]; then
      wrong=$((wrong + 1))
      echo "--unit-ms $unit: \"$text\" read \"$read\""
    fi
  done
done
echo "$wrong of $total files misread (--unit-ms $first to $last)"
