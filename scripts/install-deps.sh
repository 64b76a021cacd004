#!/bin/sh
# Installs the Debian packages one kind of work needs, and only those that
# are missing. The README's two commands and CI both go through here.
#
#   scripts/install-deps.sh build   compiler and CMake: build the converter
#   scripts/install-deps.sh test    + everything the test suites use
#   scripts/install-deps.sh ci      + the Windows, cross-target, packaging,
#                                     sanitizer, fuzzing and benchmark tools
#
# Runs apt-get directly as root (a fresh container has no sudo), through
# sudo otherwise.
set -eu

build="cmake g++ libc6-dev make"
# unit, cli: libgtest-dev. firmware: gputils gpsim python3; gpsim-dev,
# libglib2.0-dev (gpsim's headers include glib's) and pkg-config to build
# the ENC28J60 module the server's driver talks to; tshark to
# judge the frames the serving firmware sends, and for the clients in a
# network namespace curl, iputils-ping, iproute2 (ip), util-linux
# (unshare), chromium and fonts-dejavu-core (text in its screenshot);
# dnsmasq-base, the DHCP server on the TAP device of the DHCP build's row,
# where dig (bind9-dnsutils) and python3-zeroconf look its name up.
# packaging: the man page (groff-base, mandoc, man-db) and the build rules
# (make and ninja-build under CMake, g++-aarch64-linux-gnu for the row that
# cross-builds the example).
test="$build libgtest-dev gputils gpsim gpsim-dev libglib2.0-dev pkg-config
  python3 tshark curl iputils-ping iproute2 util-linux chromium
  fonts-dejavu-core dnsmasq-base bind9-dnsutils python3-zeroconf groff-base mandoc man-db ninja-build g++-aarch64-linux-gnu"
# windows: MinGW-w64 and Wine. Cross targets: i686 and s390x compilers
# (aarch64's comes with test) and qemu-user. Packages: dpkg-dev, lintian, file. Static checks and fuzzing:
# clang, its runtimes, clang-tidy, clang-format, cppcheck. Figures:
# Google Benchmark, valgrind, hyperfine, xxd, GNU time.
ci="$test g++-mingw-w64-x86-64-posix wine64 wine
  g++-i686-linux-gnu g++-s390x-linux-gnu qemu-user
  dpkg-dev lintian file groff
  clang libclang-rt-14-dev clang-tidy clang-format cppcheck
  libbenchmark-dev valgrind hyperfine xxd time"

case "${1:-}" in
  build) wanted=$build ;;
  test) wanted=$test ;;
  ci) wanted=$ci ;;
  *)
    echo "usage: $0 build|test|ci" >&2
    exit 2
    ;;
esac

missing=
for package in $wanted; do
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null |
    grep -q 'install ok installed' || missing="$missing $package"
done
[ -n "$missing" ] || exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=
elif command -v sudo >/dev/null 2>&1; then
  as_root=sudo
else
  echo "$0: need root or sudo to install:$missing" >&2
  exit 1
fi
echo "installing:$missing"
# tshark asks whether to let non-root users capture; the answer is no, and
# no question may stop an unattended install.
echo 'wireshark-common wireshark-common/install-setuid boolean false' |
  $as_root debconf-set-selections
$as_root apt-get update -qq
# shellcheck disable=SC2086  # one word per package
$as_root env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends $missing
