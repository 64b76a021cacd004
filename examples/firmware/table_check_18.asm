;==============================================================================
; table_check_18.asm - the same check as table_check.asm on a PIC18F452
;
; Build and run as table_check.asm (the table is page_table.inc as well):
;     gpasm table_check_18.asm
;     gpsim -i -s table_check_18.cod, then break e done / run / x / quit
;
; On the PIC18 each `retlw k` is one 16-bit word 0x0Ckk stored low byte
; first, so entry i is the byte at table + 2 * i, and TBLRD reads it from
; program memory without any computed goto. TBLPTR is 21 bits wide and
; counts on across every 256-byte and 64K boundary by itself.
;
; Results in the access bank, at the addresses table_check.asm uses:
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
; Special function registers are written with movff and the status flags
; read with conditional branches: gpasm 1.4 flags every access-bank SFR
; operand of a banked instruction with Message 302.
;==============================================================================

	list	p=18f452, r=dec
	#include <p18f452.inc>

	config	OSC = HS, WDT = OFF, LVP = OFF, PWRT = ON, BOR = OFF

RESULT_RUNNING	equ	0x00
RESULT_PASS	equ	0x01
RESULT_FAIL	equ	0xFF

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

remain_h	equ	0x32	; response bytes still to stream
remain_l	equ	0x33
entry		equ	0x35	; the entry just read
scratch		equ	0x36

	org	0x0000
	bra	main

main
	clrf	result, A		; RESULT_RUNNING
	clrf	sum_h, A
	clrf	sum_l, A
	clrf	count_h, A
	clrf	count_l, A
	clrf	last_byte, A
	movlw	upper table
	movwf	scratch, A
	movff	scratch, TBLPTRU
	movlw	high table
	movwf	scratch, A
	movff	scratch, TBLPTRH
	movlw	low table
	movwf	scratch, A
	movff	scratch, TBLPTRL

	rcall	read_next
	movwf	tag, A
	rcall	read_next
	movwf	len_h, A
	movwf	remain_h, A
	rcall	read_next
	movwf	len_l, A
	movwf	remain_l, A
	rcall	read_next
	movwf	tsum_h, A
	rcall	read_next
	movwf	tsum_l, A

stream_loop
	movf	remain_h, w
	iorwf	remain_l, w
	bz	verdict
	rcall	read_next
	movwf	last_byte, A

	; Bytes at even offsets are high bytes of their word.
	btfsc	count_l, 0
	bra	add_low_byte
	addwf	sum_h, f
	bnc	counted
	; Carry out of bit 15 wraps around into bit 0; sum_h is at most 0xFE
	; after the overflow, so it cannot carry again.
	incf	sum_l, f
	bnz	counted
	incf	sum_h, f
	bra	counted
add_low_byte
	addwf	sum_l, f
	bnc	counted
	incf	sum_h, f
	bnz	counted
	incf	sum_l, f	; sum_h wrapped: that carry wraps around as well

counted
	infsnz	count_l, f
	incf	count_h, f
	decf	remain_l, f	; C clear means a borrow
	bc	stream_loop
	decf	remain_h, f
	bra	stream_loop

verdict
	movf	count_h, w
	xorwf	len_h, w
	bnz	failed
	movf	count_l, w
	xorwf	len_l, w
	bnz	failed
	movf	sum_h, w
	xorwf	tsum_h, w
	bnz	failed
	movf	sum_l, w
	xorwf	tsum_l, w
	bnz	failed
	movlw	RESULT_PASS
	movwf	result, A
	bra	done
failed
	movlw	RESULT_FAIL
	movwf	result, A
done
	bra	done

; W = the next entry; TBLPTR moves on to the one after it.
read_next
	tblrd*+			; low byte of the retlw word: the entry
	movff	TABLAT, entry
	tblrd*+			; high byte: the opcode 0x0C, skipped
	movf	entry, w
	return

;------------------------------------------------------------------------------
; The table written by http2retlw: entry 0 tag, 1-2 length (high, low),
; 3-4 sum (high, low), then one entry per response byte.
;------------------------------------------------------------------------------
table
	#include "page_table.inc"
table_end

	end
