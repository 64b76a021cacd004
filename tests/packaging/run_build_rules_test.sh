#!/usr/bin/env bash
# Runs the shipped firmware build rules (examples/build-rules: the make
# pattern rule and the CMake custom-command loop) against a built
# http2retlw and checks what a firmware build relies on: every page becomes
# its table with the page's own first letter as tag, an up-to-date build
# converts nothing, a changed page regenerates only its own table, and a
# page that fails to convert leaves neither a table nor a temporary file.
#
#   tests/packaging/run_build_rules_test.sh PATH/TO/http2retlw
#
# Exits 77 when make or cmake is missing.
set -euo pipefail

if [ "$#" -ne 1 ]; then
  echo "usage: $0 PATH/TO/http2retlw" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/../.." && pwd)
converter=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
[ -x "$converter" ] || {
  echo "not an executable: $converter" >&2
  exit 2
}
for tool in make cmake; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed"
    exit 77
  fi
done

# Expected tables come from the golden files, not from the tool under test.
declare -A want=(
  [index.inc]=$repo/tests/data/example_index.asm
  [about.inc]=$repo/tests/packaging/data/about.asm
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Fixed times instead of waiting for the clock: sources are made older than
# anything a build writes, and the tables of a finished build are set to a
# later fixed time, so any regenerated table shows up as a changed time.
kSourceTime=200101010000
kBuiltTime=200201010000
kBuiltStamp=$(date -d '2002-01-01 00:00' +%s)

# The CMake rule also depends on the converter itself, so a private copy of
# it is made as old as the pages.
mkdir "$work/bin"
cp "$converter" "$work/bin/http2retlw"
converter=$work/bin/http2retlw
touch -t "$kSourceTime" "$converter"

# One row per way of running the rules: name, generator needed, build command
# (run inside the copied example folder), folder the tables land in.
rules=(
  "make|make|make -s HTTP2RETLW=\$converter|tables"
  "cmake-makefiles|make|cmake -S . -B build -G 'Unix Makefiles' -DHTTP2RETLW=\$converter >/dev/null && cmake --build build|build/tables"
  "cmake-ninja|ninja|cmake -S . -B build -G Ninja -DHTTP2RETLW=\$converter >/dev/null && cmake --build build|build/tables"
)

# shellcheck source=tests/packaging/report.sh
. "$(dirname "$0")/report.sh"

# Table files that changed since the build was stamped with kBuiltTime.
changed_tables() {
  local f
  for f in "$1"/*.inc; do
    [ "$(stat -c %Y "$f")" = "$kBuiltStamp" ] || basename "$f"
  done
}

tables_match() {
  local dir=$1 name
  [ "$(cd "$dir" && ls)" = "$(printf '%s\n' "${!want[@]}" | sort)" ] || return 1
  for name in "${!want[@]}"; do
    cmp -s "$dir/$name" "${want[$name]}" || return 1
  done
}

for row in "${rules[@]}"; do
  IFS='|' read -r name generator build tables <<<"$row"
  if ! command -v "$generator" >/dev/null; then
    skip "$name: $generator is not installed"
    continue
  fi
  dir=$work/$name
  cp -R "$repo/examples/build-rules" "$dir"
  find "$dir" -exec touch -t "$kSourceTime" {} +
  log=$work/$name.log
  run_build() { (cd "$dir" && eval "$build") >"$log" 2>&1; }

  if run_build && tables_match "$dir/$tables"; then
    pass "$name: first build writes each page's table, tagged with its own first letter"
  else
    fail "$name: first build writes each page's table, tagged with its own first letter"
    sed 's/^/      /' "$log"
    continue
  fi

  touch -t "$kBuiltTime" "$dir/$tables"/*.inc
  if run_build && [ -z "$(changed_tables "$dir/$tables")" ]; then
    pass "$name: second build regenerates nothing"
  else
    fail "$name: second build regenerates nothing (changed: $(changed_tables "$dir/$tables" | xargs))"
  fi

  touch "$dir/pages/about.htm"
  if run_build && [ "$(changed_tables "$dir/$tables")" = about.inc ] &&
    tables_match "$dir/$tables"; then
    pass "$name: touching about.htm regenerates only about.inc"
  else
    fail "$name: touching about.htm regenerates only about.inc (changed: $(changed_tables "$dir/$tables" | xargs))"
  fi

  # LF-only line ends: the tool rejects the page, and the build must fail
  # without leaving a table that a later build would take as up to date,
  # or the temporary file the table was written to: the tables folder
  # holds exactly the good tables.
  printf 'HTTP/1.0 200 OK\nContent-Length: \n\nx' >"$dir/pages/broken.htm"
  if ! run_build && tables_match "$dir/$tables" && ! run_build; then
    pass "$name: a page that fails to convert fails the build and leaves no table and no temporary"
  else
    fail "$name: a page that fails to convert fails the build and leaves no table and no temporary (left: $(cd "$dir/$tables" && echo *))"
  fi
  rm "$dir/pages/broken.htm"
done

report_and_exit
