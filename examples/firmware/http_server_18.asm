;==============================================================================
; http_server_18.asm - answer one HTTP GET on a PIC18F4620 with a page served
; from an http2retlw table, as one TCP segment
;
; Build (gputils), in this folder:
;     mkdir -p tables
;     cd pages && for p in *.htm; do http2retlw $p > ../tables/${p%.htm}.inc; done
;     cd .. && gpasm http_server_18.asm      -> http_server_18.hex / .cod / .lst
; Run in gpsim, from a script (gpsim -i -c SCRIPT) or at its prompt:
;     load http_server_18.cod
;     reg(0x100) = 0x45                      one line per packet byte, from
;     ...                                    RX_BUF on
;     reg(0x24) = 0x00                       the packet's length, high byte
;     reg(0x25) = 0x4C                       and low byte
;     break e done
;     run
;     dump r                                 result, reply and its length
; tests/firmware/table_facts.py writes such a script for a sample request:
;     table_facts.py script "plain:GET /about.htm" http_server_18.cod run.stc
;
; The tables: pages.inc (included at the end of this file) lists them.
; First the directory, one `page_table LABEL` line per table, closed by
; `end_of_pages`; then each table, included under its LABEL:
;
;     page_table   index_page
;     page_table   not_found_page
;     end_of_pages
; index_page
;     #include "tables/index.inc"
; not_found_page
;     #include "tables/404.inc"
;
; A page is found by the tag in entry 0 of its table; the first listed table
; with the tag wins. The tag is the first character of the page's file name,
; so index.htm is `i` and 404.htm is `4`.
;
; The received packet: a driver leaves one IPv4 packet (IPv4 header, TCP
; header, HTTP request) at RX_BUF and its length in bytes in rx_len_h:rx_len_l.
;
;     0x100-0x6DB  RX_BUF       the received packet, at most RX_SIZE (1,500) bytes
;     0x24, 0x25   rx_len_h/l   its length (written by the driver)
;
; The reply: the program builds it at TX_BUF, as an Ethernet controller's
; transmit buffer would take it, and stops at `done` with:
;
;     0x20         result       0x01 RESULT_SENT: TX_BUF holds the reply
;                               0x02 RESULT_TOO_LONG: the page chosen is
;                                    longer than MSS (1,460) bytes
;                               0x03 RESULT_NO_PAGE: no table carries the tag
;                                    asked for, nor the tag `4`
;                               0x04 RESULT_DROPPED: the packet is not a
;                                    well-formed TCP segment with data
;                               0x00 still running
;     0x21         served_tag   tag of the table chosen, 0 when none was found
;     0x22, 0x23   tx_len_h/l   the reply's length: 40 + the response's length
;                               when sent, otherwise 0
;     0x800-0xDDB  TX_BUF       the reply, at most 1,500 bytes
;
; `done` is reached for every packet, so result is never 0x00 there. Only
; RESULT_SENT writes to TX_BUF. The program writes nothing but its registers
; at 0x20-0x5F and TX_BUF, and reads nothing of RX_BUF past the length given
; or past the packet's IPv4 total length.
;
; Which page: the first character after `GET /` is the tag. A bare `/` (the
; payload ends there, or a space, `?`, CR or LF follows) asks for `i`. A tag
; no table carries, and a request that is not a `GET /`, get the page tagged
; `4` (status 200 or 404 is whatever that stored response says).
;
; The reply, 40 bytes of headers and the completed response:
;     IPv4: version 4, header length 20 (no options), type of service 0,
;           total length, identification 0, Don't Fragment, TTL 64,
;           protocol 6, header checksum, source and destination addresses
;           those of the request swapped.
;     TCP:  ports swapped, sequence number = the request's acknowledgement
;           number, acknowledgement number = the request's sequence number
;           plus its payload length (modulo 2^32), data offset 5 (no
;           options), flags ACK, PSH and FIN (the whole response is in this
;           segment), window WINDOW (1,460), checksum, urgent pointer 0.
;     The TCP checksum is the complement of the one's-complement sum of the
;     pseudo-header, the TCP header and the table's stored sum: the payload
;     is copied, never summed. It starts at offset 40, an even offset, so
;     the table's sum needs no byte swap.
;
; A packet is dropped (RESULT_DROPPED, no reply) unless: its length is 40 to
; RX_SIZE; version 4 and a header length of at least 20 bytes; its total
; length is at most the length given (bytes past it, such as an Ethernet
; controller's padding, are ignored) and leaves room for a 20-byte TCP
; header; protocol 6; not a fragment; a correct IPv4 header checksum; a TCP
; data offset of at least 5 that stays inside the segment; ACK set, SYN and
; RST clear; a correct TCP checksum; and a payload of at least one byte.
; IPv4 and TCP options are skipped, as the header lengths say. A FIN on the
; request is not acknowledged: the client sends it again, and this program
; answers one packet only.
;
; Special function registers are written with movff and the status flags
; read with conditional branches, as in table_check_18.asm.
;==============================================================================

	list	p=18f4620, r=dec
	#include <p18f4620.inc>

	config	OSC = HS, WDT = OFF, LVP = OFF, PWRT = ON, BOREN = OFF
	config	PBADEN = OFF, XINST = OFF

RESULT_RUNNING	equ	0x00
RESULT_SENT	equ	0x01
RESULT_TOO_LONG	equ	0x02
RESULT_NO_PAGE	equ	0x03
RESULT_DROPPED	equ	0x04

RX_BUF		equ	0x100
RX_SIZE		equ	1500
TX_BUF		equ	0x800
MSS		equ	1460	; 1,500-byte MTU less 20 + 20 header bytes
TTL		equ	64
WINDOW		equ	1460	; what RX_BUF takes after the headers
TCP_FLAGS	equ	0x19	; FIN, PSH, ACK
FLAG_CHECKS	equ	0x16	; ACK, RST, SYN: the request needs ACK alone
INDEX_TAG	equ	'i'
NOT_FOUND_TAG	equ	'4'

; Interface, at fixed addresses (see above).
result		equ	0x20
served_tag	equ	0x21
tx_len_h	equ	0x22
tx_len_l	equ	0x23
rx_len_h	equ	0x24
rx_len_l	equ	0x25

; Working registers.
ihl_bytes	equ	0x30	; request's IPv4 header length in bytes
do_bytes	equ	0x31	; request's TCP header length in bytes
total_h		equ	0x32	; request's IPv4 total length
total_l		equ	0x33
seg_h		equ	0x34	; TCP segment length: the request's, then the reply's
seg_l		equ	0x35
pay_h		equ	0x36	; request's payload length
pay_l		equ	0x37
tcp_h		equ	0x38	; address of the request's TCP header
tcp_l		equ	0x39
sum_h		equ	0x3A	; running one's-complement sum
sum_l		equ	0x3B
word_h		equ	0x3C	; word for add_word
word_l		equ	0x3D
count_h		equ	0x3E	; bytes left for sum_bytes and the copy
count_l		equ	0x3F
tag		equ	0x40	; tag asked for
dir_u		equ	0x41	; next directory entry
dir_h		equ	0x42
dir_l		equ	0x43
page_u		equ	0x44	; table found
page_h		equ	0x45
page_l		equ	0x46
len_h		equ	0x47	; its response length
len_l		equ	0x48
tsum_h		equ	0x49	; its stored sum
tsum_l		equ	0x4A
ip_len_h	equ	0x4B	; reply's total length
ip_len_l	equ	0x4C
ack_3		equ	0x4D	; reply's acknowledgement number, ack_3 first
ack_2		equ	0x4E
ack_1		equ	0x4F
ack_0		equ	0x50
scratch		equ	0x51

; Directory entries in pages.inc: the table's program address, low byte
; first, and a zero byte so each entry is two whole words.
page_table	macro	label
	db	low label, high label, upper label, 0
	endm

end_of_pages	macro
	db	0, 0, 0, 0
	endm

; Conditional branches reach 128 words only; these reach `dropped` anywhere.
drop_if_z	macro
	local	keep
	bnz	keep
	bra	dropped
keep
	endm

drop_if_nz	macro
	local	keep
	bz	keep
	bra	dropped
keep
	endm

drop_if_borrow	macro
	local	keep
	bc	keep
	bra	dropped
keep
	endm

; Drop the packet when REG_H:REG_L < K.
drop_if_below	macro	reg_h, reg_l, k
	movlw	low (k)
	subwf	reg_l, w, A
	movlw	high (k)
	subwfb	reg_h, w, A
	drop_if_borrow
	endm

; One byte K to FSR1, which moves on.
put		macro	k
	movlw	k
	movwf	scratch, A
	movff	scratch, POSTINC1
	endm

; W = the byte OFFSET bytes past FSR0 (OFFSET below 128).
read_at		macro	offset
	movlw	offset
	movff	PLUSW0, scratch
	movf	scratch, w, A
	endm

; FSR0 = the request's TCP header + W.
point_tcp_w	macro
	addwf	tcp_l, w, A
	movwf	scratch, A
	movff	scratch, FSR0L
	movlw	0
	addwfc	tcp_h, w, A
	movwf	scratch, A
	movff	scratch, FSR0H
	endm

; FSR0 = the request's TCP header + OFFSET.
point_tcp	macro	offset
	movlw	offset
	point_tcp_w
	endm

	org	0x0000
	bra	main

main
	clrf	result, A		; RESULT_RUNNING
	clrf	served_tag, A
	clrf	tx_len_h, A
	clrf	tx_len_l, A

;--- The IPv4 header --------------------------------------------------------
	drop_if_below	rx_len_h, rx_len_l, 40
	movf	rx_len_l, w, A		; RX_SIZE - rx_len must not borrow
	sublw	low RX_SIZE
	movlw	high RX_SIZE
	subfwb	rx_len_h, w, A
	drop_if_borrow

	lfsr	0, RX_BUF
	movff	INDF0, scratch
	movf	scratch, w, A
	andlw	0xF0
	xorlw	0x40
	drop_if_nz
	movff	INDF0, scratch
	movf	scratch, w, A
	andlw	0x0F
	movwf	ihl_bytes, A
	movlw	5
	subwf	ihl_bytes, w, A
	drop_if_borrow
	rlncf	ihl_bytes, f, A		; at most 15 words: no bit falls off
	rlncf	ihl_bytes, f, A

	read_at	2
	movwf	total_h, A
	read_at	3
	movwf	total_l, A
	movf	total_l, w, A		; rx_len - total must not borrow
	subwf	rx_len_l, w, A
	movf	total_h, w, A
	subwfb	rx_len_h, w, A
	drop_if_borrow
	movf	ihl_bytes, w, A		; the segment: what follows the header
	subwf	total_l, w, A
	movwf	seg_l, A
	movlw	0
	subwfb	total_h, w, A
	movwf	seg_h, A
	drop_if_borrow
	drop_if_below	seg_h, seg_l, 20

	read_at	9
	xorlw	6
	drop_if_nz
	read_at	6			; More Fragments and the fragment offset
	andlw	0x3F
	drop_if_nz
	read_at	7
	drop_if_nz

	clrf	sum_h, A
	clrf	sum_l, A
	clrf	count_h, A
	movff	ihl_bytes, count_l
	rcall	sum_bytes		; from RX_BUF, FSR0 still points there
	rcall	test_all_ones
	drop_if_nz

;--- The TCP header ---------------------------------------------------------
	movlw	low RX_BUF
	addwf	ihl_bytes, w, A
	movwf	tcp_l, A
	movlw	high RX_BUF
	movwf	tcp_h, A
	movlw	0
	addwfc	tcp_h, f, A

	point_tcp	0
	read_at	12			; data offset in words, in the high nibble
	andlw	0xF0
	movwf	do_bytes, A
	rrncf	do_bytes, f, A
	rrncf	do_bytes, f, A
	movlw	20
	subwf	do_bytes, w, A
	drop_if_borrow
	movf	do_bytes, w, A		; the payload: what follows the header
	subwf	seg_l, w, A
	movwf	pay_l, A
	movlw	0
	subwfb	seg_h, w, A
	movwf	pay_h, A
	drop_if_borrow

	read_at	13
	andlw	FLAG_CHECKS
	xorlw	0x10
	drop_if_nz
	movf	pay_l, w, A
	iorwf	pay_h, w, A
	drop_if_z

	; The request's checksum: pseudo-header, then the whole segment.
	lfsr	0, RX_BUF + 12		; source and destination addresses
	rcall	pseudo_header_sum
	point_tcp	0
	movff	seg_h, count_h
	movff	seg_l, count_l
	rcall	sum_bytes
	rcall	test_all_ones
	drop_if_nz

;--- The page asked for -----------------------------------------------------
	movlw	NOT_FOUND_TAG
	movwf	tag, A
	movlw	5			; "GET /" needs five bytes
	subwf	pay_l, w, A
	movlw	0
	subwfb	pay_h, w, A
	bnc	find_page
	movf	do_bytes, w, A		; past the TCP header and its options
	point_tcp_w
	movff	POSTINC0, scratch
	movf	scratch, w, A
	xorlw	'G'
	bnz	find_page
	movff	POSTINC0, scratch
	movf	scratch, w, A
	xorlw	'E'
	bnz	find_page
	movff	POSTINC0, scratch
	movf	scratch, w, A
	xorlw	'T'
	bnz	find_page
	movff	POSTINC0, scratch
	movf	scratch, w, A
	xorlw	' '
	bnz	find_page
	movff	POSTINC0, scratch
	movf	scratch, w, A
	xorlw	'/'
	bnz	find_page
	movlw	INDEX_TAG
	movwf	tag, A
	movf	pay_h, w, A		; a payload of exactly "GET /"
	bnz	tag_byte
	movf	pay_l, w, A
	xorlw	5
	bz	find_page
tag_byte
	movff	INDF0, scratch
	movf	scratch, w, A
	xorlw	' '
	bz	find_page
	movff	INDF0, scratch
	movf	scratch, w, A
	xorlw	'?'
	bz	find_page
	movff	INDF0, scratch
	movf	scratch, w, A
	xorlw	'\r'
	bz	find_page
	movff	INDF0, scratch
	movf	scratch, w, A
	xorlw	'\n'
	bz	find_page
	movff	INDF0, tag

find_page
	rcall	look_up
	xorlw	0
	bnz	page_found
	movf	tag, w, A
	xorlw	NOT_FOUND_TAG
	bz	no_page
	movlw	NOT_FOUND_TAG
	movwf	tag, A
	bra	find_page

no_page
	movlw	RESULT_NO_PAGE
	movwf	result, A
	bra	done

page_found
	movff	tag, served_tag
	rcall	point_at_page
	rcall	read_entry		; the tag, known already
	rcall	read_entry
	movwf	len_h, A
	rcall	read_entry
	movwf	len_l, A
	rcall	read_entry
	movwf	tsum_h, A
	rcall	read_entry
	movwf	tsum_l, A		; TBLPTR now at the first response byte
	movf	len_l, w, A		; MSS - len must not borrow
	sublw	low MSS
	movlw	high MSS
	subfwb	len_h, w, A
	bc	build_reply
	movlw	RESULT_TOO_LONG
	movwf	result, A
	bra	done

;--- The reply --------------------------------------------------------------
build_reply
	movlw	40
	addwf	len_l, w, A
	movwf	ip_len_l, A
	movlw	0
	addwfc	len_h, w, A
	movwf	ip_len_h, A

	lfsr	1, TX_BUF
	put	0x45			; version 4, five header words
	put	0			; type of service
	movff	ip_len_h, POSTINC1
	movff	ip_len_l, POSTINC1
	put	0			; identification
	put	0
	put	0x40			; Don't Fragment, offset 0
	put	0
	put	TTL
	put	6
	put	0			; header checksum, filled in below
	put	0
	lfsr	0, RX_BUF + 16		; source: the request's destination
	rcall	copy_4
	lfsr	0, RX_BUF + 12		; destination: the request's source
	rcall	copy_4

	point_tcp	2		; source port: the request's destination
	movff	POSTINC0, POSTINC1
	movff	POSTINC0, POSTINC1
	point_tcp	0
	movff	POSTINC0, POSTINC1
	movff	POSTINC0, POSTINC1
	point_tcp	8		; sequence: the request's acknowledgement
	rcall	copy_4
	point_tcp	4		; acknowledgement: its sequence + payload
	movff	POSTINC0, ack_3
	movff	POSTINC0, ack_2
	movff	POSTINC0, ack_1
	movff	POSTINC0, ack_0
	movf	pay_l, w, A
	addwf	ack_0, f, A
	movf	pay_h, w, A
	addwfc	ack_1, f, A
	movlw	0
	addwfc	ack_2, f, A
	addwfc	ack_3, f, A		; a carry out of bit 31 is dropped: mod 2^32
	movff	ack_3, POSTINC1
	movff	ack_2, POSTINC1
	movff	ack_1, POSTINC1
	movff	ack_0, POSTINC1
	put	0x50			; five header words, no options
	put	TCP_FLAGS
	put	high WINDOW
	put	low WINDOW
	put	0			; checksum, filled in below
	put	0
	put	0			; urgent pointer
	put	0

	movff	len_h, count_h		; the response, entry by entry
	movff	len_l, count_l
copy_loop
	movf	count_l, w, A
	iorwf	count_h, w, A
	bz	copied
	tblrd*+				; the entry, then skip the opcode
	movff	TABLAT, POSTINC1
	tblrd*+
	rcall	count_down
	bra	copy_loop
copied

	clrf	sum_h, A		; IPv4 header checksum
	clrf	sum_l, A
	lfsr	0, TX_BUF
	clrf	count_h, A
	movlw	20
	movwf	count_l, A
	rcall	sum_bytes
	lfsr	0, TX_BUF + 10
	rcall	store_complement

	; TCP checksum: the pseudo-header (addresses, protocol, TCP length),
	; the TCP header, and for the payload the sum stored in the table.
	movlw	20			; the reply's segment: header and page
	addwf	len_l, w, A
	movwf	seg_l, A
	movlw	0
	addwfc	len_h, w, A
	movwf	seg_h, A
	lfsr	0, TX_BUF + 12
	rcall	pseudo_header_sum
	lfsr	0, TX_BUF + 20
	clrf	count_h, A
	movlw	20
	movwf	count_l, A
	rcall	sum_bytes
	movff	tsum_h, word_h
	movff	tsum_l, word_l
	rcall	add_word
	lfsr	0, TX_BUF + 36
	rcall	store_complement

	movff	ip_len_h, tx_len_h
	movff	ip_len_l, tx_len_l
	movlw	RESULT_SENT
	movwf	result, A
	bra	done

dropped
	movlw	RESULT_DROPPED
	movwf	result, A
done
	bra	done

;--- Subroutines ------------------------------------------------------------

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
	rcall	count_down
	movf	count_l, w, A
	iorwf	count_h, w, A
	bz	sum_last
	movff	POSTINC0, word_l
	rcall	count_down
sum_last
	rcall	add_word
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
	rcall	sum_bytes
	clrf	word_h, A
	movlw	6
	movwf	word_l, A
	rcall	add_word
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
	movf	sum_h, w, A
	andwf	sum_l, w, A
	xorlw	0xFF
	return

; The complemented sum, high byte first, at FSR0.
store_complement
	comf	sum_h, w, A
	movwf	scratch, A
	movff	scratch, POSTINC0
	comf	sum_l, w, A
	movwf	scratch, A
	movff	scratch, INDF0
	return

; Four bytes from FSR0 to FSR1.
copy_4
	movff	POSTINC0, POSTINC1
	movff	POSTINC0, POSTINC1
	movff	POSTINC0, POSTINC1
	movff	POSTINC0, POSTINC1
	return

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
	rcall	point_at_page
	rcall	read_entry
	xorwf	tag, w, A
	bnz	look_next
	retlw	1
look_missing
	retlw	0

;------------------------------------------------------------------------------
; The directory and the tables, as pages.inc lists them.
;------------------------------------------------------------------------------
page_directory
	#include "pages.inc"
pages_end
; gpasm only warns about code past the end of program memory.
	if pages_end > 0x10000
	error "the program and its tables pass the end of program memory (64 KiB)"
	endif

	end
