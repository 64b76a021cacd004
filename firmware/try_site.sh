#!/bin/sh
# Tries a folder of web files on the simulated PIC: turns it into tables with
# http2retlw-site, assembles the page server around them, runs it through the
# bridge and loads it as a user would.
#
#   try_site.sh [--out DIR] SITE_DIR           in a network namespace of its
#       own: curl fetches the index, headless Chromium saves what it
#       rendered as DIR/site.png, and the first HTML page with values
#       (<!--#NAME-->) as DIR/values.png; DIR also gets the tables, the server's
#       build, bridge.log and site.pcap (every frame). Then it stops.
#   try_site.sh --serve [--out DIR] SITE_DIR   as root, on this machine's
#       own network: open http://192.0.2.2/ in a browser here; the bridge
#       stops after 60 s without a frame (or Ctrl-C).
#
# DIR defaults to a new temporary folder. The programs are found beside this
# script's build (../build/), then on the PATH, and so is the model of the
# ENC28J60 the bridge runs the server with; HTTP2RETLW_SITE_PROGRAM,
# ENC28J60_MODULE and HTTP2RETLW_BRIDGE_ARGS (extra bridge options) override. Exit status 0 when
# the page was fetched (or served), 1 when a step failed, 2 on a usage error
# or when something it needs is missing, with one line saying what.
set -eu

usage() {
  echo "usage: $0 [--serve] [--out DIR] SITE_DIR" >&2
  exit 2
}
need() {
  echo "try_site: $*" >&2
  exit 2
}

serve= out=
while [ "$#" -gt 0 ]; do
  case "$1" in
    --serve) serve=1 ;;
    --out) [ "$#" -ge 2 ] || usage; out=$2; shift ;;
    --help|-h) sed -n '2,/^set -eu/{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) usage ;;
    *) break ;;
  esac
  shift
done
[ "$#" -eq 1 ] || usage
[ -d "$1" ] || need "no folder $1"
site=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

site_program=${HTTP2RETLW_SITE_PROGRAM:-}
if [ -z "$site_program" ]; then
  if [ -x "$here/../build/http2retlw-site" ]; then
    site_program=$here/../build/http2retlw-site
  else
    site_program=$(command -v http2retlw-site) ||
      need "http2retlw-site not found: build it (README) or set HTTP2RETLW_SITE_PROGRAM"
  fi
fi
module=${ENC28J60_MODULE:-$here/../build/firmware/enc28j60/libenc28j60_gpsim.so}
[ -f "$module" ] || need "no ENC28J60 model at $module: build the project with gpsim-dev and \
libglib2.0-dev installed (the README's test command does), or set ENC28J60_MODULE"
tools="gpasm gpsim python3 ip"
[ -n "$serve" ] || tools="$tools unshare curl chromium"
for tool in $tools; do
  command -v "$tool" >/dev/null ||
    need "$tool not found (Debian: apt-get install gputils gpsim python3 iproute2 util-linux curl chromium)"
done
# A TAP device needs root (CAP_NET_ADMIN). In a namespace of its own, root
# needs no user namespace, which chroots and most containers refuse;
# anyone else needs one.
if [ "$(id -u)" -eq 0 ]; then
  unshare="unshare -n"
elif [ -n "$serve" ]; then
  need "--serve makes a TAP device on this machine: run it as root"
else
  unshare="unshare -rn"
fi
[ -e /dev/net/tun ] || need "no /dev/net/tun: the kernel has no TAP devices here"
if [ -z "$serve" ] && ! $unshare true 2>/dev/null; then
  need "cannot make a network namespace ($unshare refused): run as root, or where user namespaces are allowed"
fi

[ -n "$out" ] || out=$(mktemp -d)
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out/site.png" "$out/values.png"
"$site_program" "$site" "$out/tables"
# A fresh key for the initial sequence numbers at every build, kept nowhere.
# The server's layers come from beside this script, after the site's
# tables: their pages.inc is the page set.
set -- $(od -An -N8 -tx4 /dev/urandom)
(cd "$out" && gpasm -D ISN_KEY_A="0x$1" -D ISN_KEY_B="0x$2" -I tables -I "$here" \
  -o http_server_18.hex "$here/http_server_18.asm") \
  >"$out/gpasm.log" 2>&1 || {
  cat "$out/gpasm.log" >&2
  echo "try_site: the server did not assemble around $site's tables" >&2
  exit 1
}
bridge="python3 $here/pic_bridge.py --module $module ${HTTP2RETLW_BRIDGE_ARGS:-}"

if [ -n "$serve" ]; then
  echo "serving $site at http://192.0.2.2/ (the bridge stops after 60 s without a frame)"
  cd "$out" && exec $bridge --idle-exit 60 --pcap site.pcap http_server_18.cod
fi

# The first HTML page pages.inc lists as live_page_table: one with values.
live=$(awk '$1 == "live_page_table" { live[$2] = 1 }
  ($1 in live) && $2 == ";" && $3 ~ /\.html?$/ { print $3; exit }' "$out/tables/pages.inc")

# Inside the namespace: the bridge in the background, stopping by itself 3 s
# after the last frame; the device's address appears once gpsim is up.
cd "$out"
LIVE=$live BRIDGE=$bridge $unshare sh -c '
  ip link set lo up
  $BRIDGE --idle-exit 3 --pcap site.pcap http_server_18.cod >bridge.log 2>&1 &
  bridge=$!
  i=0
  until ip addr show pic0 2>/dev/null | grep -q 192.0.2.1; do
    i=$((i + 1))
    if [ "$i" -gt 40 ] || ! kill -0 "$bridge" 2>/dev/null; then
      echo "try_site: the bridge did not come up (bridge.log):" >&2
      tail -n 5 bridge.log >&2
      exit 1
    fi
    sleep 0.25
  done
  status=0
  curl -s -i -m 30 http://192.0.2.2/ | head -n 1 || status=1
  # A Chromium that starts slowly on a busy machine may give up on its
  # first load: it gets a second try while the bridge still runs.
  for try in 1 2; do
    chromium --headless=new --no-sandbox --disable-gpu --disable-background-networking \
      --no-first-run --user-data-dir="$PWD/profile" --screenshot=site.png \
      http://192.0.2.2/ >>chromium.log 2>&1 && [ -s site.png ] && break
    [ "$try" -eq 1 ] || status=1
  done
  if [ -n "$LIVE" ]; then
    chromium --headless=new --no-sandbox --disable-gpu --disable-background-networking \
      --no-first-run --user-data-dir="$PWD/profile" --screenshot=values.png \
      "http://192.0.2.2/$LIVE" >>chromium.log 2>&1 && [ -s values.png ] || status=1
  fi
  wait "$bridge" || status=1
  exit "$status"
' || {
  echo "try_site: the try-out failed; see $out/bridge.log" >&2
  exit 1
}
[ -s site.png ] || {
  echo "try_site: Chromium saved no screenshot; see $out/chromium.log and bridge.log" >&2
  exit 1
}
echo "$out/site.png: the page as Chromium rendered it; $out/site.pcap: every frame"
[ -z "$live" ] || echo "$out/values.png: $live, its values written in by the server"
