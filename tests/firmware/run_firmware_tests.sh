#!/usr/bin/env bash
# Runs converter tables on a simulated PIC: for each response below, convert
# it, assemble a program from examples/firmware/ around the table with gpasm
# (table_check.asm for the PIC16F877A, table_check_18.asm for the PIC18F452),
# run it in gpsim to its `done` label and check what the firmware read and
# summed. The expected length and sum come from table_facts.py, which
# fills in the Content-Length and folds the sum on its own.
#
# The http_server_18 rows assemble the page server for the PIC18F4620 around
# a set of pages, load a request packet into its receive buffer, run it to
# `done` and check its result and RAM; a reply is written to a capture file
# that tshark judges: checksums, addresses, ports, sequence numbers and the
# HTTP response, byte for byte the completed page.
#
#   run_firmware_tests.sh CONVERTER WORK_DIR
#
# Exit status 0 when every case passes, 1 on any failure, 77 when gpasm,
# gpsim, python3 or tshark is missing; under CI (CI set and not empty) a
# missing tool is a failure, since CI installs them all.
set -euo pipefail

if [ "$#" -ne 2 ]; then
  echo "usage: $0 CONVERTER WORK_DIR" >&2
  exit 2
fi
converter=$(realpath "$1")
work=$2
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
facts="$here/table_facts.py"
examples="$repo/examples/firmware"

# shellcheck source=tests/report.sh
. "$here/../report.sh"

for tool in gpasm gpsim python3 tshark; do
  command -v "$tool" >/dev/null ||
    skip_suite "$tool not found (Debian: apt-get install gputils gpsim python3 tshark)"
done
# The interpreter itself, found once: a version manager's shim in front of
# python3 takes longer to start than the helper takes to run.
python=$(python3 -c 'import sys; print(sys.executable)')
[ -x "$python" ] || skip_suite "python3 does not name its own interpreter"

# Rows: input file name (its first letter becomes the tag) | how the input is
# made | data byte the test changes in the table, or - | program | request
# packet, or - | expected result register | program address the table must
# run across, or - | what the row is for.
#
# http_server_18 rows: the first column lists the pages the server holds,
# joined by +; `shipped` stands for examples/firmware/pages/ with its
# pages.inc, `example` copies a shipped page, and the row's pages.inc then
# lists them in that order. The request is KIND:METHOD TARGET (kinds in
# table_facts.py); the seventh column is the length the page chosen must
# complete to, or -; the result is 0x01 sent, 0x02 too long, 0x03 no page,
# 0x04 dropped; `refused`: the server must not assemble.
cases=(
  "index.htm|example|-|table_check|-|0x01|-|the shipped example, 41 bytes, sum 0x7363"
  "even.htm|text:4|-|table_check|-|0x01|-|even length: the last byte is a low byte"
  "odd.htm|text:5|-|table_check|-|0x01|-|odd length: the last byte is a lone high byte"
  "ff.htm|ff:301|-|table_check|-|0x01|0x100|0xFF bytes: a carry out of bit 15 on every word"
  "controls.htm|controls:250|-|table_check|-|0x01|0x100|bytes 0x00, 0x0A, 0x0D, 0x80 and 0xFF"
  "large.htm|random:2960|-|table_check|-|0x01|0x800|3,001 bytes: the table crosses 256-word and 2K-word boundaries"
  "tampered.htm|text:200|150|table_check|-|0xFF|-|one table byte changed: the firmware must see the sum differ"
  "index.htm|example|-|table_check_18|-|0x01|-|PIC18: the shipped example"
  "odd.htm|text:5|-|table_check_18|-|0x01|-|PIC18: odd length"
  "large.htm|random:2960|-|table_check_18|-|0x01|0x1000|PIC18: 3,001 bytes, the table pointer runs across 0x1000"
  "tampered.htm|text:200|7|table_check_18|-|0xFF|-|PIC18: one table byte changed"
  "shipped|example|-|http_server_18|plain:GET /|0x01|215|a bare / gets the page tagged i, of an odd length"
  "shipped|example|-|http_server_18|plain:GET /about.htm|0x01|246|the tag after GET /: about.htm, of an even length"
  "shipped|example|-|http_server_18|plain:GET /missing.htm|0x01|-|a tag no table carries gets the stored 404 page"
  "shipped|example|-|http_server_18|plain:POST /about.htm|0x01|-|a request that is not a GET gets the 404 page"
  "shipped+empty.htm|text:0|-|http_server_18|plain:GET /empty.htm|0x01|38|an empty body"
  "shipped+fits.htm|text:1419|-|http_server_18|plain:GET /fits.htm|0x01|1460|the largest response one segment carries"
  "shipped+long.htm|text:1420|-|http_server_18|plain:GET /long.htm|0x02|1461|one byte more: nothing is sent"
  "shipped|example|-|http_server_18|options:GET /about.htm|0x01|-|TCP options: the request's payload starts 36 bytes in"
  "shipped|example|-|http_server_18|ip-options:GET /about.htm|0x01|-|IPv4 options: the TCP header starts 24 bytes in"
  "shipped|example|-|http_server_18|wrap:GET /|0x01|-|the acknowledgement number wraps past 2^32"
  "shipped|example|-|http_server_18|carry:GET /about.htm|0x01|-|addresses and ports whose sums carry out of bit 15 again and again"
  "index.htm+about.htm|example|-|http_server_18|plain:GET /missing.htm|0x03|-|no table for the tag and no 404 page"
  "shipped|example|-|http_server_18|beyond:GET /|0x04|-|a TCP data offset past the end of the packet"
  "shipped|example|-|http_server_18|truncated:GET /|0x04|-|a packet shorter than its IPv4 total length"
  "shipped|example|-|http_server_18|bad-sum:GET /|0x04|-|a wrong TCP checksum"
  "shipped+huge.htm|text:40000|-|http_server_18|plain:GET /|refused|-|tables past the end of program memory: gpasm must fail, not warn"
)

passed=0
failed=0
mkdir -p "$work"

# step WHAT COMMAND...: runs COMMAND; when it fails, prints what failed and
# its output and returns 1. The case functions run inside an `if`, where
# set -e does not apply, so every step they take goes through here.
step() {
  local what=$1 out rc=0
  shift
  out=$("$@" 2>&1) || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "  $what failed (exit $rc)"
    [ -z "$out" ] || sed 's/^/    /' <<<"$out"
    return 1
  fi
  [ -z "$out" ] || sed 's/^/  /' <<<"$out"
}

# convert DIR PAGE TABLE: the tag is the first character of the argument, so
# run from the page's folder with the bare name.
convert() {
  cd "$1" && "$converter" "$2" >"$3"
}

# assemble DIR PROGRAM: gpasm must report no error, warning or message.
assemble() {
  local out rc=0
  out=$(cd "$1" && gpasm "$2.asm" 2>&1) || rc=$?
  [ -z "$out" ] || echo "$out"
  [ "$rc" -eq 0 ] && ! grep -qE 'Error|Warning|Message' <<<"$out"
}

# run_case NAME MAKE TAMPER PROGRAM WANT_RESULT CROSSES DIR; prints why it
# fails and returns 1 then.
run_case() {
  local name=$1 make=$2 tamper=$3 program=$4 want_result=$5 crosses=$6 dir=$7
  local family=pic16
  [[ "$program" != *_18 ]] || family=pic18
  if [ "$make" = example ]; then
    step "copying the example" cp "$repo/examples/index.htm" "$dir/$name" || return 1
  else
    step "making $name" "$python" "$facts" make "$make" "$dir/$name" || return 1
  fi

  local offset=()
  [ "$tamper" = - ] || offset=("$tamper")

  step "converting $name" convert "$dir" "$name" page_table.inc || return 1
  if [ "$tamper" != - ]; then
    step "changing entry $tamper" "$python" "$facts" tamper "$dir/page_table.inc" "$tamper" ||
      return 1
  fi
  step "copying $program.asm" cp "$examples/$program.asm" "$dir/" || return 1
  step "gpasm $program.asm" assemble "$dir" "$program" || return 1

  local span start last
  span=$("$python" "$facts" check-hex "$family" "$dir/$program.hex" "$dir/$program.lst" \
    "$dir/$name" "${offset[@]}" 2>&1) || {
    echo "  table in $program.hex: $span"
    return 1
  }
  # "table 0xSTART-0xLAST: N retlw words"
  start=$(sed -E 's/^table (0x[0-9A-F]+)-.*/\1/' <<<"$span")
  last=$(sed -E 's/^table 0x[0-9A-F]+-(0x[0-9A-F]+):.*/\1/' <<<"$span")
  if [ "$crosses" != - ] && ! ((start < crosses && crosses <= last)); then
    echo "  $span does not run across $crosses; make the input longer"
    return 1
  fi

  local expected length sum table_sum
  expected=$("$python" "$facts" expect "$dir/$name" "${offset[@]}" 2>&1) || {
    echo "  table_facts.py expect failed: $expected"
    return 1
  }
  read -r length sum table_sum <<<"$expected"
  if [ "$make" = example ] && { [ "$length" -ne 41 ] || [ "$sum" -ne $((0x7363)) ]; }; then
    echo "  table_facts.py disagrees with the worked example: $length bytes, sum $sum"
    return 1
  fi

  # gpsim only returns after `quit`, and exits 0 whatever happened; the
  # results are read from the bank 0 dump that `x` prints.
  timeout 20 gpsim -i -s "$dir/$program.cod" >"$dir/gpsim.txt" 2>&1 <<'EOF' || true
break e done
run
x
quit
EOF
  if ! grep -q 'Hit a Breakpoint' "$dir/gpsim.txt"; then
    echo "  gpsim never reached done (see $dir/gpsim.txt)"
    return 1
  fi
  local row
  row=$(grep -m1 '^0020:' "$dir/gpsim.txt") || {
    echo "  no register dump in $dir/gpsim.txt"
    return 1
  }
  # Bytes 0x20..0x2A: tag len_h len_l tsum_h tsum_l sum_h sum_l count_h
  # count_l last_byte result.
  local -a r
  read -r -a r <<<"${row#0020:}"
  local got_len=$((0x${r[1]} << 8 | 0x${r[2]})) got_tsum=$((0x${r[3]} << 8 | 0x${r[4]}))
  local got_sum=$((0x${r[5]} << 8 | 0x${r[6]})) got_count=$((0x${r[7]} << 8 | 0x${r[8]}))
  local got_tag=$((0x${r[0]})) got_last=$((0x${r[9]})) got_result=$((0x${r[10]}))
  local want_tag want_last
  want_tag=$(printf '%d' "'${name:0:1}")
  want_last=$(tail -c 1 "$dir/$name" | od -An -tu1 | tr -d ' ')
  [ "$tamper" = - ] || [ "$tamper" -ne $((length - 1)) ] || want_last=$(((want_last + 1) & 0xFF))

  local bad=0
  check() { # WHAT GOT WANT
    if [ "$2" -ne "$3" ]; then
      printf '  %s: got 0x%X, want 0x%X\n' "$1" "$2" "$3"
      bad=1
    fi
  }
  check tag "$got_tag" "$want_tag"
  check length "$got_len" "$length"
  check "bytes counted" "$got_count" "$length"
  check "table sum" "$got_tsum" "$table_sum"
  check "recomputed sum" "$got_sum" "$sum"
  check "last byte" "$got_last" "$want_last"
  check result "$got_result" "$((want_result))"
  [ "$bad" -eq 0 ] || return 1
  echo "  $length bytes, sum 0x$(printf '%04X' "$got_sum"), result 0x${r[10]}, $span"
}

# run_server_case PAGES MAKE REQUEST WANT_RESULT WANT_LENGTH DIR: the page
# server holding PAGES answers REQUEST; table_facts.py judges the run.
run_server_case() {
  local pages=$1 make=$2 request=$3 want_result=$4 want_length=$5 dir=$6
  local page stem list=() held=()
  step "making folders" mkdir -p "$dir/pages" "$dir/tables" || return 1
  IFS=+ read -r -a list <<<"$pages"
  for page in "${list[@]}"; do
    if [ "$page" = shipped ]; then
      step "copying the shipped pages" cp "$examples"/pages/*.htm "$dir/pages/" || return 1
      step "copying pages.inc" cp "$examples/pages.inc" "$dir/" || return 1
      for page in "$dir"/pages/*.htm; do held+=("$page"); done
    elif [ "$make" = example ]; then
      step "copying $page" cp "$examples/pages/$page" "$dir/pages/" || return 1
      held+=("$dir/pages/$page")
    else
      step "making $page" "$python" "$facts" make "$make" "$dir/pages/$page" || return 1
      held+=("$dir/pages/$page")
    fi
  done
  if [ "$pages" != shipped ]; then
    # The directory, then each table under its label.
    {
      for page in "${held[@]}"; do
        stem=${page##*/}
        printf '\tpage_table\tpage_%s\n' "${stem%.htm}"
      done
      printf '\tend_of_pages\n'
      for page in "${held[@]}"; do
        stem=${page##*/}
        printf 'page_%s\n\t#include "tables/%s.inc"\n' "${stem%.htm}" "${stem%.htm}"
      done
    } >"$dir/pages.inc" || return 1
  fi
  for page in "${held[@]}"; do
    stem=${page##*/}
    step "converting $stem" convert "$dir/pages" "$stem" "$dir/tables/${stem%.htm}.inc" ||
      return 1
  done
  step "copying http_server_18.asm" cp "$examples/http_server_18.asm" "$dir/" || return 1
  if [ "$want_result" = refused ]; then
    local out
    if out=$(assemble "$dir" http_server_18) ||
      ! grep -q 'Error.*pass the end of program memory' <<<"$out"; then
      echo "  gpasm did not fail with the program memory error"
      return 1
    fi
    return 0
  fi
  step "gpasm http_server_18.asm" assemble "$dir" http_server_18 || return 1
  step "serving $request" "$python" "$facts" serve "$request" "$dir" "$want_result" \
    "$want_length" "${held[@]}"
}

n=0
for row in "${cases[@]}"; do
  IFS='|' read -r name make tamper program request want_result crosses purpose <<<"$row"
  n=$((n + 1))
  dir="$work/$n-${name%%.*}-$program"
  shown="$name on $program"
  [ "$request" = - ] || shown="$shown, $request"
  echo "== $shown: $purpose"
  ok=1
  if ! rm -rf "$dir" || ! mkdir -p "$dir"; then
    echo "  cannot make $dir"
    ok=0
  elif [ "$program" = http_server_18 ]; then
    run_server_case "$name" "$make" "$request" "$want_result" "$crosses" "$dir" || ok=0
  else
    run_case "$name" "$make" "$tamper" "$program" "$want_result" "$crosses" "$dir" || ok=0
  fi
  if [ "$ok" -eq 1 ]; then
    echo "PASS: $shown"
    passed=$((passed + 1))
  else
    echo "FAIL: $shown"
    failed=$((failed + 1))
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
