#!/bin/sh
# Runs one libFuzzer binary for a bounded time. It works on a copy of the
# saved inputs, so the repository's corpus is never written; on a finding the
# copy and the failing input are kept and named.
# Usage: run_fuzzer.sh FUZZER CORPUS_DIR SECONDS
set -eu
fuzzer=$1
corpus=$2
seconds=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-fuzz.XXXXXX")
mkdir "$work/corpus"
cp "$corpus"/* "$work/corpus/"

status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" || status=$?

if [ "$status" -ne 0 ]; then
  echo "fuzzing failed with status $status; inputs and findings kept in $work" >&2
  for finding in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
    [ -f "$finding" ] || continue
    echo "finding $finding:" >&2
    od -c "$finding" | head -40 >&2
  done
  exit "$status"
fi
rm -rf "$work"
