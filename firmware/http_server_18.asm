;==============================================================================
; http_server_18.asm - a web server on a PIC18F4620 that serves the pages of
; http2retlw tables over TCP, one Ethernet frame at a time
;
; Build (gputils), in this folder:
;     mkdir -p tables
;     cd pages && for p in *.htm; do http2retlw $p > ../tables/${p%.htm}.inc; done
;     cd .. && gpasm http_server_18.asm      -> http_server_18.hex / .cod / .lst
; gpasm -D SUM_PAYLOAD=1 builds the same server, but one that sums every
; payload byte it sends instead of using a table's stored sum (for the
; figures: the frames on the wire are the same).
; The program refuses to assemble (gpasm error) when it and its tables pass
; the end of program memory, 0x10000.
; gpasm -D ISN_KEY_A=0xHHHHHHHH -D ISN_KEY_B=0xHHHHHHHH gives the key of the
; SYN cookies, the initial sequence numbers (tcp.inc), 64 bits, which a
; build makes fresh each time (od -An -N8 -tx4 /dev/urandom gives the two
; words) and keeps out of any repository. Without them the key is a fixed
; one written in this file: such a build's cookies are guessable, fit for
; a bench only.
;
; Clock: 40 MHz (a 10 MHz crystal, HSPLL), one instruction cycle 100 ns.
; Every time below is in ms at that clock; the time base is Timer0, 16 bits,
; prescaler 1:16, running free and never written: tick N is due when it has
; counted N * TICK_COUNTS (625), N * TICK_CYCLES (10,000) cycles, so one tick
; is 1 ms and no tick drifts. Ticks that come due while a frame is handled
; are counted (the count is read before each frame sent and in the main
; loop) and all taken, one after the other, before the next frame is read;
; none is lost. A timer of T ms so fires T - 1 to T ms after it was set,
; later by the rest of the frame being handled when it comes due (about
; 14 ms at most in gpsim, a 1,514-byte echo read and written over SPI):
; late, never early.
;
;------------------------------------------------------------------------------
; Where frames come from: an ENC28J60 on the SPI bus
;------------------------------------------------------------------------------
; The driver (enc28j60_driver.inc, included below; its wiring, the errata it
; follows and its calls are in its opening comment) talks to an ENC28J60
; Ethernet controller on the MSSP: SCK RC3, SDI RC4, SDO RC5, CS RD0, INT
; RB0 (unused), a LED on RD1 that blinks while no controller answers. The
; protocol code sees frames only through it:
;
;     0x100-0x6E9  RX_BUF      one received frame, written by the driver
;     0x24, 0x25   rx_len_h/l  its length in bytes, written by the driver
;     0x800-0xDE9  TX_BUF      the headers of a frame to send (and the whole
;                              frame when it carries no table bytes)
;     0x22, 0x23   tx_len_h/l  its length, for the driver
;     0x90-0xA3    ETH_VARS    the driver's own
;
; Frames are Ethernet II: destination MAC, source MAC, ethertype, payload;
; no preamble, no CRC (the controller checks and adds it), at most 1,514
; bytes each way. Outgoing frames are not padded to 60 bytes: the
; controller pads them (an ARP reply is 42 bytes). The main loop asks the
; driver for a frame on every pass and handles it at once; the controller's
; ring holds the frames that come meanwhile. Frames go out while a frame is
; handled (replies) and while a tick is handled (retransmissions, window
; probes, resets of idle connections). A TCP payload goes from the table
; into the controller with no copy in RAM (eth_tx_table).
; The same .hex runs on a PIC18F4620 at 40 MHz wired that way; it has been
; run in gpsim against a model of the controller, not on a board.
;
; The program writes nothing but 0x00-0x7F (its registers and the
; interface above), TX_BUF, RX_BUF (through the driver), ETH_VARS, the
; values' RAM, the snapshots and the slots at SLOTS; it reads nothing of RX_BUF past rx_len, nor past the IPv4
; total length.
;
;     0x00-0x21, 0x26-0x4F  working registers (see the equ list below);
;                           cookie_t, cookie_ms_h/l (0x17-0x19) are kept
;                           across frames
;     0x50-0x87  CUR        the connection being worked on, a copy of the
;                           first CONN_SIZE (56) bytes of its slot
;     0x88-0x8F             registers kept across frames: the clock's
;                           (next_tick_h/l, owed) and spare
;     0xA4-0xFF             the values a page shows and their working
;                           registers (values.inc): value0..value7 at
;                           0xC0-0xCF, the application's, 16 bits each,
;                           low byte first
;     0x6F0-     SNAPS      a snapshot of those values per slot, 34 bytes
;                           each, taken at its request (values.inc);
;                           0x6F0-0x777 with 4 slots
;     0x79D-0x7FF NET_VARS  a DHCP build's address and client (dhcp.inc)
;     0xF1A-0xF7F MDNS_VARS a DHCP build's mDNS responder (mdns.inc); a
;                           DHCP build so holds at most 4 slots
;     0xE00-     SLOTS      NSLOTS slots of SLOT_SIZE (64) bytes, one per
;                           connection; 0xE00-0xEFF with 4 slots; bytes
;                           SLOT_PROG (56-57) of each, never in CUR: its
;                           client's time without progress
; Bank 0 past 0x7F is reached with BSR = 0, set at start, never changed.
;
;------------------------------------------------------------------------------
; Network settings: netconfig.inc, found first in the folder gpasm runs in,
; then in the -I folders (its own comment says how a board gets its own).
; They give MY_MAC_0..5 (by default 02:50:49:43:00:02, locally
; administered), MY_IP_0..3 (192.0.2.2, TEST-NET-1) and MY_BCAST_0..3 (the
; subnet's broadcast: 192.0.2.255 for the default /24), NET_DHCP (0: that
; static address; 1: one leased by DHCP, dhcp.inc) and the host name
; (NET_NAME_LEN, NET_NAME_0..); a wrong one fails the build with an error
; naming it.
; Constants (one place, below): HTTP_PORT 80, MSS_OUT 1460 (the MSS
; option sent), MSS_DEFAULT 536 (a client without an MSS option), MSS_MIN 64
; (a smaller client MSS counts as 64), WINDOW 1460 (the window advertised),
; TTL 64, NSLOTS 4, RTO_MS 1000, IDLE_MS 10000, WAIT_MS 2000,
; COOKIE_MS 4000, COOKIE_MSS_1 536, COOKIE_MSS_2 1200, DATA_TRIES 4,
; REQ_MS 500, STALL_MS 2000.
;
;------------------------------------------------------------------------------
; The files, one a layer
;------------------------------------------------------------------------------
; This file keeps the settings, the registers, the macros, the start, the
; main loop and the clock; each layer is a file of its own, included at the
; end in this order, and its opening comment says what it owns, the RAM it
; uses, what it calls and what each frame gets from it:
;     ethernet.inc         frames in (handle_frame, `drop`), ARP, the
;                          Ethernet header of frames out
;     tcp.inc              connections: the slots and their timers (tick)
;     tcp_in.inc           a TCP segment received: RSTs for strays, SYN
;                          cookies, a new connection, the segments of one
;     tcp_out.inc          TCP segments sent: SYN-ACK, ACK, RST, the
;                          response's data from its table; falls into
;                          ipv4.inc's transmit_ip, which must follow it
;     ipv4.inc             IPv4 and ICMP in, the IPv4 header and the
;                          one's-complement sums of frames out
;     http.inc             the request, the page directory's look-up and
;                          the built-in responses
;     udp.inc, dhcp.inc,   a DHCP build's only (NET_DHCP 1): UDP; the
;     mdns.inc             DHCP client with the ARP probe of its address
;                          and a link-local fallback, which owns the
;                          address in RAM (my_ip, my_bcast); NAME.local by
;                          multicast DNS
;     enc28j60_driver.inc  the controller (see "Where frames come from")
;     values.inc           the values a page shows: counted, taken into a
;                          snapshot at the request, written into a live
;                          page's segments (from tcp_out.inc's
;                          send_segment) with the stored sum adjusted
; Every label is global: a layer calls another's by name (`call`, `goto`,
; and the far branches jz, jnz, jc, jnc below). Macros and registers are
; here, the registers owned by one layer named in its comment.
;
; Special function registers are written as `low NAME, A`: the access bank
;   reaches them by their address's low byte, and gpasm 1.4 flags the full
;   name with Message 302 even with the access bit given.
;==============================================================================

	list	p=18f4620, r=dec
	#include <p18f4620.inc>

	config	OSC = HSPLL, WDT = OFF, LVP = OFF, PWRT = ON, BOREN = OFF
	config	PBADEN = OFF, XINST = OFF

	ifdef	SUM_PAYLOAD
SUMMING		equ	SUM_PAYLOAD
	else
SUMMING		equ	0
	endif

; The key of the initial sequence numbers, 64 bits: a build passes fresh
; values, gpasm -D ISN_KEY_A=0x........ -D ISN_KEY_B=0x........ (32 bits
; each, e.g. from /dev/urandom). Without them the key is the fixed one
; below, public, and the numbers guessable by whoever reads this file.
	ifdef	ISN_KEY_A
KEY_A		equ	ISN_KEY_A
	else
KEY_A		equ	0x6A09E667
	endif
	ifdef	ISN_KEY_B
KEY_B		equ	ISN_KEY_B
	else
KEY_B		equ	0xBB67AE85
	endif

;--- The constants, in one place ---------------------------------------------
; The network settings: netconfig.inc (beside this file, or a board's own
; copy found first; it says how). Each is checked here, so that a wrong one
; fails the build naming it, whichever copy gave it.
	#include "netconfig.inc"

; A byte of a mask that is ones then zeros.
NET_MASK_BYTE	macro	m
NET_OK	set	NET_OK && ((m) == 0 || (m) == 128 || (m) == 192 || (m) == 224 || (m) == 240 || (m) == 248 || (m) == 252 || (m) == 254 || (m) == 255)
	endm
NET_OK	set	1
	NET_MASK_BYTE	NET_MASK_0
	NET_MASK_BYTE	NET_MASK_1
	NET_MASK_BYTE	NET_MASK_2
	NET_MASK_BYTE	NET_MASK_3

	if NET_MAC_0 < 0 || NET_MAC_0 > 255 || NET_MAC_1 < 0 || NET_MAC_1 > 255 || NET_MAC_2 < 0 || NET_MAC_2 > 255 || NET_MAC_3 < 0 || NET_MAC_3 > 255 || NET_MAC_4 < 0 || NET_MAC_4 > 255 || NET_MAC_5 < 0 || NET_MAC_5 > 255
	error "netconfig.inc: NET_MAC_0..5 must each be a byte, 0 to 255"
	endif
	if NET_MAC_0 & 1
	error "netconfig.inc: NET_MAC_0..5 is a group (multicast) address: bit 0 of NET_MAC_0 must be clear"
	endif
	if (NET_MAC_0 | NET_MAC_1 | NET_MAC_2 | NET_MAC_3 | NET_MAC_4 | NET_MAC_5) == 0
	error "netconfig.inc: NET_MAC_0..5 is 00:00:00:00:00:00, no one's address"
	endif
	if NET_IP_0 < 0 || NET_IP_0 > 255 || NET_IP_1 < 0 || NET_IP_1 > 255 || NET_IP_2 < 0 || NET_IP_2 > 255 || NET_IP_3 < 0 || NET_IP_3 > 255
	error "netconfig.inc: NET_IP_0..3 must each be a byte, 0 to 255"
	endif
	if NET_IP_0 == 0 || NET_IP_0 == 127 || NET_IP_0 >= 224
	error "netconfig.inc: NET_IP_0..3 is no unicast address (0/8, 127/8 or 224 and above)"
	endif
	if NET_MASK_0 < 0 || NET_MASK_0 > 255 || NET_MASK_1 < 0 || NET_MASK_1 > 255 || NET_MASK_2 < 0 || NET_MASK_2 > 255 || NET_MASK_3 < 0 || NET_MASK_3 > 255
	error "netconfig.inc: NET_MASK_0..3 must each be a byte, 0 to 255"
	endif
	if !NET_OK || (NET_MASK_0 != 255 && NET_MASK_1 != 0) || (NET_MASK_1 != 255 && NET_MASK_2 != 0) || (NET_MASK_2 != 255 && NET_MASK_3 != 0)
	error "netconfig.inc: NET_MASK_0..3 has holes: a mask is ones, then zeros"
	endif
	if NET_MASK_0 != 255 || NET_MASK_3 > 252
	error "netconfig.inc: NET_MASK_0..3 must be /8 to /30"
	endif
	if ((NET_IP_0 & (255 - NET_MASK_0)) | (NET_IP_1 & (255 - NET_MASK_1)) | (NET_IP_2 & (255 - NET_MASK_2)) | (NET_IP_3 & (255 - NET_MASK_3))) == 0
	error "netconfig.inc: NET_IP_0..3 is its subnet's own address (host part 0)"
	endif
	if (NET_IP_0 | NET_MASK_0) == 255 && (NET_IP_1 | NET_MASK_1) == 255 && (NET_IP_2 | NET_MASK_2) == 255 && (NET_IP_3 | NET_MASK_3) == 255
	error "netconfig.inc: NET_IP_0..3 is its subnet's broadcast (host part all ones)"
	endif

	if NET_DHCP != 0 && NET_DHCP != 1
	error "netconfig.inc: NET_DHCP must be 0 (the static NET_IP) or 1 (DHCP)"
	endif
	if NET_NAME_LEN < 1 || NET_NAME_LEN > 61
	error "netconfig.inc: NET_NAME_LEN must be 1 to 61"
	endif
; Each character of the host name: a DNS label's (lower case letters,
; digits, '-'), with no '-' at either end.
NET_I	set	0
	while NET_I < NET_NAME_LEN
	if !((NET_NAME_#v(NET_I) >= 'a' && NET_NAME_#v(NET_I) <= 'z') || (NET_NAME_#v(NET_I) >= '0' && NET_NAME_#v(NET_I) <= '9') || NET_NAME_#v(NET_I) == '-')
	error "netconfig.inc: NET_NAME_0.. is no DNS label: a character is not a lower case letter, a digit or '-'"
	endif
NET_I	set	NET_I + 1
	endw
	if NET_NAME_0 == '-' || NET_NAME_#v(NET_NAME_LEN - 1) == '-'
	error "netconfig.inc: NET_NAME_0.. is no DNS label: it starts or ends with '-'"
	endif

MY_MAC_0	equ	NET_MAC_0
MY_MAC_1	equ	NET_MAC_1
MY_MAC_2	equ	NET_MAC_2
MY_MAC_3	equ	NET_MAC_3
MY_MAC_4	equ	NET_MAC_4
MY_MAC_5	equ	NET_MAC_5
MY_IP_0		equ	NET_IP_0
MY_IP_1		equ	NET_IP_1
MY_IP_2		equ	NET_IP_2
MY_IP_3		equ	NET_IP_3
MY_BCAST_0	equ	NET_IP_0 | (255 - NET_MASK_0)	; the subnet's broadcast,
MY_BCAST_1	equ	NET_IP_1 | (255 - NET_MASK_1)	; never a source
MY_BCAST_2	equ	NET_IP_2 | (255 - NET_MASK_2)
MY_BCAST_3	equ	NET_IP_3 | (255 - NET_MASK_3)
HTTP_PORT	equ	80
MSS_OUT		equ	1460	; 1,514-byte frames less 14 + 20 + 20 header bytes
MSS_DEFAULT	equ	536
MSS_MIN		equ	64
WINDOW		equ	1460
TTL		equ	64
NSLOTS		equ	4	; 1 to 6: the slots end below the SFRs at 0xF80
RTO_MS		equ	1000
IDLE_MS		equ	10000
WAIT_MS		equ	2000
COOKIE_MS	equ	4000	; the SYN cookies' time step: one is good for 1 to 2 steps
COOKIE_MSS_1	equ	536	; the client MSS a cookie carries, 2 bits: MSS_MIN,
COOKIE_MSS_2	equ	1200	; these two, or MSS_OUT (the largest not above the client's)
DATA_TRIES	equ	4	; timeouts in a row before a connection is reset
REQ_MS		equ	500	; with every slot busy: a connection's grace without a
STALL_MS	equ	2000	; request or its first byte taken, and with no new ACK
IW_SEGS		equ	4	; initial congestion window, in segments of the MSS
TICK_CYCLES	equ	10000	; 1 ms at 40 MHz
TICK_COUNTS	equ	TICK_CYCLES / 16	; Timer0 counts a tick, prescaler 1:16
INDEX_TAG	equ	'i'
NOT_FOUND_TAG	equ	'4'

RX_BUF		equ	0x100
TX_BUF		equ	0x800
FRAME_MAX	equ	1514
SLOTS		equ	0xE00
SLOT_SIZE	equ	64
CONN_SIZE	equ	56	; the slot's bytes a connection uses: copied to CUR
SLOT_PROG	equ	56	; 2 slot bytes past them, never copied: ms since the
				; client last made progress (at most 0xFF00)
CUR		equ	0x50

	if NSLOTS < 1 || SLOTS + NSLOTS * SLOT_SIZE > 0xF80
	error "NSLOTS must be 1 to 6: more slots would overlay the special function registers at 0xF80"
	endif

; TCP flags
F_FIN		equ	0x01
F_SYN		equ	0x02
F_RST		equ	0x04
F_PSH		equ	0x08
F_ACK		equ	0x10

; Slot states
ST_FREE		equ	0
ST_SYN		equ	1	; the cookie's ACK on its way into a slot, never kept
ST_EST		equ	2
ST_SEND		equ	3
ST_WAIT		equ	4

; Bits of c_flags
CF_FIN_RCVD	equ	0	; the client's FIN is received
CF_STORED	equ	1	; the response is a whole table's: its stored sum fits
CF_RECOVER	equ	2	; a timeout sent a segment again; c_rec is set
CF_LIVE		equ	3	; the response has values written in (values.inc)

;--- Registers ---------------------------------------------------------------
scratch		equ	0x00
tmp		equ	0x01
sum_h		equ	0x02	; running one's-complement sum
sum_l		equ	0x03
word_h		equ	0x04	; word for add_word
word_l		equ	0x05
count_h		equ	0x06	; bytes left for sum_bytes, the copies, the scans
count_l		equ	0x07
ihl		equ	0x08	; received IPv4 header length in bytes
doff		equ	0x09	; received TCP header length in bytes
total_h		equ	0x0A	; received IPv4 total length
total_l		equ	0x0B
seg_h		equ	0x0C	; TCP or ICMP length: received, then sent
seg_l		equ	0x0D
pay_h		equ	0x0E	; received TCP payload length
pay_l		equ	0x0F
tcp_h		equ	0x10	; address of the received TCP or ICMP header
tcp_l		equ	0x11
tflags		equ	0x12	; received TCP flags
slot		equ	0x13	; slot number worked on
n_h		equ	0x14	; payload bytes of the segment to send
n_l		equ	0x15
oflags		equ	0x16	; flags of the segment to send
cookie_t	equ	0x17	; the SYN cookies' time step, kept: up by 1 each COOKIE_MS
cookie_ms_h	equ	0x18	; ms left in the step, kept
cookie_ms_l	equ	0x19
hash_t		equ	0x1A	; the step a cookie is worked out for
tag		equ	0x1B	; tag asked for
dir_u		equ	0x1C	; next directory entry
dir_h		equ	0x1D
dir_l		equ	0x1E
page_u		equ	0x1F	; table found
page_h		equ	0x20
page_l		equ	0x21
tx_len_h	equ	0x22	; the driver's interface
tx_len_l	equ	0x23
rx_len_h	equ	0x24
rx_len_l	equ	0x25
mss_ix		equ	0x26	; a cookie's MSS, 0 to 3
len_h		equ	0x27	; length of the table found
len_l		equ	0x28
tsum_h		equ	0x29	; its stored sum
tsum_l		equ	0x2A
stored		equ	0x2B	; 1: the payload to send has the stored sum
seq_3		equ	0x2C	; sequence number to send
seq_2		equ	0x2D
seq_1		equ	0x2E
seq_0		equ	0x2F
ack_3		equ	0x30	; acknowledgement number to send
ack_2		equ	0x31
ack_1		equ	0x32
ack_0		equ	0x33
sseq_3		equ	0x34	; received sequence number
sseq_2		equ	0x35
sseq_1		equ	0x36
sseq_0		equ	0x37
sack_3		equ	0x38	; received acknowledgement number, then
sack_2		equ	0x39	; less ISS + 1
sack_1		equ	0x3A
sack_0		equ	0x3B
swnd_h		equ	0x3C	; received window
swnd_l		equ	0x3D
psum_h		equ	0x3E	; sum of the payload to send
psum_l		equ	0x3F
r_ip		equ	0x40	; peer's IPv4 address, 4 bytes
r_port		equ	0x44	; peer's port, 2 bytes
r_mac		equ	0x46	; peer's MAC, 6 bytes
l_port_h	equ	0x4C	; our port in the segment to send
l_port_l	equ	0x4D
opt_mss		equ	0x4E	; 1: the segment to send carries the MSS option
must_ack	equ	0x4F	; 1: the segment received needs an ACK

; The connection worked on, CUR (0x50-0x7F), as each slot holds it:
c_state		equ	CUR + 0		; ST_FREE, ST_SYN, ST_EST, ST_SEND or ST_WAIT
c_flags		equ	CUR + 1		; CF_FIN_RCVD, CF_STORED
c_mac		equ	CUR + 2		; client's MAC, 6 bytes
c_ip		equ	CUR + 8		; client's address, 4 bytes
c_port		equ	CUR + 12	; client's port, 2 bytes
c_rcv		equ	CUR + 14	; next sequence number expected, 4 bytes
c_iss		equ	CUR + 18	; our initial sequence number, 4 bytes
c_una_h		equ	CUR + 22	; first unacknowledged response byte: an
c_una_l		equ	CUR + 23	; offset, c_len + 1 once the FIN is acknowledged
c_nxt_h		equ	CUR + 24	; next response byte to send, as an offset
c_nxt_l		equ	CUR + 25
c_edge_h	equ	CUR + 26	; the window's end, as an offset (at most 0xFFFF)
c_edge_l	equ	CUR + 27
c_mss_h		equ	CUR + 28	; largest payload the client takes
c_mss_l		equ	CUR + 29
c_page_u	equ	CUR + 30	; program address of response byte 0
c_page_h	equ	CUR + 31
c_page_l	equ	CUR + 32
c_len_h		equ	CUR + 33	; bytes of the response to send
c_len_l		equ	CUR + 34
c_tsum_h	equ	CUR + 35	; the table's stored sum
c_tsum_l	equ	CUR + 36
c_rto_h		equ	CUR + 37	; ms left before retransmitting
c_rto_l		equ	CUR + 38
c_idle_h	equ	CUR + 39	; ms left before the connection is freed
c_idle_l	equ	CUR + 40
sent		equ	CUR + 41	; scratch for send_data: 0xFF once a segment went out
c_rec_h		equ	CUR + 42	; after a timeout: nxt then, as an offset
c_rec_l		equ	CUR + 43
c_hold_h	equ	CUR + 44	; scratch for resend_one: nxt
c_hold_l	equ	CUR + 45
one_seg		equ	CUR + 46	; scratch: 0xFF when send_data sends one segment only
c_tries		equ	CUR + 47	; timeouts since the last new acknowledgement
; Past the access bank: these take BANKED (BSR is 0, never changed) or movff.
c_maxw_h	equ	CUR + 48	; the largest window the client advertised
c_maxw_l	equ	CUR + 49
c_cwnd_h	equ	CUR + 50	; congestion window, bytes (RFC 5681)
c_cwnd_l	equ	CUR + 51
c_ssth_h	equ	CUR + 52	; slow start threshold, bytes
c_ssth_l	equ	CUR + 53
c_acc_h		equ	CUR + 54	; bytes acknowledged towards the next
c_acc_l		equ	CUR + 55	; segment of growth, past slow start

; Kept registers past the connection (CUR + CONN_SIZE on, never copied).
next_tick_h	equ	CUR + CONN_SIZE		; Timer0 count of the next tick
next_tick_l	equ	CUR + CONN_SIZE + 1
owed		equ	CUR + CONN_SIZE + 2	; ticks due, not yet taken

; Offsets in a received frame
ETH_DST		equ	RX_BUF + 0
ETH_SRC		equ	RX_BUF + 6
ETH_TYPE	equ	RX_BUF + 12
IP_HDR		equ	RX_BUF + 14
IP_SRC		equ	RX_BUF + 26
IP_DST		equ	RX_BUF + 30
ARP_SHA		equ	RX_BUF + 22
ARP_SPA		equ	RX_BUF + 28
ARP_TPA		equ	RX_BUF + 38
; and in a sent one
TX_IP		equ	TX_BUF + 14
TX_L4		equ	TX_BUF + 34

;--- Macros ------------------------------------------------------------------

; Directory entries in pages.inc: the table's program address, low byte
; first, and a zero byte so each entry is two whole words.
page_table	macro	label
	db	low label, high label, upper label, 0
	endm

; A table followed by its value list (values.inc): flag 1.
live_page_table	macro	label
	db	low label, high label, upper label, 1
	endm

end_of_pages	macro
	db	0, 0, 0, 0
	endm

; Branches that reach anywhere.
jz		macro	where
	local	keep
	bnz	keep
	goto	where
keep
	endm

jnz		macro	where
	local	keep
	bz	keep
	goto	where
keep
	endm

jnc		macro	where
	local	keep
	bc	keep
	goto	where
keep
	endm

jc		macro	where
	local	keep
	bnc	keep
	goto	where
keep
	endm

; To `drop` (the frame gets nothing) when REG_H:REG_L < K.
drop_if_below	macro	reg_h, reg_l, k
	movlw	low (k)
	subwf	reg_l, w, A
	movlw	high (k)
	subwfb	reg_h, w, A
	jnc	drop
	endm

; W = the received byte at ADDR (any address).
rx_byte		macro	addr
	movff	addr, scratch
	movf	scratch, w, A
	endm

; To `drop` unless the received byte at ADDR is K.
drop_unless	macro	addr, k
	rx_byte	addr
	xorlw	k
	jnz	drop
	endm

; One byte K to FSR1, which moves on.
put		macro	k
	movlw	k
	movwf	low POSTINC1, A
	endm

; FSR0 = the received TCP or ICMP header + W.
point_l4_w	macro
	addwf	tcp_l, w, A
	movwf	low FSR0L, A
	movlw	0
	addwfc	tcp_h, w, A
	movwf	low FSR0H, A
	endm

; FSR0 = the received TCP or ICMP header + OFFSET.
point_l4	macro	offset
	movlw	offset
	point_l4_w
	endm

; REG_H:REG_L = K
set16		macro	reg_h, reg_l, k
	movlw	high (k)
	movwf	reg_h, A
	movlw	low (k)
	movwf	reg_l, A
	endm

; Four bytes, most significant first: DST = SRC
copy32		macro	dst, src
	movff	src, dst
	movff	src + 1, dst + 1
	movff	src + 2, dst + 2
	movff	src + 3, dst + 3
	endm

; DST (4 bytes, most significant first) += REG_H:REG_L
add32_16	macro	dst, reg_h, reg_l
	movf	reg_l, w, A
	addwf	dst + 3, f, A
	movf	reg_h, w, A
	addwfc	dst + 2, f, A
	movlw	0
	addwfc	dst + 1, f, A
	addwfc	dst, f, A
	endm

; DST (4 bytes) += 1
inc32		macro	dst
	movlw	1
	addwf	dst + 3, f, A
	movlw	0
	addwfc	dst + 2, f, A
	addwfc	dst + 1, f, A
	addwfc	dst, f, A
	endm

; DST (4 bytes) -= 1
dec32		macro	dst
	movlw	1
	subwf	dst + 3, f, A
	movlw	0
	subwfb	dst + 2, f, A
	subwfb	dst + 1, f, A
	subwfb	dst, f, A
	endm

;==============================================================================
	org	0x0000
start
	goto	init

	org	0x0008			; no interrupt is enabled
	goto	init
	org	0x0018
	goto	init

init
	movlb	0			; the registers past 0x7F are in bank 0
	lfsr	0, 0x000		; the registers, interface included
clear_access
	clrf	low POSTINC0, A
	movf	low FSR0L, w, A
	xorlw	CUR + SLOT_SIZE
	bnz	clear_access
	lfsr	0, SLOTS		; every slot free
	movlw	NSLOTS
	movwf	slot, A
clear_slots
	movlw	SLOT_SIZE
	movwf	count_l, A
clear_slot
	clrf	low POSTINC0, A
	decfsz	count_l, f, A
	bra	clear_slot
	decfsz	slot, f, A
	bra	clear_slots
	call	live_init

	call	eth_init		; the controller, before any frame
	if NET_DHCP
	call	dhcp_init		; no address yet: DHCP's start
	endif
	clrf	low INTCON, A		; no interrupts
	movlw	0x03			; Timer0: 16 bits, instruction clock, 1:16
	movwf	low T0CON, A
	clrf	low TMR0H, A		; taken with the low byte's write
	clrf	low TMR0L, A
	movlw	high TICK_COUNTS
	movwf	next_tick_h, BANKED
	movlw	low TICK_COUNTS
	movwf	next_tick_l, BANKED
	bsf	low T0CON, TMR0ON, A	; and on

main_loop
	call	clock
	movf	owed, w, BANKED
	bz	main_poll
	decf	owed, f, BANKED
	call	eth_tick
	call	live_tick
	call	tick
	if NET_DHCP
	call	dhcp_tick
	endif
idle
	movf	owed, w, BANKED		; ticks still owed come first
	bnz	main_loop
main_poll
	call	eth_receive		; a frame waiting: RX_BUF, rx_len
	bz	main_loop
	call	live_frame_in
	call	handle_frame
	bra	main_loop

; owed += the ticks whose time has come. Timer0 runs free and is never
; written: tick N is due at count N * TICK_COUNTS (mod 2^16), so no tick
; drifts, and one that comes while a frame is handled waits in `owed`.
; Called at least every 52 ms (half Timer0's turn): by the main loop and
; before every frame sent, and no frame takes that long between two.
clock
	movf	next_tick_l, w, BANKED	; TMR0 - next: bit 15 clear once due
	subwf	low TMR0L, w, A		; (reading TMR0L latches TMR0H)
	movf	next_tick_h, w, BANKED
	subwfb	low TMR0H, w, A
	btfsc	low WREG, 7, A
	return
	movlw	low TICK_COUNTS
	addwf	next_tick_l, f, BANKED
	movlw	high TICK_COUNTS
	addwfc	next_tick_h, f, BANKED
	incf	owed, f, BANKED		; at most 255 owed: a frame of 255 ms
	bnz	clock			; would lose ticks, none takes 52
	decf	owed, f, BANKED
	bra	clock

; The layers (see "The files, one a layer" above for the order).
	#include "ethernet.inc"
	#include "tcp.inc"
	#include "tcp_in.inc"
	#include "tcp_out.inc"
	#include "ipv4.inc"
	#include "http.inc"
	if NET_DHCP
	#include "udp.inc"
	#include "dhcp.inc"
	#include "mdns.inc"
	endif
	#include "enc28j60_driver.inc"
	#include "values.inc"

;------------------------------------------------------------------------------
; The directory and the tables, as pages.inc lists them.
;------------------------------------------------------------------------------
page_directory
	#include "pages.inc"

	if $ > 0x10000
	error "the program and its tables pass the end of program memory (0x10000)"
	endif

	end
