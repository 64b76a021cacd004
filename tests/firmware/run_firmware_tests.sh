#!/usr/bin/env bash
# Runs converter tables on a simulated PIC: for each response below, convert
# it, assemble a program from examples/firmware/ around the table with gpasm
# (table_check.asm for the PIC16F877A, table_check_18.asm for the PIC18F452),
# run it in gpsim to its `done` label and check what the firmware read and
# summed. The expected length and sum come from table_facts.py, which
# fills in the Content-Length and folds the sum on its own.
#
#   run_firmware_tests.sh CONVERTER WORK_DIR
#
# Exit status 0 when every case passes, 1 on any failure, 77 when gpasm,
# gpsim or python3 is missing.
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

for tool in gpasm gpsim python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool not found (Debian: apt-get install gputils gpsim python3)"
    exit 77
  fi
done

# Rows: input file name (its first letter becomes the tag) | how the input is
# made | data byte the test changes in the table, or - | program | expected
# result register | program address the table must run across, or - | what
# the row is for.
cases=(
  "index.htm|example|-|table_check|0x01|-|the shipped example, 41 bytes, sum 0x7363"
  "even.htm|text:4|-|table_check|0x01|-|even length: the last byte is a low byte"
  "odd.htm|text:5|-|table_check|0x01|-|odd length: the last byte is a lone high byte"
  "ff.htm|ff:301|-|table_check|0x01|0x100|0xFF bytes: a carry out of bit 15 on every word"
  "controls.htm|controls:250|-|table_check|0x01|0x100|bytes 0x00, 0x0A, 0x0D, 0x80 and 0xFF"
  "large.htm|random:2960|-|table_check|0x01|0x800|3,001 bytes: the table crosses 256-word and 2K-word boundaries"
  "tampered.htm|text:200|150|table_check|0xFF|-|one table byte changed: the firmware must see the sum differ"
  "index.htm|example|-|table_check_18|0x01|-|PIC18: the shipped example"
  "odd.htm|text:5|-|table_check_18|0x01|-|PIC18: odd length"
  "large.htm|random:2960|-|table_check_18|0x01|0x1000|PIC18: 3,001 bytes, the table pointer runs across 0x1000"
  "tampered.htm|text:200|7|table_check_18|0xFF|-|PIC18: one table byte changed"
)

passed=0
failed=0
mkdir -p "$work"

# run_case NAME MAKE TAMPER PROGRAM WANT_RESULT CROSSES; prints why it fails
# and returns 1 then.
run_case() {
  local name=$1 make=$2 tamper=$3 program=$4 want_result=$5 crosses=$6
  local dir="$work/${name%%.*}-$program" family=pic16
  [[ "$program" != *_18 ]] || family=pic18
  rm -rf "$dir"
  mkdir -p "$dir"
  if [ "$make" = example ]; then
    cp "$repo/examples/index.htm" "$dir/$name"
  else
    python3 "$facts" make "$make" "$dir/$name"
  fi

  local offset=()
  [ "$tamper" = - ] || offset=("$tamper")

  # The tag is the first character of the argument, so run from the input's
  # folder with the bare name.
  if ! (cd "$dir" && "$converter" "$name" >page_table.inc); then
    echo "  converter failed"
    return 1
  fi
  [ "$tamper" = - ] || python3 "$facts" tamper "$dir/page_table.inc" "$tamper"
  cp "$repo/examples/firmware/$program.asm" "$dir/"

  local out line rc=0
  out=$(cd "$dir" && gpasm "$program.asm" 2>&1) || rc=$?
  if [ "$rc" -ne 0 ] || grep -qE 'Error|Warning|Message' <<<"$out"; then
    echo "  gpasm (exit $rc) reported:"
    while IFS= read -r line; do echo "    $line"; done <<<"$out"
    return 1
  fi

  if ! python3 "$facts" check-hex "$family" "$dir/$program.hex" "$dir/$program.lst" \
    "$dir/$name" "${offset[@]}" >"$dir/hex.txt" 2>&1; then
    echo "  table in $program.hex: $(cat "$dir/hex.txt")"
    return 1
  fi
  # "table 0xSTART-0xLAST: N retlw words"
  local span start last
  span=$(cat "$dir/hex.txt")
  start=$(sed -E 's/^table (0x[0-9A-F]+)-.*/\1/' <<<"$span")
  last=$(sed -E 's/^table 0x[0-9A-F]+-(0x[0-9A-F]+):.*/\1/' <<<"$span")
  if [ "$crosses" != - ] && ! ((start < crosses && crosses <= last)); then
    echo "  $span does not run across $crosses; make the input longer"
    return 1
  fi

  local length sum table_sum
  read -r length sum table_sum < <(python3 "$facts" expect "$dir/$name" "${offset[@]}")
  if [ -z "$table_sum" ]; then
    echo "  table_facts.py expect failed"
    return 1
  fi
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
  echo "  $length bytes, sum 0x$(printf '%04X' "$got_sum"), result 0x${r[10]}, $(cat "$dir/hex.txt")"
}

for row in "${cases[@]}"; do
  IFS='|' read -r name make tamper program want_result crosses purpose <<<"$row"
  echo "== $name on $program: $purpose"
  if run_case "$name" "$make" "$tamper" "$program" "$want_result" "$crosses"; then
    echo "PASS: $name on $program"
    passed=$((passed + 1))
  else
    echo "FAIL: $name on $program"
    failed=$((failed + 1))
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
