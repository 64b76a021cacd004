;==============================================================================
; table_check.asm - read an http2retlw table on a PIC16F877A and check it
;
; Build (gputils):
;     http2retlw index.htm > page_table.inc     (in this folder)
;     gpasm table_check.asm                     -> table_check.hex / .cod / .lst
; Run in gpsim:
;     gpsim -i -s table_check.cod
;     **gpsim> break e done
;     **gpsim> run
;     **gpsim> x                                 (registers below, bank 0)
;     **gpsim> quit
;
; The program walks the table once, the way firmware that serves the page
; would: it reads the five header entries, then streams every response byte,
; counting the bytes and summing them again. It then stops at `done` with
; these results in bank 0:
;
;     0x20  tag          file tag (entry 0)
;     0x21  len_h        response length, high byte (entry 1)
;     0x22  len_l        response length, low byte (entry 2)
;     0x23  tsum_h       sum carried by the table, high byte (entry 3)
;     0x24  tsum_l       sum carried by the table, low byte (entry 4)
;     0x25  sum_h        sum recomputed over the streamed bytes, high byte
;     0x26  sum_l        sum recomputed over the streamed bytes, low byte
;     0x27  count_h      bytes streamed, high byte
;     0x28  count_l      bytes streamed, low byte
;     0x29  last_byte    the last byte streamed (untouched if the length is 0)
;     0x2A  result       0x01 pass, 0xFF fail, 0x00 still running
;
; Pass means count == length and the recomputed sum == the table's sum.
;
; The sum is the one's-complement sum of the Internet checksum, not
; complemented: the response taken as big-endian 16-bit words (a byte at an
; even offset is a high byte, a lone last byte is the high byte of a word
; whose low byte is zero), every carry out of bit 15 added back into bit 0.
;
; Table entries are `retlw k` instructions read by computed goto: entry i sits
; at program address table + i. The table may start anywhere and run across
; 256-word and 2K-word page boundaries; it must end below 0x2000, so with this
; program in front of it a response of up to about 8,000 bytes fits.
;==============================================================================

	list	p=16f877a, r=dec
	#include <p16f877a.inc>

	__config _CP_OFF & _DEBUG_OFF & _WRT_OFF & _CPD_OFF & _LVP_OFF & _BODEN_OFF & _PWRTE_ON & _WDT_OFF & _HS_OSC

RESULT_RUNNING	equ	0x00
RESULT_PASS	equ	0x01
RESULT_FAIL	equ	0xFF

; Results, at fixed addresses so a debugger or simulator can read them.
tag		equ	0x20
len_h		equ	0x21
len_l		equ	0x22
tsum_h		equ	0x23
tsum_l		equ	0x24
sum_h		equ	0x25
sum_l		equ	0x26
count_h		equ	0x27
count_l		equ	0x28
last_byte	equ	0x29
result		equ	0x2A

; Working registers.
idx_h		equ	0x30	; index of the next entry to read
idx_l		equ	0x31
remain_h	equ	0x32	; response bytes still to stream
remain_l	equ	0x33
target_l	equ	0x34	; low byte of table + index
entry		equ	0x35	; the entry just read

	org	0x0000
	clrf	STATUS		; bank 0 for every register used here
	clrf	PCLATH		; code page 0
	goto	main
	; Interrupts are never enabled, so nothing is needed at 0x0004.

main
	clrf	result		; RESULT_RUNNING
	clrf	sum_h
	clrf	sum_l
	clrf	count_h
	clrf	count_l
	clrf	last_byte
	clrf	idx_h
	clrf	idx_l

	; Header: tag, length and sum, five entries in this order.
	call	read_next
	movwf	tag
	call	read_next
	movwf	len_h
	movwf	remain_h
	call	read_next
	movwf	len_l
	movwf	remain_l
	call	read_next
	movwf	tsum_h
	call	read_next
	movwf	tsum_l

stream_loop
	movf	remain_h, w
	iorwf	remain_l, w
	btfsc	STATUS, Z
	goto	verdict
	call	read_next
	movwf	last_byte
	; A firmware that serves the page would send W out here.

	; Bytes at even offsets are high bytes of their word.
	btfsc	count_l, 0
	goto	add_low_byte

	addwf	sum_h, f
	btfss	STATUS, C
	goto	counted
	; Carry out of bit 15 wraps around into bit 0. sum_h is at most 0xFE
	; after an overflow, so the increment below cannot carry again.
	incf	sum_l, f
	btfsc	STATUS, Z
	incf	sum_h, f
	goto	counted

add_low_byte
	addwf	sum_l, f
	btfss	STATUS, C
	goto	counted
	incf	sum_h, f
	; sum_h wrapped to zero: the carry left bit 15, so it wraps around too.
	; sum_l is at most 0xFE after its own overflow, so this cannot carry.
	btfsc	STATUS, Z
	incf	sum_l, f

counted
	incf	count_l, f
	btfsc	STATUS, Z
	incf	count_h, f
	movlw	1
	subwf	remain_l, f	; C clear means a borrow
	btfss	STATUS, C
	decf	remain_h, f
	goto	stream_loop

verdict
	movf	count_h, w
	xorwf	len_h, w
	btfss	STATUS, Z
	goto	failed
	movf	count_l, w
	xorwf	len_l, w
	btfss	STATUS, Z
	goto	failed
	movf	sum_h, w
	xorwf	tsum_h, w
	btfss	STATUS, Z
	goto	failed
	movf	sum_l, w
	xorwf	tsum_l, w
	btfss	STATUS, Z
	goto	failed
	movlw	RESULT_PASS
	movwf	result
	goto	done
failed
	movlw	RESULT_FAIL
	movwf	result
done
	goto	done

;------------------------------------------------------------------------------
; read_next: W = table entry idx_h:idx_l, then idx += 1.
; Call it with PCLATH on this code's page (as everywhere in this program); it
; returns with PCLATH back on this page.
;------------------------------------------------------------------------------
read_next
	call	table_jump	; the entry's retlw returns here with it in W
	movwf	entry
	; table_jump left PCLATH on the table's page. A later goto or call takes
	; PCLATH<4:3> as its page bits, so set it back in full first.
	movlw	high read_next
	movwf	PCLATH
	incf	idx_l, f
	btfsc	STATUS, Z
	incf	idx_h, f
	movf	entry, w
	return

; Jump to table + idx as a full 13-bit address. Writing PCL takes the upper
; five bits from PCLATH, so PCLATH must hold the high byte of the sum, carry
; included: a table that crosses a 256-word boundary (or a 2K page) would
; otherwise send the jump to the wrong block.
table_jump
	movlw	low table
	addwf	idx_l, w
	movwf	target_l
	movlw	high table	; movlw keeps the carry from the addwf
	btfsc	STATUS, C
	addlw	1
	addwf	idx_h, w
	movwf	PCLATH
	movf	target_l, w
	movwf	PCL

;------------------------------------------------------------------------------
; The table written by http2retlw: entry 0 tag, 1-2 length (high, low),
; 3-4 sum (high, low), then one entry per response byte.
;------------------------------------------------------------------------------
table
	#include "page_table.inc"
table_end

	end
