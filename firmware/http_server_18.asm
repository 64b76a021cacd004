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
; initial sequence numbers (below), 64 bits, which a build makes fresh each
; time (od -An -N8 -tx4 /dev/urandom gives the two words) and keeps out of
; any repository. Without them the key is a fixed one written in this file:
; such a build's sequence numbers are guessable, fit for a bench only.
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
;     0x90-0xA2    ETH_VARS    the driver's own
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
; interface above), TX_BUF, RX_BUF (through the driver), ETH_VARS and the
; slots at SLOTS; it reads nothing of RX_BUF past rx_len, nor past the IPv4
; total length.
;
;     0x00-0x21, 0x26-0x4F  working registers (see the equ list below);
;                           isn_3..isn_0 (0x17-0x1A) are kept across frames
;     0x50-0x87  CUR        the connection being worked on, a copy of the
;                           first CONN_SIZE (56) bytes of its slot
;     0x88-0x8F             registers kept across frames: the clock's
;                           (next_tick_h/l, owed) and spare
;     0xE00-     SLOTS      NSLOTS slots of SLOT_SIZE (64) bytes, one per
;                           connection; 0xE00-0xEFF with 4 slots
; Bank 0 past 0x7F is reached with BSR = 0, set at start, never changed.
;
;------------------------------------------------------------------------------
; Constants (one place, below): MY_MAC_0..5 02:50:49:43:00:02 (locally
; administered), MY_IP_0..3 192.0.2.2 (TEST-NET-1), MY_BCAST_0..3
; 192.0.2.255 (its subnet's broadcast), HTTP_PORT 80, MSS_OUT 1460 (the MSS
; option sent), MSS_DEFAULT 536 (a client without an MSS option), MSS_MIN 64
; (a smaller client MSS counts as 64), WINDOW 1460 (the window advertised),
; TTL 64, NSLOTS 4, RTO_MS 1000, IDLE_MS 10000, WAIT_MS 2000,
; ISN_PER_TICK 250, SYN_TRIES 1, DATA_TRIES 4.
;
;------------------------------------------------------------------------------
; What each frame gets
;------------------------------------------------------------------------------
; Dropped, with nothing sent, unless each of these holds:
;   - rx_len is 14 to 1,514;
;   - the destination MAC is MY_MAC, or broadcast for an ARP frame;
;   - the source MAC is not a group address (bit 0 of its first byte clear:
;     neither multicast nor broadcast), nor 00:00:00:00:00:00;
;   - the ethertype is ARP (0x0806) or IPv4 (0x0800).
; ARP: a request (hardware 1, protocol 0x0800, lengths 6 and 4, operation 1)
;   of at least 42 bytes whose sender MAC is the frame's source MAC, whose
;   sender address is a unicast source (below) and whose target address is
;   MY_IP gets a reply to the sender. Anything else is dropped.
; IPv4: dropped unless the frame holds at least 34 bytes; version 4, header
;   length at least 20 bytes; a total length of at least the header length
;   and at most rx_len - 14 (bytes past it, an Ethernet controller's
;   padding, are ignored); not a fragment (More Fragments clear, offset 0);
;   a correct header checksum; destination MY_IP; a unicast source: not
;   0.0.0.0/8, 127.0.0.0/8, 224.0.0.0/4 (multicast), 240.0.0.0/4 (with
;   255.255.255.255), MY_BCAST or MY_IP itself; protocol ICMP or TCP.
;   IPv4 options are skipped. Replies carry no options.
; ICMP: an echo request (type 8, code 0) of at least 8 bytes with a correct
;   checksum gets an echo reply with the same identifier, sequence number
;   and data. Anything else is dropped. The longest echo a 1,514-byte frame
;   holds fits TX_BUF, since replies carry no IPv4 options.
; TCP: dropped unless the segment holds at least 20 bytes, its data offset
;   is at least 5 words and stays inside the segment, and its checksum is
;   right; a SYN with FIN set is dropped too. Then:
;   - to a port other than HTTP_PORT, or to HTTP_PORT with no connection
;     (its source address and port match no slot) and not a SYN alone: an
;     RST as RFC 9293 says: with ACK set on the segment, sequence number =
;     its acknowledgement number and flag RST; otherwise sequence number 0,
;     acknowledgement number = its sequence number + its length (payload,
;     +1 for SYN, +1 for FIN), flags RST and ACK. An RST never gets one.
;   - a SYN (ACK clear) with no connection takes a free slot and gets a
;     SYN-ACK with an MSS option of MSS_OUT. With none free it takes a
;     closed one (state 4), or else the oldest half-open one (state 1, the
;     least idle time left) whose SYN-ACK has gone unanswered for
;     TAKEOVER_MS (500 ms) at least, as a SYN cache drops its oldest
;     entry: that one's client gets nothing. (A client on the LAN answers
;     in a few ms: younger slots are left to clients that opened several
;     connections at once.) Otherwise it is dropped: the client's own SYN
;     retransmission tries again; no connection (states 2 and 3) is ever
;     taken over by a SYN.
;   - a segment of a connection: see below.
;
; Connections (RFC 9293, as far as a server that only sends pages needs it)
;   Slot states: 0 free, 1 SYN-ACK sent, 2 established (waiting for the
;   request), 3 responding (the response chosen: sending it, then waiting
;   for the client's FIN), 4 closed (both FINs done, for WAIT_MS).
;   - Initial sequence number (RFC 6528): ISN = M + F(client address and
;     port, key). M, isn_3..isn_0, is a clock: it starts at 0, goes up by
;     ISN_PER_TICK (250, one step each 4 us) each tick and by Timer0's low
;     byte (where in its tick the SYN came) at each SYN, so it only goes
;     up. F is 18 rounds of an add-rotate-xor mix of 8-bit words over the
;     client's six address and port bytes (taken three times), starting
;     from half the 64-bit key and taking a key byte each round (our own
;     address and port are constants, which would add nothing). Strength:
;     F is no cryptographic function, but an off-path peer sees only the
;     ISNs of its own address and ports; what it learns of M from them does
;     not give F for another address, so it guesses a forged connection's
;     ISN with odds of about 1 in 2^32 a try. That is enough for a device on
;     a LAN: a peer on the path sees the numbers anyway; the numbers only
;     keep a peer that forges addresses from completing connections.
;   - The client's MSS option is honoured (MSS_DEFAULT when it sends none;
;     at most MSS_OUT, at least MSS_MIN), and so is its window (no window
;     scaling is offered, so it is the plain 16-bit field): no byte goes past
;     the last acknowledgement number plus the last window. A FIN is sent
;     with the last byte, or alone, even when the window is full.
;   - Congestion control (RFC 5681): nor does a byte go past the first
;     unacknowledged one plus cwnd, the congestion window. It starts at
;     IW_SEGS (4) segments of the MSS (RFC 6928 allows 10; 4 keeps the first
;     burst near RFC 5681's 3 to 4 while a page of 4 segments still goes out
;     at once), with no slow start threshold. A new acknowledgement of N
;     bytes grows it by N, at most one MSS, while below the threshold (slow
;     start), and past it by one MSS for each cwnd of bytes acknowledged;
;     at most 0xFFFF. A timeout sets the threshold to half the bytes in
;     flight, at least two MSS (the first timeout in a row; later ones keep
;     it), and cwnd to one MSS (RFC 5681's loss window).
;   - The request is read from the first segment with data, which may be the
;     handshake's ACK or come after it; later data is acknowledged and
;     ignored, and data past the client's FIN is ignored, not acknowledged.
;     Every segment's sequence number is checked (RFC 9293 3.10.7.4, pure
;     ACKs too): it is acceptable when it starts in the receive window, the
;     next one expected up to WINDOW - 1 past it. Then, in this order:
;     - an RST: outside the window dropped; with the exact number expected
;       it frees the slot; otherwise in the window a challenge ACK (RFC
;       5961 3.2; in state 1 dropped). A SYN: in state 1 the same SYN again
;       gets the SYN-ACK again, another is dropped; in any other state,
;       whatever its number, a challenge ACK (RFC 5961 4.2). A challenge
;       ACK is the plain ACK below; one comes for each segment, never more.
;     - not acceptable: an ACK (sequence number the next, acknowledgement
;       number the next expected), nothing else;
;     - without ACK: dropped;
;     - in state 1, an acknowledgement number other than ISS + 1 gets an
;       RST (sequence number = its acknowledgement number);
;     - one above the send point (acknowledging what was never sent) gets
;       an ACK and is dropped; one below the first unacknowledged byte by
;       more than the largest window the client advertised (RFC 5961 5.2)
;       is dropped; one below it by less is old, no news, and the segment
;       goes on.
;     Only a segment that gets this far restarts the idle time (below).
;   - The response goes out in segments of at most the client's MSS, each
;     with ACK and PSH; the last one carries FIN. The client's FIN is
;     acknowledged. A client FIN before any request gets a FIN back.
;   - Retransmission: RTO_MS (1,000 ms) after the last new acknowledgement
;     or the first segment sent, when something sent is still not
;     acknowledged, sending starts again at the first unacknowledged byte,
;     each segment rebuilt from the table. Each timeout in a row doubles the
;     next (RFC 6298 5.5: 1, 2, 4, 8 s); after DATA_TRIES (4) the next
;     timeout resets the connection (an RST with ACK, sequence number the
;     next) and frees the slot; a new acknowledgement starts again at
;     RTO_MS. In state 1 the SYN-ACK goes again SYN_TRIES (1) time, RTO_MS
;     after the first; the next timeout (2 * RTO_MS later) frees the slot,
;     with nothing sent: a forged SYN draws two SYN-ACKs, no more.
;     With the window closed at the first unacknowledged byte, whether
;     nothing is in flight on a response not yet all sent or the window
;     shrank to 0 with data in flight (RFC 1122 4.2.2.17), the same timer
;     sends a window probe instead, every RTO_MS, counting no try: an ACK
;     without data whose sequence number is one below the first
;     unacknowledged byte, which the client answers with an ACK carrying
;     its window.
;   - When the client's FIN is received and our FIN acknowledged, the slot
;     stays closed (state 4) for WAIT_MS (2,000 ms) after the last
;     acceptable segment from the client, a short TIME-WAIT: a FIN the
;     client sends again, its ACK of ours not having come in time, gets an
;     ACK, not an RST. A SYN
;     that finds no free slot takes a closed one. A slot is freed after
;     that wait, on an RST, or after IDLE_MS (10,000 ms) without an
;     acceptable segment from the client: then an RST with ACK (sequence
;     number the next one) goes to the client, but not in state 1, whose
;     client may be a forged address: that slot is freed with nothing sent.
;
; Requests: the first data segment must hold the method and, after it, the
;   target's first characters. `GET ` or `HEAD ` (upper case, one space)
;   followed by `/`: the character after `/` is the tag asked for; a bare
;   `/` (the segment ends after it, or a space, `?`, CR or LF follows) asks
;   for `i`. So `/?x` asks for `i`, `/X?x` for `X`. A target in absolute
;   form naming this server, `http://` (lower case), MY_IP in decimal and
;   optionally `:` HTTP_PORT, counts as the path that follows: `/X...` asks
;   for `X`, and no path (the target ends, or a space or `?` follows) for
;   `i` (RFC 9112 3.2.2). A tag no table carries, any other host (a name,
;   another address or port), or a target starting with neither `/` nor
;   `http://`, gets the table tagged `4`; without one, the built-in 404
;   response below. GET gets the whole stored
;   response; HEAD the same bytes up to and including the first empty line
;   (CR LF CR LF), no body. Any other method (a segment not starting `GET `
;   or `HEAD `) gets the built-in 501 response. Both built-in responses are
;   HTTP/1.0 with Content-Type text/plain and a one-line body.
;
; Checksums: a response that fits one segment (the whole table's response,
;   GET, at most the client's MSS and the window) goes out with the table's
;   stored sum: its bytes are copied, never summed. The payload always
;   starts at an even offset of the TCP segment. Every other segment (part
;   of a longer response, a HEAD response, a built-in response) has its
;   payload summed while it goes from the table to the controller, in the
;   same loop. The ENC28J60's DMA checksum engine is not used (errata 15: it
;   may lose received packets while it runs), so every sum is the PIC's,
;   and the table's stored sum is what spares it the adds of a page that
;   fits one segment (they fit in the wait for each byte to go out over
;   SPI: bench/README.md gives the cycles).
;   IPv4 header checksums are summed over the 20 bytes built.
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
MY_MAC_0	equ	0x02	; 02:50:49:43:00:02, locally administered
MY_MAC_1	equ	0x50
MY_MAC_2	equ	0x49
MY_MAC_3	equ	0x43
MY_MAC_4	equ	0x00
MY_MAC_5	equ	0x02
MY_IP_0		equ	192	; 192.0.2.2
MY_IP_1		equ	0
MY_IP_2		equ	2
MY_IP_3		equ	2
MY_BCAST_0	equ	192	; 192.0.2.255, never a source
MY_BCAST_1	equ	0
MY_BCAST_2	equ	2
MY_BCAST_3	equ	255
HTTP_PORT	equ	80
MSS_OUT		equ	1460	; 1,514-byte frames less 14 + 20 + 20 header bytes
MSS_DEFAULT	equ	536
MSS_MIN		equ	64
WINDOW		equ	1460
TTL		equ	64
NSLOTS		equ	4	; 1 to 8
RTO_MS		equ	1000
IDLE_MS		equ	10000
WAIT_MS		equ	2000
ISN_PER_TICK	equ	250	; the clock of the sequence numbers: 4 us a step
SYN_TRIES	equ	1	; SYN-ACKs sent again before a half-open slot is freed
DATA_TRIES	equ	4	; timeouts in a row before a connection is reset
TAKEOVER_MS	equ	500	; a half-open slot's age before a SYN may take it
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
CUR		equ	0x50

	if NSLOTS < 1 || NSLOTS > 8
	error "NSLOTS must be 1 to 8"
	endif

; TCP flags
F_FIN		equ	0x01
F_SYN		equ	0x02
F_RST		equ	0x04
F_PSH		equ	0x08
F_ACK		equ	0x10

; Slot states
ST_FREE		equ	0
ST_SYN		equ	1
ST_EST		equ	2
ST_SEND		equ	3
ST_WAIT		equ	4

; Bits of c_flags
CF_FIN_RCVD	equ	0	; the client's FIN is received
CF_STORED	equ	1	; the response is a whole table's: its stored sum fits
CF_RECOVER	equ	2	; a timeout sent a segment again; c_rec is set

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
isn_3		equ	0x17	; initial sequence number counter, kept
isn_2		equ	0x18
isn_1		equ	0x19
isn_0		equ	0x1A
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

	call	eth_init		; the controller, before any frame
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
	call	tick
idle
	movf	owed, w, BANKED		; ticks still owed come first
	bnz	main_loop
main_poll
	call	eth_receive		; a frame waiting: RX_BUF, rx_len
	bz	main_loop
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

;--- Each tick ----------------------------------------------------------------
tick
	movlw	low ISN_PER_TICK
	addwf	isn_0, f, A
	movlw	high ISN_PER_TICK
	addwfc	isn_1, f, A
	movlw	0
	addwfc	isn_2, f, A
	addwfc	isn_3, f, A
	clrf	slot, A
tick_slot
	call	point_slot
	movf	low INDF2, w, A		; the slot's state
	bz	tick_next
	call	load_slot
	call	tick_conn
	call	store_slot
tick_next
	incf	slot, f, A
	movlw	NSLOTS
	xorwf	slot, w, A
	bnz	tick_slot
	return

; The timers of the connection in CUR.
tick_conn
	decf	c_idle_l, f, A		; the idle time
	bc	tick_idle_left
	decf	c_idle_h, f, A
tick_idle_left
	movf	c_idle_l, w, A
	iorwf	c_idle_h, w, A
	bnz	tick_rto
	movf	c_state, w, A
	xorlw	ST_WAIT
	bz	tick_free		; closed: the wait is over, nothing to send
	xorlw	ST_WAIT ^ ST_SYN
	bz	tick_free		; half-open: freed, nothing sent
tick_reset
	call	conn_seq_nxt		; idle too long: RST, and the slot is free
	copy32	ack_3, c_rcv
	movlw	F_RST | F_ACK
	movwf	oflags, A
	call	send_bare
tick_free
	clrf	c_state, A
	return
tick_rto
	movf	c_state, w, A
	xorlw	ST_EST
	bz	tick_done		; waiting for the request: no timer
	xorlw	ST_EST ^ ST_WAIT
	bz	tick_done		; closed: no timer but the wait
	xorlw	ST_WAIT ^ ST_SEND
	bnz	tick_count		; ST_SYN: the SYN-ACK's timer
	call	all_acked		; ST_SEND: is anything left?
	bz	tick_done
tick_count
	decf	c_rto_l, f, A
	bc	tick_rto_left
	decf	c_rto_h, f, A
tick_rto_left
	movf	c_rto_l, w, A
	iorwf	c_rto_h, w, A
	bnz	tick_done
	movf	c_state, w, A
	xorlw	ST_SYN
	bnz	tick_data
	incf	c_tries, f, A		; the SYN-ACK again, SYN_TRIES times at most
	movf	c_tries, w, A
	sublw	SYN_TRIES
	bnc	tick_free		; then the slot is freed, nothing sent
	call	back_off
	goto	send_synack		; its return is ours
tick_data
	movf	c_una_l, w, A		; nothing unacknowledged: the window is shut
	xorwf	c_nxt_l, w, A
	bnz	tick_in_flight
	movf	c_una_h, w, A
	xorwf	c_nxt_h, w, A
	bz	tick_probe
tick_in_flight
	movf	c_una_l, w, A		; edge - una borrows or is 0: the window
	subwf	c_edge_l, w, A		; shrank to nothing with data in flight
	movwf	scratch, A
	movf	c_una_h, w, A
	subwfb	c_edge_h, w, A
	bnc	tick_probe
	iorwf	scratch, w, A
	bz	tick_probe
	incf	c_tries, f, A		; sent again DATA_TRIES times at most,
	movf	c_tries, w, A		; then reset
	sublw	DATA_TRIES
	bnc	tick_reset
	call	back_off
	call	shrink_window
	movff	c_nxt_h, c_rec_h	; recovering until all sent so far is acknowledged
	movff	c_nxt_l, c_rec_l
	bsf	c_flags, CF_RECOVER, A
	goto	resend_one
tick_probe
	set16	c_rto_h, c_rto_l, RTO_MS	; a window probe: an ACK whose
	copy32	seq_3, c_iss		; sequence number is one below the
	add32_16	seq_3, c_una_h, c_una_l	; first unacknowledged: ISS + una
	copy32	ack_3, c_rcv
	movlw	F_ACK
	movwf	oflags, A
	goto	send_bare

; rto = RTO_MS doubled for each timeout in a row (RFC 6298 5.5).
back_off
	set16	c_rto_h, c_rto_l, RTO_MS
	movff	c_tries, tmp
back_off_next
	movf	tmp, w, A
	bz	backed_off
	bcf	low STATUS, C, A
	rlcf	c_rto_l, f, A
	rlcf	c_rto_h, f, A
	decf	tmp, f, A
	bra	back_off_next
backed_off
	return
tick_done
	return

; Z set when the response and its FIN are all acknowledged: una = len + 1.
all_acked
	movlw	1
	addwf	c_len_l, w, A
	xorwf	c_una_l, w, A
	bnz	all_acked_no
	movlw	0
	addwfc	c_len_h, w, A
	xorwf	c_una_h, w, A
all_acked_no
	return

;--- Slots --------------------------------------------------------------------

; FSR2 = the slot numbered `slot`.
point_slot
	movf	slot, w, A
	mullw	SLOT_SIZE
	movlw	low SLOTS
	addwf	low PRODL, w, A
	movwf	low FSR2L, A
	movlw	high SLOTS
	addwfc	low PRODH, w, A
	movwf	low FSR2H, A
	return

; CUR = the slot numbered `slot`, and back.
load_slot
	call	point_slot
	lfsr	0, CUR
	movlw	CONN_SIZE
	movwf	tmp, A
load_byte
	movff	POSTINC2, POSTINC0
	decfsz	tmp, f, A
	bra	load_byte
	return

store_slot
	call	point_slot
	lfsr	0, CUR
	movlw	CONN_SIZE
	movwf	tmp, A
store_byte
	movff	POSTINC0, POSTINC2
	decfsz	tmp, f, A
	bra	store_byte
	return

; W = 1 with `slot` set when a slot in use holds the peer r_ip:r_port,
; otherwise W = 0.
find_slot
	clrf	slot, A
find_next
	call	point_slot
	movf	low POSTINC2, w, A	; state
	bz	find_skip
	movf	low POSTINC2, w, A	; flags
	movlw	6			; past the MAC
	addwf	low FSR2L, f, A
	movlw	0
	addwfc	low FSR2H, f, A
	lfsr	0, r_ip
	movlw	6			; address and port
	movwf	tmp, A
find_cmp
	movf	low POSTINC2, w, A
	xorwf	low POSTINC0, w, A
	bnz	find_skip
	decfsz	tmp, f, A
	bra	find_cmp
	retlw	1
find_skip
	incf	slot, f, A
	movlw	NSLOTS
	xorwf	slot, w, A
	bnz	find_next
	retlw	0

; W = 1 with `slot` set to a slot for a new connection: a free one, or a
; closed one, or the oldest half-open one of at least TAKEOVER_MS (the
; least idle time left, as a SYN cache drops its oldest entry); otherwise
; W = 0.
free_slot
	clrf	slot, A
free_next
	call	point_slot
	movf	low INDF2, w, A
	bnz	free_skip
	retlw	1
free_skip
	incf	slot, f, A
	movlw	NSLOTS
	xorwf	slot, w, A
	bnz	free_next
	clrf	slot, A			; none free: a closed one will do
closed_next
	call	point_slot
	movf	low INDF2, w, A
	xorlw	ST_WAIT
	bnz	closed_skip
	retlw	1
closed_skip
	incf	slot, f, A
	movlw	NSLOTS
	xorwf	slot, w, A
	bnz	closed_next
	set16	word_h, word_l, IDLE_MS - TAKEOVER_MS + 1	; least idle time
	setf	count_l, A		; its slot; 0xFF: none
	clrf	slot, A
half_open_next
	call	point_slot
	movf	low INDF2, w, A
	xorlw	ST_SYN
	bnz	half_open_skip
	movlw	c_idle_h - CUR		; its idle time, in count_h:scratch
	movff	PLUSW2, count_h
	movlw	c_idle_l - CUR
	movff	PLUSW2, scratch
	movf	word_l, w, A		; idle - word borrows: older (a tie: the
	subwf	scratch, w, A		; first, the one that came first)
	movf	word_h, w, A
	subwfb	count_h, w, A
	bc	half_open_skip
	movff	count_h, word_h
	movff	scratch, word_l
	movff	slot, count_l
half_open_skip
	incf	slot, f, A
	movlw	NSLOTS
	xorwf	slot, w, A
	bnz	half_open_next
	movff	count_l, slot
	incf	count_l, w, A		; 0xFF + 1 = 0: none half-open
	bz	no_slot
	retlw	1
no_slot
	retlw	0

;--- A received frame ---------------------------------------------------------
handle_frame
	drop_if_below	rx_len_h, rx_len_l, 14
	movf	rx_len_l, w, A		; FRAME_MAX - rx_len must not borrow
	sublw	low FRAME_MAX
	movlw	high FRAME_MAX
	subfwb	rx_len_h, w, A
	jnc	drop

	lfsr	0, ETH_SRC		; a group source address: never ours
	btfsc	low INDF0, 0, A
	bra	drop
	movf	low POSTINC0, w, A	; nor 00:00:00:00:00:00, no one's
	iorwf	low POSTINC0, w, A
	iorwf	low POSTINC0, w, A
	iorwf	low POSTINC0, w, A
	iorwf	low POSTINC0, w, A
	iorwf	low POSTINC0, w, A
	bz	drop
	movff	ETH_SRC, r_mac
	movff	ETH_SRC + 1, r_mac + 1
	movff	ETH_SRC + 2, r_mac + 2
	movff	ETH_SRC + 3, r_mac + 3
	movff	ETH_SRC + 4, r_mac + 4
	movff	ETH_SRC + 5, r_mac + 5

	rx_byte	ETH_TYPE
	xorlw	0x08
	jnz	drop
	rx_byte	ETH_TYPE + 1
	jz	ipv4_frame		; 0x0800
	xorlw	0x06
	jnz	drop			; 0x0806 goes on
	call	to_my_mac		; ARP: to MY_MAC or to everyone
	bz	arp_frame
	lfsr	0, ETH_DST
	movlw	6
	movwf	tmp, A
arp_broadcast
	incf	low POSTINC0, w, A	; 0xFF + 1 = 0
	jnz	drop
	decfsz	tmp, f, A
	bra	arp_broadcast
	bra	arp_frame

drop
	return

; Z set when the frame is for MY_MAC.
to_my_mac
	lfsr	0, ETH_DST
	movlw	MY_MAC_0
	xorwf	low POSTINC0, w, A
	bnz	to_my_mac_no
	movlw	MY_MAC_1
	xorwf	low POSTINC0, w, A
	bnz	to_my_mac_no
	movlw	MY_MAC_2
	xorwf	low POSTINC0, w, A
	bnz	to_my_mac_no
	movlw	MY_MAC_3
	xorwf	low POSTINC0, w, A
	bnz	to_my_mac_no
	movlw	MY_MAC_4
	xorwf	low POSTINC0, w, A
	bnz	to_my_mac_no
	movlw	MY_MAC_5
	xorwf	low POSTINC0, w, A
to_my_mac_no
	return

; Z set when the 4 bytes at FSR0 are MY_IP; FSR0 moves on.
is_my_ip
	movlw	MY_IP_0
	xorwf	low POSTINC0, w, A
	bnz	is_my_ip_no
	movlw	MY_IP_1
	xorwf	low POSTINC0, w, A
	bnz	is_my_ip_no
	movlw	MY_IP_2
	xorwf	low POSTINC0, w, A
	bnz	is_my_ip_no
	movlw	MY_IP_3
	xorwf	low POSTINC0, w, A
is_my_ip_no
	return

; W = 0 and Z set when the 4 bytes at FSR0 are a unicast source: not 0/8,
; 127/8, 224/4 and 240/4, MY_BCAST or MY_IP.
unicast_source
	movf	low INDF0, w, A
	bz	not_unicast		; 0.0.0.0/8
	xorlw	127
	bz	not_unicast
	movlw	224
	subwf	low INDF0, w, A
	bc	not_unicast		; 224 and above
	movff	FSR0L, tmp
	call	is_my_ip
	bz	not_unicast
	movff	tmp, FSR0L
	movlw	MY_BCAST_0
	xorwf	low POSTINC0, w, A
	bnz	unicast
	movlw	MY_BCAST_1
	xorwf	low POSTINC0, w, A
	bnz	unicast
	movlw	MY_BCAST_2
	xorwf	low POSTINC0, w, A
	bnz	unicast
	movlw	MY_BCAST_3
	xorwf	low POSTINC0, w, A
	bz	not_unicast
unicast
	movlw	0
	bra	unicast_end
not_unicast
	movlw	1
unicast_end
	iorlw	0			; Z from W
	return

;--- ARP ----------------------------------------------------------------------
arp_frame
	drop_if_below	rx_len_h, rx_len_l, 42
	drop_unless	RX_BUF + 14, 0	; hardware type 1
	drop_unless	RX_BUF + 15, 1
	drop_unless	RX_BUF + 16, 0x08	; protocol IPv4
	drop_unless	RX_BUF + 17, 0x00
	drop_unless	RX_BUF + 18, 6
	drop_unless	RX_BUF + 19, 4
	drop_unless	RX_BUF + 20, 0	; a request
	drop_unless	RX_BUF + 21, 1
	lfsr	0, ARP_SHA		; the sender's MAC is the frame's source
	lfsr	1, ETH_SRC
	movlw	6
	movwf	tmp, A
arp_sha
	movf	low POSTINC0, w, A
	xorwf	low POSTINC1, w, A
	jnz	drop
	decfsz	tmp, f, A
	bra	arp_sha
	lfsr	0, ARP_SPA
	call	unicast_source
	jnz	drop
	lfsr	0, ARP_TPA
	call	is_my_ip
	jnz	drop

	lfsr	1, TX_BUF
	call	put_eth_macs
	put	0x08
	put	0x06
	put	0			; hardware 1, protocol IPv4, 6, 4
	put	1
	put	0x08
	put	0
	put	6
	put	4
	put	0			; a reply
	put	2
	call	put_my_mac
	call	put_my_ip
	lfsr	0, ARP_SHA		; the sender's MAC and address
	movlw	10
	movwf	tmp, A
arp_target
	movff	POSTINC0, POSTINC1
	decfsz	tmp, f, A
	bra	arp_target
	clrf	tx_len_h, A
	movlw	42
	movwf	tx_len_l, A
	goto	do_transmit

;--- IPv4 ---------------------------------------------------------------------
ipv4_frame
	call	to_my_mac
	jnz	drop
	drop_if_below	rx_len_h, rx_len_l, 34
	rx_byte	IP_HDR
	andlw	0xF0
	xorlw	0x40
	jnz	drop
	rx_byte	IP_HDR
	andlw	0x0F
	movwf	ihl, A
	movlw	5
	subwf	ihl, w, A
	jnc	drop
	rlncf	ihl, f, A		; at most 15 words: no bit falls off
	rlncf	ihl, f, A
	rx_byte	IP_HDR + 2
	movwf	total_h, A
	rx_byte	IP_HDR + 3
	movwf	total_l, A
	movlw	14			; total + 14 <= rx_len
	addwf	total_l, w, A
	movwf	seg_l, A
	movlw	0
	addwfc	total_h, w, A
	jc	drop			; past 0xFFFF: no frame is that long
	movwf	seg_h, A
	movf	seg_l, w, A
	subwf	rx_len_l, w, A
	movf	seg_h, w, A
	subwfb	rx_len_h, w, A
	jnc	drop
	movf	ihl, w, A		; what follows the header
	subwf	total_l, w, A
	movwf	seg_l, A
	movlw	0
	subwfb	total_h, w, A
	movwf	seg_h, A
	jnc	drop
	rx_byte	IP_HDR + 6		; More Fragments and the fragment offset
	andlw	0x3F
	jnz	drop
	rx_byte	IP_HDR + 7
	jnz	drop
	clrf	sum_h, A
	clrf	sum_l, A
	clrf	count_h, A
	movff	ihl, count_l
	lfsr	0, IP_HDR
	call	sum_bytes
	call	test_all_ones
	jnz	drop
	lfsr	0, IP_DST
	call	is_my_ip
	jnz	drop
	lfsr	0, IP_SRC
	call	unicast_source
	jnz	drop
	copy32	r_ip, IP_SRC
	movlw	low IP_HDR		; the ICMP or TCP header
	addwf	ihl, w, A
	movwf	tcp_l, A
	movlw	high IP_HDR
	movwf	tcp_h, A
	movlw	0
	addwfc	tcp_h, f, A
	rx_byte	IP_HDR + 9
	xorlw	6
	jz	tcp_segment
	xorlw	6 ^ 1
	jnz	drop

;--- ICMP ---------------------------------------------------------------------
	drop_if_below	seg_h, seg_l, 8
	point_l4	0
	movf	low POSTINC0, w, A
	xorlw	8			; echo request
	jnz	drop
	movf	low POSTINC0, w, A	; code 0
	jnz	drop
	point_l4	0
	clrf	sum_h, A
	clrf	sum_l, A
	movff	seg_h, count_h
	movff	seg_l, count_l
	call	sum_bytes
	call	test_all_ones
	jnz	drop

	lfsr	1, TX_BUF
	call	put_eth_macs
	movlw	1
	call	put_ip_header
	put	0			; echo reply, code 0
	put	0
	put	0			; its checksum, below
	put	0
	point_l4	4		; identifier, sequence number, data
	movlw	4
	subwf	seg_l, w, A
	movwf	count_l, A
	movlw	0
	subwfb	seg_h, w, A
	movwf	count_h, A
icmp_copy
	movf	count_l, w, A
	iorwf	count_h, w, A
	bz	icmp_copied
	movff	POSTINC0, POSTINC1
	call	count_down
	bra	icmp_copy
icmp_copied
	clrf	sum_h, A
	clrf	sum_l, A
	movff	seg_h, count_h
	movff	seg_l, count_l
	lfsr	0, TX_L4
	call	sum_bytes
	lfsr	0, TX_L4 + 2
	call	store_complement
	goto	transmit_ip

;--- TCP ----------------------------------------------------------------------
tcp_segment
	drop_if_below	seg_h, seg_l, 20
	point_l4	12		; data offset in words, in the high nibble
	movf	low INDF0, w, A
	andlw	0xF0
	movwf	doff, A
	rrncf	doff, f, A
	rrncf	doff, f, A
	movlw	20
	subwf	doff, w, A
	jnc	drop
	movf	doff, w, A		; the payload: what follows the header
	subwf	seg_l, w, A
	movwf	pay_l, A
	movlw	0
	subwfb	seg_h, w, A
	movwf	pay_h, A
	jnc	drop
	lfsr	0, IP_SRC		; the checksum: pseudo-header, segment
	call	pseudo_header_sum
	point_l4	0
	movff	seg_h, count_h
	movff	seg_l, count_l
	call	sum_bytes
	call	test_all_ones
	jnz	drop
	point_l4	13
	movff	INDF0, tflags
	movf	tflags, w, A		; SYN and FIN together: nonsense
	andlw	F_SYN | F_FIN
	xorlw	F_SYN | F_FIN
	jz	drop

	point_l4	0		; ports, numbers and window
	movff	POSTINC0, r_port
	movff	POSTINC0, r_port + 1
	movff	POSTINC0, l_port_h
	movff	POSTINC0, l_port_l
	movff	POSTINC0, sseq_3
	movff	POSTINC0, sseq_2
	movff	POSTINC0, sseq_1
	movff	POSTINC0, sseq_0
	movff	POSTINC0, sack_3
	movff	POSTINC0, sack_2
	movff	POSTINC0, sack_1
	movff	POSTINC0, sack_0
	movf	low POSTINC0, w, A	; data offset and flags
	movf	low POSTINC0, w, A
	movff	POSTINC0, swnd_h
	movff	POSTINC0, swnd_l

	movf	l_port_h, w, A
	xorlw	high HTTP_PORT
	jnz	reset_reply
	movf	l_port_l, w, A
	xorlw	low HTTP_PORT
	jnz	reset_reply
	call	find_slot
	xorlw	0
	jnz	conn_segment
	btfsc	tflags, 2, A		; F_RST: nothing to reset
	return
	movf	tflags, w, A
	andlw	F_SYN | F_ACK
	xorlw	F_SYN
	jnz	reset_reply

;--- A new connection -----------------------------------------------------------
	call	free_slot
	xorlw	0
	jz	drop			; every slot busy
	lfsr	0, CUR			; a clean slot
	movlw	CONN_SIZE
	movwf	tmp, A
new_clear
	clrf	low POSTINC0, A
	decfsz	tmp, f, A
	bra	new_clear
	movlw	ST_SYN
	movwf	c_state, A
	lfsr	0, r_ip			; address, port
	lfsr	1, c_ip
	movlw	6
	movwf	tmp, A
new_peer
	movff	POSTINC0, POSTINC1
	decfsz	tmp, f, A
	bra	new_peer
	call	make_isn
	call	take_syn
	call	send_synack
	goto	store_slot		; its return is ours

; One round of the sequence numbers' mix: input byte X with key byte K
; into the state A, B, C, D (c_iss's bytes, in a turning order).
isn_round	macro	x, k, a, b, c, d
	movf	x, w, A
	xorlw	k
	addwf	a, f, A
	rlncf	a, w, A
	xorwf	b, f, A
	movf	b, w, A
	addwf	c, f, A
	swapf	c, w, A
	xorwf	d, f, A
	movf	d, w, A
	addwf	a, f, A
	endm

KEY		set	0			; byte I of the key: (KEY_A:KEY_B >> 8 * (7 - I))
key_byte	macro	i
	if (i % 8) < 4
KEY	set	(KEY_A >> (8 * (3 - (i % 8)))) & 0xFF
	else
KEY	set	(KEY_B >> (8 * (7 - (i % 8)))) & 0xFF
	endif
	endm

; c_iss = the clock (isn_3..isn_0) + F(c_ip, c_port, key), RFC 6528. Our
; address and port are constants: they would add nothing to F. F starts
; from KEY_B and takes the six bytes of the client's address and port
; three times over, 18 rounds, each byte with its own key byte.
make_isn
	movf	low TMR0L, w, A		; the SYN's arrival within the tick: the clock
	addwf	isn_0, f, A		; takes it too, and still only goes up
	movlw	0
	addwfc	isn_1, f, A
	addwfc	isn_2, f, A
	addwfc	isn_3, f, A
	key_byte	4
	movlw	KEY
	movwf	c_iss, A
	key_byte	5
	movlw	KEY
	movwf	c_iss + 1, A
	key_byte	6
	movlw	KEY
	movwf	c_iss + 2, A
	key_byte	7
	movlw	KEY
	movwf	c_iss + 3, A
ROUND		set	0
	while	ROUND < 18
	key_byte	ROUND * 3
H0		set	c_iss + (ROUND % 4)	; the state's bytes, turning
H1		set	c_iss + ((ROUND + 1) % 4)
H2		set	c_iss + ((ROUND + 2) % 4)
H3		set	c_iss + ((ROUND + 3) % 4)
	isn_round	c_ip + (ROUND % 6), KEY, H0, H1, H2, H3
ROUND		set	ROUND + 1
	endw
	movf	isn_0, w, A		; + M
	addwf	c_iss + 3, f, A
	movf	isn_1, w, A
	addwfc	c_iss + 2, f, A
	movf	isn_2, w, A
	addwfc	c_iss + 1, f, A
	movf	isn_3, w, A
	addwfc	c_iss, f, A
	return

; From the SYN received: the client's MAC, its next sequence number, MSS
; and window; the timers start.
take_syn
	movff	r_mac, c_mac
	movff	r_mac + 1, c_mac + 1
	movff	r_mac + 2, c_mac + 2
	movff	r_mac + 3, c_mac + 3
	movff	r_mac + 4, c_mac + 4
	movff	r_mac + 5, c_mac + 5
	copy32	c_rcv, sseq_3
	inc32	c_rcv
	movff	swnd_h, c_edge_h	; offset 0 is ISS + 1, what the SYN-ACK acknowledges
	movff	swnd_l, c_edge_l
	movff	swnd_h, c_maxw_h
	movff	swnd_l, c_maxw_l
	set16	c_rto_h, c_rto_l, RTO_MS
	set16	c_idle_h, c_idle_l, IDLE_MS
	set16	c_mss_h, c_mss_l, MSS_DEFAULT
	movlw	20			; the options, up to the data offset
	movwf	tmp, A
opt_next
	movf	tmp, w, A		; tmp < doff
	subwf	doff, w, A
	bz	opt_done
	movf	tmp, w, A
	point_l4_w
	movf	low INDF0, w, A		; kind
	bz	opt_done		; end of options
	xorlw	1
	bnz	opt_long
	incf	tmp, f, A		; no-operation
	bra	opt_next
opt_long
	incf	tmp, w, A		; its length must be inside the header
	subwf	doff, w, A
	bz	opt_done
	movf	low POSTINC0, w, A	; kind, again
	movwf	scratch, A
	movf	low INDF0, w, A		; length: 2 up to what is left
	movwf	count_l, A
	movlw	2
	subwf	count_l, w, A
	bnc	opt_done
	movf	tmp, w, A
	subwf	doff, w, A		; left
	subwf	count_l, w, A		; length - left must borrow or be 0
	bz	opt_fits
	bc	opt_done
opt_fits
	movf	scratch, w, A
	xorlw	2
	bnz	opt_skip
	movf	count_l, w, A
	xorlw	4
	bnz	opt_skip
	movf	low PREINC0, w, A	; the MSS, high byte first
	movwf	c_mss_h, A
	movf	low PREINC0, w, A
	movwf	c_mss_l, A
opt_skip
	movf	count_l, w, A
	addwf	tmp, f, A
	bra	opt_next
opt_done
	movlw	low MSS_OUT		; MSS_OUT - mss borrows: take MSS_OUT
	subwf	c_mss_l, w, A
	movlw	high MSS_OUT
	subwfb	c_mss_h, w, A
	bnc	opt_min
	set16	c_mss_h, c_mss_l, MSS_OUT
opt_min
	movlw	low MSS_MIN		; below MSS_MIN: take MSS_MIN
	subwf	c_mss_l, w, A
	movlw	high MSS_MIN
	subwfb	c_mss_h, w, A
	bc	opt_end
	set16	c_mss_h, c_mss_l, MSS_MIN
opt_end
	clrf	c_cwnd_h, BANKED	; cwnd = IW_SEGS segments, no threshold yet
	clrf	c_cwnd_l, BANKED
	movlw	IW_SEGS
	movwf	tmp, A
iw_next
	movf	c_mss_l, w, A
	addwf	c_cwnd_l, f, BANKED
	movf	c_mss_h, w, A
	addwfc	c_cwnd_h, f, BANKED
	decfsz	tmp, f, A
	bra	iw_next
	setf	c_ssth_h, BANKED
	setf	c_ssth_l, BANKED
	clrf	c_acc_h, BANKED
	clrf	c_acc_l, BANKED
	return

;--- A segment of a connection ------------------------------------------------
conn_segment
	call	load_slot
	call	conn_work
	goto	store_slot		; its return is ours

conn_work
	clrf	must_ack, A
	btfsc	tflags, 2, A		; F_RST
	bra	conn_rst
	btfsc	tflags, 1, A		; F_SYN
	bra	conn_syn
	call	seq_in_window		; not acceptable: an ACK, and dropped
	xorlw	0
	jnz	send_ack
	btfss	tflags, 4, A		; F_ACK: without it, dropped
	return
	movf	sack_0, w, A		; sack -= ISS + 1: an offset into the response
	subwf	c_iss + 3, w, A		; (computed as ISS - sack, then negated)
	movwf	sack_0, A
	movf	sack_1, w, A
	subwfb	c_iss + 2, w, A
	movwf	sack_1, A
	movf	sack_2, w, A
	subwfb	c_iss + 1, w, A
	movwf	sack_2, A
	movf	sack_3, w, A
	subwfb	c_iss, w, A
	movwf	sack_3, A
	comf	sack_0, f, A		; -(ISS - sack) - 1 = sack - ISS - 1
	comf	sack_1, f, A
	comf	sack_2, f, A
	comf	sack_3, f, A
	movf	c_state, w, A
	xorlw	ST_SYN
	bnz	conn_acked
	movf	sack_0, w, A		; state 1: it must acknowledge the SYN
	iorwf	sack_1, w, A
	iorwf	sack_2, w, A
	iorwf	sack_3, w, A
	bz	conn_open
	point_l4	8		; the RST's number: its acknowledgement
	movff	POSTINC0, sack_3
	movff	POSTINC0, sack_2
	movff	POSTINC0, sack_1
	movff	POSTINC0, sack_0
	goto	reset_reply
conn_open
	movlw	ST_EST
	movwf	c_state, A
	clrf	c_tries, A
	set16	c_rto_h, c_rto_l, RTO_MS
conn_acked
	movf	c_una_l, w, A		; d = ack - una, 32 bits: sum_h:sum_l low,
	subwf	sack_0, w, A		; word_h:word_l high
	movwf	sum_l, A
	movf	c_una_h, w, A
	subwfb	sack_1, w, A
	movwf	sum_h, A
	movlw	0
	subwfb	sack_2, w, A
	movwf	word_l, A
	movlw	0
	subwfb	sack_3, w, A
	movwf	word_h, A
	btfsc	word_h, 7, A
	bra	conn_ack_old
	iorwf	word_l, w, A		; far ahead: acknowledges what was never sent
	jnz	send_ack
	movf	c_una_l, w, A		; (nxt - una) - d borrows: the same
	subwf	c_nxt_l, w, A
	movwf	word_l, A
	movf	c_una_h, w, A
	subwfb	c_nxt_h, w, A
	movwf	word_h, A
	movf	sum_l, w, A
	subwf	word_l, w, A
	movf	sum_h, w, A
	subwfb	word_h, w, A
	jnc	send_ack
	call	refresh_idle		; an acceptable segment
	movf	sum_l, w, A
	iorwf	sum_h, w, A
	bz	conn_window
	movff	sack_1, c_una_h		; new: una = ack
	movff	sack_0, c_una_l
	call	grow_window
	clrf	c_tries, A
	set16	c_rto_h, c_rto_l, RTO_MS
	call	take_window
	btfss	c_flags, CF_RECOVER, A
	bra	conn_data
	movf	c_rec_l, w, A		; after a timeout: una - rec borrows while
	subwf	c_una_l, w, A		; bytes sent before it are still missing
	movf	c_rec_h, w, A
	subwfb	c_una_h, w, A
	bnc	conn_partial
	bcf	c_flags, CF_RECOVER, A	; all of them arrived
	bra	conn_data
conn_partial
	call	resend_one		; the next missing segment, at once
	bra	conn_data
conn_window
	call	take_window
	bra	conn_data
conn_ack_old
	incf	word_h, w, A		; before una: an old one, no news, unless
	bnz	conn_ignore		; more than the largest window before it
	incf	word_l, w, A		; (d's high bytes 0xFF and -d <= maxw),
	bnz	conn_ignore		; RFC 5961: then dropped
	movf	c_maxw_l, w, BANKED
	addwf	sum_l, w, A
	movf	c_maxw_h, w, BANKED
	addwfc	sum_h, w, A
	bnc	conn_ignore
	call	refresh_idle
	bra	conn_data

; An RST: in the window, it frees the slot when its sequence number is the
; one expected, otherwise it gets a challenge ACK (RFC 5961); outside it,
; dropped. Half-open, only the exact one counts.
conn_rst
	call	seq_in_window
	xorlw	0
	bnz	conn_ignore
	lfsr	0, sseq_3
	lfsr	1, c_rcv
	call	equal32
	bnz	conn_rst_near
	clrf	c_state, A
	return
conn_rst_near
	movf	c_state, w, A
	xorlw	ST_SYN
	jnz	send_ack
conn_ignore
	return

; A SYN: half-open, the same SYN again gets the SYN-ACK again, another is
; dropped; in any other state, whatever its number, a challenge ACK.
conn_syn
	movf	c_state, w, A
	xorlw	ST_SYN
	jnz	send_ack
	copy32	seq_3, sseq_3
	inc32	seq_3
	lfsr	0, seq_3
	lfsr	1, c_rcv
	call	equal32
	bnz	conn_ignore
	goto	send_synack

; W = 0 when the segment's sequence number is in the receive window,
; RCV.NXT to RCV.NXT + WINDOW - 1 (RFC 9293 3.10.7.4: a segment is taken
; from where it starts), otherwise W = 1.
seq_in_window
	movf	c_rcv + 3, w, A		; seq - rcv, 32 bits
	subwf	sseq_0, w, A
	movwf	word_l, A
	movf	c_rcv + 2, w, A
	subwfb	sseq_1, w, A
	movwf	word_h, A
	movf	c_rcv + 1, w, A
	subwfb	sseq_2, w, A
	movwf	scratch, A
	movf	c_rcv, w, A
	subwfb	sseq_3, w, A
	iorwf	scratch, w, A
	bnz	seq_outside
	movlw	low WINDOW		; below WINDOW: it borrows
	subwf	word_l, w, A
	movlw	high WINDOW
	subwfb	word_h, w, A
	bc	seq_outside
	retlw	0
seq_outside
	retlw	1

; The client is heard from: the idle time starts again (closed: the wait).
refresh_idle
	set16	c_idle_h, c_idle_l, IDLE_MS
	movf	c_state, w, A
	xorlw	ST_WAIT
	bnz	idle_refreshed
	set16	c_idle_h, c_idle_l, WAIT_MS
idle_refreshed
	return

conn_data
	movf	pay_l, w, A
	iorwf	pay_h, w, A
	jnz	conn_in_order
	btfss	tflags, 0, A		; F_FIN
	bra	conn_send
conn_in_order
	lfsr	0, sseq_3		; it must start where expected
	lfsr	1, c_rcv
	call	equal32
	jnz	send_ack
	btfsc	c_flags, CF_FIN_RCVD, A	; past the client's FIN: nothing more
	bra	conn_send		; is taken (RFC 9293: the text ignored)
	movf	pay_l, w, A
	iorwf	pay_h, w, A
	bz	conn_fin
	add32_16	c_rcv, pay_h, pay_l
	setf	must_ack, A
	movf	c_state, w, A
	xorlw	ST_EST
	bnz	conn_fin
	call	read_request
	movlw	ST_SEND
	movwf	c_state, A
conn_fin
	btfss	tflags, 0, A		; F_FIN
	bra	conn_send
	inc32	c_rcv
	bsf	c_flags, CF_FIN_RCVD, A
	setf	must_ack, A
	movf	c_state, w, A
	xorlw	ST_EST
	bnz	conn_send
	movlw	ST_SEND			; no request: an empty response, a FIN alone
	movwf	c_state, A
	clrf	c_len_h, A
	clrf	c_len_l, A
	bcf	c_flags, CF_STORED, A
conn_send
	movf	c_state, w, A
	xorlw	ST_SEND
	bnz	conn_sent
	call	send_data
	xorlw	0
	bz	conn_sent
	clrf	must_ack, A		; the data carried the ACK
conn_sent
	movf	must_ack, w, A
	bz	conn_close
	call	send_ack
conn_close
	movf	c_state, w, A		; both FINs done: closed, for a while
	xorlw	ST_SEND
	bnz	conn_done
	btfss	c_flags, CF_FIN_RCVD, A
	bra	conn_done
	call	all_acked
	bnz	conn_done
	movlw	ST_WAIT
	movwf	c_state, A
	set16	c_idle_h, c_idle_l, WAIT_MS
conn_done
	return

; cwnd grows by the sum_h:sum_l bytes just acknowledged (RFC 5681 3.1):
; in slow start (cwnd below ssthresh) by those bytes, at most one MSS;
; past it by one MSS each time a cwnd's worth has been acknowledged. At
; most 0xFFFF.
grow_window
	movf	c_ssth_l, w, BANKED	; cwnd - ssthresh borrows: slow start
	subwf	c_cwnd_l, w, BANKED
	movf	c_ssth_h, w, BANKED
	subwfb	c_cwnd_h, w, BANKED
	bc	grow_avoiding
	movf	c_mss_l, w, A		; acked - mss borrows: all of it, else one MSS
	subwf	sum_l, w, A
	movf	c_mss_h, w, A
	subwfb	sum_h, w, A
	bnc	grow_by_sum
	movff	c_mss_h, sum_h
	movff	c_mss_l, sum_l
grow_by_sum
	movf	sum_l, w, A
	addwf	c_cwnd_l, f, BANKED
	movf	sum_h, w, A
	addwfc	c_cwnd_h, f, BANKED
	bra	grown
grow_avoiding
	movf	sum_l, w, A		; acc += acked; a cwnd of it: one MSS
	addwf	c_acc_l, f, BANKED
	movf	sum_h, w, A
	addwfc	c_acc_h, f, BANKED
	bc	grow_segment		; past 0xFFFF: past any cwnd
	movf	c_cwnd_l, w, BANKED
	subwf	c_acc_l, w, BANKED
	movf	c_cwnd_h, w, BANKED
	subwfb	c_acc_h, w, BANKED
	bnc	grow_done
grow_segment
	movf	c_cwnd_l, w, BANKED
	subwf	c_acc_l, f, BANKED
	movf	c_cwnd_h, w, BANKED
	subwfb	c_acc_h, f, BANKED
	movf	c_mss_l, w, A
	addwf	c_cwnd_l, f, BANKED
	movf	c_mss_h, w, A
	addwfc	c_cwnd_h, f, BANKED
grown
	bnc	grow_done
	setf	c_cwnd_h, BANKED
	setf	c_cwnd_l, BANKED
grow_done
	return

; After a timeout (RFC 5681 3.1, equation 4): the first in a row sets
; ssthresh to half the bytes in flight, at least two MSS; cwnd falls to
; one MSS.
shrink_window
	decf	c_tries, w, A
	bnz	shrink_cwnd		; a second timeout: ssthresh stays
	movf	c_una_l, w, A		; flight / 2 = (nxt - una) / 2
	subwf	c_nxt_l, w, A
	movwf	c_ssth_l, BANKED
	movf	c_una_h, w, A
	subwfb	c_nxt_h, w, A
	movwf	c_ssth_h, BANKED
	bcf	low STATUS, C, A
	rrcf	c_ssth_h, f, BANKED
	rrcf	c_ssth_l, f, BANKED
	movf	c_mss_l, w, A		; 2 mss, in word
	addwf	c_mss_l, w, A
	movwf	word_l, A
	movf	c_mss_h, w, A
	addwfc	c_mss_h, w, A
	movwf	word_h, A
	movf	word_l, w, A		; ssthresh - 2 mss borrows: 2 mss
	subwf	c_ssth_l, w, BANKED
	movf	word_h, w, A
	subwfb	c_ssth_h, w, BANKED
	bc	shrink_cwnd
	movff	word_h, c_ssth_h
	movff	word_l, c_ssth_l
shrink_cwnd
	movff	c_mss_h, c_cwnd_h
	movff	c_mss_l, c_cwnd_l
	clrf	c_acc_h, BANKED
	clrf	c_acc_l, BANKED
	return

; edge = ack + window, at most 0xFFFF; maxw = the largest window yet.
take_window
	movf	swnd_l, w, A		; maxw - window borrows: a larger one
	subwf	c_maxw_l, w, BANKED
	movf	swnd_h, w, A
	subwfb	c_maxw_h, w, BANKED
	bc	window_max
	movff	swnd_h, c_maxw_h
	movff	swnd_l, c_maxw_l
window_max
	movf	swnd_l, w, A
	addwf	sack_0, w, A
	movwf	c_edge_l, A
	movf	swnd_h, w, A
	addwfc	sack_1, w, A
	movwf	c_edge_h, A
	bnc	window_taken
	setf	c_edge_h, A
	setf	c_edge_l, A
window_taken
	return

; Z set when the 4 bytes at FSR0 equal the 4 at FSR1.
equal32
	movlw	4
	movwf	tmp, A
equal_next
	movf	low POSTINC0, w, A
	xorwf	low POSTINC1, w, A
	bnz	equal_no
	decfsz	tmp, f, A
	bra	equal_next
	bsf	low STATUS, Z, A
equal_no
	return

;--- An RST for the segment received -------------------------------------------
reset_reply
	btfsc	tflags, 2, A		; never one for an RST
	return
	btfss	tflags, 4, A		; F_ACK
	bra	reset_no_ack
	copy32	seq_3, sack_3		; seq = its acknowledgement number
	clrf	ack_3, A
	clrf	ack_2, A
	clrf	ack_1, A
	clrf	ack_0, A
	movlw	F_RST
	bra	reset_send
reset_no_ack
	clrf	seq_3, A		; seq 0, ack = its sequence number + length
	clrf	seq_2, A
	clrf	seq_1, A
	clrf	seq_0, A
	copy32	ack_3, sseq_3
	add32_16	ack_3, pay_h, pay_l
	btfss	tflags, 1, A		; F_SYN
	bra	reset_fin
	inc32	ack_3
reset_fin
	btfss	tflags, 0, A		; F_FIN
	bra	reset_flags
	inc32	ack_3
reset_flags
	movlw	F_RST | F_ACK
reset_send
	movwf	oflags, A
	clrf	opt_mss, A
	clrf	n_h, A
	clrf	n_l, A
	bra	send_segment		; to r_mac, r_ip, r_port from l_port

;--- The request --------------------------------------------------------------

; Chooses the response: c_page, c_len, c_tsum and CF_STORED.
read_request
	movf	doff, w, A		; the payload
	point_l4_w
	movff	pay_h, count_h
	movff	pay_l, count_l
	call	req_byte
	bnc	method_other
	xorlw	'G'
	bz	method_get
	xorlw	'G' ^ 'H'
	bnz	method_other
	call	req_byte		; "HEAD "
	bnc	method_other
	xorlw	'E'
	bnz	method_other
	call	req_byte
	bnc	method_other
	xorlw	'A'
	bnz	method_other
	call	req_byte
	bnc	method_other
	xorlw	'D'
	bnz	method_other
	call	req_byte
	bnc	method_other
	xorlw	' '
	bnz	method_other
	call	req_target
	call	take_page
	bcf	c_flags, CF_STORED, A	; HEAD: the header only
	bra	header_length
method_get
	call	req_byte		; "GET "
	bnc	method_other
	xorlw	'E'
	bnz	method_other
	call	req_byte
	bnc	method_other
	xorlw	'T'
	bnz	method_other
	call	req_byte
	bnc	method_other
	xorlw	' '
	bnz	method_other
	call	req_target
	bra	take_page
method_other
	movlw	upper builtin_501
	movwf	page_u, A
	movlw	high builtin_501
	movwf	page_h, A
	movlw	low builtin_501
	movwf	page_l, A
	call	take_page
	bcf	c_flags, CF_STORED, A
	return

; page_u:page_h:page_l = the table for the target: its tag's, the table
; tagged `4`, or the built-in 404 response. An absolute target naming our
; own address, http://MY_IP or http://MY_IP:HTTP_PORT, counts as the path
; after it (no path: `/`).
req_target
	clrf	tag, A			; no tag: the 404 page
	call	req_byte
	bnc	target_look
	xorlw	'/'
	bz	target_slash
	xorlw	'/' ^ 'h'		; absolute form: http://MY_IP[:HTTP_PORT]
	bnz	target_look
	movlw	upper own_host
	movwf	page_u, A
	movlw	high own_host
	movwf	page_h, A
	movlw	low own_host
	movwf	page_l, A
	call	point_at_page
	call	match_text
	bnc	target_look
	call	req_byte
	bnc	target_index		; no path: /
	xorlw	':'
	bnz	target_host_end
	call	match_text		; own_port follows own_host
	bnc	target_look
	call	req_byte
	bnc	target_index
	xorlw	':'			; for the xorlw below to give it back
target_host_end
	xorlw	':' ^ '/'
	bz	target_slash
	xorlw	'/' ^ ' '
	bz	target_index
	xorlw	' ' ^ '?'
	bnz	target_look		; another host, or a longer one
target_index
	movlw	INDEX_TAG
	movwf	tag, A
	bra	target_look
target_slash
	movlw	INDEX_TAG
	movwf	tag, A
	call	req_byte
	bnc	target_look		; "GET /" and no more
	movwf	scratch, A
	xorlw	' '
	bz	target_look
	xorlw	' ' ^ '?'
	bz	target_look
	xorlw	'?' ^ '\r'
	bz	target_look
	xorlw	'\r' ^ '\n'
	bz	target_look
	movff	scratch, tag
target_look
	movf	tag, w, A
	bz	target_missing
	call	look_up
	xorlw	0
	bnz	target_found
target_missing
	movlw	NOT_FOUND_TAG
	movwf	tag, A
	call	look_up
	xorlw	0
	bnz	target_found
	movlw	upper builtin_404
	movwf	page_u, A
	movlw	high builtin_404
	movwf	page_h, A
	movlw	low builtin_404
	movwf	page_l, A
	clrf	stored, A		; a built-in response: summed
	return
target_found
	movlw	1			; a table: its stored sum may serve
	movwf	stored, A
	return

; The response of the table at page_u:page_h:page_l into the connection:
; length, stored sum, address of byte 0; CF_STORED when `stored` is 1 (a
; table, not a built-in response).
take_page
	call	point_at_page
	call	read_entry		; the tag
	call	read_entry
	movwf	c_len_h, A
	call	read_entry
	movwf	c_len_l, A
	call	read_entry
	movwf	c_tsum_h, A
	call	read_entry
	movwf	c_tsum_l, A
	movff	TBLPTRU, c_page_u
	movff	TBLPTRH, c_page_h
	movff	TBLPTRL, c_page_l
	bcf	c_flags, CF_STORED, A
	btfsc	stored, 0, A
	bsf	c_flags, CF_STORED, A
	clrf	stored, A
	return

; HEAD: c_len = the bytes up to and including the first CR LF CR LF (all of
; them when there is none).
header_length
	movff	c_page_u, TBLPTRU
	movff	c_page_h, TBLPTRH
	movff	c_page_l, TBLPTRL
	movff	c_len_h, count_h
	movff	c_len_l, count_l
	clrf	tmp, A			; CR LF CR LF matched so far
	clrf	seg_h, A		; bytes scanned
	clrf	seg_l, A
head_next
	movf	count_l, w, A
	iorwf	count_h, w, A
	bz	head_done
	call	count_down
	infsnz	seg_l, f, A
	incf	seg_h, f, A
	call	read_entry
	movwf	scratch, A
	movlw	'\n'			; LF after an odd count, CR after an even
	btfss	tmp, 0, A
	movlw	'\r'
	xorwf	scratch, w, A
	bz	head_match
	clrf	tmp, A
	movf	scratch, w, A
	xorlw	'\r'
	bnz	head_next
	incf	tmp, f, A
	bra	head_next
head_match
	incf	tmp, f, A
	movlw	4
	xorwf	tmp, w, A
	bnz	head_next
	movff	seg_h, c_len_h
	movff	seg_l, c_len_l
head_done
	return

; Carry set when the request's next bytes are the text at TBLPTR (table
; entries up to a 0, which TBLPTR passes); clear when they differ or end.
match_text
	call	read_entry
	iorlw	0
	bz	text_matched
	movwf	tmp, A
	call	req_byte
	bnc	text_differs
	xorwf	tmp, w, A
	bz	match_text
text_differs
	bcf	low STATUS, C, A
	return
text_matched
	bsf	low STATUS, C, A
	return

; W = the next request byte with the carry set; the carry clear at its end.
req_byte
	movf	count_l, w, A
	iorwf	count_h, w, A
	bz	req_end
	call	count_down
	movf	low POSTINC0, w, A
	bsf	low STATUS, C, A
	return
req_end
	bcf	low STATUS, C, A
	retlw	0

;--- Sending --------------------------------------------------------------------

; seq = ISS + 1 + nxt: the next sequence number.
conn_seq_nxt
	copy32	seq_3, c_iss
	add32_16	seq_3, c_nxt_h, c_nxt_l
	inc32	seq_3
	return

; To the connection's client, from HTTP_PORT.
conn_peer
	lfsr	0, c_mac
	lfsr	1, r_mac
	movlw	6
	movwf	tmp, A
peer_mac
	movff	POSTINC0, POSTINC1
	decfsz	tmp, f, A
	bra	peer_mac
	copy32	r_ip, c_ip
	movff	c_port, r_port
	movff	c_port + 1, r_port + 1
	set16	l_port_h, l_port_l, HTTP_PORT
	return

send_synack
	copy32	seq_3, c_iss
	copy32	ack_3, c_rcv
	movlw	F_SYN | F_ACK
	movwf	oflags, A
	call	conn_peer
	movlw	1
	movwf	opt_mss, A
	clrf	n_h, A
	clrf	n_l, A
	bra	send_segment

; An ACK: seq the next, ack the next expected.
send_ack
	call	conn_seq_nxt
	copy32	ack_3, c_rcv
	movlw	F_ACK
	movwf	oflags, A
; A segment without data with seq, ack and oflags given.
send_bare
	call	conn_peer
	clrf	opt_mss, A
	clrf	n_h, A
	clrf	n_l, A
	bra	send_segment

; Sends what the window allows of the response, from c_nxt on, and the FIN
; after it. W = 1 when a segment went out, 0 when none did.
send_data
	clrf	sent, A
	call	conn_peer
data_next
	movf	c_nxt_l, w, A		; left = len - nxt; borrow: the FIN is sent
	subwf	c_len_l, w, A
	movwf	n_l, A
	movf	c_nxt_h, w, A
	subwfb	c_len_h, w, A
	movwf	n_h, A
	jnc	data_end
	movwf	count_h, A		; keep `left` to tell the last segment
	movff	n_l, count_l
	iorwf	n_l, w, A
	bz	data_fin_only
	movf	c_cwnd_l, w, BANKED	; room = min(edge, una + cwnd) - nxt,
	addwf	c_una_l, w, A		; must be above 0 (una + cwnd at most
	movwf	word_l, A		; 0xFFFF, in word)
	movf	c_cwnd_h, w, BANKED
	addwfc	c_una_h, w, A
	movwf	word_h, A
	bnc	data_cwnd
	setf	word_h, A
	setf	word_l, A
data_cwnd
	movf	word_l, w, A		; edge - word borrows: the window is less
	subwf	c_edge_l, w, A
	movf	word_h, w, A
	subwfb	c_edge_h, w, A
	bc	data_room
	movff	c_edge_h, word_h
	movff	c_edge_l, word_l
data_room
	movf	c_nxt_l, w, A
	subwf	word_l, f, A
	movf	c_nxt_h, w, A
	subwfb	word_h, f, A
	bnc	data_end
	movf	word_h, w, A
	iorwf	word_l, w, A
	bz	data_end
	movf	n_l, w, A		; n = min(n, room)
	subwf	word_l, w, A
	movf	n_h, w, A
	subwfb	word_h, w, A
	bc	data_mss
	movff	word_h, n_h
	movff	word_l, n_l
data_mss
	movf	n_l, w, A		; n = min(n, mss)
	subwf	c_mss_l, w, A
	movf	n_h, w, A
	subwfb	c_mss_h, w, A
	bc	data_flags
	movff	c_mss_h, n_h
	movff	c_mss_l, n_l
data_flags
	movlw	F_ACK | F_PSH
	movwf	oflags, A
	movf	n_l, w, A		; the last bytes: FIN too
	xorwf	count_l, w, A
	bnz	data_build
	movf	n_h, w, A
	xorwf	count_h, w, A
	bnz	data_build
	bsf	oflags, 0, A
	bra	data_build
data_fin_only
	movlw	F_ACK | F_FIN
	movwf	oflags, A
data_build
	btfsc	one_seg, 0, A		; sent again: the timer is the caller's
	bra	data_timed		; (backed off after a timeout)
	movf	c_una_l, w, A		; nothing in flight yet: the timer starts
	xorwf	c_nxt_l, w, A
	bnz	data_timed
	movf	c_una_h, w, A
	xorwf	c_nxt_h, w, A
	bnz	data_timed
	set16	c_rto_h, c_rto_l, RTO_MS
data_timed
	call	conn_seq_nxt
	copy32	ack_3, c_rcv
	clrf	opt_mss, A
	movf	c_nxt_l, w, A		; TBLPTR = page + 2 * nxt
	addwf	c_nxt_l, w, A
	movwf	scratch, A
	movf	c_nxt_h, w, A
	addwfc	c_nxt_h, w, A
	movwf	tmp, A
	movlw	0
	addwfc	c_page_u, w, A		; the bit out of 2 * nxt
	movwf	page_u, A
	movf	scratch, w, A
	addwf	c_page_l, w, A
	movwf	low TBLPTRL, A
	movf	tmp, w, A
	addwfc	c_page_h, w, A
	movwf	low TBLPTRH, A
	movlw	0
	addwfc	page_u, w, A
	movwf	low TBLPTRU, A
	clrf	stored, A		; the whole stored response: its sum
	if !SUMMING
	btfss	c_flags, CF_STORED, A
	bra	data_summed
	movf	c_nxt_l, w, A
	iorwf	c_nxt_h, w, A
	bnz	data_summed
	movf	n_l, w, A
	xorwf	c_len_l, w, A
	bnz	data_summed
	movf	n_h, w, A
	xorwf	c_len_h, w, A
	bnz	data_summed
	incf	stored, f, A
data_summed
	endif
	call	send_segment
	movf	n_l, w, A		; nxt += n (+ 1 for a FIN)
	addwf	c_nxt_l, f, A
	movf	n_h, w, A
	addwfc	c_nxt_h, f, A
	setf	sent, A
	btfsc	oflags, 0, A
	bra	data_fin_sent
	btfss	one_seg, 0, A
	bra	data_next
	bra	data_end
data_fin_sent
	infsnz	c_nxt_l, f, A
	incf	c_nxt_h, f, A
data_end
	movf	sent, w, A		; 0 or 0xFF
	andlw	1
	return

; One segment again, from the first unacknowledged byte; nxt stays where
; it was, or moves on when that segment reaches past it.
resend_one
	movff	c_nxt_h, c_hold_h
	movff	c_nxt_l, c_hold_l
	movff	c_una_h, c_nxt_h
	movff	c_una_l, c_nxt_l
	setf	one_seg, A
	call	send_data
	clrf	one_seg, A
	movf	c_hold_l, w, A		; nxt - hold borrows: back to hold
	subwf	c_nxt_l, w, A
	movf	c_hold_h, w, A
	subwfb	c_nxt_h, w, A
	bc	resent
	movff	c_hold_h, c_nxt_h
	movff	c_hold_l, c_nxt_l
resent
	return

; Builds and transmits the TCP segment: to r_mac, r_ip, r_port from
; l_port; seq, ack, oflags; the MSS option when opt_mss is 1; n bytes of
; payload from the table entries at TBLPTR, with the stored sum c_tsum when
; `stored` is 1, otherwise summed while copied.
send_segment
	movlw	20			; the TCP length
	btfsc	opt_mss, 0, A
	movlw	24
	addwf	n_l, w, A
	movwf	seg_l, A
	movlw	0
	addwfc	n_h, w, A
	movwf	seg_h, A
	lfsr	1, TX_BUF
	call	put_eth_macs
	movlw	6
	call	put_ip_header
	movff	l_port_h, POSTINC1
	movff	l_port_l, POSTINC1
	movff	r_port, POSTINC1
	movff	r_port + 1, POSTINC1
	movff	seq_3, POSTINC1
	movff	seq_2, POSTINC1
	movff	seq_1, POSTINC1
	movff	seq_0, POSTINC1
	movff	ack_3, POSTINC1
	movff	ack_2, POSTINC1
	movff	ack_1, POSTINC1
	movff	ack_0, POSTINC1
	movlw	0x50			; data offset
	btfsc	opt_mss, 0, A
	movlw	0x60
	movwf	low POSTINC1, A
	movff	oflags, POSTINC1
	put	high WINDOW
	put	low WINDOW
	put	0			; checksum, below
	put	0
	put	0			; urgent pointer
	put	0
	btfss	opt_mss, 0, A
	bra	seg_payload
	put	2			; MSS option
	put	4
	put	high MSS_OUT
	put	low MSS_OUT
seg_payload
	clrf	psum_h, A
	clrf	psum_l, A
	movff	n_h, count_h
	movff	n_l, count_l
	btfss	stored, 0, A
	bra	seg_sum
	movff	c_tsum_h, psum_h	; copied, never summed
	movff	c_tsum_l, psum_l
	call	eth_tx_table		; headers and payload into the controller
	bra	seg_checksum
seg_sum
	call	eth_tx_table_sum
seg_checksum
	lfsr	0, TX_IP + 12		; pseudo-header, header, payload's sum
	call	pseudo_header_sum
	lfsr	0, TX_L4
	clrf	count_h, A
	movlw	20
	btfsc	opt_mss, 0, A
	movlw	24
	movwf	count_l, A
	call	sum_bytes
	movff	psum_h, word_h
	movff	psum_l, word_l
	call	add_word
	lfsr	0, TX_L4 + 16
	call	store_complement
	clrf	stored, A
	; falls into transmit_ip

; tx_len = 34 + seg, then out.
transmit_ip
	call	clock			; the ticks a long frame's handling took
	movlw	34
	addwf	seg_l, w, A
	movwf	tx_len_l, A
	movlw	0
	addwfc	seg_h, w, A
	movwf	tx_len_h, A
do_transmit
	goto	eth_transmit		; its return is ours

; Ethernet header at FSR1: to r_mac from MY_MAC, type IPv4 (the caller
; changes the type for ARP by writing it itself: put_eth_macs).
put_eth_macs
	lfsr	0, r_mac
	movlw	6
	movwf	tmp, A
eth_dst
	movff	POSTINC0, POSTINC1
	decfsz	tmp, f, A
	bra	eth_dst
put_my_mac
	put	MY_MAC_0
	put	MY_MAC_1
	put	MY_MAC_2
	put	MY_MAC_3
	put	MY_MAC_4
	put	MY_MAC_5
	return

put_my_ip
	put	MY_IP_0
	put	MY_IP_1
	put	MY_IP_2
	put	MY_IP_3
	return

; Ethertype IPv4 and a 20-byte IPv4 header at FSR1 (which must be at
; TX_BUF + 12) for protocol W and seg bytes after it, to r_ip, with its
; checksum.
put_ip_header
	movwf	scratch, A
	put	0x08
	put	0x00
	put	0x45			; version 4, five header words
	put	0			; type of service
	movlw	20			; total length
	addwf	seg_l, w, A
	movwf	word_l, A
	movlw	0
	addwfc	seg_h, w, A
	movwf	low POSTINC1, A
	movff	word_l, POSTINC1
	put	0			; identification
	put	0
	put	0x40			; Don't Fragment, offset 0
	put	0
	put	TTL
	movff	scratch, POSTINC1
	put	0			; header checksum, below
	put	0
	call	put_my_ip
	movff	r_ip, POSTINC1
	movff	r_ip + 1, POSTINC1
	movff	r_ip + 2, POSTINC1
	movff	r_ip + 3, POSTINC1
	clrf	sum_h, A
	clrf	sum_l, A
	clrf	count_h, A
	movlw	20
	movwf	count_l, A
	lfsr	0, TX_IP
	call	sum_bytes
	lfsr	0, TX_IP + 10
	bra	store_complement

;--- Sums -----------------------------------------------------------------------

; sum_h:sum_l += word_h:word_l, one's complement. A carry out of bit 15 goes
; back into bit 0 at once. That second add cannot carry again: after a carry
; the 16 bits left are at most 0xFFFE (0xFFFF + 0xFFFF = 0x1FFFE).
add_word
	movf	word_l, w, A
	addwf	sum_l, f, A
	movf	word_h, w, A		; movf leaves the carry alone
	addwfc	sum_h, f, A
	movlw	0
	addwfc	sum_l, f, A
	addwfc	sum_h, f, A
	return

; Adds count_h:count_l bytes from FSR0 on to the sum as big-endian words: a
; byte at an even offset from the start is a high byte, a lone last byte the
; high byte of a word whose low byte is 0. Leaves the count at 0.
sum_bytes
	movf	count_l, w, A
	iorwf	count_h, w, A
	bz	summed
	movff	POSTINC0, word_h
	clrf	word_l, A
	call	count_down
	movf	count_l, w, A
	iorwf	count_h, w, A
	bz	sum_last
	movff	POSTINC0, word_l
	call	count_down
sum_last
	call	add_word
	bra	sum_bytes
summed
	return

; sum_h:sum_l = the sum of the TCP pseudo-header: the source and destination
; addresses, 8 bytes from FSR0 on, protocol 6 and the segment length in
; seg_h:seg_l.
pseudo_header_sum
	clrf	sum_h, A
	clrf	sum_l, A
	clrf	count_h, A
	movlw	8
	movwf	count_l, A
	call	sum_bytes
	clrf	word_h, A
	movlw	6
	movwf	word_l, A
	call	add_word
	movff	seg_h, word_h
	movff	seg_l, word_l
	bra	add_word		; its return is ours

count_down
	decf	count_l, f, A		; the carry is clear on a borrow
	bc	counted
	decf	count_h, f, A
counted
	return

; Z set when the sum is 0xFFFF: a received header whose checksum is right.
test_all_ones
	incf	sum_l, w, A		; 0xFF + 1 = 0, and the carry
	bnz	not_all_ones
	incf	sum_h, w, A
not_all_ones
	return

; The complemented sum, high byte first, at FSR0.
store_complement
	comf	sum_h, w, A
	movwf	low POSTINC0, A
	comf	sum_l, w, A
	movwf	low INDF0, A
	return

;--- Tables -------------------------------------------------------------------

; W = the table entry at TBLPTR; TBLPTR moves on to the next entry. Each
; `retlw k` is the word 0x0Ckk, low byte first: read k, skip the opcode.
read_entry
	tblrd*+
	movff	TABLAT, scratch
	tblrd*+
	movf	scratch, w, A
	return

point_at_page
	movff	page_u, TBLPTRU
	movff	page_h, TBLPTRH
	movff	page_l, TBLPTRL
	return

; W = 1 with page_u:page_h:page_l set when a listed table carries `tag` in
; its entry 0, otherwise W = 0.
look_up
	movlw	upper page_directory
	movwf	dir_u, A
	movlw	high page_directory
	movwf	dir_h, A
	movlw	low page_directory
	movwf	dir_l, A
look_next
	movff	dir_u, TBLPTRU
	movff	dir_h, TBLPTRH
	movff	dir_l, TBLPTRL
	tblrd*+
	movff	TABLAT, page_l
	tblrd*+
	movff	TABLAT, page_h
	tblrd*+
	movff	TABLAT, page_u
	tblrd*+				; the padding byte
	movff	TBLPTRU, dir_u
	movff	TBLPTRH, dir_h
	movff	TBLPTRL, dir_l
	movf	page_l, w, A		; address 0 closes the directory
	iorwf	page_h, w, A
	iorwf	page_u, w, A
	bz	look_missing
	call	point_at_page
	call	read_entry
	xorwf	tag, w, A
	bnz	look_next
	retlw	1
look_missing
	retlw	0

; The built-in responses, in the tables' own form: tag (0, never looked
; up), length, a sum of 0 (never used: they are summed as sent), the bytes.
builtin_404
	retlw	0
	retlw	high ((b404_end - b404_start) / 2)
	retlw	low ((b404_end - b404_start) / 2)
	retlw	0
	retlw	0
b404_start
	dt	"HTTP/1.0 404 Not Found\r\n"
	dt	"Content-Type: text/plain\r\n"
	dt	"Content-Length: 10\r\n\r\n"
	dt	"Not found\n"
b404_end

builtin_501
	retlw	0
	retlw	high ((b501_end - b501_start) / 2)
	retlw	low ((b501_end - b501_start) / 2)
	retlw	0
	retlw	0
b501_start
	dt	"HTTP/1.0 501 Not Implemented\r\n"
	dt	"Content-Type: text/plain\r\n"
	dt	"Content-Length: 16\r\n\r\n"
	dt	"Not implemented\n"
b501_end

; The text of N in decimal, as table entries.
decimal		macro	n
	if (n) >= 10000
	dt	'0' + (n) / 10000
	endif
	if (n) >= 1000
	dt	'0' + ((n) / 1000) % 10
	endif
	if (n) >= 100
	dt	'0' + ((n) / 100) % 10
	endif
	if (n) >= 10
	dt	'0' + ((n) / 10) % 10
	endif
	dt	'0' + (n) % 10
	endm

; The absolute form's own host after its `h`, then its port after `:`.
own_host
	dt	"ttp://"
	decimal	MY_IP_0
	dt	"."
	decimal	MY_IP_1
	dt	"."
	decimal	MY_IP_2
	dt	"."
	decimal	MY_IP_3
	dt	0
own_port
	decimal	HTTP_PORT
	dt	0

	#include "enc28j60_driver.inc"

;------------------------------------------------------------------------------
; The directory and the tables, as pages.inc lists them.
;------------------------------------------------------------------------------
page_directory
	#include "pages.inc"

	if $ > 0x10000
	error "the program and its tables pass the end of program memory (0x10000)"
	endif

	end
