#!/usr/bin/env python3
"""Inputs and expected values for the firmware test, worked out apart from
the converter: its own Content-Length fill-in and its own folded sum, and a
reader for the assembled Intel HEX file.

    table_facts.py make KIND OUT_FILE          write a test response
    table_facts.py expect INPUT [OFFSET]       print "LENGTH SUM TABLE_SUM"
    table_facts.py tamper TABLE OFFSET         change one data entry in place
    table_facts.py check-hex FAMILY HEX LST INPUT [OFFSET]
                                               check the table's words
                                               (FAMILY pic16 or pic18)

OFFSET names a response byte whose table entry the test changed (tamper adds
0x01 to it): TABLE_SUM stays the sum of the true response, SUM becomes the sum
of what the table then holds.
"""
import random
import re
import sys

HEADER = b"HTTP/1.0 200 OK\r\nContent-Length:     \r\n\r\n"
# `retlw k`: PIC16 11 0100 kkkk kkkk at word addresses (labels count words),
# PIC18 0000 1100 kkkk kkkk at byte addresses (labels count bytes).
RETLW = {"pic16": (0x3400, 1), "pic18": (0x0C00, 2)}


def make_body(kind):
    """KIND is name:count; each name aims at a different fault."""
    name, count = kind.split(":")
    n = int(count)
    if name == "text":
        return bytes(b"abcdefghijklmnopqrstuvwxyz"[i % 26] for i in range(n))
    if name == "ff":  # every word 0xFFFF: a carry out of bit 15 each time
        return b"\xff" * n
    if name == "controls":  # bytes a text stream or a C string would mangle
        pattern = b"\x00\x0a\x0d\x0d\x0a\x80\xff\x00\x01"
        return bytes(pattern[i % len(pattern)] for i in range(n))
    if name == "random":
        rng = random.Random(20240501)
        return bytes(rng.randrange(256) for _ in range(n))
    raise SystemExit(f"unknown body kind {kind}")


def complete(raw):
    """The response with its blank Content-Length filled in."""
    entry = raw.index(b"Content-Length:") + len(b"Content-Length:")
    body = raw[raw.index(b"\r\n\r\n") + 4:]
    line_end = raw.index(b"\r\n", entry)
    return raw[:entry] + b" %d" % len(body) + raw[line_end:]


def folded_sum(data):
    acc = 0
    for i, b in enumerate(data):
        acc += b << 8 if i % 2 == 0 else b
    while acc > 0xFFFF:
        acc = (acc >> 16) + (acc & 0xFFFF)
    return acc


def tampered(data, offset):
    if offset is None:
        return data
    out = bytearray(data)
    out[offset] = (out[offset] + 1) & 0xFF
    return bytes(out)


def table_entries(tag, data, table_sum):
    n = len(data)
    return [tag, n >> 8, n & 0xFF, table_sum >> 8, table_sum & 0xFF] + list(data)


def read_hex(path):
    """Program memory as {byte address: byte}."""
    mem, base = {}, 0
    with open(path) as f:
        for line in f:
            rec = bytes.fromhex(line.strip()[1:])
            if sum(rec) & 0xFF:
                raise SystemExit(f"{path}: bad checksum in {line.strip()}")
            count, addr, kind = rec[0], rec[1] << 8 | rec[2], rec[3]
            payload = rec[4:4 + count]
            if kind == 0:
                for i, b in enumerate(payload):
                    mem[base + addr + i] = b
            elif kind == 4:
                base = (payload[0] << 8 | payload[1]) << 16
            elif kind == 1:
                break
    return mem


def symbol(lst, name):
    with open(lst) as f:
        for line in f:
            m = re.match(rf"^{name}\s+([0-9A-Fa-f]+)\s*$", line)
            if m:
                return int(m.group(1), 16)
    raise SystemExit(f"{lst}: no symbol {name}")


def main(argv):
    cmd = argv[1]
    if cmd == "make":
        with open(argv[3], "wb") as f:
            f.write(HEADER + make_body(argv[2]))
        return 0
    path = argv[5] if cmd == "check-hex" else argv[2]
    offset_arg = argv[6:7] if cmd == "check-hex" else argv[3:4]
    offset = int(offset_arg[0]) if offset_arg else None
    if cmd == "tamper":
        # Line 0 is empty, 1 the tag, 2-5 length and sum, so data byte OFFSET
        # stands on line OFFSET + 6 (counting from 0).
        with open(argv[2], "rb") as f:
            lines = f.read().split(b"\n")
        line = lines[offset + 6]
        value = (int(line.split(b"0x")[1], 16) + 1) & 0xFF
        lines[offset + 6] = b"\tretlw\t0x%02X" % value
        with open(argv[2], "wb") as f:
            f.write(b"\n".join(lines))
        return 0
    with open(path, "rb") as f:
        data = complete(f.read())
    if cmd == "expect":
        print(len(data), folded_sum(tampered(data, offset)), folded_sum(data))
        return 0
    if cmd == "check-hex":
        opcode, step = RETLW[argv[2]]
        mem = read_hex(argv[3])
        start, end = symbol(argv[4], "table"), symbol(argv[4], "table_end")
        tag = path.rsplit("/", 1)[-1].encode()[0]
        want = table_entries(tag, tampered(data, offset), folded_sum(data))
        if end - start != step * len(want):
            print(f"table spans {end - start} addresses, want {step * len(want)}")
            return 1
        for i, k in enumerate(want):
            # Words are stored low byte first, at byte address 2 * word
            # address on the PIC16.
            addr = start + step * i
            byte = addr * 2 // step
            lo, hi = mem.get(byte), mem.get(byte + 1)
            got = None if lo is None or hi is None else hi << 8 | lo
            if got != opcode | k:
                got_text = "nothing" if got is None else f"0x{got:04X}"
                print(f"address 0x{addr:04X} (entry {i}) holds {got_text}, "
                      f"want 0x{opcode | k:04X}")
                return 1
        print(f"table 0x{start:04X}-0x{end - 1:04X}: {len(want)} retlw words")
        return 0
    raise SystemExit(f"unknown command {cmd}")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
