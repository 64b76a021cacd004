#!/usr/bin/env bash
# Whole runs of the Windows build under Wine: golden tables with CR LF line
# ends, binary input, the file tag, file names beyond the ANSI code page and
# at each UTF-8 length boundary, and every failure message opened by the
# program's full Windows path. First host_platform_windows_test.exe, built
# here, checks what whole runs under Wine cannot see (unpaired surrogates,
# the \\?\ forms, console text, its own path beyond MAX_PATH); its rows
# count with the others. Last, http2retlw-site.exe on a site in a CJK folder,
# one with non-ASCII names, and a site changed between runs.
#
#   tests/windows/run_wine_tests.sh [PATH/TO/http2retlw.exe]
#
# Without an argument it cross-builds with the `mingw` preset first, into
# $HTTP2RETLW_MINGW_BUILD_DIR (build-mingw by default). The Wine
# prefix and all scratch files live beside the executable. Exit status: 0 all
# passed, 1 a row failed, 77 MinGW-w64 or Wine is not installed (1 when CI
# is set, since CI installs both).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# shellcheck source-path=SCRIPTDIR source=wine_env.sh
. "$here/wine_env.sh"

# shellcheck source=tests/report.sh
. "$here/../report.sh"

if [ $# -gt 1 ]; then
  echo "usage: $0 [PATH/TO/http2retlw.exe]" >&2
  exit 2
elif [ $# -eq 1 ]; then
  [ -f "$1" ] || {
    echo "no such file: $1" >&2
    exit 2
  }
  exe=$(realpath "$1")
fi
for compiler in x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix; do
  command -v "$compiler" >/dev/null ||
    skip_suite "MinGW-w64 is not installed (Debian: g++-mingw-w64-x86-64-posix)"
done
if [ $# -eq 0 ]; then
  command -v cmake >/dev/null || skip_suite "cmake is not installed"
  # ctest gives each build tree its own folder: trees never share a prefix.
  build_dir=${HTTP2RETLW_MINGW_BUILD_DIR:-$root/build-mingw}
  echo "== cross-building with the mingw preset in $build_dir"
  (cd "$root" && cmake --preset mingw -B "$build_dir" >/dev/null &&
    cmake --build "$build_dir" -j2)
  exe=$build_dir/http2retlw.exe
fi

build=$(dirname "$exe")
work=$build/wine-tests
wine_status=0
start_wine "$build/wineprefix" || wine_status=$?
[ "$wine_status" -ne 77 ] || skip_suite "Wine is not installed (Debian: wine64)"
if [ "$wine_status" -ne 0 ]; then
  echo "0 passed, 1 failed"
  exit 1
fi

rm -rf "$work"
mkdir -p "$work/sub"

# Wine maps the Unix root to drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

program_path=$("$wine" winepath -w "$exe" | tr -d '\r\n')
if [ "$program_path" != "$(windows_path "$exe")" ]; then
  echo "FAIL: winepath gives '$program_path', not the Z: mapping of $exe"
  echo "0 passed, 1 failed"
  exit 1
fi

# A folder whose path is longer than MAX_PATH (260), for an argument of that
# length and for the platform test program, which checks that it gets its
# whole path rather than the first 260 characters. winepath itself
# truncates there, so this path comes from the Z: mapping checked above.
deep=$work
for level in 1 2 3 4 5 6; do
  deep=$deep/$(printf 'directory_level_%d_%040d' "$level" 0)
done
mkdir -p "$deep"
platform_test=$deep/host_platform_windows_test.exe
platform_test_path=$(windows_path "$platform_test")
[ "${#platform_test_path}" -gt 300 ] || {
  echo "FAIL: deep path too short: ${#platform_test_path}"
  exit 1
}

# A copy in a folder whose name the ANSI code page cannot spell.
mkdir -p "$work/程序"
cp "$exe" "$work/程序/http2retlw.exe"

launch_exe=$work/launch.exe
x86_64-w64-mingw32-gcc-posix -std=c11 -O2 -o "$launch_exe" "$here/launch.c"

# Non-ASCII names, each holding another golden input; ps.htm is what the
# ANSI code page makes of pσ.htm.
cp "$root/tests/data/grow.htm" "$work/pσ.htm"
cp "$root/tests/data/stale.htm" "$work/ps.htm"
cp "$root/tests/data/stale.htm" "$work/页.htm"
cp "$root/tests/data/binary.htm" "$work/😀.htm"
cp "$root/tests/data/grow.htm" "$deep/σελίδα.htm"
long_argument=${deep#"$work"/}/σελίδα.htm
long_argument=${long_argument//\//\\}
[ "${#long_argument}" -gt 260 ] || {
  echo "FAIL: long argument too short: ${#long_argument}"
  exit 1
}

# Inputs for the failure rows.
cp "$root/examples/index.htm" "$work/page.htm"
: >"$work/empty.htm"
printf 'HTTP/1.0 200 OK\r\n\r\nabc' >"$work/no_entry.htm"
printf 'HTTP/1.0 200 OK\nContent-Length:     \n\nabc' >"$work/lf_only.htm"
printf 'HTTP/1.0 200 OK\r\nContent-Length:     \n\r\n\r\nabc' >"$work/entry_bare_lf.htm"
# Completed: 17 (status line) + 23 ("Content-Length: 65500" CR LF) + 2 + 65500
# = 65542 bytes, seven over the table's 16-bit length.
{
  printf 'HTTP/1.0 200 OK\r\nContent-Length: \r\n\r\n'
  head -c 65500 /dev/zero | tr '\0' x
} >"$work/too_long.htm"
# 4 GiB + 1 byte, sparse: its size taken in 32 bits would be 1, and 2^31
# (the Linux suite's case) would still be refused from an unsigned one.
truncate -s $((4 * 1024 * 1024 * 1024 + 1)) "$work/over_4gib.htm"
# The size limit itself, sparse: it passes the size check, but not under an
# address space too small to hold it.
truncate -s $((2 * 1024 * 1024 * 1024 - 1)) "$work/at_limit.htm"
# The twin that U+FFFD in place of an unpaired surrogate would open.
cp "$work/page.htm" "$work/missing"$'\xef\xbf\xbd'".htm"

passed=0
failed=0
report() {  # NAME, then the reasons it failed (none: passed)
  local name=$1
  shift
  if [ $# -eq 0 ]; then
    echo "PASS  $name"
    passed=$((passed + 1))
  else
    echo "FAIL  $name: $*"
    failed=$((failed + 1))
  fi
}

# Runs PROGRAM in DIR with the remaining words as arguments; leaves the exit
# status in $status and the streams in $work/out and $work/err. With
# read_only_stdout set, standard output is $work/out (empty) opened for
# reading only: a handle that refuses every write. With address_space set,
# the process gets that many KiB of address space (ulimit -v).
run() {
  local dir=$1 program=$2
  shift 2
  status=0
  (
    cd "$dir"
    [ -z "${address_space:-}" ] || ulimit -v "$address_space"
    if [ -n "${read_only_stdout:-}" ]; then
      : >"$work/out"
      timeout 120 "$wine" "$program" "$@" </dev/null 1<"$work/out" 2>"$work/err"
    else
      timeout 120 "$wine" "$program" "$@" </dev/null >"$work/out" 2>"$work/err"
    fi
  ) || status=$?
}

# The platform file's own functions, built from source with the compiler
# and warnings of the mingw preset. Each of its PASS and FAIL lines counts
# as a row here.
if x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Wextra -Wpedantic \
  -Wconversion -Werror -I "$root/src" -o "$platform_test" \
  "$here/host_platform_windows_test.cpp" "$root/src/host_platform_windows.cpp" \
  -static -lshell32 >"$work/build.log" 2>&1; then
  run "$work" "$platform_test" "$platform_test_path"
  tr -d '\r' <"$work/out"
  rows_passed=$(grep -c '^PASS  ' "$work/out" || true)
  rows_failed=$(grep -c '^FAIL  ' "$work/out" || true)
  passed=$((passed + rows_passed))
  failed=$((failed + rows_failed))
  if [ $((rows_passed + rows_failed)) -eq 0 ]; then
    report "platform test program" "no rows, exit status $status: $(head -c 400 "$work/err")"
  elif [ "$rows_failed" -eq 0 ] && [ "$status" -ne 0 ]; then
    report "platform test program" "exit status $status with every row passed"
  fi
else
  report "platform test program builds" "$(head -c 2000 "$work/build.log")"
fi

# Golden rows: NAME|DIR|ARGUMENT|GOLDEN (LF line ends)|TAG ('' keeps the
# golden's)|SIZE ('' unchecked). The expected table is the golden with each
# LF turned into CR LF.
golden_rows=(
  "example index.htm, 70 + 13 x 41 bytes|$root/examples|index.htm|$root/tests/data/example_index.asm||603"
  "body of 0x0A, 0x0D, 0x1A and 0x00 bytes|$here|line_ends.htm|$here/line_ends.asm||"
  "tag of ./page.htm is '.'|$work|./page.htm|$root/tests/data/example_index.asm|.|603"
  "tag of .\\page.htm is '.'|$work|.\\page.htm|$root/tests/data/example_index.asm|.|603"
  "Greek pσ.htm, not its ANSI twin ps.htm|$work|pσ.htm|$root/tests/data/grow.asm|p|"
  "CJK 页.htm, tagged with its first UTF-8 byte|$work|页.htm|$root/tests/data/stale.asm|"$'\xe9'"|"
  "emoji 😀.htm, outside the BMP|$work|😀.htm|$root/tests/data/binary.asm|"$'\xf0'"|"
  "argument over MAX_PATH, Greek file name|$work|$long_argument|$root/tests/data/grow.asm|d|"
)
# Names at each UTF-8 length boundary and at the top of the surrogate
# ranges, the character first so that the tag shows its first byte:
# LABEL|THE CHARACTER'S UTF-8 BYTES.
boundary_names=(
  'U+007F, the last 1-byte character|\x7f'
  'U+0080, the first 2-byte character|\xc2\x80'
  'U+07FF, the last 2-byte character|\xdf\xbf'
  'U+0800, the first 3-byte character|\xe0\xa0\x80'
  'U+FFFF, the last 3-byte character|\xef\xbf\xbf'
  'U+10000, the first surrogate pair|\xf0\x90\x80\x80'
  'U+10FFFD, surrogates DBFF DFFD|\xf4\x8f\xbf\xbd'
)
for entry in "${boundary_names[@]}"; do
  bytes=${entry#*|}
  character=$(printf '%b' "$bytes")
  cp "$root/tests/data/stale.htm" "$work/$character.htm"
  golden_rows+=("name starting with ${entry%%|*}|$work|$character.htm|$root/tests/data/stale.asm|$(printf '%b' "${bytes:0:4}")|")
done
for input in "$root"/tests/data/*.htm; do
  golden_rows+=("tests/data/$(basename "$input")|$root/tests/data|$(basename "$input")|${input%.htm}.asm||")
done

for row in "${golden_rows[@]}"; do
  IFS='|' read -r name dir argument golden tag size <<<"$row"
  awk -v tag="$tag" 'NR == 2 && tag != "" { print "\tretlw\t\047" tag "\047"; next } { print }' \
    "$golden" | sed 's/$/\r/' >"$work/want"
  run "$dir" "$exe" "$argument"
  reasons=()
  [ "$status" -eq 0 ] || reasons+=("exit status $status, want 0")
  [ ! -s "$work/err" ] || reasons+=("stderr not empty: $(head -c 200 "$work/err")")
  got_size=$(wc -c <"$work/out")
  [ -z "$size" ] || [ "$got_size" -eq "$size" ] || reasons+=("$got_size bytes, want $size")
  bare_lf=$(awk '!/\r$/ { n++ } END { print n + 0 }' "$work/out")
  [ "$bare_lf" -eq 0 ] || reasons+=("$bare_lf lines not ending in CR LF")
  [ "$(tail -c 2 "$work/out" | od -An -tx1 | tr -d ' \n')" = "0d0a" ] ||
    reasons+=("does not end in CR LF")
  cmp -s "$work/out" "$work/want" ||
    reasons+=("differs from $golden: $(cmp "$work/out" "$work/want" 2>&1 | head -1 || true)")
  report "$name" "${reasons[@]}"
done

# Failure rows: NAME|START|ARGUMENTS (';'-separated)|MESSAGE, where @P@
# stands for the program's Windows path. START is `wine` (Wine's loader,
# which passes the full path as argv[0]), `程序` (the same for the copy in
# the non-ASCII folder), `h2r` (launched with the command word h2r as
# argv[0], where \uXXXX is a UTF-16 unit), `read-only` (as `wine`, with
# standard output a handle that refuses writes) or `2.5GiB` (as `wine`, in
# 2.5 GiB of address space: Wine itself starts in 2 GiB, and the 2 GiB
# buffer for the largest input does not fit beside it).
# Each runs in the scratch folder. Messages are UTF-8 with CR LF line ends.
failure_rows=(
  "usage, no argument|wine||Usage: @P@ <input_file>"
  "usage, two arguments|wine|page.htm;page.htm|Usage: @P@ <input_file>"
  "usage, started as h2r: the path, not argv[0]|h2r||Usage: @P@ <input_file>"
  "missing file|wine|missing.htm|@P@: couldn't open file missing.htm"
  "missing file, Windows separators kept|wine|sub\\missing.htm|@P@: couldn't open file sub\\missing.htm"
  "missing file, started as h2r|h2r|missing.htm|@P@: couldn't open file missing.htm"
  "missing file, CJK name|wine|缺失.htm|@P@: couldn't open file 缺失.htm"
  "missing file, unpaired surrogate shown as U+FFFD, not its U+FFFD twin opened|h2r|missing\\uD800.htm|@P@: couldn't open file missing�.htm"
  "program in a CJK folder|程序|σ.htm|@P@: couldn't open file σ.htm"
  "a directory: Windows refuses to open it|wine|sub|@P@: couldn't open file sub"
  "empty file|wine|empty.htm|@P@: binary read failed on input file"
  "4 GiB + 1 byte, sparse: refused from its size|wine|over_4gib.htm|@P@: input file too large"
  "the size limit, 2 GiB less one byte, in 2.5 GiB of address space|2.5GiB|at_limit.htm|@P@: out of memory"
  "no Content-Length entry|wine|no_entry.htm|@P@: couldn't find pseudo Content-Length entry"
  "no delimiter, LF line ends|wine|lf_only.htm|@P@: couldn't find header <-> body delimiter (\"\\r\\n\") in file"
  "entry line ends in bare LF|wine|entry_bare_lf.htm|@P@: couldn't find end of pseudo Content-Length entry (\"\\r\\n\")"
  "completed response over 65535 bytes|wine|too_long.htm|@P@: completed response too long for table (65542 bytes, at most 65535)"
  "write refused: standard output opened read-only|read-only|page.htm|@P@: couldn't write to standard output"
)

for row in "${failure_rows[@]}"; do
  IFS='|' read -r name start arguments message <<<"$row"
  args=()
  [ -z "$arguments" ] || IFS=';' read -r -a args <<<"$arguments"
  case $start in
    wine)
      path=$program_path
      run "$work" "$exe" "${args[@]}"
      ;;
    程序)
      path=$(windows_path "$work/程序/http2retlw.exe")
      run "$work" "$work/程序/http2retlw.exe" "${args[@]}"
      ;;
    h2r)
      path=$program_path
      command_line=h2r
      for a in "${args[@]}"; do command_line+=" $a"; done
      run "$work" "$launch_exe" "$program_path" "$command_line"
      ;;
    read-only)
      path=$program_path
      read_only_stdout=1 run "$work" "$exe" "${args[@]}"
      ;;
    2.5GiB)
      path=$program_path
      address_space=$((5 * 512 * 1024)) run "$work" "$exe" "${args[@]}"
      ;;
  esac
  printf '%s\r\n' "${message//@P@/$path}" >"$work/want"
  reasons=()
  [ "$status" -eq 1 ] || reasons+=("exit status $status, want 1")
  [ ! -s "$work/out" ] || reasons+=("stdout not empty ($(wc -c <"$work/out") bytes)")
  cmp -s "$work/err" "$work/want" ||
    reasons+=("stderr $(od -An -c "$work/err" | tr -s ' \n' ' ' | head -c 400), want $(od -An -c "$work/want" | tr -s ' \n' ' ' | head -c 400)")
  report "$name" "${reasons[@]}"
done

rm -f "$work/over_4gib.htm" "$work/at_limit.htm"

# http2retlw-site.exe, built beside the converter. A valid site in a folder
# whose name the ANSI code page cannot spell: its tables and pages.inc are
# the Linux build's, byte for byte (LF line ends: they are files, not a text
# stream), and its summary goes to standard output with CR LF.
site_exe=$build/http2retlw-site.exe
site_path=$(windows_path "$site_exe")
mkdir -p "$work/站点"
cp "$root"/examples/site/* "$work/站点/"
run "$work" "$site_exe" 站点 tables
printf 'Note:\r\n  style.css left out: style.css.gz is served in its place\r\n\r\npages.inc: 8 pages, 10842 bytes of program memory, 16.5%% of the PIC18F4620'"'"'s 64 KiB\r\n' >"$work/want"
reasons=()
[ "$status" -eq 0 ] || reasons+=("exit status $status, want 0: $(head -c 400 "$work/err")")
cmp -s "$work/out" "$work/want" || reasons+=("stdout $(od -An -c "$work/out" | tr -s ' \n' ' ' | head -c 300)")
(cd "$work/tables" && sha256sum --quiet -c "$root/tests/packaging/data/example_site-1.2.0.sha256") >"$work/sums" 2>&1 ||
  reasons+=("tables differ from Linux's: $(tr '\n' ' ' <"$work/sums")")
report "site in 站点: tables and pages.inc as on Linux, summary with CR LF" "${reasons[@]}"

# Run again after one file changed: only its table and pages.inc are
# replaced (MoveFileEx over the old file); the others keep their times.
# Fixed times, as in the build-rules test: the tables later than their
# files, the changed file later still.
touch -d '2037-01-01 00:00' "$work/tables"/*.inc
printf '<p>changed</p>\n' >>"$work/站点/about.html"
touch -d '2037-01-02 00:00' "$work/站点/about.html"
run "$work" "$site_exe" 站点 tables
# A table written now is dated now, long before 2037.
old_tables=$(find "$work/tables" -name '*.inc' -newermt '2036-12-31 23:59' -printf '%f\n' | sort | xargs)
reasons=()
[ "$status" -eq 0 ] || reasons+=("exit status $status, want 0: $(head -c 400 "$work/err")")
[ "$old_tables" = "404.html.inc data.json.inc guide.html.inc index.html.inc logo.png.inc style.css.gz.inc values.html.inc" ] ||
  reasons+=("tables left alone: $old_tables")
report "site: a changed file replaces its table and pages.inc, nothing else" "${reasons[@]}"

# Names with non-ASCII letters: refused by the name rules, one line each,
# as UTF-8; the earlier pages.inc goes.
printf x >"$work/站点/café.html"
printf x >"$work/站点/été.css"
printf x >"$work/站点/σελίδα.html"
run "$work" "$site_exe" 站点 tables
{
  printf '%s: 站点 cannot be served:\r\n' "$site_path"
  printf '  café.html: make and CMake cannot carry this name; use letters, digits and . _ - + ~\r\n'
  printf '  été.css: its tag 0xC3 is never the first character of a path a browser sends\r\n'
  printf '  σελίδα.html: its tag 0xCF is never the first character of a path a browser sends\r\n'
} >"$work/want"
reasons=()
[ "$status" -eq 1 ] || reasons+=("exit status $status, want 1")
[ ! -s "$work/out" ] || reasons+=("stdout not empty")
cmp -s "$work/err" "$work/want" ||
  reasons+=("stderr $(od -An -c "$work/err" | tr -s ' \n' ' ' | head -c 600), want $(od -An -c "$work/want" | tr -s ' \n' ' ' | head -c 600)")
[ ! -e "$work/tables/pages.inc" ] || reasons+=("pages.inc left")
report "site with café.html, été.css, σελίδα.html: refused by the name rules" "${reasons[@]}"

run "$work" "$site_exe" 站点
printf 'Usage: %s [--headers FILE] [--depfile FILE] SITE_DIR TABLE_DIR\r\n' "$site_path" >"$work/want"
reasons=()
[ "$status" -eq 1 ] || reasons+=("exit status $status, want 1")
cmp -s "$work/err" "$work/want" || reasons+=("stderr $(head -c 300 "$work/err")")
report "site: usage, one folder" "${reasons[@]}"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
