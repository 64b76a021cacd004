#!/usr/bin/env bash
# A 32-bit host (i686: 32-bit size_t and long, file offsets past 2 GiB) and
# a big-endian one (s390x: the sum and the table byte for byte): each
# cross-built with warnings as errors, its unit tests and whole runs of the
# converter run under qemu-user. The firmware, Windows and packaging suites
# start the converter from a host shell, so the test presets leave them out.
# The i686 compiler is also named alone, without the toolchain file, where
# gpsim-dev is installed (CI installs it): the build must still pass.
set -euo pipefail

for tool in i686-linux-gnu-g++ s390x-linux-gnu-g++ qemu-i386 qemu-s390x; do
  command -v "$tool" >/dev/null || {
    echo "$tool is missing; CI installs g++-i686-linux-gnu, g++-s390x-linux-gnu and qemu-user" >&2
    exit 1
  }
done
[ -f /usr/src/googletest/CMakeLists.txt ] || {
  echo "/usr/src/googletest is missing; CI installs googletest (with libgtest-dev)" >&2
  exit 1
}

failed=()
for target in i686 s390x; do
  echo "-- $target"
  cmake --preset "$target" >/dev/null
  cmake --build --preset "$target" -j2
  ctest --preset "$target" || failed+=("$target")
done
# The i686 compiler named alone, no toolchain file: CMake then finds the
# host's 64-bit gpsim and glib, which must be left out with the module's
# "skipped" line rather than fail the link.
echo "-- i686 compiler alone"
rm -rf build-i686-compiler
if ! configured=$(cmake -S . -B build-i686-compiler -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER=i686-linux-gnu-gcc -DCMAKE_CXX_COMPILER=i686-linux-gnu-g++ 2>&1); then
  echo "$configured"
  failed+=("i686 compiler alone: configure")
elif ! grep -q 'ENC28J60 gpsim module: skipped' <<<"$configured"; then
  grep 'ENC28J60' <<<"$configured" || echo "no line about the ENC28J60 module"
  failed+=("i686 compiler alone: the host's gpsim taken")
elif ! cmake --build build-i686-compiler -j2; then
  failed+=("i686 compiler alone: build")
fi
if [ "${#failed[@]}" -gt 0 ]; then
  echo "failed on: ${failed[*]}"
  exit 1
fi
