#!/usr/bin/env bash
# The skimmer's accuracy rows over several draws of the simulated band, not
# just the one `skim_bench` reports: each draw places other stations, with
# their own speeds, fists, levels and fading. Prints each draw's mean and
# worst station CER for the 3 kHz audio band and the weak station of the
# close pair, then how many draws meet the targets (every station <= 3 %;
# the weak one of the pair <= 5 %).
#
# usage: bench/skim_draws.sh [BUILD_DIR] [DRAWS] [FIRST_SEED]
#   defaults: build, 10, 1000 (seeds from 1000 up are never used for tuning).
set -euo pipefail
build=${1:-build}
draws=${2:-10}
first=${3:-1000}
bench="$build/skim_bench"

echo "| seed | audio band: mean CER | audio band: worst station | pair: weaker station |"
echo "|---|---|---|---|"
audio_ok=0
pair_ok=0
worst_sum=0
pair_sum=0
for ((seed = first; seed < first + draws; ++seed)); do
  audio=$("$bench" --seed "$seed" --only audio | grep '^| 3 kHz')
  pair=$("$bench" --seed "$seed" --only pair | grep '^| two')
  mean=$(cut -d'|' -f4 <<<"$audio" | tr -d ' %')
  worst=$(cut -d'|' -f5 <<<"$audio" | sed 's/^ *//; s/ *$//')
  weak=$(cut -d'|' -f5 <<<"$pair" | sed 's/^ *//; s/ *$//')
  worst_cer=${worst%% *}
  weak_cer=${weak%% *}
  echo "| $seed | $mean % | $worst | $weak |"
  awk -v w="$worst_cer" 'BEGIN { exit !(w <= 3) }' && audio_ok=$((audio_ok + 1))
  awk -v w="$weak_cer" 'BEGIN { exit !(w <= 5) }' && pair_ok=$((pair_ok + 1))
  worst_sum=$(awk -v a="$worst_sum" -v b="$worst_cer" 'BEGIN { print a + b }')
  pair_sum=$(awk -v a="$pair_sum" -v b="$weak_cer" 'BEGIN { print a + b }')
done
echo
awk -v n="$draws" -v a="$audio_ok" -v p="$pair_ok" -v ws="$worst_sum" -v ps="$pair_sum" 'BEGIN {
  printf "%d draws: worst station <= 3 %% in %d (mean worst %.1f %%); weaker of the pair <= 5 %% in %d (mean %.1f %%)\n",
         n, a, ws / n, p, ps / n }'
