#!/usr/bin/env bash
# Runs each libFuzzer harness for a bounded time, seeded with the committed
# corpus, and fails on any crash, leak, sanitizer report, timeout or
# out-of-memory.
# usage: run_fuzzers.sh FUZZ_BUILD_DIR SECONDS_PER_HARNESS [WORK_DIR]
set -euo pipefail
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
work=${3:-$(mktemp -d)}
status=0
for harness in decode keyer robust input; do
  mkdir -p "$work/$harness"
  echo "== fuzzing $harness for ${seconds}s"
  # -close_fd_mask=2 hides the library's own failure line; libFuzzer and
  # the sanitizers keep reporting on a duplicate of standard error.
  if ! LSAN_OPTIONS="suppressions=$here/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" "$build/tests/${harness}_fuzzer" "$work/$harness" "$here/corpus/$harness" \
      -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10 \
      -max_len=32768 -close_fd_mask=2 -print_final_stats=1 \
      -artifact_prefix="$work/$harness-" >"$work/$harness.log" 2>&1; then
    echo "!! $harness fuzzer failed; input kept as $work/$harness-*"
    tail -n 60 "$work/$harness.log"
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+.*DONE' "$work/$harness.log" || true
done
exit $status
