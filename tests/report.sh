# shellcheck shell=bash
# Shared by the shell suites and the package checks in CI: row bookkeeping
# (pass/fail/skip or check per row, then report_and_exit) and skip_suite.
# CI installs every tool, so under CI (CI set) a skipped row, or a whole
# suite skipped for want of a tool, is a failure.
passed=0
failed=0
skipped=0
pass() {
  echo "ok    $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL  $1"
  failed=$((failed + 1))
}
if [ -n "${CI:-}" ]; then
  skip() { fail "$1 (a skip is a failure under CI)"; }
else
  skip() {
    echo "skip  $1"
    skipped=$((skipped + 1))
  }
fi
# check WHAT COMMAND...: one row, passed when COMMAND succeeds.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# skip_suite REASON: the whole script cannot run here (exit 77 for ctest).
skip_suite() {
  echo "SKIP: $1"
  if [ -n "${CI:-}" ]; then
    echo "CI installs every tool, so a skip is a failure"
    echo "0 passed, 1 failed"
    exit 1
  fi
  exit 77
}
report_and_exit() {
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
}
