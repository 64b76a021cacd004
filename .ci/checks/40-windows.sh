#!/usr/bin/env bash
# The Win32 console program: cross-built with MinGW-w64, warnings as errors,
# then run under Wine, where line ends, program paths and file names are
# Windows' own; then the release ZIP, unpacked and run under Wine.
set -euo pipefail
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j2
exe=build-mingw/http2retlw.exe

# System DLLs only (the C++ runtime is linked in), and the version resource
# (type 0x10) and application manifest (type 0x18) embedded.
dump=$(x86_64-w64-mingw32-objdump -p "$exe")
others=$(sed -n 's/^\tDLL Name: //p' <<<"$dump" |
  grep -viE '^(kernel32|shell32|msvcrt|ucrtbase)\.dll$|^api-ms-win-' || true)
[ -z "$others" ] || {
  echo "FAIL: $exe imports non-system DLLs: $others"
  exit 1
}
for type in 0x000010 0x000018; do
  grep -q "Entry: ID: $type," <<<"$dump" || {
    echo "FAIL: $exe has no resource of type $type"
    exit 1
  }
done

status=0
timeout 900 bash tests/windows/run_wine_tests.sh "$exe" || status=$?
if [ "$status" -eq 77 ]; then
  echo "CI installs MinGW-w64 and Wine, so a skip here is a failure"
  exit 1
fi
[ "$status" -eq 0 ] || exit "$status"

echo "-- release ZIP"
version=$(sed -n 's/^project(http2retlw VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
rm -f build-mingw/*.zip
(cd build-mingw && cpack -G ZIP >/dev/null)
zips=$(cd build-mingw && ls ./*.zip)
[ "$zips" = "./http2retlw-$version-win64.zip" ] || {
  echo "FAIL: cpack made $zips, want http2retlw-$version-win64.zip"
  exit 1
}
unpacked=build-mingw/zip-check
rm -rf "$unpacked"
mkdir "$unpacked"
(cd "$unpacked" && cmake -E tar xf "../http2retlw-$version-win64.zip")
zip_exe=$(find "$unpacked" -name http2retlw.exe)
[ -n "$zip_exe" ] || {
  echo "FAIL: no http2retlw.exe in the ZIP"
  exit 1
}

# The same Wine set-up as the suite, whose prefix is ready by now.
wine=$(command -v wine || echo /usr/lib/wine/wine64)
export WINEPREFIX=$PWD/build-mingw/wineprefix WINEDEBUG=-all LC_ALL=C.UTF-8
export WINEDLLOVERRIDES='mscoree,mshtml='
zip_exe=$(realpath "$zip_exe")
(cd examples && timeout 120 "$wine" "$zip_exe" index.htm) >"$unpacked/out" || {
  echo "FAIL  the ZIP's program exits with status $?"
  exit 1
}
sed 's/$/\r/' tests/data/example_index.asm >"$unpacked/want"
if cmp "$unpacked/out" "$unpacked/want"; then
  echo "PASS  the ZIP's program converts examples/index.htm to the CR LF golden table"
else
  echo "FAIL  the ZIP's program: table differs from tests/data/example_index.asm"
  exit 1
fi
