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

For the server (http_server_18.asm), REQUEST is KIND:METHOD TARGET, such as
"plain:GET /a"; KIND picks addresses, numbers and faults (REQUESTS below):

    table_facts.py script REQUEST COD SCRIPT   write the gpsim script that
                                               loads the packet, runs and
                                               dumps the RAM (to run by hand)
    table_facts.py serve REQUEST DIR WANT_RESULT WANT_LENGTH PAGE...
        run DIR/http_server_18.cod in gpsim with the packet loaded, check the
        result and the RAM, and have tshark judge the reply (written to
        DIR/reply.pcap); WANT_LENGTH, unless -, is what the page chosen
        must complete to
"""
import random
import re
import struct
import subprocess
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


# The server's interface (see the comment at the top of http_server_18.asm).
RESULT_ADDR, SERVED_TAG_ADDR, TX_LEN_ADDR, RX_LEN_ADDR = 0x20, 0x21, 0x22, 0x24
REGISTERS = range(0x20, 0x60)
RX_BUF, TX_BUF, BUF_SIZE = 0x100, 0x800, 1500
RAM_SIZE = 0xF80
RESULTS = {1: "sent", 2: "too long", 3: "no page", 4: "dropped"}

# Request kinds. Each is a set of changes to the plain request; the faults
# (last four) must leave the packet without a reply.
PLAIN = dict(src=(192, 168, 1, 10), dst=(192, 168, 1, 2), sport=49152,
             dport=80, seq=0x12345678, ack=0x9ABCDEF0, ip_options=b"",
             tcp_options=b"", data_offset=None, cut=0, sum_error=0)
REQUESTS = {
    "plain": {},
    # MSS, two NOPs and a timestamp: the payload starts 36 bytes in.
    "options": dict(tcp_options=bytes.fromhex("020405b401010a0a") +
                    bytes.fromhex("0102030400000000")),
    "ip-options": dict(ip_options=bytes.fromhex("01010100")),
    # The acknowledgement number carries through all four bytes and wraps.
    "wrap": dict(seq=0xFFFFFFF0, ack=0xFFFFFF00),
    # Words of 0xFFFE and 0xFEFF: the pseudo-header and TCP header sums
    # carry out of bit 15 at almost every word.
    "carry": dict(src=(254, 255, 255, 254), dst=(255, 254, 254, 255),
                  sport=0xFFFE, dport=0xFEFF, seq=0xFEFFFFFE, ack=0xFFFEFEFF),
    "beyond": dict(data_offset=15),
    "truncated": dict(cut=10),
    "bad-sum": dict(sum_error=1),
}


def request_packet(request):
    """(packet bytes, length given to the driver, fields) for REQUEST."""
    kind, line = request.split(":", 1)
    f = dict(PLAIN, **REQUESTS[kind])
    method, target = line.split(" ")
    payload = f"{method} {target} HTTP/1.0\r\nHost: pic\r\n\r\n".encode()
    tcp_len = 20 + len(f["tcp_options"])
    offset = f["data_offset"] or tcp_len // 4
    tcp = struct.pack(">HHIIBBHHH", f["sport"], f["dport"], f["seq"], f["ack"],
                      offset << 4, 0x18, 64240, 0, 0) + f["tcp_options"] + payload
    ihl = 5 + len(f["ip_options"]) // 4
    total = ihl * 4 + len(tcp)
    ip = struct.pack(">BBHHHBBH4B4B", 0x40 | ihl, 0, total, 0x1C46, 0x4000, 64,
                     6, 0, *f["src"], *f["dst"]) + f["ip_options"]
    ip = ip[:10] + struct.pack(">H", 0xFFFF ^ folded_sum(ip)) + ip[12:]
    pseudo = bytes(f["src"]) + bytes(f["dst"]) + struct.pack(">HH", 6, len(tcp))
    check = (0xFFFF ^ folded_sum(pseudo + tcp)) + f["sum_error"] & 0xFFFF
    tcp = tcp[:16] + struct.pack(">H", check) + tcp[18:]
    return ip + tcp, total - f["cut"], dict(f, payload=payload)


def parse_dumps(path):
    """The RAM dumps gpsim printed, in order, as lists of RAM_SIZE bytes."""
    dumps, ram = [], None
    with open(path, errors="replace") as f:
        for line in f:
            m = re.match(r"^(?:\*\*gpsim> )?([0-9a-fA-F]{3,4}):\s((?:\s*[0-9a-fA-F]{2}){16})", line)
            if not m:
                continue
            addr = int(m.group(1), 16)
            if addr == 0:
                ram = [None] * RAM_SIZE
                dumps.append(ram)
            if ram is not None and addr < RAM_SIZE:
                ram[addr:addr + 16] = [int(b, 16) for b in m.group(2).split()]
    return dumps


def write_script(request, cod, out):
    packet, given, _ = request_packet(request)
    lines = [f"load {cod}"]
    # A pattern in the whole transmit buffer and past the packet, so a stray
    # write of any value shows in the dump after the run.
    for i in range(BUF_SIZE):
        lines.append(f"reg(0x{TX_BUF + i:03X}) = 0x{(0xA5 + i) & 0xFF:02X}")
    # The whole packet goes in even when the driver reports fewer bytes
    # (the truncated row), as if left over from an earlier copy: only the
    # length given may then stop the server.
    for i in range(BUF_SIZE):
        byte = packet[i] if i < len(packet) else (0x5A + i) & 0xFF
        lines.append(f"reg(0x{RX_BUF + i:03X}) = 0x{byte:02X}")
    lines += [f"reg(0x{RX_LEN_ADDR:03X}) = 0x{given >> 8:02X}",
              f"reg(0x{RX_LEN_ADDR + 1:03X}) = 0x{given & 0xFF:02X}",
              "dump r", "break e done", "run", "dump r", "quit"]
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")


def serve(request, folder, want_result, want_length, pages):
    write_script(request, "http_server_18.cod", f"{folder}/run.stc")
    # gpsim's exit status says nothing; the breakpoint and the dumps do.
    with open(f"{folder}/gpsim.txt", "wb") as out:
        try:
            subprocess.run(["gpsim", "-i", "-c", "run.stc"], cwd=folder,
                           stdout=out, stderr=subprocess.STDOUT, timeout=30)
        except subprocess.TimeoutExpired:
            return [f"gpsim ran 30 s without stopping (see {folder}/gpsim.txt)"]
    with open(f"{folder}/gpsim.txt", errors="replace") as f:
        if "Hit a Breakpoint" not in f.read():
            return [f"gpsim never reached done (see {folder}/gpsim.txt)"]
    return judge(request, f"{folder}/gpsim.txt", want_result,
                 f"{folder}/reply.pcap", pages, want_length)


def tshark_fields(capture, port, fields):
    cmd = ["tshark", "-r", capture, "-o", "ip.check_checksum:TRUE",
           "-o", "tcp.check_checksum:TRUE", "-d", f"tcp.port=={port},http",
           "-T", "fields", "-E", "separator=|"]
    for name in fields:
        cmd += ["-e", name]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    return dict(zip(fields, out.rstrip("\n").split("|")))


def judge(request, gpsim_out, want_result, capture, pages, want_length):
    """Returns the reasons the run is wrong; prints what it checked."""
    packet, given, f = request_packet(request)
    dumps = parse_dumps(gpsim_out)
    if len(dumps) != 2 or None in dumps[0] or None in dumps[1]:
        return [f"want two whole RAM dumps in {gpsim_out}, got {len(dumps)}"]
    before, after = dumps
    result, tag = after[RESULT_ADDR], after[SERVED_TAG_ADDR]
    tx_len = after[TX_LEN_ADDR] << 8 | after[TX_LEN_ADDR + 1]
    bad = []
    if result != want_result:
        bad.append(f"result 0x{result:02X} ({RESULTS.get(result, '?')}), "
                   f"want 0x{want_result:02X} ({RESULTS[want_result]})")
    # The page the request asks for, worked out apart from the firmware.
    tags = {p.rsplit("/", 1)[-1].encode()[0]: p for p in reversed(pages)}
    want_tag = 0
    if want_result != 4:
        asked = ord("4")
        if f["payload"].startswith(b"GET /"):
            rest = f["payload"][5:6]
            asked = ord("i") if rest in (b"", b" ", b"?", b"\r", b"\n") else rest[0]
        want_tag = asked if asked in tags else ord("4") if ord("4") in tags else 0
    if tag != want_tag:
        bad.append(f"served tag 0x{tag:02X}, want 0x{want_tag:02X}")
    if want_length != "-":
        # The row is about a page of this length; make sure it still is.
        length = len(complete(open(tags.get(want_tag, pages[-1]), "rb").read()))
        if length != int(want_length):
            return [f"the page chosen completes to {length} bytes, want "
                    f"{want_length}: the row no longer tests what it says"]
    # Nothing outside the registers and the reply may change.
    sent = tx_len if result == 1 else 0
    for addr in range(RAM_SIZE):
        if addr in REGISTERS or TX_BUF <= addr < TX_BUF + sent:
            continue
        if before[addr] != after[addr]:
            bad.append(f"RAM 0x{addr:03X} changed from 0x{before[addr]:02X} "
                       f"to 0x{after[addr]:02X}")
            break
    if result != 1:
        if tx_len != 0:
            bad.append(f"no reply, yet a length of {tx_len}")
        return bad
    if bad:
        return bad
    reply = bytes(after[TX_BUF:TX_BUF + min(tx_len, BUF_SIZE)])
    with open(capture, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        out.write(struct.pack("<IIII", 1, 0, len(reply), len(reply)) + reply)
    response = complete(open(tags[want_tag], "rb").read())
    body = response[response.index(b"\r\n\r\n") + 4:]
    got = tshark_fields(capture, f["dport"], [
        "ip.checksum.status", "tcp.checksum.status", "ip.src", "ip.dst",
        "ip.ttl", "ip.len", "ip.hdr_len", "ip.proto", "tcp.srcport",
        "tcp.dstport", "tcp.seq_raw", "tcp.ack_raw", "tcp.hdr_len",
        "tcp.flags", "tcp.window_size_value", "http.response.code",
        "http.content_length", "tcp.payload"])
    ip = lambda a: ".".join(map(str, a))
    want = {
        "ip.checksum.status": "1", "tcp.checksum.status": "1",
        "ip.src": ip(f["dst"]), "ip.dst": ip(f["src"]), "ip.ttl": "64",
        "ip.len": str(40 + len(response)), "ip.hdr_len": "20", "ip.proto": "6",
        "tcp.srcport": str(f["dport"]), "tcp.dstport": str(f["sport"]),
        "tcp.seq_raw": str(f["ack"]),
        "tcp.ack_raw": str((f["seq"] + len(f["payload"])) % 2**32),
        "tcp.hdr_len": "20", "tcp.flags": "0x0019",
        "tcp.window_size_value": "1460",
        "http.response.code": response.split(b" ")[1].decode(),
        "http.content_length": str(len(body)),
        "tcp.payload": response.hex(),
    }
    for name, value in want.items():
        if got.get(name, "") != value:
            shown = got.get(name, "")
            if name == "tcp.payload":
                shown, value = f"{len(shown) // 2} bytes", f"{len(response)} bytes of {tags[want_tag]}"
            bad.append(f"tshark: {name} is '{shown}', want '{value}'")
    if tx_len != 40 + len(response):
        bad.append(f"length 0x{tx_len:04X}, want 40 + {len(response)}")
    if not bad:
        print(f"sent {len(response)} bytes of {tags[want_tag].rsplit('/', 1)[-1]}, "
              f"tshark: checksums Good, HTTP {want['http.response.code']}, "
              f"Content-Length {len(body)}")
    return bad


def main(argv):
    cmd = argv[1]
    if cmd == "script":
        write_script(argv[2], argv[3], argv[4])
        return 0
    if cmd == "serve":
        bad = serve(argv[2], argv[3], int(argv[4], 0), argv[5], argv[6:])
        for reason in bad:
            print(reason)
        return 1 if bad else 0
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
