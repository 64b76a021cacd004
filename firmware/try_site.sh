#!/bin/sh
# Tries a folder of web files on the simulated PIC: turns it into tables with
# http2retlw-site, assembles the page server around them with a board's
# network settings, runs it through the bridge and loads it as a user would.
#
#   try_site.sh [--config FILE] [--out DIR] SITE_DIR     in a network
#       namespace of its own. The settings are FILE, a netconfig.inc;
#       without one, the server's own netconfig.inc with NET_DHCP 1. A
#       DHCP build gets its address from dnsmasq, run on the TAP device in
#       the namespace, and is loaded at NAME.local, the name looked up by
#       mDNS (python3-zeroconf); a static one at its NET_IP. It prints the
#       address. curl fetches the index, headless Chromium saves what it
#       rendered as DIR/site.png, and the first HTML page with values
#       (<!--#NAME-->) as DIR/values.png; DIR also gets the tables,
#       netconfig.inc, the server's build, bridge.log, dnsmasq.log and
#       site.pcap (every frame). Then it stops.
#   try_site.sh --serve [--config FILE] [--out DIR] SITE_DIR   as root, on
#       this machine's own network: the TAP device pic0, and for a DHCP
#       build dnsmasq on pic0 alone; open the address it prints in a
#       browser here. The bridge stops after 60 s without a frame (or
#       Ctrl-C), and dnsmasq with it.
#
# DIR defaults to a new temporary folder. The programs are found beside this
# script's build (../build/), then on the PATH, and so is the model of the
# ENC28J60 the bridge runs the server with; HTTP2RETLW_SITE_PROGRAM,
# ENC28J60_MODULE and HTTP2RETLW_BRIDGE_ARGS (extra bridge options) override. Exit status 0 when
# the page was fetched (or served), 1 when a step failed, 2 on a usage error
# or when something it needs is missing, with one line saying what.
set -eu

usage() {
  echo "usage: $0 [--serve] [--config FILE] [--out DIR] SITE_DIR" >&2
  exit 2
}
need() {
  echo "try_site: $*" >&2
  exit 2
}

serve= out= config=
while [ "$#" -gt 0 ]; do
  case "$1" in
    --serve) serve=1 ;;
    --out) [ "$#" -ge 2 ] || usage; out=$2; shift ;;
    --config) [ "$#" -ge 2 ] || usage; config=$2; shift ;;
    --help|-h) sed -n '2,/^set -eu/{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) usage ;;
    *) break ;;
  esac
  shift
done
[ "$#" -eq 1 ] || usage
[ -d "$1" ] || need "no folder $1"
[ -z "$config" ] || [ -f "$config" ] || need "no settings file $config"
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
rm -f "$out/site.png" "$out/values.png" "$out/address" "$out/leases"
"$site_program" "$site" "$out/tables"
# The settings: gpasm takes netconfig.inc from the folder it runs in first.
if [ -n "$config" ]; then
  cp "$config" "$out/netconfig.inc"
else
  sed 's/^\(NET_DHCP[[:space:]]*equ[[:space:]]*\)0/\11/' "$here/netconfig.inc" >"$out/netconfig.inc"
fi
# A fresh key for the initial sequence numbers at every build, kept nowhere.
# The server's layers come from beside this script, after the site's
# tables: their pages.inc is the page set.
set -- $(od -An -N8 -tx4 /dev/urandom)
(cd "$out" && gpasm -D ISN_KEY_A="0x$1" -D ISN_KEY_B="0x$2" -I tables -I "$here" \
  -o http_server_18.hex "$here/http_server_18.asm") \
  >"$out/gpasm.log" 2>&1 || {
  cat "$out/gpasm.log" >&2
  echo "try_site: the server did not assemble around $site's tables with $out/netconfig.inc" >&2
  exit 1
}
# dhcp, mac, ip, prefix, name and peer (this machine's end of pic0), as
# gpasm worked them out.
eval "$(python3 "$here/lan.py" settings "$out/http_server_18.lst")"
if [ "$dhcp" -eq 1 ]; then
  # dnsmasq leases from a range beside the kernel's 192.0.2.1/24.
  peer=192.0.2.1/24
  command -v dnsmasq >/dev/null || need "dnsmasq not found (Debian: apt-get install dnsmasq-base)"
  [ -n "$serve" ] || /usr/bin/python3 -c 'import zeroconf' 2>/dev/null ||
    need "no zeroconf under /usr/bin/python3 (Debian: apt-get install python3-zeroconf)"
fi
bridge="python3 $here/pic_bridge.py --module $module --address $peer ${HTTP2RETLW_BRIDGE_ARGS:-}"
# dnsmasq on pic0 alone, no DNS, leases of an hour: a renewal, a frame,
# comes long after the bridge's idle time. It stops once the bridge does.
dnsmasq="dnsmasq --no-daemon --conf-file=/dev/null --interface=pic0 --bind-interfaces --port=0
  --dhcp-range=192.0.2.100,192.0.2.150,255.255.255.0,1h --dhcp-leasefile=$out/leases
  --pid-file=$out/dnsmasq.pid --log-dhcp"
# leased: the address dnsmasq gave our MAC, waited for up to 30 s. The
# namespace's script below gets it too.
leased_fn='leased() {
  i=0
  until [ "$i" -ge 60 ] || grep -q " $mac " "$out/leases" 2>/dev/null; do
    i=$((i + 1))
    sleep 0.5
  done
  sed -n "s/^[0-9]* $mac \([0-9.]*\) .*/\1/p" "$out/leases" 2>/dev/null
}'
eval "$leased_fn"

if [ -n "$serve" ]; then
  cd "$out"
  if [ "$dhcp" -eq 0 ]; then
    echo "serving $site at http://$ip/ (the bridge stops after 60 s without a frame)"
    exec $bridge --idle-exit 60 --pcap site.pcap http_server_18.cod
  fi
  $bridge --idle-exit 60 --pcap site.pcap http_server_18.cod &
  bridge_pid=$!
  until ip -4 addr show dev pic0 2>/dev/null | grep -q 192.0.2.1 ||
    ! kill -0 "$bridge_pid" 2>/dev/null; do
    sleep 0.25
  done
  $dnsmasq >dnsmasq.log 2>&1 &
  dnsmasq_pid=$!
  trap 'kill "$dnsmasq_pid" "$bridge_pid" 2>/dev/null || :' EXIT
  trap 'exit 130' INT TERM
  address=$(leased)
  if [ -n "$address" ]; then
    echo "serving $site at http://$address/ (leased by dnsmasq on pic0; http://$name.local/ where \
this machine resolves mDNS names); the bridge stops after 60 s without a frame"
  else
    echo "try_site: no lease for $mac in 30 s; see $out/dnsmasq.log" >&2
  fi
  wait "$bridge_pid"
  exit
fi

# The first HTML page pages.inc lists as live_page_table: one with values.
live=$(awk '$1 == "live_page_table" { live[$2] = 1 }
  ($1 in live) && $2 == ";" && $3 ~ /\.html?$/ { print $3; exit }' "$out/tables/pages.inc")

# Inside the namespace: the bridge in the background, stopping by itself
# after the last frame (10 s for a DHCP build, whose address takes a few
# seconds to probe); the device's address appears once gpsim is up. A
# DHCP build is fetched at its name, which mDNS gives the leased address.
# In a user namespace dnsmasq keeps the only user id there is, root.
dnsuser=
[ "$unshare" = "unshare -n" ] || dnsuser=--user=root
cd "$out"
DNSUSER=$dnsuser LIVE=$live BRIDGE=$bridge DNSMASQ=$dnsmasq DHCP=$dhcp MAC=$mac IP=$ip NAME=$name \
  PEER=${peer%/*} HERE=$here OUT=$out $unshare sh -c "$leased_fn"'
  ip link set lo up
  idle=3
  [ "$DHCP" -eq 0 ] || idle=10
  $BRIDGE --idle-exit $idle --pcap site.pcap http_server_18.cod >bridge.log 2>&1 &
  bridge=$!
  i=0
  until ip addr show pic0 2>/dev/null | grep -q "$PEER/"; do
    i=$((i + 1))
    if [ "$i" -gt 40 ] || ! kill -0 "$bridge" 2>/dev/null; then
      echo "try_site: the bridge did not come up (bridge.log):" >&2
      tail -n 5 bridge.log >&2
      exit 1
    fi
    sleep 0.25
  done
  status=0 host=$IP resolve=
  if [ "$DHCP" -eq 1 ]; then
    ip route add 224.0.0.0/4 dev pic0
    timeout 120 $DNSMASQ $DNSUSER >dnsmasq.log 2>&1 &
    dns=$!
    mac=$MAC out=$OUT
    address=$(leased)
    # Probed and announced (3 to 9 s), then its name (about 1.5 s more).
    i=0
    until [ -z "$address" ] || [ "$i" -ge 20 ] || ping -c 1 -W 1 "$address" >/dev/null 2>&1; do
      i=$((i + 1))
    done
    found=
    [ -z "$address" ] || found=$(timeout 30 /usr/bin/python3 "$HERE/lan.py" resolve "$NAME.local." "$PEER")
    if [ -z "$address" ] || [ "$found" != "$address" ]; then
      echo "try_site: dnsmasq leased ${address:-nothing} to $MAC; mDNS found ${found:-nothing} \
for $NAME.local (dnsmasq.log, bridge.log)" >&2
      kill "$dns" "$bridge" 2>/dev/null
      exit 1
    fi
    echo "$address" >address
    host=$NAME.local resolve=$address
  fi
  # Fetched at the name, whose address mDNS gave above.
  rules= at=
  [ -z "$resolve" ] || rules="--host-resolver-rules=MAP $host $resolve" at="--resolve $host:80:$resolve"
  curl -s -i -m 30 $at "http://$host/" | head -n 1 || status=1
  # A Chromium that starts slowly on a busy machine may give up on its
  # first load: it gets a second try while the bridge still runs.
  for try in 1 2; do
    chromium --headless=new --no-sandbox --disable-gpu --disable-background-networking \
      --no-first-run --user-data-dir="$PWD/profile" --screenshot=site.png ${rules:+"$rules"} \
      "http://$host/" >>chromium.log 2>&1 && [ -s site.png ] && break
    [ "$try" -eq 1 ] || status=1
  done
  if [ -n "$LIVE" ]; then
    chromium --headless=new --no-sandbox --disable-gpu --disable-background-networking \
      --no-first-run --user-data-dir="$PWD/profile" --screenshot=values.png ${rules:+"$rules"} \
      "http://$host/$LIVE" >>chromium.log 2>&1 && [ -s values.png ] || status=1
  fi
  [ "$DHCP" -eq 0 ] || kill "$dns" 2>/dev/null
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
if [ "$dhcp" -eq 1 ]; then
  echo "http://$name.local/ is $(cat address): leased by dnsmasq, the name found by mDNS"
else
  echo "http://$ip/: the static address of $out/netconfig.inc"
fi
echo "$out/site.png: the page as Chromium rendered it; $out/site.pcap: every frame"
[ -z "$live" ] || echo "$out/values.png: $live, its values written in by the server"
