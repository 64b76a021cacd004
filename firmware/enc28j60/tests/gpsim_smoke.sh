#!/bin/sh
# gpsim loads the module library, and a PIC18F4620 wired to it as the
# driver is (SCK RC3, SDO RC5 -> si, so -> SDI RC4, CS RD0) reads EREVID
# over SPI once CLKRDY is set: B7 reads 0x06.
#   gpsim_smoke.sh LIBRARY TESTS_DIR WORK_DIR
set -eu
library=$1 tests=$2 work=$3
mkdir -p "$work"
cd "$work"
gpasm -o read_erevid.hex "$tests/read_erevid.asm"
output=$(timeout 30 gpsim -i <<SCRIPT 2>&1 || true
load read_erevid.cod
module library $library
module load enc28j60 eth
node n_sck
attach n_sck portc3 eth.sck
node n_si
attach n_si portc5 eth.si
node n_so
attach n_so portc4 eth.so
node n_cs
attach n_cs portd0 eth.cs
break e done
run
dump r
quit
SCRIPT
)
if printf '%s\n' "$output" | grep -q '^0020:  06 '; then
  echo "EREVID read as 0x06 over SPI"
  exit 0
fi
printf '%s\n' "$output" | tail -20
echo "FAIL: EREVID (at 0x20) is not 0x06" >&2
exit 1
