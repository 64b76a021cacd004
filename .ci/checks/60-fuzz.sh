#!/usr/bin/env bash
# Builds the libFuzzer harness and runs it for a minute from the seed
# corpus. Any crash, sanitizer report or failed property fails the check;
# the input that caused it is left in build-fuzz/artifacts/.
set -euo pipefail
seconds=${FUZZ_SECONDS:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2
# The run adds inputs to its corpus; the committed seeds stay as they are.
rm -rf build-fuzz/corpus build-fuzz/artifacts
cp -r fuzz/corpus build-fuzz/corpus
mkdir -p build-fuzz/artifacts
log=build-fuzz/fuzz.log
status=0
build-fuzz/fuzz/conversion_fuzzer -max_total_time="$seconds" \
  -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ \
  build-fuzz/corpus >"$log" 2>&1 || status=$?
# libFuzzer's closing lines: executions, coverage, corpus size.
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::|^Done ' "$log" || true
if [ "$status" -ne 0 ]; then
  echo "fuzzer failed (exit $status):"
  tail -n 60 "$log"
  ls -l build-fuzz/artifacts/
  exit 1
fi
echo "fuzzing found nothing"
