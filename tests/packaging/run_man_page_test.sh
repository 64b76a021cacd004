#!/usr/bin/env bash
# Checks the man page as users and package tools meet it: it formats without
# a single warning, has the sections a reader looks for, and lists every
# message of the README's "Messages and exit status" table word for word,
# so the two cannot drift apart.
#
#   tests/packaging/run_man_page_test.sh
#
# Exits 77 when groff is missing, and skips a row whose mandoc or man is
# missing. Under CI (CI set), where every tool is installed, a skip fails.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
page=$repo/man/http2retlw.1
readme=$repo/README.md

# shellcheck source=tests/report.sh
. "$(dirname "$0")/../report.sh"
command -v groff >/dev/null || skip_suite "groff is not installed"

if warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) && [ -z "$warnings" ]; then
  pass "groff -ww formats it without warnings"
else
  fail "groff -ww formats it without warnings"
  printf '%s\n' "$warnings" | sed 's/^/      /'
fi

if ! command -v mandoc >/dev/null; then
  skip "mandoc -Tlint: mandoc is not installed"
elif lint=$(mandoc -Tlint -W warning "$page" 2>&1); then
  pass "mandoc -Tlint finds nothing"
else
  fail "mandoc -Tlint finds nothing"
  printf '%s\n' "$lint" | sed 's/^/      /'
fi

if ! command -v man >/dev/null; then
  skip "man -l renders it: man is not installed"
elif man -l "$page" 2>/dev/null | grep -q 'http2retlw - turn a stored HTTP response'; then
  pass "man -l renders it"
else
  fail "man -l renders it"
fi

# Very long lines and no hyphenation: every message stays on one line, in
# plain ASCII without bold or underline.
rendered=$(groff -man -Tascii -P-cbou -rLL=500n -rHY=0 "$page" | sed 's/^ *//')

for section in NAME SYNOPSIS DESCRIPTION "INPUT FORMAT" "OUTPUT FORMAT" \
  "EXIT STATUS" DIAGNOSTICS EXAMPLES; do
  if grep -Fxq "$section" <<<"$rendered"; then
    pass "section $section"
  else
    fail "section $section"
  fi
done

# The first column of the README's message table, between backticks.
messages=()
# shellcheck disable=SC2016 # the backticks are literal, not a command
while IFS= read -r message; do
  messages+=("$message")
done < <(sed -n '/^## Messages and exit status/,/^## /p' "$readme" |
  sed -n 's/^| `\(.*\)` | .*/\1/p')

if [ "${#messages[@]}" -ge 10 ]; then
  pass "README lists the messages (${#messages[@]} found)"
else
  fail "README lists the messages (${#messages[@]} found, expected at least 10)"
fi
for message in "${messages[@]}"; do
  if grep -Fxq -- "$message" <<<"$rendered"; then
    pass "DIAGNOSTICS lists: $message"
  else
    fail "DIAGNOSTICS lists: $message"
  fi
done

# http2retlw-site(1): formats cleanly, has its sections, and its
# DIAGNOSTICS name every message of the program (the fixed part of each).
site_page=$repo/man/http2retlw-site.1
if warnings=$(groff -man -Tutf8 -ww -z "$site_page" 2>&1) && [ -z "$warnings" ] &&
  { ! command -v mandoc >/dev/null || mandoc -Tlint -W warning "$site_page" >/dev/null 2>&1; }; then
  pass "http2retlw-site.1: groff -ww and mandoc -Tlint find nothing"
else
  fail "http2retlw-site.1: groff -ww and mandoc -Tlint find nothing"
  printf '%s\n' "$warnings" | sed 's/^/      /'
fi
site_rendered=$(groff -man -Tascii -P-cbou -rLL=500n -rHY=0 "$site_page" | sed 's/^ *//')
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "INPUT FORMAT" "OUTPUT FORMAT" \
  "EXIT STATUS" DIAGNOSTICS EXAMPLES; do
  if grep -Fxq "$section" <<<"$site_rendered"; then
    pass "http2retlw-site.1: section $section"
  else
    fail "http2retlw-site.1: section $section"
  fi
done
for fault in "a subfolder; a page is found by its tag alone" "does not assemble (gpasm rejects" \
  "is never the first character of a path a browser sends" \
  "make and CMake cannot carry this name; use letters, digits and . _ - + ~" \
  "its table would be pages.inc" "files; the server would serve one of them for all" \
  "no file's name starts with i: the server answers GET / with the page tagged i" \
  "not a header line (NAME: VALUE)" "which the site step writes itself" \
  "completed response too long for table (" "cannot be served:" "couldn't open folder" \
  "its stored response did not convert; no table written, pages.inc removed" \
  "names none of the server's values" "is not closed by -->" "placeholders, at most 255"; do
  if grep -Fq -- "$fault" <<<"$site_rendered"; then
    pass "http2retlw-site.1 DIAGNOSTICS lists: $fault"
  else
    fail "http2retlw-site.1 DIAGNOSTICS lists: $fault"
  fi
done

report_and_exit
