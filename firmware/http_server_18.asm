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
;
; Clock: 40 MHz (a 10 MHz crystal, HSPLL), one instruction cycle 100 ns.
; Every time below is in ms at that clock; the time base is Timer0, 16 bits,
; no prescaler, reloaded to overflow after TICK_CYCLES (10,000) cycles: one
; tick is 1 ms. A tick that comes while a frame is being handled is taken
; when the frame is done; ticks missed by more than one Timer0 overflow
; (6.5 ms) are lost, so timers run late, never early.
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
;     0x80-0x92    ETH_VARS    the driver's own
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
;     0x50-0x7F  CUR        the connection being worked on, a copy of its slot
;     0xE00-     SLOTS      NSLOTS slots of SLOT_SIZE (48) bytes, one per
;                           connection; 0xE00-0xEBF with 4 slots
;
;------------------------------------------------------------------------------
; Constants (one place, below): MY_MAC_0..5 02:50:49:43:00:02 (locally
; administered), MY_IP_0..3 192.0.2.2 (TEST-NET-1), MY_BCAST_0..3
; 192.0.2.255 (its subnet's broadcast), HTTP_PORT 80, MSS_OUT 1460 (the MSS
; option sent), MSS_DEFAULT 536 (a client without an MSS option), MSS_MIN 64
; (a smaller client MSS counts as 64), WINDOW 1460 (the window advertised),
; TTL 64, NSLOTS 4, RTO_MS 1000, IDLE_MS 10000, WAIT_MS 2000,
; ISN_PER_TICK 250, ISN_PER_CONN 64000.
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
;     SYN-ACK with an MSS option of MSS_OUT. With every slot busy it is
;     dropped: the client's own SYN retransmission tries again.
;   - a segment of a connection: see below.
;
; Connections (RFC 9293, as far as a server that only sends pages needs it)
;   Slot states: 0 free, 1 SYN-ACK sent, 2 established (waiting for the
;   request), 3 responding (the response chosen: sending it, then waiting
;   for the client's FIN), 4 closed (both FINs done, for WAIT_MS).
;   - Initial sequence number: a 32-bit counter (isn_3..isn_0) that starts
;     at 0, goes up by ISN_PER_TICK (250) each tick and by ISN_PER_CONN
;     (64,000) each time a connection takes it, so no two connections in a
;     row start alike. It is not meant to be unguessable.
;   - The client's MSS option is honoured (MSS_DEFAULT when it sends none;
;     at most MSS_OUT, at least MSS_MIN), and so is its window (no window
;     scaling is offered, so it is the plain 16-bit field): no byte goes past
;     the last acknowledgement number plus the last window. A FIN is sent
;     with the last byte, or alone, even when the window is full.
;   - The request is read from the first segment with data, which may be the
;     handshake's ACK or come after it; later data is acknowledged and
;     ignored. A segment whose sequence number is not the next one expected,
;     or whose acknowledgement number acknowledges nothing yet sent, gets an
;     ACK and is otherwise ignored; an RST is accepted only with the exact
;     sequence number expected (and frees the slot); a SYN for an
;     established connection gets an ACK; a SYN again for a connection in
;     state 1 gets the SYN-ACK again. Segments without ACK are dropped,
;     and in state 1 one whose acknowledgement number is not ISS + 1 gets an
;     RST (sequence number = its acknowledgement number).
;   - The response goes out in segments of at most the client's MSS, each
;     with ACK and PSH; the last one carries FIN. The client's FIN is
;     acknowledged. A client FIN before any request gets a FIN back.
;   - Retransmission: RTO_MS (1,000 ms) after the last new acknowledgement
;     or the first segment sent, when something sent is still not
;     acknowledged, sending starts again at the first unacknowledged byte,
;     each segment rebuilt from the table (state 1: the SYN-ACK again). No
;     backoff. With nothing unacknowledged but the window closed (0) on a
;     response not yet all sent, the same timer sends a window probe: an
;     ACK without data whose sequence number is one below the next, which
;     the client answers with an ACK carrying its window.
;   - When the client's FIN is received and our FIN acknowledged, the slot
;     stays closed (state 4) for WAIT_MS (2,000 ms) after the last segment
;     from the client, a short TIME-WAIT: a FIN the client sends again, its
;     ACK of ours not having come in time, gets an ACK, not an RST. A SYN
;     that finds no free slot takes a closed one. A slot is freed after
;     that wait, on an RST, or after IDLE_MS (10,000 ms) without a segment
;     from the client: then an RST with ACK (sequence number the next one)
;     goes to the client.
;
; Requests: the first data segment must hold the method and, after it, the
;   target's first characters. `GET ` or `HEAD ` (upper case, one space)
;   followed by `/`: the character after `/` is the tag asked for; a bare
;   `/` (the segment ends after it, or a space, `?`, CR or LF follows) asks
;   for `i`. So `/?x` asks for `i`, `/X?x` for `X`. A tag no table carries,
;   or a target not starting with `/`, gets the table tagged `4`; without
;   one, the built-in 404 response below. GET gets the whole stored
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
ISN_PER_TICK	equ	250
ISN_PER_CONN	equ	64000
TICK_CYCLES	equ	10000	; 1 ms at 40 MHz
INDEX_TAG	equ	'i'
NOT_FOUND_TAG	equ	'4'

RX_BUF		equ	0x100
TX_BUF		equ	0x800
FRAME_MAX	equ	1514
SLOTS		equ	0xE00
SLOT_SIZE	equ	48
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
	lfsr	0, 0x000		; access RAM, interface included
clear_access
	clrf	low POSTINC0, A
	movf	low FSR0L, w, A
	xorlw	0x80
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
	movlw	0x08			; Timer0: 16 bits, instruction clock, no prescaler
	movwf	low T0CON, A
	call	reload_timer
	movlw	0x88			; and on
	movwf	low T0CON, A

main_loop
	btfss	low INTCON, TMR0IF, A
	bra	main_poll
	call	reload_timer
	call	eth_tick
	call	tick
main_poll
	call	eth_receive		; a frame waiting: RX_BUF, rx_len
	bz	main_loop
	call	handle_frame
	bra	main_loop

; Timer0 overflows TICK_CYCLES cycles after the last overflow: the count
; since the overflow (the main loop sees it only after its poll of the
; driver) is kept, plus the 8 cycles from the read to the write and the 2
; the write holds the timer. A tick seen a whole tick late starts afresh.
reload_timer
	movf	low TMR0L, w, A		; TMR0H is latched with it
	addlw	low (65536 - TICK_CYCLES + 10)
	movwf	scratch, A
	movlw	high (65536 - TICK_CYCLES + 10)
	addwfc	low TMR0H, w, A
	bc	reload_fresh
	movwf	low TMR0H, A		; taken with the low byte's write
	movf	scratch, w, A
	movwf	low TMR0L, A
	bcf	low INTCON, TMR0IF, A
	return
reload_fresh
	movlw	high (65536 - TICK_CYCLES)
	movwf	low TMR0H, A
	movlw	low (65536 - TICK_CYCLES)
	movwf	low TMR0L, A
	bcf	low INTCON, TMR0IF, A
	return

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
	set16	c_rto_h, c_rto_l, RTO_MS
	movf	c_state, w, A
	xorlw	ST_SYN
	jz	send_synack		; its return is ours
	movf	c_una_l, w, A		; anything unacknowledged: send again
	xorwf	c_nxt_l, w, A
	bnz	tick_resend
	movf	c_una_h, w, A
	xorwf	c_nxt_h, w, A
	bnz	tick_resend
	call	conn_seq_nxt		; the window is shut: probe it
	movlw	1			; sequence number one below the next
	subwf	seq_0, f, A
	movlw	0
	subwfb	seq_1, f, A
	subwfb	seq_2, f, A
	subwfb	seq_3, f, A
	copy32	ack_3, c_rcv
	movlw	F_ACK
	movwf	oflags, A
	goto	send_bare
tick_resend
	movff	c_nxt_h, c_rec_h	; recovering until all sent so far is acknowledged
	movff	c_nxt_l, c_rec_l
	bsf	c_flags, CF_RECOVER, A
	goto	resend_one
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
	movlw	SLOT_SIZE
	movwf	tmp, A
load_byte
	movff	POSTINC2, POSTINC0
	decfsz	tmp, f, A
	bra	load_byte
	return

store_slot
	call	point_slot
	lfsr	0, CUR
	movlw	SLOT_SIZE
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

; W = 1 with `slot` set to a free slot, otherwise W = 0.
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
	movlw	SLOT_SIZE
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
	copy32	c_iss, isn_3
	movlw	low ISN_PER_CONN
	addwf	isn_0, f, A
	movlw	high ISN_PER_CONN
	addwfc	isn_1, f, A
	movlw	0
	addwfc	isn_2, f, A
	addwfc	isn_3, f, A
	call	take_syn
	call	send_synack
	goto	store_slot		; its return is ours

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
	return

;--- A segment of a connection ------------------------------------------------
conn_segment
	call	load_slot
	call	conn_work
	goto	store_slot		; its return is ours

conn_work
	clrf	must_ack, A
	set16	c_idle_h, c_idle_l, IDLE_MS
	movf	c_state, w, A
	xorlw	ST_WAIT
	bnz	conn_timed
	set16	c_idle_h, c_idle_l, WAIT_MS	; closed: the wait starts again
conn_timed
	btfss	tflags, 2, A		; F_RST
	bra	conn_syn
	lfsr	0, sseq_3		; only the exact sequence number expected
	lfsr	1, c_rcv
	call	equal32
	bnz	conn_ignore
	clrf	c_state, A
conn_ignore
	return

conn_syn
	btfss	tflags, 1, A		; F_SYN
	bra	conn_ack
	movf	c_state, w, A
	xorlw	ST_SYN
	jnz	send_ack		; established: an ACK
	call	take_syn		; the SYN again: the SYN-ACK again
	bra	send_synack

conn_ack
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
conn_acked
	movf	sack_3, w, A
	iorwf	sack_2, w, A
	bz	conn_ack16
	btfsc	sack_3, 7, A		; before ISS + 1: an old one, no news
	bra	conn_data
	bra	send_ack		; far ahead: acknowledges what was never sent
conn_ack16
	movf	sack_0, w, A		; nxt - ack must not borrow
	subwf	c_nxt_l, w, A
	movf	sack_1, w, A
	subwfb	c_nxt_h, w, A
	jnc	send_ack
	movf	c_una_l, w, A		; ack - una borrows: an old one
	subwf	sack_0, w, A
	movf	c_una_h, w, A
	subwfb	sack_1, w, A
	bnc	conn_data
	movf	c_una_l, w, A
	xorwf	sack_0, w, A
	bnz	conn_new_ack
	movf	c_una_h, w, A
	xorwf	sack_1, w, A
	bz	conn_window
conn_new_ack
	movff	sack_1, c_una_h
	movff	sack_0, c_una_l
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

; edge = ack + window, at most 0xFFFF.
take_window
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
; tagged `4`, or the built-in 404 response.
req_target
	clrf	tag, A			; no tag: the 404 page
	call	req_byte
	bnc	target_look
	xorlw	'/'
	bnz	target_look
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
	bnc	data_end
	movwf	count_h, A		; keep `left` to tell the last segment
	movff	n_l, count_l
	iorwf	n_l, w, A
	bz	data_fin_only
	movf	c_nxt_l, w, A		; room = edge - nxt, must be above 0
	subwf	c_edge_l, w, A
	movwf	word_l, A
	movf	c_nxt_h, w, A
	subwfb	c_edge_h, w, A
	movwf	word_h, A
	bnc	data_end
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
