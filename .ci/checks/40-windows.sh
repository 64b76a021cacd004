#!/usr/bin/env bash
# The Win32 console program: cross-built with MinGW-w64, warnings as errors,
# packed into the release ZIP, and the program from the unpacked ZIP run
# under Wine, where line ends, program paths and file names are Windows' own.
set -euo pipefail
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j2

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
exe=$unpacked/http2retlw-$version-win64/http2retlw.exe
[ -f "$exe" ] || {
  echo "FAIL: no http2retlw-$version-win64/http2retlw.exe in the ZIP"
  exit 1
}

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

echo "-- the ZIP's program under Wine"
status=0
timeout 900 bash tests/windows/run_wine_tests.sh "$exe" || status=$?
if [ "$status" -eq 77 ]; then
  echo "CI installs MinGW-w64 and Wine, so a skip here is a failure"
  exit 1
fi
exit "$status"
