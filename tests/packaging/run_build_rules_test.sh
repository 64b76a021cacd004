#!/usr/bin/env bash
# Runs the firmware build rules of examples/build-rules with the make
# fragment and the CMake package of an installed http2retlw, and with this
# source tree added to the CMake example (also to a cross build of it for
# 64-bit ARM, where the converter must still run here), and checks what a
# firmware build relies on: every page becomes its table with the page's
# own first letter as tag, an up-to-date build converts nothing, a changed
# page regenerates only its own table and a changed converter every table,
# and a page that fails to convert fails the build with the converter's
# message and leaves neither a table nor a temporary file.
#
#   tests/packaging/run_build_rules_test.sh BUILD_DIR
#       installs BUILD_DIR with cmake --install into a temporary prefix;
#       adds the rows that build the converter from this source tree
#   tests/packaging/run_build_rules_test.sh --installed PREFIX
#       an install made otherwise (the .deb's usr/, an unpacked archive):
#       the first build of each rule only; its http2retlw files are
#       copied, so PREFIX is never changed
#
# Exits 77 when cmake is missing, and skips a row whose make, ninja or
# cross compiler is missing. Under CI (CI set), where every tool is
# installed, a skip fails.
set -euo pipefail

usage() {
  echo "usage: $0 BUILD_DIR | --installed PREFIX" >&2
  exit 2
}
case "$#:${1:-}" in
  1:-*) usage ;;
  1:*) build_dir=$1 installed='' ;;
  2:--installed) build_dir='' installed=$2 ;;
  *) usage ;;
esac
repo=$(cd "$(dirname "$0")/../.." && pwd)

# shellcheck source=tests/report.sh
. "$(dirname "$0")/../report.sh"
command -v cmake >/dev/null || skip_suite "cmake is not installed"

# Expected tables come from the golden files, not from the tool under test.
declare -A want=(
  [index.inc]=$repo/tests/data/example_index.asm
  [about.inc]=$repo/tests/packaging/data/about.asm
)
# The example's tracked files only: whatever a user built in the folder
# stays out of the copies.
example_files=(CMakeLists.txt Makefile pages/index.htm pages/about.htm)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
if [ -n "$build_dir" ]; then
  cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 || {
    echo "FAIL  cmake --install $build_dir"
    sed 's/^/      /' "$work/install.log"
    exit 1
  }
else
  mkdir -p "$prefix/bin" "$prefix/lib/cmake" "$prefix/share"
  if ! cp -p "$installed/bin/http2retlw" "$prefix/bin/" ||
    ! cp -R "$installed/lib/cmake/http2retlw" "$prefix/lib/cmake/" ||
    ! cp -R "$installed/share/http2retlw" "$prefix/share/"; then
    echo "FAIL  $installed holds bin/http2retlw, lib/cmake/http2retlw/ and share/http2retlw/"
    exit 1
  fi
fi

# Fixed times instead of waiting for the clock. The tables of a finished
# build are set to kBuiltTime, later than anything a build writes, so any
# regenerated table shows up as a changed time; a page or the converter is
# changed by setting it later still, and a page set back to kSourceTime,
# older than anything, afterwards.
kSourceTime=200101010000
kBuiltTime=203701010000
kChangedTime=203701020000
kBuiltStamp=$(date -d '2037-01-01 00:00' +%s)

# One row per way of running the rules: name, tools needed, build command
# (run inside the copied example folder), folder the tables land in, the
# converter the rules run (relative to that folder or absolute).
rules=(
  "make|make|make -s HTTP2RETLW_PREFIX=\"\$prefix\"|tables|$prefix/bin/http2retlw"
  "cmake-package-makefiles|make|cmake -S . -B build -G 'Unix Makefiles' -DCMAKE_PREFIX_PATH=\"\$prefix\" >/dev/null && cmake --build build|build/tables|$prefix/bin/http2retlw"
  "cmake-package-ninja|ninja|cmake -S . -B build -G Ninja -DCMAKE_PREFIX_PATH=\"\$prefix\" >/dev/null && cmake --build build|build/tables|$prefix/bin/http2retlw"
)
# The converter built first as part of the example, without its tests and
# without touching the example's build type or writing CPack files into its
# binary folder; in a cross build of the example, built for this host.
[ -n "$installed" ] || rules+=(
  "cmake-subdirectory|make|cmake -S . -B build -G 'Unix Makefiles' -DHTTP2RETLW_SOURCE_DIR=\"\$repo\" >/dev/null && cmake --build build --parallel 2 && test ! -e build/http2retlw/tests && test ! -e build/CPackConfig.cmake && ! grep -qx CMAKE_BUILD_TYPE:STRING=Release build/CMakeCache.txt|build/tables|build/http2retlw/http2retlw"
  "cmake-subdirectory-cross|aarch64-linux-gnu-g++ ninja|cmake -S . -B build -G Ninja --toolchain \"\$repo/cmake/aarch64-linux-gnu.cmake\" -DHTTP2RETLW_SOURCE_DIR=\"\$repo\" >/dev/null && cmake --build build|build/tables|build/http2retlw/host/build/http2retlw"
)

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
  IFS='|' read -r name tools build tables converter <<<"$row"
  missing=''
  for tool in $tools; do
    command -v "$tool" >/dev/null || missing+=" $tool"
  done
  if [ -n "$missing" ]; then
    skip "$name:$missing is not installed"
    continue
  fi
  dir=$work/$name
  for file in "${example_files[@]}"; do
    mkdir -p "$(dirname "$dir/$file")"
    cp "$repo/examples/build-rules/$file" "$dir/$file"
  done
  [[ $converter == /* ]] || converter=$dir/$converter
  log=$work/$name.log
  run_build() { (cd "$dir" && eval "$build") >"$log" 2>&1; }

  if run_build && tables_match "$dir/$tables"; then
    pass "$name: first build writes each page's table, tagged with its own first letter"
  else
    fail "$name: first build writes each page's table, tagged with its own first letter"
    sed 's/^/      /' "$log"
    continue
  fi
  # Another install differs only in where its files lie, which the first
  # build proves; how the rules rebuild is the same files' doing, checked
  # against the temporary prefix.
  [ -z "$installed" ] || continue

  touch -t "$kBuiltTime" "$dir/$tables"/*.inc
  if run_build && [ -z "$(changed_tables "$dir/$tables")" ]; then
    pass "$name: second build regenerates nothing"
  else
    fail "$name: second build regenerates nothing (changed: $(changed_tables "$dir/$tables" | xargs))"
  fi

  touch -t "$kChangedTime" "$dir/pages/about.htm"
  if run_build && [ "$(changed_tables "$dir/$tables")" = about.inc ] &&
    tables_match "$dir/$tables"; then
    pass "$name: a changed about.htm regenerates only about.inc"
  else
    fail "$name: a changed about.htm regenerates only about.inc (changed: $(changed_tables "$dir/$tables" | xargs))"
  fi
  touch -t "$kSourceTime" "$dir/pages/about.htm"
  touch -t "$kBuiltTime" "$dir/$tables"/*.inc

  touch -t "$kChangedTime" "$converter"
  if run_build && [ "$(changed_tables "$dir/$tables" | xargs)" = "about.inc index.inc" ] &&
    tables_match "$dir/$tables"; then
    pass "$name: a changed converter regenerates every table"
  else
    fail "$name: a changed converter regenerates every table (changed: $(changed_tables "$dir/$tables" | xargs))"
  fi
  touch "$converter"

  # LF-only line ends: the converter rejects the page, and the build must
  # fail with its message, without leaving a table that a later build
  # would take as up to date, or the temporary file the table was written
  # to: the tables folder holds exactly the good tables.
  printf 'HTTP/1.0 200 OK\nContent-Length: \n\nx' >"$dir/pages/broken.htm"
  if ! run_build && tables_match "$dir/$tables" &&
    grep -Fq "http2retlw: couldn't find header <-> body delimiter" "$log" &&
    ! run_build; then
    pass "$name: a page that fails to convert fails the build with the converter's message and leaves no table and no temporary"
  else
    fail "$name: a page that fails to convert fails the build with the converter's message and leaves no table and no temporary (left: $(cd "$dir/$tables" && echo *))"
    sed 's/^/      /' "$log"
  fi
done

report_and_exit
