#!/usr/bin/env bash
# The Win32 console program's release: cross-built with MinGW-w64, warnings
# as errors, packed into the release ZIP, its imports and resources checked,
# and the program from the unpacked ZIP run once under Wine on the example.
# The whole Wine suite runs once, in the README's ctest command
# (windows_program_under_wine), on a program built the same way.
# Run from the top of the checkout; the build folder is
# $HTTP2RETLW_MINGW_BUILD_DIR (build-mingw by default).
set -euo pipefail
build=$(realpath -m "${HTTP2RETLW_MINGW_BUILD_DIR:-build-mingw}")
cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" -j2

echo "-- release ZIP"
version=$(sed -n 's/^project(http2retlw VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
rm -f "$build"/*.zip
(cd "$build" && cpack -G ZIP >/dev/null)
zips=$(cd "$build" && ls ./*.zip)
[ "$zips" = "./http2retlw-$version-win64.zip" ] || {
  echo "FAIL: cpack made $zips, want http2retlw-$version-win64.zip"
  exit 1
}
unpacked=$build/zip-check
rm -rf "$unpacked"
mkdir "$unpacked"
(cd "$unpacked" && cmake -E tar xf "../http2retlw-$version-win64.zip")
# Exactly these files and folders, one folder a user unpacks: the programs
# beside their README and licence, nothing else.
top=http2retlw-$version-win64
got=$(cd "$unpacked" && find . -mindepth 1 \( -type d -printf '%P/\n' \
  -o -printf '%P\n' \) | LC_ALL=C sort)
want=$(printf '%s\n' "$top/" "$top/LICENSE" "$top/README.md" \
  "$top/http2retlw.exe" "$top/http2retlw-site.exe" | LC_ALL=C sort)
[ "$got" = "$want" ] || {
  echo "FAIL: the ZIP's files differ from its list (- wanted, + found):"
  diff <(echo "$want") <(echo "$got") | grep '^[<>]' | sed 's/^</-/; s/^>/+/'
  exit 1
}
exe=$unpacked/$top/http2retlw.exe
site_exe=$unpacked/$top/http2retlw-site.exe

# The DLLs the program must import (kernel32, shell32 for the UTF-16
# command line, a C runtime), system DLLs only (the C++ runtime is linked
# in), and the version resource (type 0x10) and application manifest (type
# 0x18) embedded. The required names keep an objdump that lists no imports
# at all from passing.
for program in "$exe" "$site_exe"; do
  dump=$(x86_64-w64-mingw32-objdump -p "$program")
  dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$dump" | tr '[:upper:]' '[:lower:]')
  for required in 'kernel32\.dll' 'shell32\.dll' \
    'msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-.*\.dll'; do
    grep -qxE "$required" <<<"$dlls" || {
      echo "FAIL: $program imports no ${required//\\/}; it imports: $(tr '\n' ' ' <<<"$dlls")"
      exit 1
    }
  done
  others=$(grep -vxE '(kernel32|shell32|msvcrt|ucrtbase)\.dll|api-ms-win-.*' <<<"$dlls" || true)
  [ -z "$others" ] || {
    echo "FAIL: $program imports non-system DLLs: $others"
    exit 1
  }
  for type in 0x000010 0x000018; do
    grep -q "Entry: ID: $type," <<<"$dump" || {
      echo "FAIL: $program has no resource of type $type"
      exit 1
    }
  done
done

echo "-- the ZIP's program under Wine: the example's table with CR LF"
. tests/windows/wine_env.sh
start_wine "$build/wineprefix" || {
  echo "FAIL: no Wine to run the ZIP's program (CI installs wine64)"
  exit 1
}
sed 's/$/\r/' tests/data/example_index.asm >"$unpacked/want.asm"
(cd examples && timeout 120 "$wine" "$exe" index.htm </dev/null \
  >"$unpacked/index.asm" 2>"$unpacked/err") || {
  echo "FAIL: exit status $?: $(cat "$unpacked/err")"
  exit 1
}
[ ! -s "$unpacked/err" ] || {
  echo "FAIL: standard error not empty: $(cat "$unpacked/err")"
  exit 1
}
cmp "$unpacked/index.asm" "$unpacked/want.asm" || {
  echo "FAIL: the table differs from tests/data/example_index.asm with CR LF"
  exit 1
}
echo "-- the ZIP's site program under Wine: examples/site's tables as on Linux"
rm -rf "$unpacked/site-tables"
timeout 120 "$wine" "$site_exe" examples/site "$unpacked/site-tables" </dev/null \
  >/dev/null 2>"$unpacked/err" || {
  echo "FAIL: exit status $?: $(cat "$unpacked/err")"
  exit 1
}
(cd "$unpacked/site-tables" &&
  sha256sum --quiet -c "$OLDPWD/tests/packaging/data/example_site-1.2.0.sha256") || {
  echo "FAIL: the site's tables differ from tests/packaging/data/example_site-1.2.0.sha256"
  exit 1
}
echo "windows checks passed"
