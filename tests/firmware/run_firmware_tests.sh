#!/usr/bin/env bash
# Runs converter tables on a simulated PIC: for each response below, convert
# it, assemble a program from examples/firmware/ (the table readers) around the table with gpasm
# (table_check.asm for the PIC16F877A, table_check_18.asm for the PIC18F452),
# run it in gpsim to its `done` label and check what the firmware read and
# summed. The expected length and sum come from table_facts.py, which
# fills in the Content-Length and folds the sum on its own.
#
# The http_server_18 rows assemble the page server for the PIC18F4620 around
# the example site (examples/site/ and the largest page the flash holds,
# made into tables by the site step) and drive it through the bridge users
# run (firmware/pic_bridge.py) under its RAM guard: a `frames` row
# plays one client conversation, frame by frame (table_facts.py
# FRAME_ROWS; `fuzz` is the frame fuzzer, whose run FUZZ_SEED and FUZZ_KEY
# pick and FUZZ_FRAMES bounds), and checks every frame sent back; a
# `network` row runs the bridge on a TAP device in a fresh network
# namespace (unshare -n, or unshare -rn without root), where curl, ping and
# headless Chromium talk to the program through the kernel's TCP, and
# tshark judges the capture.
#
#   run_firmware_tests.sh CONVERTER WORK_DIR
#   FIRMWARE_ROWS=REGEX run_firmware_tests.sh ...   only the rows it matches
#
# Exit status 0 when every case passes, 1 on any failure, 77 when a tool is
# missing (gpasm, gpsim, python3, tshark, curl, ping, ip, unshare,
# chromium); under CI (CI set and not empty) a missing tool, or a network
# row skipped for want of a namespace, is a failure, since CI runs as root
# with them all installed.
set -euo pipefail

# The network rows run this script again inside the namespace they make:
#   run_firmware_tests.sh --in-namespace RUN DIR SITE_DIR
inner=
if [ "${1:-}" = --in-namespace ] && [ "$#" -eq 4 ]; then
  inner=1
elif [ "$#" -ne 2 ]; then
  echo "usage: $0 CONVERTER WORK_DIR" >&2
  exit 2
fi
[ -n "$inner" ] || converter=$(realpath "$1")
# The site program stands beside the converter in a build tree, and so does
# the ENC28J60 model the server's driver talks to (the bridge's --module).
[ -n "$inner" ] || site_program=$(dirname "$converter")/http2retlw-site
if [ -z "$inner" ]; then
  ENC28J60_MODULE=$(dirname "$converter")/firmware/enc28j60/libenc28j60_gpsim.so
  export ENC28J60_MODULE
fi
work=$2
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
facts="$here/table_facts.py"
examples="$repo/examples/firmware"
server_src="$repo/firmware"
bridge="$server_src/pic_bridge.py"

# shellcheck source=tests/report.sh
. "$here/../report.sh"

for tool in gpasm gpsim python3 tshark curl ping ip unshare chromium dnsmasq dig; do
  command -v "$tool" >/dev/null || skip_suite "$tool not found (Debian: apt-get install \
gputils gpsim python3 tshark curl iputils-ping iproute2 util-linux chromium dnsmasq-base \
bind9-dnsutils)"
done
/usr/bin/python3 -c 'import zeroconf' 2>/dev/null || skip_suite "no zeroconf under \
/usr/bin/python3 (Debian: apt-get install python3-zeroconf)"
[ -n "$inner" ] || [ -f "$ENC28J60_MODULE" ] || skip_suite "no ENC28J60 model at \
$ENC28J60_MODULE (Debian: apt-get install gpsim-dev libglib2.0-dev, then build enc28j60_gpsim)"
# The interpreter itself, found once: a version manager's shim in front of
# python3 takes longer to start than the helper takes to run.
python=$(python3 -c 'import sys; print(sys.executable)')
[ -x "$python" ] || skip_suite "python3 does not name its own interpreter"

# Rows: input file name (its first letter becomes the tag) | how the input is
# made | data byte the test changes in the table, or - | program | request
# packet, or - | expected result register | program address the table must
# run across, or - | what the row is for.
#
# http_server_18 rows: `frames` and the conversation (a key of FRAME_ROWS in
# table_facts.py), or `network` and the run (clean: curl fetches every page
# and ping, tshark finds nothing to remark; browser: Chromium's screenshot
# and 8 fetches at once; drop: the bridge drops the last segment of a page).
cases=(
  "index.htm|example|-|table_check|-|0x01|-|the shipped example, 41 bytes, sum 0x7363"
  "even.htm|text:4|-|table_check|-|0x01|-|even length: the last byte is a low byte"
  "odd.htm|text:5|-|table_check|-|0x01|-|odd length: the last byte is a lone high byte"
  "ff.htm|ff:301|-|table_check|-|0x01|0x100|0xFF bytes: a carry out of bit 15 on every word"
  "controls.htm|controls:250|-|table_check|-|0x01|0x100|bytes 0x00, 0x0A, 0x0D, 0x80 and 0xFF"
  "large.htm|random:2960|-|table_check|-|0x01|0x800|3,001 bytes: the table crosses 256-word and 2K-word boundaries"
  "tampered.htm|text:200|150|table_check|-|0xFF|-|one table byte changed: the firmware must see the sum differ"
  "index.htm|example|-|table_check_18|-|0x01|-|PIC18: the shipped example"
  "odd.htm|text:5|-|table_check_18|-|0x01|-|PIC18: odd length"
  "large.htm|random:2960|-|table_check_18|-|0x01|0x1000|PIC18: 3,001 bytes, the table pointer runs across 0x1000"
  "tampered.htm|text:200|7|table_check_18|-|0xFF|-|PIC18: one table byte changed"
  "frames|get-index|-|http_server_18|-|-|-|a bare / gets the page tagged i"
  "frames|get-tag|-|http_server_18|-|-|-|the tag after GET /"
  "frames|get-missing|-|http_server_18|-|-|-|a tag no table carries gets the page tagged 4"
  "frames|exact-get|-|http_server_18|-|-|-|a request of exactly GET / gets the index"
  "frames|absolute-form|-|http_server_18|-|-|-|GET http://192.0.2.2/a: the page tagged a"
  "frames|absolute-port|-|http_server_18|-|-|-|GET http://192.0.2.2:80/a?x: the page tagged a"
  "frames|absolute-bare|-|http_server_18|-|-|-|GET http://192.0.2.2 with no path: the index"
  "frames|absolute-other-host|-|http_server_18|-|-|-|GET http://192.0.2.23/a, another host: the page tagged 4"
  "frames|absolute-other-port|-|http_server_18|-|-|-|GET http://192.0.2.2:8080/a, another port: the page tagged 4"
  "frames|absolute-same-length|-|http_server_18|-|-|-|GET http://192.0.2.3/a, a host as long as ours: the page tagged 4"
  "frames|absolute-early|-|http_server_18|-|-|-|GET http://102.0.2.2/a, a host that differs early: the page tagged 4"
  "frames|query-bare|-|http_server_18|-|-|-|/? asks for the index"
  "frames|query-tag|-|http_server_18|-|-|-|/a? asks for tag a"
  "frames|long-request|-|http_server_18|-|-|-|a request of more than 256 bytes: the payload length's high byte"
  "frames|after-ack|-|http_server_18|-|-|-|the request after the handshake's ACK, not with it"
  "frames|multi-segment|-|http_server_18|-|-|-|a page of several segments, each summed as copied"
  "frames|mss-536|-|http_server_18|-|-|-|an MSS option of 536"
  "frames|window-1|-|http_server_18|-|-|-|a window of 1 byte: segments of one byte, each summed"
  "frames|mss-absent|-|http_server_18|-|-|-|no MSS option: 536"
  "frames|small-window|-|http_server_18|-|-|-|a window of 1,000 bytes: no byte past it"
  "frames|retransmit|-|http_server_18|-|-|-|a segment not acknowledged comes again after the timeout"
  "frames|window-zero|-|http_server_18|-|-|-|window 0: no data until it opens, probes meanwhile"
  "frames|tcp-options|-|http_server_18|-|-|-|TCP options: the request starts 36 bytes in"
  "frames|ip-options|-|http_server_18|-|-|-|IPv4 options: the TCP header starts 24 bytes in"
  "frames|seq-wrap|-|http_server_18|-|-|-|the client's sequence number wraps past 2^32"
  "frames|padding|-|http_server_18|-|-|-|Ethernet padding past the IPv4 total length is ignored"
  "frames|ff-byte-src|-|http_server_18|-|-|-|a source with one byte 0xFF is no broadcast"
  "frames|rst-frees|-|http_server_18|-|-|-|an RST is not answered and frees the connection"
  "frames|fin-again|-|http_server_18|-|-|-|the client's FIN again after the close gets an ACK; after the wait, an RST"
  "frames|rst-wrong-seq|-|http_server_18|-|-|-|an RST one byte out of place is ignored: the page still served"
  "frames|isn|-|http_server_18|-|-|-|two connections start at different sequence numbers"
  "frames|slots-full|-|http_server_18|-|-|-|every slot connected: a SYN more answered, its ACK dropped, none taken"
  "frames|slot-takeover|-|http_server_18|-|-|-|every slot busy: the idle one past its grace gives way, at once to a request; none acknowledging"
  "frames|lock-out|-|http_server_18|-|-|-|forged SYNs and segments without flags lock no client out"
  "frames|idle-unacceptable|-|http_server_18|-|-|-|segments out of the window get ACKs but keep no connection alive"
  "frames|synack-once|-|http_server_18|-|-|-|a SYN-ACK never sent again; its cookie good for its steps, then an RST"
  "frames|ping-flood|-|http_server_18|-|-|-|1,514-byte echoes back to back: the timeout still fires on time"
  "frames|initial-window|-|http_server_18|-|-|-|slow start: 4 segments at first, growing with ACKs, one after a timeout"
  "frames|data-tries|-|http_server_18|-|-|-|data never acknowledged: sent again 4 times, backing off, then an RST"
  "frames|window-shrink|-|http_server_18|-|-|-|a window shrunk to 0 with data in flight gets probes"
  "frames|rst-in-window|-|http_server_18|-|-|-|an RST in the window, not exact: a challenge ACK"
  "frames|syn-established|-|http_server_18|-|-|-|a SYN on an open connection: a challenge ACK, nothing restarted"
  "frames|ack-ahead-64k|-|http_server_18|-|-|-|an ACK 65,536 past the send point: an ACK, not served"
  "frames|ack-old-far|-|http_server_18|-|-|-|an ACK 2^31 - 1 below the send point: an ACK, nothing taken"
  "frames|ack-old|-|http_server_18|-|-|-|an ACK older than SND.UNA - MAX.SND.WND: an ACK; one at it: nothing"
  "frames|ack-division|-|http_server_18|-|-|-|ACKs of 50 bytes: full segments only (sender silly window avoidance)"
  "frames|window-edge|-|http_server_18|-|-|-|an RST at RCV.NXT + WINDOW: dropped; one below: a challenge ACK"
  "frames|blind-ack|-|http_server_18|-|-|-|a pure ACK out of the window: nothing taken from it"
  "frames|data-after-fin|-|http_server_18|-|-|-|data past the client's FIN: ignored"
  "frames|isn-guess|-|http_server_18|-|-|-|the next ISN is not a clock's arithmetic from the last"
  "frames|reflection|-|http_server_18|-|-|-|a forged SYN and guessed ACK+GETs: no more bytes back than in"
  "frames|syn-flood-8|-|http_server_18|-|-|-|forged SYNs at 8 a second: the client served by its second SYN in each phase"
  "frames|syn-flood-16|-|http_server_18|-|-|-|forged SYNs at 16 a second: the client served by its second SYN in each phase"
  "frames|syn-flood-100|-|http_server_18|-|-|-|forged SYNs at 100 a second: the client served by its second SYN in each phase"
  "frames|syn-flood-1000|-|http_server_18|-|-|-|forged SYNs in bursts, 1,000 a second and more: the client served by its second SYN"
  "frames|held-4|-|http_server_18|-|-|-|4 idle or zero-window connections from one address: a client's page within 1 s"
  "frames|held-8|-|http_server_18|-|-|-|8 idle or zero-window connections from one address: a client's page within 1 s"
  "frames|held-4-several|-|http_server_18|-|-|-|4 held connections from 4 addresses: a client's page within 1 s"
  "frames|held-8-several|-|http_server_18|-|-|-|8 held connections from 8 addresses: a client's page within 1 s"
  "frames|ask-as-victim|-|http_server_18|-|-|-|a SYN as the victim from another MAC tells nothing: 200 guessed ACKs, an RST each, no data"
  "frames|other-port|-|http_server_18|-|-|-|another port: an RST"
  "frames|no-connection|-|http_server_18|-|-|-|data with no connection: an RST"
  "frames|no-connection-fin|-|http_server_18|-|-|-|a FIN with no connection: an RST with ACK"
  "frames|rst-alone|-|http_server_18|-|-|-|an RST gets no RST"
  "frames|rst-ack|-|http_server_18|-|-|-|an RST with ACK gets no RST"
  "frames|rst-other-port|-|http_server_18|-|-|-|an RST to another port gets no RST"
  "frames|syn-fin|-|http_server_18|-|-|-|SYN with FIN: dropped"
  "frames|other-mac|-|http_server_18|-|-|-|another destination MAC: dropped"
  "frames|group-src-mac|-|http_server_18|-|-|-|a multicast source MAC: dropped"
  "frames|zero-src-mac|-|http_server_18|-|-|-|source MAC 00:00:00:00:00:00: dropped"
  "frames|other-ip|-|http_server_18|-|-|-|another IPv4 address: dropped"
  "frames|broadcast-dst|-|http_server_18|-|-|-|to 255.255.255.255: dropped"
  "frames|multicast-dst|-|http_server_18|-|-|-|to 224.0.0.1: dropped"
  "frames|broadcast-src|-|http_server_18|-|-|-|from 255.255.255.255: dropped"
  "frames|subnet-broadcast-src|-|http_server_18|-|-|-|from 192.0.2.255: dropped"
  "frames|multicast-src|-|http_server_18|-|-|-|from 224.0.0.251: dropped"
  "frames|zero-src|-|http_server_18|-|-|-|from 0.0.0.0: dropped"
  "frames|loopback-src|-|http_server_18|-|-|-|from 127.0.0.1: dropped"
  "frames|own-src|-|http_server_18|-|-|-|from its own address: dropped"
  "frames|ip-sum|-|http_server_18|-|-|-|a wrong IPv4 header checksum: dropped"
  "frames|tcp-sum|-|http_server_18|-|-|-|a wrong TCP checksum: dropped"
  "frames|ihl-4|-|http_server_18|-|-|-|an IPv4 header length of 4 words: dropped"
  "frames|offset-4|-|http_server_18|-|-|-|a TCP data offset of 4 words: dropped"
  "frames|offset-beyond|-|http_server_18|-|-|-|a TCP data offset past the segment: dropped"
  "frames|more-fragments|-|http_server_18|-|-|-|More Fragments set: dropped"
  "frames|fragment-offset|-|http_server_18|-|-|-|a fragment offset: dropped"
  "frames|fragment-offset-high|-|http_server_18|-|-|-|a fragment offset in the high byte: dropped"
  "frames|truncated|-|http_server_18|-|-|-|an IPv4 total length past the frame: dropped"
  "frames|total-ffff|-|http_server_18|-|-|-|an IPv4 total length of 0xFFFF, which wraps past the frame's: dropped"
  "frames|total-below-header|-|http_server_18|-|-|-|an IPv4 total length below its header's: dropped"
  "frames|short-frame|-|http_server_18|-|-|-|a frame of 13 bytes: dropped, nothing read past it"
  "frames|version-6|-|http_server_18|-|-|-|IP version 6 in an IPv4 frame: dropped"
  "frames|udp|-|http_server_18|-|-|-|protocol 17 (UDP) around an echo request: dropped"
  "frames|ipv6-frame|-|http_server_18|-|-|-|an IPv6 frame: dropped"
  "frames|vlan-frame|-|http_server_18|-|-|-|a VLAN-tagged frame (ethertype 0x8100): dropped"
  "frames|arp|-|http_server_18|-|-|-|ARP for its address: a reply"
  "frames|arp-other|-|http_server_18|-|-|-|ARP for another address: nothing"
  "frames|arp-other-mac|-|http_server_18|-|-|-|ARP to another MAC, not broadcast: nothing"
  "frames|arp-short|-|http_server_18|-|-|-|ARP of 41 bytes: nothing, nothing read past it"
  "frames|arp-ethertype|-|http_server_18|-|-|-|an ARP request under ethertype 0x0807: nothing"
  "frames|arp-hardware|-|http_server_18|-|-|-|ARP for another hardware type: nothing"
  "frames|arp-protocol|-|http_server_18|-|-|-|ARP for another protocol: nothing"
  "frames|arp-lengths|-|http_server_18|-|-|-|ARP with other address lengths: nothing"
  "frames|arp-reply|-|http_server_18|-|-|-|an ARP reply: nothing"
  "frames|arp-sender-mac|-|http_server_18|-|-|-|ARP whose sender MAC is not the frame's source: nothing"
  "frames|arp-zero-sender|-|http_server_18|-|-|-|ARP from sender 0.0.0.0: nothing"
  "frames|ping|-|http_server_18|-|-|-|ping: an echo reply"
  "frames|ping-largest|-|http_server_18|-|-|-|the longest echo a 1,514-byte frame holds: a reply"
  "frames|past-the-buffer|-|http_server_18|-|-|-|a frame of 1,515 bytes: dropped by the controller (MAMXFL), nothing read past it"
  "frames|ping-bad-sum|-|http_server_18|-|-|-|an echo with a wrong ICMP checksum: nothing"
  "frames|ping-bad-sum-high|-|http_server_18|-|-|-|an echo whose checksum is wrong in its high byte: nothing"
  "frames|echo-reply|-|http_server_18|-|-|-|an echo reply: nothing (no reflection)"
  "frames|echo-code|-|http_server_18|-|-|-|an echo request of code 1: nothing"
  "frames|icmp-short|-|http_server_18|-|-|-|an ICMP message of 4 bytes: nothing"
  "frames|icmp-7|-|http_server_18|-|-|-|an ICMP message of 7 bytes, one short of an echo: nothing"
  "frames|fuzz|-|http_server_18|-|-|-|random and changed frames and conversations: no reply that must not go out, no stray access, no hang"
  "frames|live-values|-|http_server_18|-|-|-|the status page twice, 2.5 s apart: the uptime grows, every value its snapshot's, the rest the table's"
  "frames|live-json|-|http_server_18|-|-|-|data.json parsed as JSON: each value the snapshot's in RAM"
  "frames|live-edges|-|http_server_18|-|-|-|values at an odd offset and at the end, in one segment and with a segment boundary inside one"
  "frames|live-resent|-|http_server_18|-|-|-|a dropped segment with values sent again after a tick, with its first bytes"
  "frames|live-head|-|http_server_18|-|-|-|HEAD of a page with values: its header, no values"
  "frames|live-png-as-stored|-|http_server_18|-|-|-|a PNG holding <!--#uptime-->: served as stored"
  "frames|live-gz-as-stored|-|http_server_18|-|-|-|a .gz holding <!--#uptime-->: served as stored"
  "frames|ring-wraps|-|http_server_18|-|-|-|the controller's ring wraps inside a frame while a page is served"
  "frames|ring-full|-|http_server_18|-|-|-|a burst fills the ring: what is dropped is never acknowledged, the next connection served"
  "frames|bad-fcs|-|http_server_18|-|-|-|a frame with a wrong FCS: dropped by the controller, never seen"
  "frames|back-to-back|-|http_server_18|-|-|-|segments back to back: each waits for the one before to leave"
  "frames|controller-reset|-|http_server_18|-|-|-|the controller loses power mid-connection: set up again, the next connection served"
  "frames|ring-end|-|http_server_18|-|-|-|ten frames end a packet on the ring's last byte, then a ping"
  "frames|full-then-short|-|http_server_18|-|-|-|a page of a full segment and a short rest: both at once, both whole"
  "frames|carry-cuts|-|http_server_18|-|-|-|every window that cuts a page where the streamed sum's last carry meets 0xFF: the checksum right"
  "flash|past-end|-|http_server_18|-|-|-|tables 24 bytes past the end of program memory: gpasm fails, not warns"
  "netconfig|group-mac|-|http_server_18|NET_MAC_0=0x03|is a group|-|a multicast MAC: the build fails naming NET_MAC"
  "netconfig|zero-mac|-|http_server_18|NET_MAC_0=0 NET_MAC_1=0 NET_MAC_2=0 NET_MAC_3=0 NET_MAC_5=0|is 00:00:00:00:00:00|-|the MAC 00:00:00:00:00:00"
  "netconfig|mask-holes|-|http_server_18|NET_MASK_2=0 NET_MASK_3=255|has holes|-|255.255.0.255, a mask with a hole"
  "netconfig|mask-byte-hole|-|http_server_18|NET_MASK_2=253|has holes|-|255.255.253.0, a hole inside a byte"
  "netconfig|mask-31|-|http_server_18|NET_MASK_3=254|must be /8 to /30|-|a /31 leaves no host"
  "netconfig|subnet-address|-|http_server_18|NET_IP_3=0|subnet's own address|-|192.0.2.0/24 as the address"
  "netconfig|subnet-broadcast|-|http_server_18|NET_IP_3=63 NET_MASK_3=192|subnet's broadcast|-|192.0.2.63/26, the subnet's broadcast"
  "netconfig|loopback|-|http_server_18|NET_IP_0=127|no unicast address|-|127.0.2.2 as the address"
  "netconfig|not-a-byte|-|http_server_18|NET_IP_2=256|must each be a byte|-|an address byte of 256"
  "netconfig|other-address|-|http_server_18|NET_IP_3=77 NET_MASK_3=192 NET_MAC_5=0x4D|serves|-|192.0.2.77/26 and another MAC: ARP, a GET, the new broadcast refused"
  "netconfig|name-dash|-|http_server_18|NET_NAME_0='-'|starts or ends with '-'|-|a host name that starts with '-'"
  "netconfig|name-upper|-|http_server_18|NET_NAME_2='C'|is no DNS label: a character|-|an upper case letter in the host name"
  "netconfig|name-long|-|http_server_18|NET_NAME_LEN=62|NET_NAME_LEN must be 1 to 61|-|a host name of 62 characters"
  "netconfig|dhcp-2|-|http_server_18|NET_DHCP=2|NET_DHCP must be 0|-|NET_DHCP neither 0 nor 1"
  "dhcp|dhcp-bind|-|http_server_18|-|-|-|DHCP: DISCOVER, REQUEST, three probes, two announcements; nothing answered before, the page after"
  "dhcp|dhcp-renew|-|http_server_18|-|-|-|DHCP: RENEW to the server at T1, REBIND to everyone at T2, the address given up at the lease's end"
  "dhcp|dhcp-nak|-|http_server_18|-|-|-|DHCP: a NAK starts over with a new xid"
  "dhcp|dhcp-conflict|-|http_server_18|-|-|-|DHCP: another MAC holds the address: a DECLINE, a DISCOVER 10 s later"
  "dhcp|dhcp-forged|-|http_server_18|-|-|-|DHCP: OFFERs and ACKs for another xid or MAC, malformed or hostile: none taken"
  "dhcp|dhcp-fuzz|-|http_server_18|-|-|-|the frame fuzzer, bound: mDNS queries and DHCP replies among its frames; only mDNS answers of its address"
  "dhcp|link-local|-|http_server_18|-|-|-|no DHCP server: 169.254.1.2 from the MAC, probed, announced, answering; an offer replaces it"
  "dhcp|mdns-answers|-|http_server_18|-|-|-|mDNS: pic.local for QM, QU, legacy unicast and compressed questions; other names and types not"
  "dhcp|mdns-hostile|-|http_server_18|-|-|-|mDNS: pointer loops, forward and outside pointers, labels past the end, lying counts, 100 questions: bounded"
  "dhcp|mdns-conflict|-|http_server_18|-|-|-|mDNS: another host answers for pic.local: pic-2.local probed and announced"
  "dhcp|link-local-conflict|-|http_server_18|-|-|-|link-local conflicts: another address when probing, one defence when bound, then given up"
  "bridge|start-up|-|http_server_18|-|-|-|no .lst or labels, no gpsim, a line that is no frame: one line and status 2, no gpsim left"
  "misuse|rx-read|-|http_server_18|-|-|-|a driver that reads RX_BUF + rx_len: the guard names the read, status 1"
  "misuse|rx-write|-|http_server_18|-|-|-|a driver that writes the byte after the frame: the guard names it, status 1"
  "misuse|spi-fosc16|-|http_server_18|-|-|-|the MSSP at Fosc/16 (2.5 MHz): the model refuses MAC/MII access below 8 MHz"
  "misuse|clock-30mhz|-|http_server_18|-|-|-|a program clocked at 30 MHz: SCK at Fosc/4 is 7.5 MHz, refused"
  "network|clean|-|http_server_18|-|-|-|curl fetches every page byte for byte, ping gets 3 replies and one of 1,514 bytes, tshark finds nothing"
  "network|browser|-|http_server_18|-|-|-|Chromium shows the stylesheet's colour and the PNG, and the status page with its 15 values; 8 fetches at once complete"
  "network|drop|-|http_server_18|-|-|-|the last segment dropped: the page still whole, one retransmission"
  "network|dhcp|-|http_server_18|-|-|-|dnsmasq leases an address and renews it; curl and ping there; dig and python3-zeroconf find pic.local; tshark finds no malformed frame"
)

passed=0
failed=0
# Inside the namespace the second argument is the run's name, not a folder.
[ -n "$inner" ] || mkdir -p "$work"

# step WHAT COMMAND...: runs COMMAND; when it fails, prints what failed and
# its output and returns 1. The case functions run inside an `if`, where
# set -e does not apply, so every step they take goes through here.
step() {
  local what=$1 out rc=0
  shift
  out=$("$@" 2>&1) || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "  $what failed (exit $rc)"
    [ -z "$out" ] || sed 's/^/    /' <<<"$out"
    return 1
  fi
  [ -z "$out" ] || sed 's/^/  /' <<<"$out"
}

# convert DIR PAGE TABLE: the tag is the first character of the argument, so
# run from the page's folder with the bare name.
convert() {
  cd "$1" && "$converter" "$2" >"$3"
}

# assemble DIR SOURCE [GPASM_OPTION...]: SOURCE (a path, or a file in DIR)
# assembled in DIR, its .hex, .cod and .lst there; gpasm must report no
# error, warning or message.
assemble() {
  local dir=$1 source=$2 out rc=0 name
  shift 2
  name=${source##*/}
  out=$(cd "$dir" && gpasm "$@" -o "${name%.asm}.hex" "$source" 2>&1) || rc=$?
  [ -z "$out" ] || echo "$out"
  [ "$rc" -eq 0 ] && ! grep -qE 'Error|Warning|Message' <<<"$out"
}

# assemble_server DIR [GPASM_OPTION...]: the server and its layers, from the
# source tree, around DIR/tables; the tables' pages.inc comes first, not
# the one beside the server.
assemble_server() {
  local dir=$1
  shift
  assemble "$dir" "$server_src/http_server_18.asm" -I tables -I "$server_src" "$@"
}

# run_case NAME MAKE TAMPER PROGRAM WANT_RESULT CROSSES DIR; prints why it
# fails and returns 1 then.
run_case() {
  local name=$1 make=$2 tamper=$3 program=$4 want_result=$5 crosses=$6 dir=$7
  local family=pic16
  [[ "$program" != *_18 ]] || family=pic18
  if [ "$make" = example ]; then
    step "copying the example" cp "$repo/examples/index.htm" "$dir/$name" || return 1
  else
    step "making $name" "$python" "$facts" make "$make" "$dir/$name" || return 1
  fi

  local offset=()
  [ "$tamper" = - ] || offset=("$tamper")

  step "converting $name" convert "$dir" "$name" page_table.inc || return 1
  if [ "$tamper" != - ]; then
    step "changing entry $tamper" "$python" "$facts" tamper "$dir/page_table.inc" "$tamper" ||
      return 1
  fi
  step "copying $program.asm" cp "$examples/$program.asm" "$dir/" || return 1
  step "gpasm $program.asm" assemble "$dir" "$program.asm" || return 1

  local span start last
  span=$("$python" "$facts" check-hex "$family" "$dir/$program.hex" "$dir/$program.lst" \
    "$dir/$name" "${offset[@]}" 2>&1) || {
    echo "  table in $program.hex: $span"
    return 1
  }
  # "table 0xSTART-0xLAST: N retlw words"
  start=$(sed -E 's/^table (0x[0-9A-F]+)-.*/\1/' <<<"$span")
  last=$(sed -E 's/^table 0x[0-9A-F]+-(0x[0-9A-F]+):.*/\1/' <<<"$span")
  if [ "$crosses" != - ] && ! ((start < crosses && crosses <= last)); then
    echo "  $span does not run across $crosses; make the input longer"
    return 1
  fi

  local expected length sum table_sum
  expected=$("$python" "$facts" expect "$dir/$name" "${offset[@]}" 2>&1) || {
    echo "  table_facts.py expect failed: $expected"
    return 1
  }
  read -r length sum table_sum <<<"$expected"
  if [ "$make" = example ] && { [ "$length" -ne 41 ] || [ "$sum" -ne $((0x7363)) ]; }; then
    echo "  table_facts.py disagrees with the worked example: $length bytes, sum $sum"
    return 1
  fi

  # gpsim only returns after `quit`, and exits 0 whatever happened; the
  # results are read from the bank 0 dump that `x` prints.
  timeout 20 gpsim -i -s "$dir/$program.cod" >"$dir/gpsim.txt" 2>&1 <<'EOF' || true
break e done
run
x
quit
EOF
  if ! grep -q 'Hit a Breakpoint' "$dir/gpsim.txt"; then
    echo "  gpsim never reached done (see $dir/gpsim.txt)"
    return 1
  fi
  local row
  row=$(grep -m1 '^0020:' "$dir/gpsim.txt") || {
    echo "  no register dump in $dir/gpsim.txt"
    return 1
  }
  # Bytes 0x20..0x2A: tag len_h len_l tsum_h tsum_l sum_h sum_l count_h
  # count_l last_byte result.
  local -a r
  read -r -a r <<<"${row#0020:}"
  local got_len=$((0x${r[1]} << 8 | 0x${r[2]})) got_tsum=$((0x${r[3]} << 8 | 0x${r[4]}))
  local got_sum=$((0x${r[5]} << 8 | 0x${r[6]})) got_count=$((0x${r[7]} << 8 | 0x${r[8]}))
  local got_tag=$((0x${r[0]})) got_last=$((0x${r[9]})) got_result=$((0x${r[10]}))
  local want_tag want_last
  want_tag=$(printf '%d' "'${name:0:1}")
  want_last=$(tail -c 1 "$dir/$name" | od -An -tu1 | tr -d ' ')
  [ "$tamper" = - ] || [ "$tamper" -ne $((length - 1)) ] || want_last=$(((want_last + 1) & 0xFF))

  local bad=0
  check() { # WHAT GOT WANT
    if [ "$2" -ne "$3" ]; then
      printf '  %s: got 0x%X, want 0x%X\n' "$1" "$2" "$3"
      bad=1
    fi
  }
  check tag "$got_tag" "$want_tag"
  check length "$got_len" "$length"
  check "bytes counted" "$got_count" "$length"
  check "table sum" "$got_tsum" "$table_sum"
  check "recomputed sum" "$got_sum" "$sum"
  check "last byte" "$got_last" "$want_last"
  check result "$got_result" "$((want_result))"
  [ "$bad" -eq 0 ] || return 1
  echo "  $length bytes, sum 0x$(printf '%04X' "$got_sum"), result 0x${r[10]}, $span"
}

# build_site DIR [dhcp]: the example site (examples/site/) and max.html, the
# largest page the flash holds, made into tables and pages.inc by
# http2retlw-site, and the server around them, in DIR. DIR/pages gets each
# completed response read back from its table, for the rows to compare with
# what the program sends. max.html is built once small, then grown by half
# the bytes left (a response byte takes one retlw word). With dhcp: the
# example site alone (DHCP's code needs max.html's room), and a
# netconfig.inc of NET_DHCP 1 in DIR.
build_site() {
  local dir=$1 dhcp=${2:-} largest=1000 end name names= summary key rounds=2
  # max.html's tag is m: no other file may have it.
  if [ -z "$dhcp" ] && [ -n "$(cd "$repo/examples/site" && ls -d m* 2>/dev/null)" ]; then
    echo "  examples/site already has a file tagged m: $(cd "$repo/examples/site" && ls -d m*)"
    return 1
  fi
  rm -rf "$dir" && step "making folders" mkdir -p "$dir/web" "$dir/pages" "$dir/tables" ||
    return 1
  key=$(isn_key)
  step "copying examples/site" cp "$repo"/examples/site/* "$dir/web/" || return 1
  if [ -n "$dhcp" ]; then
    rounds=1
    sed 's/^\(NET_DHCP[[:space:]]*equ[[:space:]]*\)0/\11/' "$server_src/netconfig.inc" \
      >"$dir/netconfig.inc"
    grep -q '^NET_DHCP[[:space:]]*equ[[:space:]]*1' "$dir/netconfig.inc" || {
      echo "  netconfig.inc has no NET_DHCP 0 to change"
      return 1
    }
  else
    # Values at an odd offset and at the page's end (edge.txt), and the
    # bytes of a placeholder in a PNG and a .gz, which are never scanned.
    # edge.txt's first bytes read as a value list would put value7 at
    # offset 16, in the header: what a HEAD would get if its value list
    # were taken from the header's end.
    printf '\001\000\020\007odd <!--#uptime--><!--#ip--> ..........................................<!--#value7-->' \
      >"$dir/web/edge.txt" &&
      printf '\211PNG<!--#uptime-->' >"$dir/web/raw.png" &&
      printf '\037\213<!--#uptime-->' >"$dir/web/bytes.txt.gz" || return 1
  fi
  for ((round = 0; round < rounds; round++)); do
    if [ -z "$dhcp" ]; then
      step "making max.html" "$python" "$facts" make-body "text:$largest" "$dir/web/max.html" ||
        return 1
    fi
    summary=$("$site_program" "$dir/web" "$dir/tables" 2>&1) || {
      echo "  http2retlw-site failed"
      sed 's/^/    /' <<<"$summary"
      return 1
    }
    # shellcheck disable=SC2086 # four words: -D NAME=VALUE twice
    step "gpasm http_server_18.asm${dhcp:+ (NET_DHCP 1)}" assemble_server "$dir" $key ||
      return 1
    end=$("$python" "$facts" flash-end "$dir/http_server_18.hex") || return 1
    largest=$((largest + (0x10000 - end) / 2 - 4))
  done
  if [ -z "$dhcp" ] && ((end < 0x10000 - 16)); then
    printf '  the flash ends at 0x%X: max.html is not the largest page it holds\n' "$end"
    return 1
  fi
  rm -f "$dir/pages"/*
  for name in "$dir"/web/*; do
    name=${name##*/}
    [ -e "$dir/tables/$name.inc" ] || continue
    step "reading $name.inc back" "$python" "$facts" response "$dir/tables/$name.inc" \
      "$dir/pages/$name" || return 1
    names+="$name "
  done
  printf '  %s built: %s; %s; program and tables end at 0x%X\n' "${dhcp:+DHCP }site" \
    "${names% }" "$(tail -n 1 <<<"$summary")" "$end"
}

# isn_key: gpasm's -D options of the server's key: fresh for each build,
# or FUZZ_KEY (A:B in hex, as the fuzzer prints it) to play a run again.
isn_key() {
  local a b
  if [ -n "${FUZZ_KEY:-}" ]; then
    a=${FUZZ_KEY%%:*} b=${FUZZ_KEY#*:}
  else
    read -r a b < <(od -An -N8 -tx4 /dev/urandom)
  fi
  echo "-D ISN_KEY_A=0x$a -D ISN_KEY_B=0x$b"
}

# site_ready [dhcp]: the site in $work/site, or with dhcp the DHCP build in
# $work/dhcp-site, built by the first row that needs it.
declare -A site_state=()
site_ready() {
  local which=site${1:+-$1}
  if [ -z "${site_state[$which]:-}" ]; then
    site_state[$which]=bad
    step "building the ${1:+DHCP }site" build_site "$work/${1:+$1-}site" "${1:-}" &&
      site_state[$which]=good
  fi
  [ "${site_state[$which]}" = good ]
}

# run_frames_case KIND DIR
run_frames_case() {
  site_ready || return 1
  step "$1" "$python" "$facts" frames "$1" "$2" "$bridge" "$work/site" "$work"/site/pages/*
}

# run_dhcp_case KIND DIR: frame row KIND against the DHCP build.
run_dhcp_case() {
  site_ready dhcp || return 1
  step "$1" "$python" "$facts" frames "$1" "$2" "$bridge" "$work/dhcp-site" \
    "$work"/dhcp-site/pages/*
}

# run_flash_case DIR: the site, its largest table grown past the end of
# program memory; the server must refuse to assemble.
run_flash_case() {
  local out
  site_ready && cp -R "$work/site/." "$1/" || return 1
  printf '\tretlw\t0x00\n%.0s' 1 2 3 4 5 6 7 8 9 10 11 12 >>"$1/tables/max.html.inc"
  if out=$(assemble_server "$1") ||
    ! grep -q 'Error.*pass the end of program memory' <<<"$out"; then
    echo "  gpasm did not fail with the program memory error"
    [ -z "$out" ] || sed 's/^/    /' <<<"$out"
    return 1
  fi
}

# run_netconfig_case DIR SETTINGS WANT: the site's server built in DIR with
# a netconfig.inc of its own, the default changed by SETTINGS (NAME=VALUE
# ...). WANT is the text of the gpasm error that must stop the build, or
# `serves`: then the .lst must hold the settings, and ARP, a GET and a SYN
# from the subnet's broadcast play at them.
run_netconfig_case() {
  local dir=$1 settings=$2 want=$3 setting name value out kind
  site_ready && cp -R "$work/site/." "$dir/" &&
    cp "$server_src/netconfig.inc" "$dir/netconfig.inc" || return 1
  for setting in $settings; do
    name=${setting%%=*} value=${setting#*=}
    grep -q "^$name[[:space:]]" "$dir/netconfig.inc" || {
      echo "  netconfig.inc has no $name"
      return 1
    }
    sed -i "s/^\($name[[:space:]]*equ[[:space:]]*\)[^[:space:];]*/\1$value/" "$dir/netconfig.inc"
  done
  if [ "$want" != serves ]; then
    if out=$(assemble_server "$dir") || ! grep -q "Error.*netconfig\.inc: .*$want" <<<"$out"; then
      echo "  gpasm did not fail with \"$want\""
      [ -z "$out" ] || sed 's/^/    /' <<<"$out"
      return 1
    fi
    echo "  refused: $(grep -o 'netconfig\.inc: .*' <<<"$out" | head -n 1)"
    return 0
  fi
  step "gpasm http_server_18.asm" assemble_server "$dir" || return 1
  for setting in $settings; do
    name=${setting%%=*} value=$(printf '%08X' "${setting#*=}")
    grep -Eq "^$name +$value\$" "$dir/http_server_18.lst" || {
      echo "  the build took no $setting from its netconfig.inc"
      return 1
    }
  done
  for kind in arp get-index subnet-broadcast-src; do
    mkdir -p "$dir/$kind" || return 1
    step "$kind" "$python" "$facts" frames "$kind" "$dir/$kind" "$bridge" "$dir" \
      "$dir"/pages/* || return 1
  done
}

# run_bridge_case DIR: the bridge's start-up errors, each one line on
# standard error and status 2, with no gpsim of the run left behind.
run_bridge_case() {
  local dir=$1 bad=0 rc err
  site_ready && cp "$work/site/http_server_18.cod" "$dir/no-listing.cod" &&
    cp "$work/site/http_server_18.cod" "$dir/no-labels.cod" && : >"$dir/no-labels.lst" || return 1
  printf 'wait 1\nnot a frame\n' >"$dir/bad-line.txt"
  local -a runs=(
    "no .lst|$dir/no-listing.cod|"
    "a .lst without the driver's labels|$dir/no-labels.cod|"
    "no gpsim|$work/site/http_server_18.cod|/nothing"
    "a line that is no frame|$work/site/http_server_18.cod|"
  )
  for run in "${runs[@]}"; do
    IFS='|' read -r what cod path <<<"$run"
    rc=0
    env ${path:+PATH=$path} "$python" "$bridge" --module "$ENC28J60_MODULE" --guard \
      --frames "$dir/bad-line.txt" "$cod" >"$dir/out" 2>"$dir/err" || rc=$?
    err=$(cat "$dir/err")
    if [ "$rc" -ne 2 ] || [ "$(wc -l <"$dir/err")" -ne 1 ]; then
      echo "  $what: status $rc, standard error: ${err:-nothing}"
      bad=1
    fi
  done
  # gpsim runs in the folder of the .cod it was given.
  sleep 0.2
  for pid in $(pgrep -x gpsim); do
    case $(readlink "/proc/$pid/cwd") in
    "$dir" | "$work/site")
      echo "  gpsim (process $pid) is still running"
      bad=1
      ;;
    esac
  done
  [ "$bad" -eq 0 ]
}

# Misuse rows: the site's server with one change, and the text the bridge
# (its guard, or the model's strict checks) must print as it exits 1 on a
# ping. VARIANT|FILE|SED EXPRESSION|TEXT
misuses=(
  "rx-read|enc28j60_driver.inc|s/^eth_copied\$/&\n\tmovf\tlow INDF0, w, A/|read of RX_BUF+98 past a 98-byte frame"
  "rx-write|enc28j60_driver.inc|s/^eth_copied\$/&\n\tclrf\tlow INDF0, A/|RAM 0x162 holds 0x00"
  "spi-fosc16|enc28j60_driver.inc|s/^\tmovlw\t0x20\t\t\t; enabled, master, Fosc\/4/\tmovlw\t0x21/|errata 1 (MAC Interface)"
  "clock-30mhz|http_server_18.asm|s/^TICK_CYCLES\tequ\t10000/TICK_CYCLES\tequ\t7500/|SCK at 7.5 MHz"
)

# run_misuse_case VARIANT DIR
run_misuse_case() {
  local variant=$1 dir=$2 entry file edit text rc=0 out
  for entry in "${misuses[@]}"; do
    [ "${entry%%|*}" = "$variant" ] && break
  done
  IFS='|' read -r _ file edit text <<<"$entry"
  site_ready && cp -R "$work/site/." "$dir/" && cp "$server_src/$file" "$dir/" || return 1
  sed -i "$edit" "$dir/$file"
  if cmp -s "$dir/$file" "$server_src/$file"; then
    echo "  $edit changes nothing in $file"
    return 1
  fi
  # The changed file in DIR: gpasm takes an include from the folder it runs
  # in before the source tree's.
  local source=$server_src/http_server_18.asm
  [ "$file" != http_server_18.asm ] || source=http_server_18.asm
  step "gpasm the changed server" assemble "$dir" "$source" -I tables -I "$server_src" ||
    return 1
  "$python" "$facts" ping-frame "$dir/http_server_18.lst" >"$dir/ping.txt" || return 1
  out=$("$python" "$bridge" --module "$ENC28J60_MODULE" --guard --quiet \
    --frames "$dir/ping.txt" "$dir/http_server_18.cod" 2>&1) || rc=$?
  if [ "$rc" -ne 1 ] || ! grep -qF "$text" <<<"$out"; then
    echo "  status $rc, want 1 with \"$text\"; the bridge said: ${out:-nothing}"
    return 1
  fi
  echo "  status 1: $(grep -F "$text" <<<"$out" | head -n 1)"
}

# namespace: how this machine makes a network namespace, or nothing.
namespace=()
if unshare -n true 2>/dev/null; then
  namespace=(unshare -n)
elif unshare -rn true 2>/dev/null; then
  namespace=(unshare -rn)
fi

# run_network_case RUN DIR: this script again, inside a fresh namespace.
run_network_case() {
  local site=$work/site
  if [ "$1" = dhcp ]; then
    site_ready dhcp || return 1
    site=$work/dhcp-site
  else
    site_ready || return 1
  fi
  if [ "${#namespace[@]}" -eq 0 ]; then
    echo "  no network namespace here (unshare -n and unshare -rn fail)"
    [ -z "${CI:-}" ] && return 77
    return 1
  fi
  step "the $1 run" timeout 300 "${namespace[@]}" bash "$0" --in-namespace "$1" "$2" \
    "$site"
}

# fetch PATH PAGE DIR: curl gets PATH from $server (192.0.2.2 unless a
# lease gave another), byte for byte PAGE's completed response, but for its
# values (written in by the server, checked for their width and form).
server=192.0.2.2
fetch() {
  local got=$3/got.$RANDOM$RANDOM
  curl -s -i -m 60 -o "$got" "http://$server$1" || {
    echo "curl $1 failed"
    return 1
  }
  "$python" "$facts" fetched "$got" "$2" || {
    echo "curl $1: $(wc -c <"$got") bytes, not ${2##*/}'s"
    return 1
  }
}

# in_namespace_dhcp DIR PAGES: dnsmasq on pic0 leases an address for 2
# minutes (its least); the page and ping there, the renewal at T1 (60 s),
# with a ping each second meanwhile, so that the bridge stays up.
in_namespace_dhcp() {
  local dir=$1 pages=$2 dns bad=0 acks
  timeout 150 dnsmasq --no-daemon --conf-file=/dev/null --interface=pic0 --bind-interfaces \
    --port=0 --dhcp-range=192.0.2.100,192.0.2.150,255.255.255.0,2m \
    --dhcp-leasefile="$dir/leases" --pid-file="$dir/dnsmasq.pid" --log-dhcp \
    >"$dir/dnsmasq.log" 2>&1 &
  dns=$!
  for _ in $(seq 60); do
    [ -s "$dir/leases" ] && break
    sleep 0.5
  done
  server=$(awk '$2 == "02:50:49:43:00:02" && $4 == "pic" { print $3 }' "$dir/leases")
  if [ -z "$server" ]; then
    echo "no lease for 02:50:49:43:00:02 named pic in 30 s: $(cat "$dir/leases")"
    kill "$dns"
    return 1
  fi
  echo "leased: $server"
  # The address is used once probed and announced (RFC 5227), 3 to 9 s on.
  for _ in $(seq 20); do
    ping -c 1 -W 1 "$server" >/dev/null 2>&1 && break
  done
  fetch / "$pages/index.html" "$dir" || bad=1
  fetch /guide.html "$pages/guide.html" "$dir" || bad=1
  # The name, once probed and announced (about 1.3 s after the address):
  # dig's legacy unicast query at the address itself (dig takes no answer
  # to a query sent to 224.0.0.251, whose answer comes from the address),
  # and python3-zeroconf by multicast.
  local named=
  ip route add 224.0.0.0/4 dev pic0
  for _ in $(seq 5); do
    named=$(timeout 10 dig +time=1 +tries=1 +short -p 5353 "@$server" pic.local A)
    [ "$named" != "$server" ] || break
    sleep 1
  done
  echo "dig -p 5353 @$server pic.local: ${named:-nothing}"
  [ "$named" = "$server" ] || bad=1
  named=$(timeout 30 /usr/bin/python3 "$server_src/lan.py" resolve pic.local. 192.0.2.1)
  echo "python3-zeroconf, pic.local.: ${named:-nothing}"
  [ "$named" = "$server" ] || bad=1
  for _ in $(seq 90); do
    acks=$(grep -c "DHCPACK(pic0) $server 02:50:49:43:00:02" "$dir/dnsmasq.log")
    [ "$acks" -lt 2 ] || break
    ping -c 1 -W 1 "$server" >/dev/null 2>&1
    sleep 1
  done
  kill "$dns"
  wait "$dns"
  echo "dnsmasq: $acks DHCPACK(s) for $server"
  [ "$acks" -ge 2 ] || bad=1
  return "$bad"
}

# dhcp_capture DIR: once the bridge has written it, the capture of the
# dhcp run: a renewal to the server alone, nothing malformed.
dhcp_capture() {
  local dir=$1 bad=0
  # The renewal goes to the server alone, from the leased address.
  local renew
  renew=$(tshark -r "$dir/run.pcap" -Y "dhcp.option.dhcp == 3 && ip.src == $server && \
ip.dst == 192.0.2.1 && dhcp.ip.client == $server" 2>/dev/null | wc -l)
  echo "tshark: $renew unicast renewal(s)"
  [ "$renew" -ge 1 ] || bad=1
  local faults
  faults=$(tshark -r "$dir/run.pcap" -o udp.check_checksum:TRUE -Y \
    "_ws.malformed || _ws.expert.severity >= 8388608 || udp.checksum.status == 0 ||
(ip.dst == 224.0.0.251 && ip.ttl != 255)" 2>/dev/null)
  [ -z "$faults" ] || {
    echo "tshark: malformed or bad frames:"
    sed 's/^/  /' <<<"$faults"
    bad=1
  }
  return "$bad"
}

# in_namespace RUN DIR SITE: the bridge on a TAP device, the clients, then
# tshark on the capture. Runs inside the namespace.
in_namespace() {
  local run=$1 dir=$2 site=$3 pages=$3/pages drop=() bad=0 pid
  ip link set lo up
  sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  if [ "$run" = drop ]; then
    # The page's last segment, the only one the timeout then sends again.
    local size
    size=$(read -r n _ < <("$python" "$facts" expect "$pages/guide.html") && echo "$n")
    drop=(--drop-out $(((size + 1459) / 1460)))
  fi
  # Chromium may take seconds to start on a busy machine: the bridge waits
  # longer for its first frame.
  local idle=3
  [ "$run" != browser ] || idle=15
  [ "$run" != dhcp ] || idle=10
  "$python" "$bridge" --tap pic0 --pcap "$dir/run.pcap" --idle-exit "$idle" "${drop[@]}" \
    "$site/http_server_18.cod" >"$dir/bridge.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    ip -4 addr show dev pic0 2>/dev/null | grep -q 192.0.2.1 && break
    sleep 0.1
  done
  case $run in
  dhcp)
    in_namespace_dhcp "$dir" "$pages" || bad=1
    ;;
  clean)
    for page in "$pages"/*; do
      case ${page##*/} in
      index.html) path=/ ;;
      404.html) path=/nothing.html ;;
      *.gz) path=/${page##*/} path=${path%.gz} ;;
      *) path=/${page##*/} ;;
      esac
      fetch "$path" "$page" "$dir" || bad=1
    done
    ping -c 3 -W 5 192.0.2.2 >"$dir/ping.txt" 2>&1
    grep -q ' 3 received' "$dir/ping.txt" || {
      echo "ping: $(grep received "$dir/ping.txt")"
      bad=1
    }
    # The longest frame the MTU allows, 1,514 bytes, not fragmented.
    ping -c 1 -W 5 -M do -s 1472 192.0.2.2 >"$dir/ping-mtu.txt" 2>&1 || {
      echo "ping of a 1,514-byte frame: $(grep -m1 'received\|rror' "$dir/ping-mtu.txt")"
      bad=1
    }
    # A frame larger than any 10BASE-T controller takes (a TAP's MTU may
    # allow one): dropped by the bridge with a note, unanswered.
    ip link set pic0 mtu 9000
    ping -c 1 -W 1 -M dont -s 3000 192.0.2.2 >/dev/null 2>&1 && {
      echo "ping: a 3,042-byte frame answered"
      bad=1
    }
    ip link set pic0 mtu 1500
    ;;
  browser)
    timeout 90 chromium --headless=new --no-sandbox --disable-gpu \
      --disable-background-networking --disable-component-update --disable-sync \
      --no-first-run --user-data-dir="$dir/profile" --window-size=400,300 \
      --screenshot="$dir/shot.png" http://192.0.2.2/ >"$dir/chromium.log" 2>&1
    local sheet logo
    if read -r sheet logo < <("$python" "$facts" colours "$dir/shot.png" "$site/web"); then
      echo "screenshot: $sheet pixels of the stylesheet's colour, $logo of the PNG's"
      ((sheet > 10000 && logo >= 64 * 64)) || bad=1
    else
      echo "no screenshot (see $dir/chromium.log)"
      bad=1
    fi
    # The status page as Chromium built it: each value in its cell.
    timeout 90 chromium --headless=new --no-sandbox --disable-gpu \
      --disable-background-networking --disable-component-update --disable-sync \
      --no-first-run --user-data-dir="$dir/profile" --dump-dom \
      http://192.0.2.2/values.html >"$dir/values.dom" 2>>"$dir/chromium.log"
    "$python" "$facts" rendered "$dir/values.dom" || bad=1
    local pids=()
    for i in 1 2 3 4 5 6 7 8; do
      fetch /guide.html "$pages/guide.html" "$dir" &
      pids+=($!)
    done
    for p in "${pids[@]}"; do wait "$p" || bad=1; done
    ;;
  drop)
    fetch /guide.html "$pages/guide.html" "$dir" || bad=1
    ;;
  esac
  wait "$pid" || {
    echo "the bridge failed: $(tail -n 3 "$dir/bridge.log")"
    bad=1
  }
  grep -c ' in \| out ' "$dir/bridge.log" | sed 's/^/frames: /'
  case $run in
  clean)
    "$python" "$facts" capture "$dir/run.pcap" clean || bad=1
    grep -q 'dropped by the bridge: 3042 bytes' "$dir/bridge.log" || {
      echo "bridge.log: no note of the 3,042-byte frame dropped"
      bad=1
    }
    ;;
  dhcp)
    "$python" "$facts" capture "$dir/run.pcap" any || bad=1
    dhcp_capture "$dir" || bad=1
    ;;
  *) "$python" "$facts" capture "$dir/run.pcap" any || bad=1 ;;
  esac
  if [ "$run" = drop ]; then
    local n
    n=$(tshark -r "$dir/run.pcap" -Y tcp.analysis.retransmission 2>/dev/null | wc -l)
    echo "tshark: $n retransmission(s)"
    [ "$n" -eq 1 ] || bad=1
  fi
  return "$bad"
}

if [ -n "$inner" ]; then
  # set -e stays off inside: each check there says what it found.
  if in_namespace "$2" "$3" "$4"; then exit 0; else exit 1; fi
fi

n=0
for row in "${cases[@]}"; do
  IFS='|' read -r name make tamper program request want_result crosses purpose <<<"$row"
  n=$((n + 1))
  # FIRMWARE_ROWS=REGEX runs only the rows it matches (by hand, not in CI).
  [ -z "${FIRMWARE_ROWS:-}" ] || [[ "$row" =~ $FIRMWARE_ROWS ]] || continue
  dir="$work/$n-${name%%.*}-$program"
  shown="$name on $program"
  [ "$request" = - ] || shown="$shown, $request"
  [ "$program" != http_server_18 ] || shown="http_server_18, $name $make"
  echo "== $shown: $purpose"
  ok=1
  if ! rm -rf "$dir" || ! mkdir -p "$dir"; then
    echo "  cannot make $dir"
    ok=0
  elif [ "$name" = frames ]; then
    run_frames_case "$make" "$dir" || ok=0
  elif [ "$name" = flash ]; then
    run_flash_case "$dir" || ok=0
  elif [ "$name" = netconfig ]; then
    run_netconfig_case "$dir" "$request" "$want_result" || ok=0
  elif [ "$name" = dhcp ]; then
    run_dhcp_case "$make" "$dir" || ok=0
  elif [ "$name" = bridge ]; then
    run_bridge_case "$dir" || ok=0
  elif [ "$name" = misuse ]; then
    run_misuse_case "$make" "$dir" || ok=0
  elif [ "$name" = network ]; then
    rc=0
    run_network_case "$make" "$dir" || rc=$?
    [ "$rc" -ne 77 ] || ok=skip
    [ "$rc" -eq 0 ] || [ "$rc" -eq 77 ] || ok=0
  else
    run_case "$name" "$make" "$tamper" "$program" "$want_result" "$crosses" "$dir" || ok=0
  fi
  if [ "$ok" = skip ]; then
    echo "SKIP: $shown"
  elif [ "$ok" -eq 1 ]; then
    echo "PASS: $shown"
    passed=$((passed + 1))
  else
    echo "FAIL: $shown"
    failed=$((failed + 1))
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
