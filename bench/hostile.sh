#!/usr/bin/env bash
# Peak memory and time of `tolvane decode` on every hostile input of
# tests/data/hostile/expected.tsv, as it arrives there (a path, standard
# input or a FIFO), measured with /usr/bin/time -v. Use a Release build:
# the sanitizers change both.
#
# usage: bench/hostile.sh [TOLVANE_TOOL] [--no-options]
#   --no-options  drop each row's options, for a tool that predates them
# Each run is capped at 8 GB of address space and 600 s, so that a tool
# that does not bound its input ends with a failure instead of the machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
tool=$(realpath "${1:-build/tolvane}")
plain=${2:-}
data=$here/tests/data/hostile
work=$(mktemp -d /tmp/tolvane-hostile.XXXXXX)
trap 'rm -rf "$work"' EXIT

printf '| %s | %s | %s | %s | %s | %s | %s |\n' file arrival options exit "message (first line)" "peak RSS" time
printf '|---|---|---|---|---|---|---|\n'
while IFS=$'\t' read -r file arrival options _exit _expect _peak; do
  case $file in '#'*|file|'') continue ;; esac
  [[ $file == /* ]] || file=$data/$file
  opts=()
  if [[ $options != - && $plain != --no-options ]]; then read -ra opts <<<"$options"; fi
  case $arrival in
    path) run=("$tool" decode "${opts[@]}" "$file"); input=/dev/null ;;
    stdin) run=("$tool" decode "${opts[@]}" -); input=$file ;;
    pipe) run=(bash -c 'cat "$0" | "$@"' "$file" "$tool" decode "${opts[@]}" -); input=/dev/null ;;
    fifo)
      rm -f "$work/fifo" && mkfifo "$work/fifo"
      (cat "$file" >"$work/fifo" 2>/dev/null &)
      run=("$tool" decode "${opts[@]}" "$work/fifo"); input=/dev/null ;;
  esac
  set +e
  (ulimit -v 8000000; timeout 600 /usr/bin/time -v -o "$work/time" "${run[@]}" <"$input" >"$work/out" 2>"$work/err")
  code=$?
  set -e
  # A FIFO whose reader gave up: let its writer go.
  if [[ $arrival == fifo ]]; then exec 3<>"$work/fifo"; exec 3<&-; fi
  peak=$(awk -F': ' '/Maximum resident set size/ {printf "%.1f MB", $2 / 1024}' "$work/time")
  seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time")
  message=$(head -n 1 "$work/err" | cut -c 1-90)
  [[ $code -eq 0 ]] && message="out: $(head -c 60 "$work/out" | tr '\n' ' ')"
  [[ $code -eq 124 ]] && message="(stopped after 600 s)"
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$(basename "$file")" "$arrival" \
    "$([[ $options == - ]] || echo "$options")" "$code" "${message//|/\\|}" "${peak:-?}" "${seconds:-?}"
done <"$data/expected.tsv"
