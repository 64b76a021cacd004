#!/usr/bin/env bash
# What users install must work: lint the man page, build the .deb, .tar.gz
# and .zip, install each one (and `cmake --install`) into a throwaway root,
# convert the shipped example with every installed binary, then run the
# firmware build rules against the installed binary.
set -euo pipefail

build="build-package"
version=$(sed -n 's/^project(http2retlw VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || {
  echo "no project version in CMakeLists.txt" >&2
  exit 1
}

echo "-- man page"
bash tests/packaging/run_man_page_test.sh

echo "-- packages for http2retlw $version"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DHTTP2RETLW_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2
rm -f "$build"/http2retlw[_-]"$version"*.deb "$build"/http2retlw-"$version"-*.tar.gz \
  "$build"/http2retlw-"$version"-*.zip
(cd "$build" && cpack -G 'DEB;TGZ;ZIP' >/dev/null)

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

passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok    $what"
    passed=$((passed + 1))
  else
    echo "FAIL  $what"
    failed=$((failed + 1))
  fi
}
field() { dpkg-deb -f "$deb" "$1"; }

check ".deb package name is http2retlw" test "$(field Package)" = http2retlw
check ".deb version is $version" test "$(field Version)" = "$version"
check ".deb depends on libc6 ($(field Depends))" grep -Eq '^libc6( |,|$)' <<<"$(field Depends)"
check ".deb names a maintainer" grep -q '<.*@.*>' <<<"$(field Maintainer)"
check ".deb has a description" test -n "$(field Description)"
check ".deb is registered as installed" grep -q 'install ok installed' \
  <<<"$(dpkg --root="$root" -s http2retlw)"

converts_example() {
  (cd examples && "$1/bin/http2retlw" index.htm) | cmp -s - tests/data/example_index.asm
}
for prefix in "$root/usr" "$tmp/prefix" "$tmp/tgz/$(basename "$tgz" .tar.gz)" \
  "$tmp/zip/$(basename "$zip" .zip)"; do
  where=${prefix#"$tmp"/}
  check "$where: bin/http2retlw converts examples/index.htm exactly" converts_example "$prefix"
  check "$where: share/man/man1/http2retlw.1 is the man page" \
    cmp -s "$prefix/share/man/man1/http2retlw.1" man/http2retlw.1
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

echo "-- firmware build rules with the installed binary"
bash tests/packaging/run_build_rules_test.sh "$root/usr/bin/http2retlw"
