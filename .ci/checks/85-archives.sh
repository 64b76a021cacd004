#!/usr/bin/env bash
# The Linux archives must run on any Linux of their processor, whatever C
# library it has, or none: the program in each TGZ has no program
# interpreter and needs no shared library, and it converts the shipped
# example and every golden page exactly
#   - x86_64: inside an empty root holding only the program and the pages;
#   - aarch64: cross-built with the aarch64 preset and run under
#     qemu-aarch64 with an empty folder as its sysroot.
# The x86_64 archive comes from the default release build folder that
# 80-package.sh packs the .deb from (built again here if missing); the .deb
# and `cmake --install` keep the dynamic program, checked there.
set -euo pipefail

for tool in readelf chroot qemu-aarch64 aarch64-linux-gnu-g++; do
  command -v "$tool" >/dev/null || {
    echo "$tool is missing; CI installs binutils, coreutils, qemu-user and g++-aarch64-linux-gnu" >&2
    exit 1
  }
done
[ "$(uname -m)" = x86_64 ] || {
  echo "this check proves the x86_64 archive, so it runs on an x86_64 host" >&2
  exit 1
}
version=$(sed -n 's/^project(http2retlw VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || {
  echo "no project version in CMakeLists.txt" >&2
  exit 1
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# shellcheck source=tests/report.sh
. tests/report.sh

# pack BUILD_DIR NAME: the TGZ of an already configured build folder,
# unpacked into $tmp/NAME; fails unless it is exactly NAME.tar.gz.
pack() {
  local dir=$1 name=$2 made
  cmake --build "$dir" -j2
  rm -f "$dir"/http2retlw-*.tar.gz
  (cd "$dir" && cpack -G TGZ >/dev/null)
  made=$(cd "$dir" && ls http2retlw-*.tar.gz)
  [ "$made" = "$name.tar.gz" ] || {
    echo "FAIL: cpack made $made in $dir, want $name.tar.gz"
    exit 1
  }
  mkdir "$tmp/$name"
  (cd "$tmp/$name" && cmake -E tar xf "$OLDPWD/$dir/$made")
}

# Everything in one folder named after the archive, holding exactly these
# files, no more, no fewer: the programs, their man pages, LICENSE and
# README.md, and the CMake package and make fragment. Files and links only,
# no folders; sorted in the C locale.
archive_files='LICENSE
README.md
bin/http2retlw
bin/http2retlw-site
lib/cmake/http2retlw/http2retlw-config-version.cmake
lib/cmake/http2retlw/http2retlw-config.cmake
lib/cmake/http2retlw/http2retlw_convert_page.cmake
lib/cmake/http2retlw/http2retlw_site.cmake
lib/cmake/http2retlw/http2retlw_tables.cmake
share/http2retlw/http2retlw.mk
share/man/man1/http2retlw-site.1.gz
share/man/man1/http2retlw.1.gz'
archive_layout() {
  local name=$1
  [ "$(ls -A "$tmp/$name")" = "$name" ] || {
    echo "      top level: $(ls -A "$tmp/$name" | tr '\n' ' ')"
    return 1
  }
  printf '%s\n' "$archive_files" >"$tmp/files.want"
  (cd "$tmp/$name/$name" && find . \( -type f -o -type l \) -printf '%P\n') |
    LC_ALL=C sort >"$tmp/files.got"
  diff -u --label expected --label "$name.tar.gz" "$tmp/files.want" "$tmp/files.got" |
    sed 's/^/      /'
  cmp -s "$tmp/files.want" "$tmp/files.got"
}

# static_program PROGRAM MACHINE: an ELF program for MACHINE (as readelf
# names it) with no INTERP segment and no NEEDED entry. A static-pie
# program has a dynamic section, for its own relocations, but needs nothing.
static_program() {
  local program=$1 machine=$2 headers dynamic
  headers=$(readelf -hlW "$program") || return 1
  grep -Eq "^ *Machine: +$machine\$" <<<"$headers" || {
    echo "      $(grep -E '^ *Machine:' <<<"$headers")"
    return 1
  }
  if grep -Eq '^ *INTERP ' <<<"$headers"; then
    echo "      $(grep -F 'program interpreter' <<<"$headers" | sed 's/^ *//')"
    return 1
  fi
  dynamic=$(readelf -dW "$program") || return 1
  if grep -Fq '(NEEDED)' <<<"$dynamic"; then
    grep -F '(NEEDED)' <<<"$dynamic" | sed 's/^ */      /'
    return 1
  fi
}

# converts_pages RUN...: RUN PAGE must write the golden table of each page
# to standard output, with nothing on standard error, in a folder holding
# the pages under their own names ($tmp/pages), so the tags match.
mkdir "$tmp/pages"
cp examples/index.htm "$tmp/pages/"
cp tests/data/*.htm "$tmp/pages/"
golden() {
  case $1 in
    index.htm) echo tests/data/example_index.asm ;;
    *) echo "tests/data/${1%.htm}.asm" ;;
  esac
}
converts_pages() {
  local page status ok=0
  for page in $(cd "$tmp/pages" && ls); do
    status=0
    "$@" "$page" >"$tmp/out" 2>"$tmp/err" || status=$?
    if [ "$status" -ne 0 ] || [ -s "$tmp/err" ] || ! cmp -s "$tmp/out" "$(golden "$page")"; then
      echo "      $page: exit status $status, $(wc -c <"$tmp/out") bytes out" \
        "(golden $(wc -c <"$(golden "$page")")), error: $(head -c 300 "$tmp/err")"
      ok=1
    fi
  done
  return "$ok"
}

# An empty root: the program and the pages, no C library, no loader, no
# /proc. Root may chroot; anyone else through a user namespace.
in_empty_root() {
  local root=$tmp/empty-root
  rm -rf "$root"
  mkdir "$root"
  cp "$1" "$root/http2retlw"
  cp "$tmp/pages"/* "$root/"
  shift
  if [ "$(id -u)" -eq 0 ]; then
    chroot "$root" /http2retlw "$@"
  else
    unshare --user --map-root-user chroot "$root" /http2retlw "$@"
  fi
}

echo "-- linux-x86_64, from the default release build"
build=build-package
x86_name=http2retlw-$version-linux-x86_64
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DHTTP2RETLW_BUILD_TESTS=OFF >/dev/null
pack "$build" "$x86_name"
x86_program=$tmp/$x86_name/$x86_name/bin/http2retlw
check "$x86_name.tar.gz: one folder holding exactly its files" \
  archive_layout "$x86_name"
check "$x86_name: bin/http2retlw is x86-64, no interpreter, no shared library" \
  static_program "$x86_program" "Advanced Micro Devices X86-64"
check "$x86_name: bin/http2retlw converts every golden page in an empty root" \
  converts_pages in_empty_root "$x86_program"
# The site program: as static as the converter, and it makes examples/site
# as 1.2.0's site step did (data/example_site-1.2.0.sha256).
makes_example_site() {
  rm -rf "$tmp/site-tables" &&
    "$@" examples/site "$tmp/site-tables" >/dev/null &&
    (cd "$tmp/site-tables" && sha256sum --quiet -c "$OLDPWD/tests/packaging/data/example_site-1.2.0.sha256")
}
check "$x86_name: bin/http2retlw-site is x86-64, no interpreter, no shared library" \
  static_program "$tmp/$x86_name/$x86_name/bin/http2retlw-site" "Advanced Micro Devices X86-64"
check "$x86_name: bin/http2retlw-site makes examples/site as 1.2.0 did" \
  makes_example_site "$tmp/$x86_name/$x86_name/bin/http2retlw-site"

echo "-- linux-aarch64, cross-built with the aarch64 preset"
arm_build=build-aarch64-archive
arm_name=http2retlw-$version-linux-aarch64
# The preset's settings in a folder of its own, without the tests: the
# suites' cross runs are 50-cross.sh's.
cmake --preset aarch64 -B "$arm_build" -DHTTP2RETLW_BUILD_TESTS=OFF >/dev/null
pack "$arm_build" "$arm_name"
arm_program=$tmp/$arm_name/$arm_name/bin/http2retlw
mkdir "$tmp/no-sysroot"
# qemu-user looks for a target loader under QEMU_LD_PREFIX, by default
# /etc/qemu-binfmt/aarch64; an empty folder there leaves it none.
under_qemu() {
  (cd "$tmp/pages" && QEMU_LD_PREFIX=$tmp/no-sysroot qemu-aarch64 "$arm_program" "$@")
}
check "$arm_name.tar.gz: one folder holding exactly its files" \
  archive_layout "$arm_name"
check "$arm_name: bin/http2retlw is AArch64, no interpreter, no shared library" \
  static_program "$arm_program" AArch64
check "$arm_name: bin/http2retlw converts every golden page under qemu-aarch64, no sysroot" \
  converts_pages under_qemu
check "$arm_name: bin/http2retlw-site is AArch64, no interpreter, no shared library" \
  static_program "$tmp/$arm_name/$arm_name/bin/http2retlw-site" AArch64
check "$arm_name: bin/http2retlw-site makes examples/site as 1.2.0 did under qemu-aarch64" \
  makes_example_site env QEMU_LD_PREFIX="$tmp/no-sysroot" qemu-aarch64 "$tmp/$arm_name/$arm_name/bin/http2retlw-site"

report_and_exit
