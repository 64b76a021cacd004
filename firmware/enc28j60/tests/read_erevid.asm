; Reads EREVID over the MSSP (SCK RC3, SDO RC5, SDI RC4, CS RD0) once
; ESTAT.CLKRDY is set, and stops at `done` with it in `revision`.
        list    p=18f4620
        include <p18f4620.inc>
        errorlevel -302, -1301
        config  OSC=HS, WDT=OFF, LVP=OFF, PBADEN=OFF

revision equ 0x20

        org     0
        bsf     LATD, 0
        bcf     TRISD, 0
        bcf     TRISC, 3
        bcf     TRISC, 5
        bsf     TRISC, 4
        movlw   0x40            ; CKE=1: mode 0,0
        movwf   SSPSTAT
        movlw   0x20            ; enabled, Fosc/4
        movwf   SSPCON1
wait_clock:
        movlw   0x1D            ; RCR ESTAT
        rcall   command
        andlw   0x01            ; CLKRDY
        bz      wait_clock
        bcf     LATD, 0
        movlw   0x9F            ; BFS ECON1: bank 3
        rcall   spi
        movlw   0x03
        rcall   spi
        bsf     LATD, 0
        movlw   0x12            ; RCR EREVID
        rcall   command
        movwf   revision
done:
        bra     done

; one register read: opcode in W, the register's value back in W
command:
        bcf     LATD, 0
        rcall   spi
        movlw   0
        rcall   spi
        bsf     LATD, 0
        return
spi:
        movwf   SSPBUF
spi_wait:
        btfss   SSPSTAT, BF
        bra     spi_wait
        movf    SSPBUF, W
        return
        end
