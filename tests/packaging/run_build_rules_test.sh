#!/usr/bin/env bash
# Runs the firmware build rules of examples/build-rules with the make
# fragment and the CMake package of an installed http2retlw, and with this
# source tree added to the CMake example (also to a cross build of it for
# 64-bit ARM, where the converter must still run here), and checks what a
# firmware build relies on: every page becomes its table with the page's
# own first letter as tag, named after the page without its last
# extension only, an up-to-date build converts nothing, a changed page
# regenerates only its own table and a changed converter every table, and
# a page that fails to convert fails the build with the converter's
# message and leaves neither a table nor a temporary file. A subfolder of
# the CMake example gets its tables in its own binary folder; the make
# fragment runs a converter named relative to where make runs; the CMake
# package accepts the versions it can serve and only those.
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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Expected tables come from the golden files, not from the tool under test.
# The rules' copies of the example also hold v1.2.htm, about.htm under a
# name with two dots, whose table is v1.2.inc: about's table tagged 'v'.
declare -A want=(
  [index.inc]=$repo/tests/data/example_index.asm
  [about.inc]=$repo/tests/packaging/data/about.asm
  [v1.2.inc]=$work/v1.2.asm
)
sed "2s/^\tretlw\t'a'\$/\tretlw\t'v'/" "$repo/tests/packaging/data/about.asm" >"$work/v1.2.asm"
# The example's tracked files only: whatever a user built in the folder
# stays out of the copies.
example_files=(CMakeLists.txt Makefile pages/index.htm pages/about.htm)
prefix=$work/prefix
if [ -n "$build_dir" ]; then
  cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 || {
    echo "FAIL  cmake --install $build_dir"
    sed 's/^/      /' "$work/install.log"
    exit 1
  }
else
  mkdir -p "$prefix/bin" "$prefix/lib/cmake" "$prefix/share"
  if ! cp -p "$installed/bin/http2retlw" "$installed/bin/http2retlw-site" "$prefix/bin/" ||
    ! cp -R "$installed/lib/cmake/http2retlw" "$prefix/lib/cmake/" ||
    ! cp -R "$installed/share/http2retlw" "$prefix/share/"; then
    echo "FAIL  $installed holds bin/http2retlw, bin/http2retlw-site, lib/cmake/http2retlw/ and share/http2retlw/"
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
# converter the rules run (relative to that folder or absolute), and for
# CMake the folder the tables of the subfolder firmware/ land in. The
# second make row names the converter relative to the example folder,
# where make runs, and not to pages/, where the recipe runs it.
rules=(
  "make|make|make -s HTTP2RETLW_PREFIX=\"\$prefix\"|tables|$prefix/bin/http2retlw|-"
  "make-relative-converter|make|make -s HTTP2RETLW_PREFIX=\"\$prefix\" HTTP2RETLW=../prefix/bin/http2retlw|tables|$prefix/bin/http2retlw|-"
  "cmake-package-makefiles|make|cmake -S . -B build -G 'Unix Makefiles' -DCMAKE_PREFIX_PATH=\"\$prefix\" >/dev/null && cmake --build build|build/tables|$prefix/bin/http2retlw|build/firmware/tables"
  "cmake-package-ninja|ninja|cmake -S . -B build -G Ninja -DCMAKE_PREFIX_PATH=\"\$prefix\" >/dev/null && cmake --build build|build/tables|$prefix/bin/http2retlw|build/firmware/tables"
)
# The converter built first as part of the example, without its tests and
# without touching the example's build type or writing CPack files into its
# binary folder; in a cross build of the example, built for this host.
# The cross build uses make, from a clean folder: Ninja would order the
# tables after the host build through the program's file alone, make only
# through the target's dependency, which is what the row must prove.
[ -n "$installed" ] || rules+=(
  "cmake-subdirectory|make|cmake -S . -B build -G 'Unix Makefiles' -DHTTP2RETLW_SOURCE_DIR=\"\$repo\" >/dev/null && cmake --build build --parallel 2 && test ! -e build/http2retlw/tests && test ! -e build/CPackConfig.cmake && ! grep -qx CMAKE_BUILD_TYPE:STRING=Release build/CMakeCache.txt|build/tables|build/http2retlw/http2retlw|build/firmware/tables"
  "cmake-subdirectory-cross|aarch64-linux-gnu-g++ make|cmake -S . -B build -G 'Unix Makefiles' --toolchain \"\$repo/cmake/aarch64-linux-gnu.cmake\" -DHTTP2RETLW_SOURCE_DIR=\"\$repo\" >/dev/null && cmake --build build --parallel 2|build/tables|build/http2retlw/host/build/http2retlw|build/firmware/tables"
)

# missing_tools TOOL...: those not installed, each after a space.
missing_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || printf ' %s' "$tool"
  done
}

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

# firmware/ of the copied example names its page and its tables folder
# relative to itself: the page from its source folder, the tables to its
# binary folder, build/firmware/tables, not the top one, build/tables
# (where the top folder's about.inc already is), nor firmware/tables.
subfolder_rules="http2retlw_add_tables(firmware_tables PAGES ../pages/about.htm TABLE_DIR tables)"
subfolder_tables_match() {
  [ "$(cd "$1" && ls)" = about.inc ] && cmp -s "$1/about.inc" "${want[about.inc]}" &&
    [ ! -e "$dir/firmware/tables" ]
}

for row in "${rules[@]}"; do
  IFS='|' read -r name tools build tables converter subfolder_tables <<<"$row"
  # shellcheck disable=SC2086 # one tool a word
  missing=$(missing_tools $tools)
  if [ -n "$missing" ]; then
    skip "$name:$missing is not installed"
    continue
  fi
  dir=$work/$name
  for file in "${example_files[@]}"; do
    mkdir -p "$(dirname "$dir/$file")"
    cp "$repo/examples/build-rules/$file" "$dir/$file"
  done
  cp "$dir/pages/about.htm" "$dir/pages/v1.2.htm"
  mkdir "$dir/firmware"
  echo "$subfolder_rules" >"$dir/firmware/CMakeLists.txt"
  echo 'add_subdirectory(firmware)' >>"$dir/CMakeLists.txt"
  [[ $converter == /* ]] || converter=$dir/$converter
  log=$work/$name.log
  run_build() { (cd "$dir" && eval "$build") >"$log" 2>&1; }

  if run_build && tables_match "$dir/$tables"; then
    pass "$name: first build writes each page's table, v1.2.htm's as v1.2.inc, tagged with its own first letter"
  else
    fail "$name: first build writes each page's table, v1.2.htm's as v1.2.inc, tagged with its own first letter (made: $(cd "$dir/$tables" && echo *))"
    sed 's/^/      /' "$log"
    continue
  fi
  if [ "$subfolder_tables" != - ]; then
    if subfolder_tables_match "$dir/$subfolder_tables"; then
      pass "$name: a relative TABLE_DIR in firmware/ is $subfolder_tables"
    else
      fail "$name: a relative TABLE_DIR in firmware/ is $subfolder_tables (made: $(cd "$dir" && find . -path ./build/http2retlw -prune -o -path '*/tables/*' -print | sort | xargs))"
    fi
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
  if run_build && [ "$(changed_tables "$dir/$tables" | xargs)" = "about.inc index.inc v1.2.inc" ] &&
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

# The package serves 1.x from 1.0 up to its own version and nothing
# else: find_package of each version, in a project of its own, finds it
# exactly where the list says 1.
package_versions="0.9:0 1.0:1 1.2:1 2.0:0"
mkdir "$work/versions"
cat >"$work/versions/CMakeLists.txt" <<'END'
cmake_minimum_required(VERSION 3.20)
project(versions NONE)
foreach(version IN LISTS VERSIONS)
  find_package(http2retlw ${version} QUIET PATHS ${PREFIX} NO_DEFAULT_PATH)
  message(STATUS "find_package(http2retlw ${version}): ${version}:${http2retlw_FOUND}")
  unset(http2retlw_DIR CACHE)
endforeach()
END
versions_found() {
  cmake -S "$work/versions" -B "$work/versions/build" -DPREFIX="$prefix" \
    -DVERSIONS="$(sed 's/:[01]//g; s/ /;/g' <<<"$package_versions")" >"$work/versions.log" 2>&1 &&
    [ "$(sed -n 's/^-- find_package(http2retlw [0-9.]*): //p' "$work/versions.log" | xargs)" = "$package_versions" ]
}
if versions_found; then
  pass "find_package(http2retlw VERSION) finds it exactly where 1 stands: $package_versions"
else
  fail "find_package(http2retlw VERSION) finds it exactly where 1 stands: $package_versions"
  sed 's/^/      /' "$work/versions.log"
fi

# The site step: examples/site, with a PNG-named file holding every byte
# value and a headers file of mixed line ends, through the make fragment
# and the CMake package. The expected tables are stored responses this
# test writes with printf and converts itself. Rows: name, tools needed,
# first build command, the command of every later build, tables folder.
site_make="make -s HTTP2RETLW_PREFIX=\"\$prefix\" HTTP2RETLW_SITE=site HTTP2RETLW_SITE_HEADERS=headers.txt"
site_cmake="-DCMAKE_PREFIX_PATH=\"\$prefix\" -DSITE_DIR=site -DSITE_HEADERS=headers.txt >/dev/null && cmake --build build"
site_rules=(
  "site-make|make|$site_make|$site_make|tables"
  "site-cmake-package-makefiles|make|cmake -S . -B build -G 'Unix Makefiles' $site_cmake|cmake --build build|build/tables"
  "site-cmake-package-ninja|ninja|cmake -S . -B build -G Ninja $site_cmake|cmake --build build|build/tables"
)
# This source tree added to a cross build for 64-bit ARM: http2retlw-site
# must be built for this host, as the converter is.
[ -n "$installed" ] || site_rules+=(
  "site-cmake-subdirectory-cross|aarch64-linux-gnu-g++ make|cmake -S . -B build -G 'Unix Makefiles' --toolchain \"\$repo/cmake/aarch64-linux-gnu.cmake\" -DHTTP2RETLW_SOURCE_DIR=\"\$repo\" -DSITE_DIR=site -DSITE_HEADERS=headers.txt >/dev/null && cmake --build build --parallel 2|cmake --build build --parallel 2|build/tables"
)
# What each served file is served as: content type, then the encoding.
declare -A site_types=(
  [404.html]=text/html [about.html]=text/html [guide.html]=text/html
  [index.html]=text/html [logo.png]=image/png [bytes.png]=image/png
  [style.css.gz]="text/css gzip"
)
# Changes to a built site: what to do in the example folder, the tables
# that must be made again, text the build log must hold or -. Files keep
# the times they are written at, to the nanosecond, so a table written
# again shows as a changed time.
site_changes=(
  "touch site/about.html|about.html.inc pages.inc|-"
  "printf x >site/notes.txt|notes.txt.inc pages.inc|-"
  "rm site/notes.txt|pages.inc|-"
  "touch site/.about.html.swp site/about.html~|-|-"
  "printf 'X-Frame-Options: DENY\n' >>headers.txt|404.html.inc about.html.inc bytes.png.inc guide.html.inc index.html.inc logo.png.inc pages.inc style.css.gz.inc|-"
  "rm site/404.html|pages.inc|no file's name starts with 4"
)
# Sites that must be refused: the fault planted, the text of the message,
# the tables that must not be left. Each is undone before the next.
site_refusals=(
  "printf x >site/scripts.js|one tag, 's', for 2 files|scripts.js.inc style.css.gz.inc"
  "printf x >'site/\"q.htm'|does not assemble|-"
  "printf x >'site/\\q.htm'|does not assemble|-"
  "printf x >'site/ q.htm'|is never the first character of a path|-"
  "printf x >'site/?q.htm'|is never the first character of a path|-"
  "printf x >\$'site/\\xe9q.htm'|is never the first character of a path|-"
  "printf x >'site/a b.htm'|make and CMake cannot carry this name|-"
  "printf x >'site/a;b.htm'|make and CMake cannot carry this name|-"
  "printf x >'site/a[b.htm'|make and CMake cannot carry this name|-"
  "printf x >'site/a\$b.htm'|make and CMake cannot carry this name|-"
  "mkdir site/sub|a subfolder|-"
  "mv site/index.html site/start.html|no file's name starts with i|start.html.inc"
  "head -c 65536 /dev/zero >site/zeros.bin|completed response too long for table|zeros.bin.inc"
  "printf 'no colon\r\n' >>headers.txt|headers.txt:5: not a header line|-"
  "printf 'Content-TYPE: x\n' >>headers.txt|sets content-type, which the site step writes itself|-"
)

# examples/site as it stands, by the installed program itself: the tables
# 1.2.0's site step made of the files it had then and that have not changed
# since (data/example_site-1.2.0.sha256; index.html has a link more, and
# values.html and data.json have placeholders), and what it said.
example_site_as_released() {
  local out=$work/example-site
  "$prefix/bin/http2retlw-site" "$repo/examples/site" "$out" >"$out.log" 2>&1 &&
    (cd "$out" && sha256sum --quiet -c "$repo/tests/packaging/data/example_site-1.2.0.sha256") &&
    [ "$(cd "$out" && echo *)" = "404.html.inc about.html.inc data.json.inc guide.html.inc index.html.inc logo.png.inc pages.inc style.css.gz.inc values.html.inc" ] &&
    diff - "$out.log" <<'END'
Note:
  style.css left out: style.css.gz is served in its place

pages.inc: 8 pages, 10842 bytes of program memory, 16.5% of the PIC18F4620's 64 KiB
END
}
if example_site_as_released >"$work/example-site.diff" 2>&1; then
  pass "http2retlw-site makes examples/site's unchanged files' tables as 1.2.0 did, and its summary"
else
  fail "http2retlw-site makes examples/site's unchanged files' tables as 1.2.0 did, and its summary"
  sed 's/^/      /' "$work/example-site.diff"
fi

# made_again DIR STAMPS: the tables in DIR written since `stamps DIR`
# printed STAMPS.
stamps() { stat -c '%n %.9Y' "$1"/*.inc; }
made_again() {
  stamps "$1" | { grep -vxF -f "$2" || true; } | sed 's| [0-9.]*$||; s|.*/||' | xargs
}

# site_tables_match DIR: each served file's table is the conversion of the
# stored response written here, with the header line of headers.txt.
site_tables_match() {
  local tables=$1 name type encoding status expect
  for name in "${!site_types[@]}"; do
    read -r type encoding <<<"${site_types[$name]}"
    status='200 OK'
    [[ $name != 404.* ]] || status='404 Not Found'
    expect=$work/expect/$name
    rm -rf "$expect" && mkdir -p "$expect" || return 1
    {
      printf 'HTTP/1.0 %s\r\nContent-Type: %s\r\n' "$status" "$type"
      [ -z "$encoding" ] || printf 'Content-Encoding: %s\r\n' "$encoding"
      printf 'Content-Length:\r\nCache-Control: max-age=3600\r\n\r\n'
      cat "$dir/site/$name"
    } >"$expect/$name"
    (cd "$expect" && "$prefix/bin/http2retlw" "$name") >"$expect.inc" &&
      cmp "$expect.inc" "$tables/$name.inc" || return 1
  done
}

# pages_lists_site DIR: pages.inc includes the table of every file the
# site serves (not style.css, for style.css.gz, nor an editor's backup), in
# order, and nothing else.
pages_lists_site() {
  local listed served
  listed=$(sed -n 's/^\t#include "\(.*\)\.inc"$/\1/p' "$1/pages.inc") || return 1
  served=$(LC_ALL=C && cd "$dir/site" && printf '%s\n' * | grep -vx -e 'style\.css' -e '.*~')
  [ "$listed" = "$served" ] &&
    [ "$(grep -c '^	page_table	' "$1/pages.inc")" = "$(wc -l <<<"$served")" ]
}

# server_assembles DIR: http_server_18.asm assembles with -I DIR, without
# an error or a warning. Its layers come from the source tree, after DIR:
# DIR's pages.inc, not the one beside the server, is the page set.
server_assembles() {
  local out
  mkdir -p "$dir/firmware" &&
    out=$(cd "$dir/firmware" && gpasm -I "$1" -I "$repo/firmware" \
      -o http_server_18.hex "$repo/firmware/http_server_18.asm" 2>&1) &&
    ! grep -qE 'Error|Warning' <<<"$out"
}

for row in "${site_rules[@]}"; do
  IFS='|' read -r name tools build rebuild tables <<<"$row"
  # shellcheck disable=SC2086 # one tool a word
  missing=$(missing_tools $tools gpasm)
  if [ -n "$missing" ]; then
    skip "$name:$missing is not installed"
    continue
  fi
  dir=$work/$name
  mkdir -p "$dir/pages"
  for file in "${example_files[@]}"; do cp "$repo/examples/build-rules/$file" "$dir/$file"; done
  cp -R "$repo/examples/site" "$dir/site"
  # The pages with placeholders: their tables hold fillers, which this
  # test's own conversion does not make (the cli suite checks them).
  rm "$dir/site/values.html" "$dir/site/data.json"
  for i in $(seq 0 255); do printf '%b' "$(printf '\\0%03o' "$i")"; done >"$dir/site/bytes.png"
  printf '# every page\r\n\nCache-Control: max-age=3600\n' >"$dir/headers.txt"
  tables=$dir/$tables
  log=$work/$name.log
  site_build() { (cd "$dir" && eval "$build") >"$log" 2>&1; }

  if site_build && site_tables_match "$tables" && pages_lists_site "$tables" &&
    grep -Fq 'style.css left out: style.css.gz is served in its place' "$log" &&
    grep -Eq '^pages.inc: 7 pages, [0-9]+ bytes of program memory, [0-9]+\.[0-9]% of' "$log" &&
    server_assembles "$tables"; then
    pass "$name: the site's tables are its files' stored responses byte for byte, and the server assembles with its pages.inc"
  else
    fail "$name: the site's tables are its files' stored responses byte for byte, and the server assembles with its pages.inc"
    sed 's/^/      /' "$log"
    continue
  fi
  # The tables and pages.inc 1.2.0's site step made of this site, checked
  # by their SHA-256 (data/build_rules_site-1.2.0.sha256; not index.html's,
  # which has a link more since), and its summary.
  if (cd "$tables" && sha256sum --quiet -c "$repo/tests/packaging/data/build_rules_site-1.2.0.sha256") >"$work/sums" 2>&1 &&
    grep -Fqx "pages.inc: 7 pages, 8956 bytes of program memory, 13.7% of the PIC18F4620's 64 KiB" "$log"; then
    pass "$name: the tables, pages.inc and summary are 1.2.0's, byte for byte"
  else
    fail "$name: the tables, pages.inc and summary are 1.2.0's, byte for byte"
    sed 's/^/      /' "$work/sums" "$log"
  fi
  [ -z "$installed" ] || continue
  # Later builds do not configure again by hand: the rules must see what
  # changed on their own.
  build=$rebuild

  for change in "${site_changes[@]}"; do
    IFS='|' read -r action want said <<<"$change"
    [ "$want" != - ] || want=''
    stamps "$tables" >"$work/stamps"
    (cd "$dir" && eval "$action")
    if site_build && got=$(made_again "$tables" "$work/stamps") && [ "$got" = "$want" ] &&
      pages_lists_site "$tables" && { [ "$said" = - ] || grep -Fq "$said" "$log"; }; then
      pass "$name: after $action, the build makes ${want:-nothing} again"
    else
      fail "$name: after $action, the build makes ${want:-nothing} again (made: ${got:-})"
      sed 's/^/      /' "$log"
    fi
  done

  cp "$dir/headers.txt" "$work/headers.txt"
  ls -A "$dir/site" >"$work/site-files"
  for refusal in "${site_refusals[@]}"; do
    IFS='|' read -r action message left <<<"$refusal"
    [ "$left" != - ] || left=''
    ok=1
    (cd "$dir" && eval "$action")
    if site_build || ! grep -Fq "$message" "$log" || [ -e "$tables/pages.inc" ]; then ok=0; fi
    for table in $left; do [ ! -e "$tables/$table" ] || ok=0; done
    # Undone: what was planted goes, the renamed page and the headers come
    # back, and the site builds again.
    (shopt -s dotglob && cd "$dir/site" &&
      { [ ! -e start.html ] || mv start.html index.html; } &&
      for file in *; do grep -qxF -- "$file" "$work/site-files" || rm -rf -- "$file"; done)
    cp "$work/headers.txt" "$dir/headers.txt"
    if [ "$ok" = 1 ]; then
      pass "$name: refused after $action, with \"$message\", leaving no pages.inc${left:+ and no $left}"
    else
      fail "$name: refused after $action, with \"$message\", leaving no pages.inc${left:+ and no $left}"
      sed 's/^/      /' "$log"
    fi
    site_build || { fail "$name: builds again after $action is undone"; sed 's/^/      /' "$log"; }
  done
done

report_and_exit
