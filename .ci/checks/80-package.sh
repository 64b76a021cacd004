#!/usr/bin/env bash
# What users install must work: build the .deb, .tar.gz and .zip, have
# lintian find no error or warning in the .deb, build the .deb again in
# another folder and compare the bytes, install each package (and `cmake
# --install`) into a throwaway root, check that the .deb and `cmake
# --install` lay out exactly their lists of files, check the man page and
# licence each one carries, convert the shipped example with every
# installed binary, and run the firmware build rules with the make fragment
# and CMake package of the .deb's files and of the unpacked TGZ. The
# README's ctest run already checked the man page and the build rules with
# `cmake --install`.
set -euo pipefail

build="build-package"
rebuild="build-package2"
# One time stamp for both builds, so the .deb can be compared byte for byte.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 1796601600)
fi
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^project(http2retlw VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || {
  echo "no project version in CMakeLists.txt" >&2
  exit 1
}

echo "-- packages for http2retlw $version"
for dir in "$build" "$rebuild"; do
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DHTTP2RETLW_BUILD_TESTS=OFF >/dev/null
  cmake --build "$dir" -j2
  rm -f "$dir"/http2retlw[_-]"$version"*.deb "$dir"/http2retlw-"$version"-*.tar.gz \
    "$dir"/http2retlw-"$version"-*.zip
done
(cd "$build" && cpack -G 'DEB;TGZ;ZIP' >/dev/null)
(cd "$rebuild" && cpack -G DEB >/dev/null)

deb=$build/http2retlw_${version}_$(dpkg --print-architecture).deb
tgz=$(ls "$build"/http2retlw-"$version"-*.tar.gz)
zip=$(ls "$build"/http2retlw-"$version"-*.zip)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# dpkg -i into an empty root with its own package database; the C library
# is not in that database, hence --force-depends.
root=$tmp/deb-root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --log="$tmp/dpkg.log" --force-depends -i "$deb" >/dev/null 2>"$tmp/dpkg.err" || {
  cat "$tmp/dpkg.err" >&2
  exit 1
}
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
mkdir "$tmp/tgz" "$tmp/zip"
(cd "$tmp/tgz" && cmake -E tar xf "$OLDPWD/$tgz")
(cd "$tmp/zip" && cmake -E tar xf "$OLDPWD/$zip")

# shellcheck source=tests/report.sh
. tests/report.sh
field() { dpkg-deb -f "$deb" "$1"; }

check ".deb package name is http2retlw" test "$(field Package)" = http2retlw
check ".deb version is $version" test "$(field Version)" = "$version"
check ".deb depends on libc6 ($(field Depends))" grep -Eq '^libc6( |,|$)' <<<"$(field Depends)"
check ".deb names a maintainer" grep -q '<.*@.*>' <<<"$(field Maintainer)"
check ".deb has a description" test -n "$(field Description)"
check ".deb is registered as installed" grep -q 'install ok installed' \
  <<<"$(dpkg --root="$root" -s http2retlw)"
check ".deb built again in $rebuild is byte-identical" \
  cmp "$deb" "$rebuild/$(basename "$deb")"

# Exactly these files, no more, no fewer: what `cmake --install` with no
# component lays out in a prefix, and the .deb under usr/. Files and links
# only, no folders; sorted in the C locale.
installed_files='bin/http2retlw
bin/http2retlw-site
lib/cmake/http2retlw/http2retlw-config-version.cmake
lib/cmake/http2retlw/http2retlw-config.cmake
lib/cmake/http2retlw/http2retlw_convert_page.cmake
lib/cmake/http2retlw/http2retlw_site.cmake
lib/cmake/http2retlw/http2retlw_tables.cmake
share/doc/http2retlw/changelog.gz
share/doc/http2retlw/copyright
share/http2retlw/http2retlw.mk
share/man/man1/http2retlw-site.1.gz
share/man/man1/http2retlw.1.gz'
# files_are WANT COMMAND...: COMMAND lists exactly the files WANT does,
# one a line in any order; the diff is shown when not.
files_are() {
  local want=$1
  shift
  "$@" >"$tmp/files.got" || {
    echo "      $* failed"
    return 1
  }
  printf '%s\n' "$want" >"$tmp/files.want"
  LC_ALL=C sort -o "$tmp/files.got" "$tmp/files.got"
  diff -u --label expected --label found "$tmp/files.want" "$tmp/files.got" | sed 's/^/      /'
  cmp -s "$tmp/files.want" "$tmp/files.got"
}
files_in() { (cd "$1" && find . \( -type f -o -type l \) -printf '%P\n'); }
deb_files() { dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||'; }
check ".deb holds exactly its files under usr/" \
  files_are "$(sed 's|^|usr/|' <<<"$installed_files")" deb_files
check "cmake --install with no component lays out exactly its files" \
  files_are "$installed_files" files_in "$tmp/prefix"

# Info tags are fine; any error or warning is not, and neither is a
# lintian that fails to read the package: its exit status says both.
# Standard error (where it also complains about running as root) is shown
# only on failure.
lintian_clean() {
  command -v lintian >/dev/null || {
    echo "      lintian is not installed"
    return 1
  }
  local status=0
  lintian --fail-on error,warning "$deb" >"$tmp/lintian.out" 2>"$tmp/lintian.err" ||
    status=$?
  sed 's/^/      /' "$tmp/lintian.out"
  [ "$status" -eq 0 ] || sed 's/^/      /' "$tmp/lintian.err"
  return "$status"
}
check "lintian reports no error and no warning on the .deb" lintian_clean

# Both builds above may fall in the same second; a gzip header that holds
# a file name or time would still make later builds differ.
gzip_headers_timeless() {
  local f
  for f in "$@"; do
    # Flags byte (no FNAME) and the four MTIME bytes, all zero.
    [ "$(od -An -tx1 -j3 -N5 "$f" | tr -d ' \n')" = 0000000000 ] || return 1
  done
}
check ".deb: changelog.gz and the man page carry no name or time (gzip -n)" \
  gzip_headers_timeless "$root/usr/share/doc/http2retlw/changelog.gz" \
  "$root/usr/share/man/man1/http2retlw.1.gz" \
  "$root/usr/share/man/man1/http2retlw-site.1.gz"

converts_example() {
  (cd examples && "$1/bin/http2retlw" index.htm) | cmp -s - tests/data/example_index.asm
}
# man_page_is GZIPPED [PAGE]: the man page, http2retlw.1 by default.
man_page_is() { gzip -dc "$1" | cmp -s - "man/${2:-http2retlw.1}"; }
# The site program makes examples/site as 1.2.0's site step did.
makes_example_site() {
  rm -rf "$tmp/site-tables" &&
    "$1/bin/http2retlw-site" examples/site "$tmp/site-tables" >/dev/null &&
    (cd "$tmp/site-tables" && sha256sum --quiet -c "$OLDPWD/tests/packaging/data/example_site-1.2.0.sha256")
}
# The Debian copyright file's licence paragraph, unindented, is LICENSE
# from its copyright line on.
copyright_is_licence() {
  grep -Fqx "Copyright: 2026 the http2retlw authors" "$1" &&
    sed -n '/^License: Expat$/,$p' "$1" | sed '1d; s/^ //; s/^\.$//' |
    cmp -s - <(sed -n '/^Permission/,$p' LICENSE)
}
# The changelog as dpkg reads it: the newest entry is this version.
changelog_is_current() {
  gzip -dc "$1" >"$tmp/changelog" &&
    test "$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)" = "$version"
}
for prefix in "$root/usr" "$tmp/prefix"; do
  where=${prefix#"$tmp"/}
  check "$where: bin/http2retlw converts examples/index.htm exactly" converts_example "$prefix"
  check "$where: share/man/man1/http2retlw.1.gz is the man page" \
    man_page_is "$prefix/share/man/man1/http2retlw.1.gz"
  check "$where: bin/http2retlw-site makes examples/site as 1.2.0 did" \
    makes_example_site "$prefix"
  check "$where: share/man/man1/http2retlw-site.1.gz is its man page" \
    man_page_is "$prefix/share/man/man1/http2retlw-site.1.gz" http2retlw-site.1
  check "$where: share/doc/http2retlw/copyright carries the licence" \
    copyright_is_licence "$prefix/share/doc/http2retlw/copyright"
  check "$where: share/doc/http2retlw/changelog.gz is the $version changelog" \
    changelog_is_current "$prefix/share/doc/http2retlw/changelog.gz"
done
# Each archive unpacks into one folder named after the package and version.
for unpacked in "tgz:$(basename "$tgz" .tar.gz)" "zip:$(basename "$zip" .zip)"; do
  top=${unpacked#*:}
  where="${unpacked%%:*} $top"
  check "$where: everything is under $top/" test "$(ls -A "$tmp/${unpacked%%:*}")" = "$top"
  prefix=$tmp/${unpacked%%:*}/$top
  check "$where: bin/http2retlw converts examples/index.htm exactly" converts_example "$prefix"
  check "$where: share/man/man1/http2retlw.1.gz is the man page" \
    man_page_is "$prefix/share/man/man1/http2retlw.1.gz"
  check "$where: bin/http2retlw-site makes examples/site as 1.2.0 did" \
    makes_example_site "$prefix"
  check "$where: share/man/man1/http2retlw-site.1.gz is its man page" \
    man_page_is "$prefix/share/man/man1/http2retlw-site.1.gz" http2retlw-site.1
  check "$where: LICENSE is the licence" cmp -s "$prefix/LICENSE" LICENSE
done

# find_package and the make fragment where the .deb puts them, and in an
# archive unpacked anywhere.
build_rules() { bash tests/packaging/run_build_rules_test.sh --installed "$1" | sed 's/^/      /'; }
check "deb-root/usr: the firmware build rules with its CMake package and make fragment" \
  build_rules "$root/usr"
check "tgz $(basename "$tgz" .tar.gz): the firmware build rules with its CMake package and make fragment" \
  build_rules "$tmp/tgz/$(basename "$tgz" .tar.gz)"

report_and_exit
