#!/usr/bin/env bash
# The unit tests and whole runs of the converter again, built with
# AddressSanitizer and UndefinedBehaviorSanitizer: any report aborts the
# test that caused it. The other suites check what the release build's run
# already proved (the test preset leaves them out).
set -euo pipefail
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j2
ctest --preset sanitize -j2
