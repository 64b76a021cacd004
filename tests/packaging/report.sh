# shellcheck shell=bash
# Row bookkeeping shared by the packaging test scripts: source it, call
# pass/fail/skip per row, and end with report_and_exit.
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
skip() {
  echo "skip  $1"
  skipped=$((skipped + 1))
}
report_and_exit() {
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
}
