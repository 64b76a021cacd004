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

For the page server (http_server_18.asm), run through the bridge users run:

    table_facts.py frames ROW FOLDER BRIDGE SERVER PAGE...
        play FRAME_ROWS[ROW] against SERVER/http_server_18.cod, writing to
        FOLDER; PAGE... are the stored responses its tables were made from.
        ROW fuzz is the frame fuzzer (see Fuzzer): FUZZ_SEED=N plays
        another run (FUZZ_KEY=A:B, read by run_firmware_tests.sh, builds
        the server with the key of the run to play again), FUZZ_FRAMES=N
        hands in at most N frames
    table_facts.py capture PCAP clean|any      tshark's verdicts on a capture
    table_facts.py make-body KIND OUT_FILE     a page's bytes (KIND as make)
    table_facts.py complete PAGE OUT_FILE      PAGE with its Content-Length
    table_facts.py flash-end HEX               where program memory ends
    table_facts.py colours SCREENSHOT SITE     pixels of the colour SITE's
                                               style.css sets, and of its
                                               logo.png's
"""
import json
import os
import random
import re
import struct
import subprocess
import sys
import time
import zlib

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
    """The response with its Content-Length filled in: a blank one, or one
    a table carries (rewritten, so a wrong length shows as a difference)."""
    entry = raw.index(b"Content-Length:") + len(b"Content-Length:")
    body = raw[raw.index(b"\r\n\r\n") + 4:]
    line_end = raw.index(b"\r\n", entry)
    return raw[:entry] + b" %d" % len(body) + raw[line_end:]


def table_response(inc):
    """The completed response a PIC18 table holds: its retlw bytes after
    the tag, once its length and sum agree with them."""
    values = []
    for line in inc.decode("latin-1").splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] == "retlw" and parts[1].startswith("0x"):
            values.append(int(parts[1], 16))
    length, table_sum = values[0] << 8 | values[1], values[2] << 8 | values[3]
    data, rest = values[4:4 + length], values[4 + length:]
    if length != len(data) or table_sum != folded_sum(data):
        raise SystemExit(f"table of {len(data)} bytes gives length {length}, sum 0x{table_sum:04X}")
    places = [(rest[i] << 8 | rest[i + 1], rest[i + 2]) for i in range(1, len(rest) - 2, 3)]
    if rest and (len(rest) != 1 + 3 * rest[0] or any(
            n > 14 or bytes(data[o:o + len(filler(n))]) != filler(n) for o, n in places)):
        raise SystemExit(f"the value list after the table, {rest}, is not one of its fillers")
    return bytes(data)


def filler(number):
    """What the table holds for value NUMBER (firmware/values.inc): the
    value 0 in its width, right-aligned."""
    return {4: b"0", 5: b"0" * 8, 6: b"%15s" % b"0.0.0.0"}.get(
        number, b"%10d" % 0 if number <= 3 else b"%5d" % 0)


def value_places(inc):
    """The value list after a table: [(offset, number)], empty for a page
    without values."""
    values = [int(p[1], 16) for p in (line.split() for line in inc.decode("latin-1").splitlines())
              if len(p) == 2 and p[0] == "retlw" and p[1].startswith("0x")]
    rest = values[4 + (values[0] << 8 | values[1]):]
    return [(rest[i] << 8 | rest[i + 1], rest[i + 2]) for i in range(1, len(rest) - 2, 3)]


def value_text(number, snap, ip):
    """Value NUMBER as the server writes it from the snapshot SNAP (the 34
    bytes from LIVE_VALUES on, as values.inc lays them out), worked out
    here with Python's own formatting."""
    le = lambda b: int.from_bytes(b, "little")  # noqa: E731
    if number <= 3:
        return b"%10d" % le(snap[16 + 4 * number:20 + 4 * number])
    if number == 4:
        return b"%d" % snap[32]
    if number == 5:
        return format(snap[33], "08b").encode()
    if number == 6:
        return b"%15s" % ".".join(map(str, ip)).encode()
    return b"%5d" % le(snap[2 * (number - 7):2 * (number - 7) + 2])


def live_page(pages, tag):
    """The completed response of the page tagged TAG, with its fillers, and
    its value list, read from the table beside the site's pages/."""
    page = next(p for p in pages if os.path.basename(p)[0] == tag)
    inc = os.path.join(os.path.dirname(os.path.dirname(page)), "tables",
                       os.path.basename(page) + ".inc")
    return complete(open(page, "rb").read()), value_places(open(inc, "rb").read())


def snapshot(peer, sport):
    """The snapshot of the slot whose client port is SPORT, read from the
    program's RAM (the bridge's `ram`)."""
    c = peer.c
    slots = peer.ram(c["SLOTS"], c["NSLOTS"] * c["SLOT_SIZE"])
    slot = next((i for i in range(c["NSLOTS"])
                 if slots[i * c["SLOT_SIZE"] + 12:i * c["SLOT_SIZE"] + 14] == struct.pack(">H", sport)),
                None)
    expect(slot is not None, f"no slot of port {sport}")
    return peer.ram(c["SNAPS"] + slot * c["SNAP_SIZE"], c["SNAP_SIZE"])


def with_values(peer, got, want, places, snap):
    """GOT is WANT with each placeholder's filler replaced by its value from
    SNAP: the same length, every other byte the table's."""
    expect(len(got) == len(want), f"{len(got)} bytes back, want {len(want)}")
    filled = bytearray(want)
    for offset, number in places:
        text = value_text(number, snap, peer.c["ip"])
        filled[offset:offset + len(text)] = text
    bad = [i for i in range(len(got)) if got[i] != filled[i]]
    expect(not bad, f"byte {bad[:1]} is {got[bad[0]:bad[0] + 16] if bad else b''}, want "
           f"{bytes(filled[bad[0]:bad[0] + 16]) if bad else b''}")


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
    found = symbols(lst)
    if name not in found:
        raise SystemExit(f"{lst}: no symbol {name}")
    return found[name]


SYMBOLS = {}


def symbols(lst):
    """The .lst's symbol table, read once: {name: value}."""
    if lst not in SYMBOLS:
        with open(lst, errors="replace") as f:
            SYMBOLS[lst] = {m.group(1): int(m.group(2), 16) for m in re.finditer(
                r"^(\w+)\s+([0-9A-Fa-f]{8})\s*$", f.read(), re.M)}
    return SYMBOLS[lst]


# The page server (http_server_18.asm) on frames, through the bridge users
# run (firmware/pic_bridge.py --frames - --replies - --guard): each
# conversation below plays a client, frame by frame, and checks every frame
# the program sends. The bridge's guard fails the row on a stray write or a
# read past the frame; tshark judges every frame of the row's capture.
PEER_MAC = bytes.fromhex("02aabbccdd01")
PEER_IP = (192, 0, 2, 1)


def server_constants(lst):
    c = {name: symbol(lst, name) for name in (
        "HTTP_PORT", "MSS_OUT", "MSS_DEFAULT", "WINDOW", "RTO_MS", "NSLOTS", "WAIT_MS",
        "COOKIE_MS", "REQ_MS", "STALL_MS", "IW_SEGS", "SLOTS", "SLOT_SIZE", "SNAPS",
        "SNAP_SIZE", "LIVE_VALUES", "lv_uptime", "KEY_A", "KEY_B")}
    c["mac"] = bytes(symbol(lst, f"MY_MAC_{i}") for i in range(6))
    c["ip"] = tuple(symbol(lst, f"MY_IP_{i}") for i in range(4))
    c["bcast"] = tuple(symbol(lst, f"MY_BCAST_{i}") for i in range(4))
    return c


def checksum(data):
    return 0xFFFF ^ folded_sum(data)


def frame(c, **f):
    """An Ethernet frame from the peer to the server: a TCP segment unless
    `icmp` or `arp` is given; every field can be changed, and both sums
    are worked out over what the headers declare unless told to be wrong."""
    g = dict(dst_mac=c["mac"], src_mac=PEER_MAC, ethertype=0x0800,
             src=PEER_IP, dst=c["ip"], version=4, ihl=None, ip_options=b"",
             frag=0x4000, ttl=64, proto=6, total=None, ip_sum_error=0,
             sport=40000, dport=c["HTTP_PORT"], seq=1000, ack=0, flags="S",
             window=64240, tcp_options=b"", offset=None, payload=b"",
             tcp_sum_error=0, pad=b"", icmp=None, arp=None, cut=None)
    g.update(f)
    eth = g["dst_mac"] + g["src_mac"] + struct.pack(">H", g["ethertype"])
    if g["arp"] is not None:
        return (eth + g["arp"] + g["pad"])[:g["cut"]]
    if g["icmp"] is not None:
        body = g["icmp"]
    else:
        bits = sum(v for k, v in zip("FSRPAU", (1, 2, 4, 8, 16, 32)) if k in g["flags"])
        words = g["offset"] or 5 + len(g["tcp_options"]) // 4
        body = struct.pack(">HHIIBBHHH", g["sport"], g["dport"], g["seq"] % 2**32,
                           g["ack"] % 2**32, words << 4, bits, g["window"], 0, 0)
        body += g["tcp_options"] + g["payload"]
        pseudo = bytes(g["src"]) + bytes(g["dst"]) + struct.pack(">HH", 6, len(body))
        sum_ = checksum(pseudo + body) ^ g["tcp_sum_error"]
        body = body[:16] + struct.pack(">H", sum_) + body[18:]
    ihl = g["ihl"] or 5 + len(g["ip_options"]) // 4
    # A header length below 5 words ends the header early: what follows
    # starts where the destination address stands, so such a row gives
    # ports that spell that address.
    header = 20 + len(g["ip_options"])
    header = ihl * 4 if ihl < 5 else header
    total = g["total"] or header + len(body)
    ip = struct.pack(">BBHHHBBH4B4B", g["version"] << 4 | ihl, 0, total, 0x1C46,
                     g["frag"], g["ttl"], g["proto"], 0, *g["src"], *g["dst"])
    ip = (ip + g["ip_options"])[:header]
    sum_ = checksum(ip[:ihl * 4]) ^ g["ip_sum_error"]
    ip = ip[:10] + struct.pack(">H", sum_) + ip[12:]
    return (eth + ip + body + g["pad"])[:g["cut"]]


def echo_request(data, received_sum=0xFFFF, kind=8, code=0, cut=None):
    """An echo request (or another type), CUT to that many bytes, with a
    checksum that makes the receiver's sum RECEIVED_SUM: 0xFFFF when it is
    right, 0xFFFE or 0xFEFF to be wrong in one byte alone."""
    icmp = (struct.pack(">BBHHH", kind, code, 0, 0x4242, 7) + data)[:cut]
    field = checksum(icmp) + received_sum
    field = (field & 0xFFFF) + (field >> 16)
    return icmp[:2] + struct.pack(">H", field) + icmp[4:]


def arp_request(c, target=None, sender=PEER_IP, op=1, hardware=1, protocol=0x0800,
                lengths=(6, 4), sender_mac=PEER_MAC):
    return struct.pack(">HHBBH", hardware, protocol, *lengths, op) + sender_mac + \
        bytes(sender) + bytes(6) + bytes(target or c["ip"])


class Reply:
    """One frame the server sent, taken apart."""

    def __init__(self, raw):
        self.raw = raw
        try:
            self.parse(raw)
        except (struct.error, IndexError, ValueError):
            pass  # too short for what it claims: the checks say so

    def parse(self, raw):
        self.ethertype = struct.unpack(">H", raw[12:14])[0]
        p = raw[14:]
        self.ip = p
        if self.ethertype != 0x0800:
            return
        ihl = (p[0] & 15) * 4
        self.total, self.frag, self.ttl, self.proto = struct.unpack(">H2xHBB", p[2:10])
        self.src, self.dst = tuple(p[12:16]), tuple(p[16:20])
        t = p[ihl:self.total]
        self.transport = t
        if self.proto == 17:
            self.sport, self.dport = struct.unpack(">HH", t[:4])
            self.data = t[8:]
            return
        if self.proto != 6:
            return
        (self.sport, self.dport, self.seq, self.ack, off, bits,
         self.window) = struct.unpack(">HHIIBBH", t[:16])
        self.flags = "".join(k for k, v in zip("FSRPAU", (1, 2, 4, 8, 16, 32)) if bits & v)
        self.options = t[20:(off >> 4) * 4]
        self.data = t[(off >> 4) * 4:]


class Peer:
    """The bridge on a pipe, with the server in gpsim under its guard."""

    def __init__(self, folder, bridge, server):
        self.folder = folder
        self.lst = f"{server}/http_server_18.lst"
        self.c = server_constants(self.lst)
        self.proc = subprocess.Popen(
            [sys.executable, bridge, "--frames", "-", "--replies", "-", "--guard",
             "--pcap", f"{folder}/frames.pcap", f"{server}/http_server_18.cod"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=open(f"{folder}/bridge.log", "w"), text=True)
        self.sent = []
        self.now = 0  # simulated ms, as the waits add them up
        self.given = []  # the frames handed in with a right FCS, by send
        self.most = None  # frames back for one line before it is a flood

    def step(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        got = []
        for out in self.proc.stdout:
            if out.strip() == "done":
                self.sent += got
                return got
            got.append(Reply(bytes.fromhex(out.split()[1])))
            if self.most and len(got) > self.most:
                self.proc.kill()
                raise Failure(f"more than {self.most} frames back for one frame: "
                              f"{line[:120]}")
        raise Failure(f"the bridge stopped: {self.finish()}")

    def send(self, raw):
        self.given.append(raw)
        return self.step(raw.hex())

    def tcp(self, **f):
        return self.send(frame(self.c, **f))

    def wait(self, ms):
        self.now += ms
        return self.step(f"wait {ms}")

    def ram(self, addr, count):
        """COUNT bytes of the program's RAM from ADDR on, now."""
        self.proc.stdin.write(f"ram {addr:x} {count}\n")
        self.proc.stdin.flush()
        lines = [self.proc.stdout.readline().split(), self.proc.stdout.readline().strip()]
        expect(lines[0][:1] == ["ram"] and lines[1] == "done", f"ram: {lines}")
        return bytes.fromhex(lines[0][1]) if len(lines[0]) > 1 else b""

    def poke(self, addr, data):
        """DATA into the program's RAM from ADDR on, as its own code would."""
        expect(not self.step(f"poke {addr:x} {data.hex()}"), "frames sent for a poke")

    def finish(self):
        """Ends the run; the guard's verdict, or None."""
        self.proc.stdin.close()
        rc = self.proc.wait(60)
        log = open(f"{self.folder}/bridge.log").read()
        if rc != 0:
            return log.strip().splitlines()[-1] if log.strip() else f"exit {rc}"
        return None


class Failure(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Failure(what)


def only(replies, what):
    expect(len(replies) == 1, f"{what}: want one frame back, got {len(replies)}")
    return replies[0]


def addressed(peer, r, proto, src=PEER_IP):
    """A reply goes from the server's addresses to the peer's."""
    c = peer.c
    expect(r.raw[:6] == PEER_MAC and r.raw[6:12] == c["mac"],
           f"MACs {r.raw[:6].hex()} <- {r.raw[6:12].hex()}")
    if r.ethertype == 0x0806:
        return
    expect(r.ethertype == 0x0800 and r.proto == proto, "not the protocol asked")
    expect(r.src == c["ip"] and r.dst == tuple(src), f"IPv4 {r.src} -> {r.dst}")
    expect(r.frag == 0x4000 and r.ttl == 64 and padded(r.raw, 14 + r.total),
           f"IPv4 flags 0x{r.frag:04X}, TTL {r.ttl}, total {r.total} in {len(r.raw)}")


def handshake(peer, mss=1460, window=64240, sport=40000, seq=1000, options=None, **f):
    """SYN, SYN-ACK; returns the server's next sequence number."""
    opts = options if options is not None else (struct.pack(">BBH", 2, 4, mss) if mss else b"")
    r = only(peer.tcp(sport=sport, seq=seq, window=window, tcp_options=opts, **f), "SYN")
    addressed(peer, r, 6, **src_of(f))
    expect(r.flags == "SA" and r.ack == (seq + 1) % 2**32 and r.sport == peer.c["HTTP_PORT"]
           and r.dport == sport, f"SYN: got [{r.flags}] ack {r.ack}")
    expect(r.options[:4] == struct.pack(">BBH", 2, 4, peer.c["MSS_OUT"]),
           f"SYN-ACK options {r.options.hex()}, want an MSS of {peer.c['MSS_OUT']}")
    return (r.seq + 1) % 2**32


def fetch(peer, request, mss=1460, window=64240, sport=40000, seq=1000,
          with_ack=True, options=None, drop_first=False, **f):
    """A whole connection: handshake, request, every segment acknowledged
    as it comes, FIN both ways. Returns the response's bytes."""
    nxt = handshake(peer, mss, window, sport, seq, options, **f)
    seq = (seq + 1) % 2**32
    if not with_ack:
        expect(not peer.tcp(sport=sport, seq=seq, ack=nxt, flags="A", window=window, **f),
               "the handshake's ACK got a reply")
    got, fin, acked = b"", False, 0
    replies = peer.tcp(sport=sport, seq=seq, ack=nxt, flags="PA", payload=request,
                       window=window, **f)
    seq = (seq + len(request)) % 2**32
    limit = mss or peer.c["MSS_DEFAULT"]
    for _ in range(200):
        if drop_first and replies:
            # As if the first segment were lost: the same bytes come again
            # after the timeout, from the first unacknowledged one.
            first = replies[0]
            expect(first.data, "the first reply carries no data")
            again = peer.wait(peer.c["RTO_MS"] + 5)
            expect(again and again[0].seq == first.seq and again[0].data == first.data,
                   "no retransmission of the first segment after the timeout")
            replies, drop_first = again, False
            continue
        ack_to = None
        for r in replies:
            addressed(peer, r, 6, **src_of(f))
            if not r.data and "F" not in r.flags:
                continue  # an ACK of the request
            expect(r.seq == (nxt + len(got)) % 2**32, f"segment at {r.seq}, want {nxt + len(got)}")
            expect(len(r.data) <= limit, f"a {len(r.data)}-byte segment, MSS {limit}")
            expect(len(got) + len(r.data) <= acked + window, "a segment past the window")
            expect(r.ack == seq, f"ack {r.ack}, want {seq}")
            got += r.data
            fin = fin or "F" in r.flags
            ack_to = (nxt + len(got) + (1 if fin else 0)) % 2**32
        if fin:
            break
        expect(ack_to is not None, f"the response stops after {len(got)} bytes")
        acked = len(got)
        replies = peer.tcp(sport=sport, seq=seq, ack=ack_to, flags="A", window=window, **f)
    expect(fin, "no FIN")
    after = peer.tcp(sport=sport, seq=seq, ack=ack_to, flags="FA", **f)
    r = only(after, "the client's FIN")
    expect("A" in r.flags and r.ack == (seq + 1) % 2**32 and not r.data, "the client's FIN is not acknowledged")
    return got


def padded(raw, length):
    """RAW is a frame of LENGTH bytes as the controller sends it: zero
    bytes after it up to 60, none past that."""
    return len(raw) == max(60, length) and not any(raw[length:])


def src_of(f):
    return {"src": f["src"]} if "src" in f else {}


def page_bytes(pages, tag):
    for p in pages:
        if p.rsplit("/", 1)[-1][0] == tag:
            return complete(open(p, "rb").read())
    return None


def response_for(pages, tag):
    return page_bytes(pages, tag) or page_bytes(pages, "4")


def long_page(pages):
    """The tag of the longest page below 8 KB (several segments, yet not
    the largest the flash holds, which the network rows fetch)."""
    p = max((p for p in pages if len(open(p, "rb").read()) < 8192),
            key=lambda p: len(open(p, "rb").read()))
    return p.rsplit("/", 1)[-1][0]


def get(target, extra=b""):
    return b"GET " + target + b" HTTP/1.0\r\nHost: pic\r\n" + extra + b"\r\n"


def no_reply(**f):
    """A row whose frame must get nothing back: a SYN with one change."""
    def run(peer, pages):
        got = peer.tcp(**f)
        expect(not got, f"{len(got)} frame(s) back, want none")
        # The same SYN without the change gets its SYN-ACK: the drop was
        # for that change alone.
        handshake(peer)
        return "dropped"
    return run


def served(target, tag, **f):
    def run(peer, pages):
        t = long_page(pages) if tag == "*" else tag
        want = response_for(pages, t)
        got = fetch(peer, target.replace(b"*", t.encode()), **f)
        expect(got == want, f"{len(got)} bytes back, want the {len(want)} of page {t}")
        return f"{len(got)} bytes of page {t}"
    return run


def rst_row(**f):
    def run(peer, pages):
        seg = dict(dict(sport=40000, seq=1000, ack=0, flags="S", payload=b""), **f)
        r = only(peer.tcp(**seg), "segment")
        addressed(peer, r, 6)
        length = len(seg["payload"]) + ("S" in seg["flags"]) + ("F" in seg["flags"])
        if "A" in seg["flags"]:
            expect(r.flags == "R" and r.seq == seg["ack"], f"[{r.flags}] seq {r.seq}")
        else:
            expect(r.flags == "RA" and r.seq == 0 and r.ack == seg["seq"] + length,
                   f"[{r.flags}] seq {r.seq} ack {r.ack}")
        return f"RST [{r.flags}]"
    return run


def ping_row(size, answered=True, **e):
    def run(peer, pages):
        data = bytes(i & 0xFF for i in range(size))
        got = peer.send(frame(peer.c, proto=1, icmp=echo_request(data, **e)))
        if not answered:
            expect(not got, "an answer")
            # The same echo unchanged gets its reply: the drop was for
            # that change alone.
            only(peer.send(frame(peer.c, proto=1, icmp=echo_request(data))), "echo request")
            return "no answer"
        r = only(got, "echo request")
        addressed(peer, r, 1)
        expect(r.transport[:1] == b"\x00" and r.transport[4:] == echo_request(data)[4:]
               and folded_sum(r.transport) == 0xFFFF, "not the echo reply of the request")
        return f"echo reply, {len(r.raw)} bytes"
    return run


def arp_row(answered=True, dst_mac=b"\xff" * 6, cut=None, ethertype=0x0806, **a):
    """An ARP request for its address, broadcast, with the changes given:
    A to the request's fields, DST_MAC the frame's destination, CUT the
    frame's length, ETHERTYPE its type."""
    def run(peer, pages):
        c = peer.c
        request = dict(dst_mac=b"\xff" * 6, ethertype=0x0806, arp=arp_request(c))
        got = peer.send(frame(c, **dict(request, dst_mac=dst_mac, cut=cut,
                                        ethertype=ethertype, arp=arp_request(c, **a))))
        if not answered:
            expect(not got, "an ARP reply")
            # The request unchanged gets its reply: the drop was for that
            # change alone.
            got = peer.send(frame(c, **request))
        r = only(got, "ARP request")
        addressed(peer, r, 0)
        want = struct.pack(">HHBBH", 1, 0x0800, 6, 4, 2) + c["mac"] + bytes(c["ip"]) + \
            PEER_MAC + bytes(PEER_IP)
        expect(r.raw[14:42] == want and padded(r.raw, 42), f"ARP reply {r.raw[14:].hex()}")
        return "is-at" if answered else "no reply"
    return run


# value0..value7 as the application would write them: 0, 1, 9, 10, 12345,
# 65535, 42 and 65534, each 16 bits low byte first.
APP_VALUES = (0, 1, 9, 10, 12345, 65535, 42, 65534)


def live_fetch(peer, pages, tag, sport, **f):
    """A page with values, fetched; its bytes checked against the table and
    the snapshot in RAM. Returns them and the snapshot."""
    want, places = live_page(pages, tag)
    expect(places, f"page {tag} has no value list")
    got = fetch(peer, get(b"/" + tag.encode()), sport=sport, **f)
    snap = snapshot(peer, sport)
    with_values(peer, got, want, places, snap)
    return got, snap


def snap_counter(snap, number):
    return int.from_bytes(snap[16 + 4 * number:20 + 4 * number], "little")


def live_values(peer, pages):
    """Two requests for the status page 2.5 s apart: every byte outside its
    placeholders the table's, each value the snapshot's, and the snapshot
    the program's counts: frames in, the one dropped, requests, the
    application's values."""
    c = peer.c
    peer.poke(c["LIVE_VALUES"], b"".join(v.to_bytes(2, "little") for v in APP_VALUES))
    expect(not peer.send(frame(c, ip_sum_error=1)), "a reply to a wrong IPv4 checksum")
    before = len(peer.given)
    _, first = live_fetch(peer, pages, "v", 40000)
    # The SYN and the GET came in after the frames before them.
    expect(snap_counter(first, 2) == before + 2 and snap_counter(first, 3) == 1 and
           snap_counter(first, 1) == 1 and first[32] == 1, f"snapshot {first.hex()}")
    expect(all(int.from_bytes(first[2 * i:2 * i + 2], "little") == v
               for i, v in enumerate(APP_VALUES)), f"value0..7 {first[:16].hex()}")
    peer.wait(2500)
    _, second = live_fetch(peer, pages, "v", 40001)
    expect(snap_counter(second, 0) >= snap_counter(first, 0) + 2 and
           snap_counter(second, 1) == 2, f"uptime {snap_counter(first, 0)} then "
           f"{snap_counter(second, 0)}, requests then {snap_counter(second, 1)}")
    return f"uptime {snap_counter(first, 0)} then {snap_counter(second, 0)}"


def live_json(peer, pages, sport=40000):
    """data.json parsed by Python's JSON parser, each value the snapshot's."""
    c = peer.c
    peer.poke(c["LIVE_VALUES"], b"".join(v.to_bytes(2, "little") for v in APP_VALUES))
    got, snap = live_fetch(peer, pages, "d", sport)
    doc = json.loads(got[got.index(b"\r\n\r\n") + 4:])
    want = {"uptime": snap_counter(snap, 0), "requests": snap_counter(snap, 1),
            "frames_in": snap_counter(snap, 2), "frames_dropped": snap_counter(snap, 3),
            "connections": snap[32], "portb": format(snap[33], "08b"),
            "ip": "%15s" % ".".join(map(str, c["ip"])), "values": list(APP_VALUES)}
    expect(doc == want, f"{doc}, want {want}")
    return f"{len(doc)} members as the snapshot"


def live_edges(peer, pages):
    """edge.txt: a placeholder at an odd offset and one ending the page; in
    one segment (the adjusted stored sum), then with an MSS whose segment
    boundary falls 3 bytes into a placeholder (summed as sent)."""
    want, places = live_page(pages, "e")
    expect(any(o % 2 for o, _ in places) and
           max(o + len(filler(n)) for o, n in places) == len(want), f"places {places}")
    live_fetch(peer, pages, "e", 40000)
    cut = next(o + 3 for o, n in places if o + 3 >= 64 and len(filler(n)) > 3)
    got, _ = live_fetch(peer, pages, "e", 40001, mss=cut)
    return f"{len(got)} bytes whole, and in segments of {cut}"


def live_resent(peer, pages):
    """The status page's first segment dropped and sent again 1 s later:
    the same bytes, though the uptime in RAM has changed since the
    snapshot."""
    c = peer.c
    got, snap = live_fetch(peer, pages, "v", 40000, drop_first=True, mss=536)
    now = int.from_bytes(peer.ram(c["lv_uptime"], 4), "little")
    expect(now > snap_counter(snap, 0), f"uptime {now} in RAM, {snap_counter(snap, 0)} at the "
           "snapshot: no tick changed it")
    return f"sent again as first sent, uptime {snap_counter(snap, 0)} then {now}"


# What a value written by a server running on its own may be: its digits,
# right-aligned (the number, 0 to 14, is the regular expression's key).
VALUE_FORMS = {4: rb"\d", 5: rb"[01]{8}", 6: rb" *\d+\.\d+\.\d+\.\d+"}


def fetched_faults(got, want, places):
    """Why GOT, a page fetched while the server ran on its own, is not WANT
    with its values written in: a byte outside the placeholders that
    differs, or a value not in its width and form. None when it is."""
    if len(got) != len(want):
        return f"{len(got)} bytes, not the {len(want)} of the table"
    mask = bytearray(want)
    for offset, number in places:
        width = len(filler(number))
        text = got[offset:offset + width]
        if not re.fullmatch(VALUE_FORMS.get(number, rb" *\d+"), text):
            return f"value {number} at {offset} is {text!r}"
        mask[offset:offset + width] = text
    return None if got == mask else "bytes outside the placeholders differ from the table's"


def live_head(peer, pages):
    """HEAD of edge.txt: its table's header, no value written in (its body
    starts with bytes that read as a value list for the header)."""
    want, _ = live_page(pages, "e")
    head = want[:want.index(b"\r\n\r\n") + 4]
    got = fetch(peer, b"HEAD /e HTTP/1.0\r\nHost: pic\r\n\r\n")
    expect(got == head, f"{got[-40:]!r}, want the header of {len(head)} bytes")
    return f"{len(got)} bytes, the header"


def served_as_stored(target, tag):
    """A file holding the bytes of a placeholder that is never scanned (a
    PNG, a .gz): served as stored."""
    def run(peer, pages):
        want = response_for(pages, tag)
        expect(b"<!--#uptime-->" in want, f"page {tag} does not hold <!--#uptime-->")
        got = fetch(peer, get(target))
        expect(got == want, f"{len(got)} bytes back, want the {len(want)} of page {tag}")
        return f"{len(got)} bytes of page {tag}, <!--#uptime--> as stored"
    return run


def window_zero(peer, pages):
    """Window 0 with the request: nothing but probes until it opens."""
    tag = long_page(pages)
    want = response_for(pages, tag)
    nxt = handshake(peer)
    got = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=get(b"/" + tag.encode()), window=0)
    got += peer.wait(2 * peer.c["RTO_MS"] + 10)
    expect(all(not r.data for r in got), "data sent into a window of 0")
    expect(got, "no window probe")
    on_time(gaps_ms(peer, lambda r: r.flags == "A" and r.seq == nxt - 1), [peer.c["RTO_MS"]],
            "the probes")
    req = len(get(b"/" + tag.encode()))
    rest = peer.tcp(seq=1001 + req, ack=nxt, flags="A", window=64240)
    expect(rest and rest[0].data == want[:len(rest[0].data)], "no data once the window opens")
    return "probes only until the window opens"


def window_shrink(peer, pages):
    """The window shrinks to 0 with data in flight: probes, RTO_MS apart,
    until it opens again; then the data goes on."""
    tag = long_page(pages)
    nxt = handshake(peer, mss=536, window=1072)
    req = get(b"/" + tag.encode())
    first = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=req, window=1072)
    expect(len(first) == 2 and first[0].data, "not two segments at once")
    una, seq = nxt + len(first[0].data), 1001 + len(req)
    expect(not peer.tcp(seq=seq, ack=una, flags="A", window=0), "data into a window of 0")
    got = peer.wait(2 * peer.c["RTO_MS"] + 10)
    expect(got and all(not r.data and r.seq == una - 1 for r in got), "no window probes")
    on_time(gaps_ms(peer, lambda r: r.seq == una - 1), [peer.c["RTO_MS"]], "the probes")
    expect(any(r.data for r in peer.tcp(seq=seq, ack=una, flags="A", window=1072)),
           "no data once the window opens")
    return "probes until the window opens"


def initial_window(peer, pages):
    """The largest page, MSS 536 and a window of 64,240: 4 segments at
    first, however large the window; the ACK of one lets 2 more go (one
    freed, one grown), and after a timeout one goes again, alone."""
    nxt = handshake(peer, mss=536)
    req = get(b"/m")
    first = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=req)
    expect(len(first) == 4 and all(len(r.data) == 536 for r in first),
           f"{len(first)} segments at first, want 4 of 536 bytes")
    more = peer.tcp(seq=1001 + len(req), ack=nxt + 536, flags="A")
    expect(len(more) == 2 and more[0].seq == nxt + 4 * 536,
           f"{len(more)} segments for the ACK of one, want 2 from the fifth")
    again = peer.wait(peer.c["RTO_MS"] + 5)
    expect(len(again) == 1 and again[0].seq == nxt + 536,
           f"{len(again)} segments after the timeout, want the second alone")
    return "4 segments, then 2 for one ACK, then 1 after a timeout"


def data_tries(peer, pages):
    """Data never acknowledged while the client's duplicate ACKs keep the
    connection alive (the livelock): sent again 4 times, the timeout
    doubling each time, then an RST, and the slot is free."""
    nxt = handshake(peer)
    req = get(b"/a")
    first = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=req)
    expect(first and first[0].data, "no response")
    rto = peer.c["RTO_MS"]
    for _ in range(7):
        peer.wait(4 * rto)
        peer.tcp(seq=1001 + len(req), ack=nxt, flags="A")
    peer.wait(4 * rto)
    resets = [r for r in peer.sent if "R" in r.flags]
    expect(len(resets) == 1 and resets[0] is peer.sent[-1], "no single RST at the end")
    on_time(gaps_ms(peer, lambda r: r.data or "R" in r.flags),
            [rto, 2 * rto, 4 * rto, 8 * rto, 16 * rto], "the segment and the RST")
    r = only(peer.tcp(seq=1001 + len(req), ack=nxt, flags="A"), "an ACK after the RST")
    expect(r.flags == "R", f"[{r.flags}] after the reset, want the RST of no connection")
    return "sent again 1, 2, 4 and 8 s apart, reset 16 s later"


def fin_again(peer, pages):
    """The client's FIN again after the close, as when the server's ACK of
    it came late: an ACK, not an RST. After the wait the slot is free, and
    the same FIN finds no connection."""
    want = response_for(pages, "a")
    expect(fetch(peer, get(b"/a")) == want, "not page a")
    last = peer.sent[-1]  # the ACK of the client's FIN
    fin = dict(seq=last.ack - 1, ack=last.seq, flags="FA")
    r = only(peer.tcp(**fin), "the FIN again")
    expect(r.flags == "A" and r.ack == last.ack and r.seq == last.seq,
           f"[{r.flags}] seq {r.seq} ack {r.ack} to the FIN again, want its ACK")
    peer.wait(peer.c["WAIT_MS"] + 5)
    r = only(peer.tcp(**fin), "the FIN after the wait")
    expect(r.flags == "R", f"[{r.flags}] to a FIN after the wait, want an RST")
    return "the FIN again acknowledged, then the slot free"


def past_the_buffer(peer, pages):
    """The longest echo, given a length one byte past the 1,514 a frame
    may have: dropped, by the controller (1,519 bytes with the FCS is past
    MAMXFL), so the driver's own FRAME_MAX bound is never reached here;
    with its own length, answered."""
    raw = frame(peer.c, proto=1, icmp=echo_request(bytes(BIG)))
    expect(not peer.step(f"length {len(raw) + 1} {raw.hex()}"),
           "an answer to a frame of 1,515 bytes")
    only(peer.send(raw), "echo request")
    return "dropped"


# An acknowledgement number past a cookie's + 1 that is no cookie: the
# cookie's low 2 bits carry the MSS, so any of 4 numbers in a row may be one.
PAST = 4


def reset_frees(peer, pages):
    """An RST with data, exact sequence number, on a connection: no reply,
    and the slot is free. Data acknowledging PAST bytes past the send point
    tells: on a connection it gets an ACK, with none an RST (its number is
    no cookie)."""
    nxt = established(peer)
    got = peer.tcp(seq=1001, ack=nxt, flags="RA", payload=get(b"/"))
    expect(not got, "a reply to an RST")
    r = only(peer.tcp(seq=1001, ack=nxt + PAST, flags="PA", payload=get(b"/")),
             "data after the RST")
    expect(r.flags == "R", f"[{r.flags}] to data after an RST, want an RST")
    return "slot freed"


def reset_out_of_place(peer, pages):
    """An RST one byte past the sequence number expected is ignored: no
    reply, and the connection goes on to serve its request."""
    nxt = handshake(peer)
    expect(not peer.tcp(seq=1002, ack=nxt, flags="RA"), "a reply to an RST")
    got = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=get(b"/a"))
    expect(got and all("R" not in r.flags for r in got) and any(r.data for r in got),
           "no response after an RST out of place")
    return "RST ignored, the page served"


def sequences(peer, pages):
    """Two connections in a row start at different sequence numbers."""
    a, b = handshake(peer, sport=40001), handshake(peer, sport=40002)
    expect(a != b, "the same initial sequence number twice")
    return f"ISNs {a - 1} and {b - 1}"


def slots_full(peer, pages):
    """Every slot connected, none past its grace: a SYN more gets its
    SYN-ACK (a cookie: it takes no slot), its ACK is dropped, not refused,
    and no connection is taken over: each still serves its request."""
    n, isn = peer.c["NSLOTS"], []
    for i in range(n):
        isn.append(established(peer, sport=41000 + i))
    nxt = handshake(peer, sport=42000)
    got = peer.tcp(sport=42000, seq=1001, ack=nxt, flags="A")
    expect(not got, f"[{got[0].flags if got else ''}] to an ACK with every slot connected")
    for i in range(n):
        r = peer.tcp(sport=41000 + i, seq=1001, ack=isn[i], flags="PA", payload=get(b"/a"))
        expect(r and r[0].data, f"connection {i} not served after the SYN more")
    return f"{n} slots held, the next SYN answered, its ACK dropped"


def out_times(peer):
    """Simulated seconds of each frame the server sent, from the bridge's
    log, in the order of peer.sent."""
    return [float(line.split()[0]) for line in open(f"{peer.folder}/bridge.log")
            if line.split()[1:2] == ["out"]]


def gaps_ms(peer, pick):
    """Milliseconds between the frames sent that PICK(reply) chooses."""
    times = [t for t, r in zip(out_times(peer), peer.sent) if pick(r)]
    return [round((b - a) * 1000, 1) for a, b in zip(times, times[1:])]


# A timer of T ms fires T - 1 to T ms after it was set, later by the frame
# being handled when it comes due (at most about 14 ms, a 1,514-byte echo
# read and written over gpsim's SPI, half the chip's speed); and a frame is
# timed as it leaves the wire, up to 5 ms after the server started it (a
# full frame written over SPI, then sent), so two frames' times may also
# differ by that much.
TIMER_SLACK = (-6, 20)


def on_time(gaps, want, what):
    expect(len(gaps) == len(want) and all(
        w + TIMER_SLACK[0] <= g <= w + TIMER_SLACK[1] for g, w in zip(gaps, want)),
        f"{what} {gaps} ms apart, want {want}")


def forged_syns(peer, count, sport=43000):
    """COUNT SYNs from forged addresses that never answer."""
    for i in range(count):
        src = (192, 0, 2, 100 + i)
        got = peer.tcp(src=src, src_mac=bytes.fromhex("02aabbccdd") + bytes([100 + i]),
                       sport=sport)
        expect(len(got) == 1 and got[0].flags == "SA", f"the forged SYN {i} got no SYN-ACK")


def lock_out(peer, pages):
    """SYNs from forged addresses (which take no slot: cookies), then
    segments without flags from them every 9 s (each the RST of no
    connection): a client's SYN still gets its SYN-ACK, at 9 s and at
    18 s, and no forged address more bytes than it sent."""
    forged_syns(peer, peer.c["NSLOTS"])
    for at in range(2):
        for i in range(peer.c["NSLOTS"]):
            peer.tcp(src=(192, 0, 2, 100 + i), sport=43000, seq=1001, flags="",
                     src_mac=bytes.fromhex("02aabbccdd") + bytes([100 + i]))
        peer.wait(9000)
        handshake(peer, sport=44000 + at)
    sources = {(192, 0, 2, 100 + i) for i in range(peer.c["NSLOTS"])}
    into, back = no_gain(peer, from_addresses(peer, sources), sources)
    return f"a SYN-ACK to the client's SYN at 9 s and at 18 s; {into} bytes in forged, {back} out"


def idle_unacceptable(peer, pages):
    """Segments out of the window get an ACK but keep nothing alive: the
    idle time runs out and the connection is reset, on time."""
    nxt = handshake(peer)
    expect(not peer.tcp(seq=1001, ack=nxt, flags="A"), "an ACK answered")
    for _ in range(3):
        r = only(peer.tcp(seq=1001 + 70000, ack=nxt, flags="A"), "a segment out of the window")
        expect(r.flags == "A" and r.ack == 1001, f"[{r.flags}] ack {r.ack}, want an ACK of 1001")
        got = peer.wait(3000)
        expect(not got, "a frame while idle")
    got = peer.wait(1100)
    expect(len(got) == 1 and got[0].flags == "RA", "no RST once the idle time is over")
    return "reset after the idle time"


def still_open(peer, sport, nxt):
    """Whether the connection from SPORT is still open: an ACK PAST bytes
    past its send point gets an ACK on a connection, an RST without."""
    r = only(peer.tcp(sport=sport, seq=1001, ack=nxt + PAST, flags="A"), "the probing ACK")
    expect(r.flags in ("A", "R"), f"[{r.flags}] to an ACK past the send point")
    return r.flags == "A"


def slot_takeover(peer, pages):
    """Every slot established, no request yet: a pure ACK opening one more
    is dropped while they are in their grace (REQ_MS), then takes the one
    idle longest; one that brings its request takes one at once; the
    others keep theirs. Slots whose clients acknowledge their responses
    are never taken."""
    n, c = peer.c["NSLOTS"], peer.c
    isn = []
    for i in range(n):
        isn.append(established(peer, sport=41000 + i))
        peer.wait(2)
    late = handshake(peer, sport=42000)
    expect(not peer.tcp(sport=42000, seq=1001, ack=late, flags="A"), "a slot in its grace taken")
    peer.wait(c["REQ_MS"])
    expect(not peer.tcp(sport=42000, seq=1001, ack=late, flags="A"), "an ACK answered")
    kept = [still_open(peer, 41000 + i, isn[i]) for i in range(n)]
    expect(kept == [False] + [True] * (n - 1), f"slots kept {kept}, want all but the oldest")
    eager = handshake(peer, sport=42001)
    got = peer.tcp(sport=42001, seq=1001, ack=eager, flags="PA", payload=get(b"/a"))
    expect(got and got[0].data, "a request at once not served")
    kept = [still_open(peer, 41000 + i, isn[i]) for i in range(1, n)]
    expect(kept == [False] + [True] * (n - 2), f"slots kept {kept}, want all but the next oldest")
    # Every slot sends the largest page one segment at a time, each
    # acknowledged.
    tag = b"m"
    peer.wait(c["WAIT_MS"] + 5)  # the two served above close
    for i in range(n):
        peer.tcp(sport=41000 + i, flags="R", seq=1001)
    una = []
    for i in range(n):
        nxt = handshake(peer, sport=43000 + i, window=1460)
        first = peer.tcp(sport=43000 + i, seq=1001, ack=nxt, flags="PA", payload=get(b"/" + tag),
                         window=1460)
        expect(first and len(first[0].data) == 1460, f"connection {i}: no first segment")
        una.append(nxt + 1460)
    seq = 1001 + len(get(b"/" + tag))
    for rounds in range(2):
        peer.wait(c["RTO_MS"] - 100)
        for i in range(n):
            r = peer.tcp(sport=43000 + i, seq=seq, ack=una[i], flags="A", window=1460)
            expect(r and r[0].data, f"connection {i}: nothing more after its ACK")
            una[i] += len(r[0].data)
        newcomer = handshake(peer, sport=44000 + rounds)
        expect(not peer.tcp(sport=44000 + rounds, seq=1001, ack=newcomer, flags="PA",
                            payload=get(b"/a")),
               "a slot taken from a client acknowledging its page")
    return "the oldest idle slot taken after REQ_MS, at once for a request; none acknowledging"


def synack_once(peer, pages):
    """A SYN-ACK not answered is never sent again: a cookie keeps no state
    to time. The handshake's ACK opens the connection while the cookie is
    good (one to two COOKIE_MS steps); after two steps it gets the RST of
    no connection, and so does an ACK whose numbers were never given."""
    rto, step = peer.c["RTO_MS"], peer.c["COOKIE_MS"]
    keep, lose = handshake(peer, sport=41000), handshake(peer, sport=41001)
    got = peer.wait(3 * rto)
    expect(not got, f"{len(got)} frames after the SYN-ACKs, want none")
    r = peer.tcp(sport=41000, seq=1001, ack=keep, flags="PA", payload=get(b"/a"))
    expect(r and r[0].data, "no response to the handshake's ACK within the cookie's steps")
    r = only(peer.tcp(sport=41001, seq=1001, ack=lose + PAST, flags="A"), "an ACK of no cookie")
    expect(r.flags == "R", f"[{r.flags}] to an ACK of no cookie, want an RST")
    r = only(peer.tcp(sport=41001, seq=1002, ack=lose, flags="A"), "an ACK of another ISN")
    expect(r.flags == "R", f"[{r.flags}] to an ACK past the client's ISN, want an RST")
    peer.wait(2 * step - 3 * rto)
    r = only(peer.tcp(sport=41001, seq=1001, ack=lose, flags="A"), "an ACK after two steps")
    expect(r.flags == "R", f"[{r.flags}] to a cookie two steps old, want an RST")
    return "no SYN-ACK again; the cookie good within its steps, then an RST"


def ping_flood(peer, pages):
    """Back-to-back 1,514-byte echoes for 1.6 s of simulated time: the
    retransmission timeout still fires RTO_MS after the segment, within
    TIMER_SLACK."""
    nxt = handshake(peer)
    first = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=get(b"/a"))
    expect(first and first[0].data, "no response")
    echo = frame(peer.c, proto=1, icmp=echo_request(bytes(BIG)))
    for _ in range(200):
        expect(len(peer.send(echo)) in (1, 2), "an echo without its reply")
    on_time(gaps_ms(peer, lambda r: r.proto == 6 and r.data)[:1], [peer.c["RTO_MS"]],
            "the segment and its first retransmission")
    return f"the segment again {gaps_ms(peer, lambda r: r.proto == 6 and r.data)[0]} ms later"


def established(peer, sport=40000):
    """SYN, SYN-ACK, ACK; returns the server's next sequence number."""
    nxt = handshake(peer, sport=sport)
    expect(not peer.tcp(sport=sport, seq=1001, ack=nxt, flags="A"), "an ACK answered")
    return nxt


def answered_only_by_ack(peer, seg, nxt):
    """SEG, on an open connection, gets one ACK of the next numbers: the
    challenge ACK; then the request is served as if SEG never came."""
    r = only(peer.tcp(**seg), "the segment")
    expect(r.flags == "A" and not r.data and r.seq == nxt and r.ack == 1001,
           f"[{r.flags}] seq {r.seq} ack {r.ack} len {len(r.data)}, want an ACK of 1001 at {nxt}")
    got = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=get(b"/a"))
    expect(got and got[0].seq == nxt and got[0].data, "the request not served after it")
    return "an ACK, then the page"


def challenged(**f):
    def run(peer, pages):
        nxt = established(peer)
        return answered_only_by_ack(peer, {k: (nxt + v if k == "ack" else v)
                                           for k, v in f.items()}, nxt)
    return run


def ack_old_far(peer, pages):
    """A request whose ACK is 2^31 - 1 below the send point: more than any
    window below it, dropped and answered with an ACK (RFC 5961 5.2)."""
    nxt = established(peer)
    r = only(peer.tcp(seq=1001, ack=nxt - 2**31 + 1, flags="PA", payload=get(b"/a")),
             "an ACK 2^31 - 1 old")
    expect(r.flags == "A" and not r.data and r.seq == nxt and r.ack == 1001,
           f"[{r.flags}] seq {r.seq} ack {r.ack} len {len(r.data)}, want an ACK of 1001 at {nxt}")
    expect(peer.tcp(seq=1001, ack=nxt, flags="PA", payload=get(b"/a")), "no response after it")
    return "an ACK, nothing taken"


def ack_old(peer, pages):
    """A window of 1,460: with three segments acknowledged, an ACK 1,461
    below SND.UNA (older than SND.UNA - MAX.SND.WND) gets an ACK and
    nothing else (RFC 5961 5.2); one 1,460 below is old but acceptable:
    no reply; the page then goes on."""
    nxt = handshake(peer, window=1460)
    req = get(b"/m")
    seq, una = 1001 + len(req), nxt
    got = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=req, window=1460)
    for _ in range(3):
        expect(len(got) == 1 and len(got[0].data) == 1460, "not one full segment")
        una += 1460
        got = peer.tcp(seq=seq, ack=una, flags="A", window=1460)
    sent = got[0].seq + len(got[0].data)
    r = only(peer.tcp(seq=seq, ack=una - 1461, flags="A", window=1460), "an ACK 1,461 old")
    expect(r.flags == "A" and not r.data and r.seq == sent and r.ack == seq,
           f"[{r.flags}] seq {r.seq} ack {r.ack} len {len(r.data)}, want an ACK at {sent}")
    got = peer.tcp(seq=seq, ack=una - 1460, flags="A", window=1460)
    expect(not got, f"{len(got)} frames to an ACK 1,460 old, want none")
    got = peer.tcp(seq=seq, ack=sent, flags="A", window=1460)
    expect(got and got[0].seq == sent and got[0].data, "the page stopped after the old ACKs")
    return "1,461 below SND.UNA: an ACK; 1,460 below: nothing"


def ack_division(peer, pages):
    """The client acknowledges 50 bytes at a time (ACK division), for the
    first 8 full segments of the largest page and then for the rest of a
    short one: every data segment still carries a full MSS, or the rest of
    the page (sender silly window avoidance, RFC 9293 3.8.6.2.1)."""
    out = [divided(peer, pages, "m", 8, 40000), divided(peer, pages, long_page(pages), 0, 40001)]
    return "; ".join(out)


def divided(peer, pages, tag, most, sport):
    want = response_for(pages, tag)
    if most:
        want = want[:most * 1460]
    nxt = handshake(peer, sport=sport)
    req = get(b"/" + tag.encode())
    seq = 1001 + len(req)
    got = peer.tcp(sport=sport, seq=1001, ack=nxt, flags="PA", payload=req)
    data, acks, una, fin, segs = b"", 0, nxt, False, 0
    for _ in range(2 * len(want) // 50 + 20):
        for r in got:
            if r.data or "F" in r.flags:
                expect(r.seq == (nxt + len(data)) % 2**32, f"segment at {r.seq}")
                expect(len(r.data) == 1460 or len(data) + len(r.data) == len(want) and not most,
                       f"a segment of {len(r.data)} bytes at {len(data)} of {len(want)}")
                data += r.data
                segs += bool(r.data)
                fin = fin or "F" in r.flags
        end = nxt + len(data) + fin
        if fin and una == end or most and len(data) >= len(want):
            break
        una = min(una + 50, end)
        acks += 1
        got = peer.tcp(sport=sport, seq=seq, ack=una, flags="A")
    expect((fin or most) and data[:len(want)] == want,
           f"{len(data)} bytes back, want {len(want)} of page {tag}")
    expect(segs == -(-len(data) // 1460), f"{segs} segments for {len(data)} bytes")
    peer.tcp(sport=sport, seq=seq, flags="R")
    return f"{acks} ACKs of 50 bytes: {len(data)} bytes of page {tag} in {segs} segments"


def blind_ack(peer, pages):
    """A pure ACK with a sequence number 2^30 away, acknowledging the first
    segment: an ACK back, nothing taken from it; the segment comes again."""
    tag = long_page(pages)
    nxt = handshake(peer, window=1460)
    req = get(b"/" + tag.encode())
    first = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=req, window=1460)
    expect(len(first) == 1 and len(first[0].data) == 1460, "not one full segment")
    seq = 1001 + len(req)
    r = only(peer.tcp(seq=seq + 2**30, ack=nxt + 1460, flags="A", window=1460), "the blind ACK")
    expect(r.flags == "A" and not r.data, f"[{r.flags}] {len(r.data)} bytes to a blind ACK")
    again = peer.wait(peer.c["RTO_MS"] + 5)
    expect(again and again[0].seq == nxt and again[0].data == first[0].data,
           "the first segment not sent again")
    return "an ACK only; the first segment again"


def data_after_fin(peer, pages):
    """The request with the client's FIN, then data past the FIN: nothing of
    it acknowledged."""
    nxt = established(peer)
    req = get(b"/a")
    got = peer.tcp(seq=1001, ack=nxt, flags="PFA", payload=req)
    expect(got and got[-1].ack == 1001 + len(req) + 1, "the FIN not acknowledged")
    late = peer.tcp(seq=1002 + len(req), ack=nxt, flags="PA", payload=b"more")
    expect(all(r.ack == 1002 + len(req) for r in late),
           f"acks {[r.ack for r in late]} after data past the FIN, want {1002 + len(req)}")
    return "ignored"


# The attack on the initial sequence numbers: the next one predicted as the
# last one seen + 64,000 + 250 a ms, a few ms either way.
def predicted(peer, last, since):
    return {(last + 64000 + 250 * (ms + d)) % 2**32 for ms in [since] for d in range(-20, 21)}


FORGED = dict(src=(192, 0, 2, 77), sport=40077)


def isn_guess(peer, pages):
    """A connection of our own, then a SYN from a forged address: its ISN is
    not among the 41 values the arithmetic of a clock would predict, and
    the forged address gets no more bytes than it sent."""
    a = handshake(peer, sport=40001) - 1
    peer.wait(30)
    b = handshake(peer, **FORGED) - 1
    t = out_times(peer)
    guesses = predicted(peer, a, round((t[-1] - t[-2]) * 1000))
    expect(b not in guesses, f"ISN {b} guessed from {a}")
    no_gain(peer, from_addresses(peer, {FORGED["src"]}), {FORGED["src"]})
    return f"ISNs {a} then {b}: not guessed"


def reflection(peer, pages):
    """The reflection attack: a SYN from a forged address, then three
    ACK+GETs with guessed numbers; over the whole attack the forged address
    gets no more bytes than were sent from it."""
    a = handshake(peer, sport=40001) - 1
    sent = [frame(peer.c, seq=1000, tcp_options=struct.pack(">BBH", 2, 4, 1460), **FORGED)]
    peer.send(sent[0])
    t = out_times(peer)
    for guess in sorted(predicted(peer, a, round((t[-1] - t[-2]) * 1000)))[19:22]:
        sent.append(frame(peer.c, seq=1001, ack=guess + 1, flags="PA",
                          payload=get(b"/" + long_page(pages).encode()), **FORGED))
        peer.send(sent[-1])
    peer.wait(4 * peer.c["RTO_MS"])
    given = sum(len(f) for f in sent)
    back = sum(len(r.raw) for r in peer.sent if r.dst == FORGED["src"])
    expect(back <= given, f"{back} bytes to the forged address, {given} from it")
    no_gain(peer, sent, {FORGED["src"]})
    return f"{given} bytes from the forged address, {back} to it"


def wire_bytes(raw):
    """The bytes a frame takes on the wire: padded to 60, and its FCS."""
    return max(60, len(raw)) + 4


def no_gain(peer, given, sources):
    """Bytes on the wire to the addresses SOURCES, no more than the GIVEN
    frames (the ones from those addresses) brought; returns both."""
    into = sum(wire_bytes(f) for f in given)
    back = sum(wire_bytes(r.raw) for r in peer.sent
               if r.ethertype == 0x0800 and r.dst in sources)
    expect(back <= into, f"{back} bytes to forged addresses, {into} from them")
    return into, back


def from_addresses(peer, sources):
    """The IPv4 frames handed in from the addresses SOURCES."""
    return [f for f in peer.given if f[12:14] == b"\x08\x00" and tuple(f[26:30]) in sources]


def in_times(peer):
    """Simulated seconds of each frame handed in, from the bridge's log."""
    return [float(line.split()[0]) for line in open(f"{peer.folder}/bridge.log")
            if line.split()[1:2] == ["in"]]


def client_served(peer, sport, seq, ack, pages, f=None):
    """The request for page a at once with the handshake's ACK: the page and
    its FIN come back; then the client's FIN. Returns the frames it got."""
    f = {k: v for k, v in (f or {}).items() if k != "sport"}
    got = peer.tcp(sport=sport, seq=seq, ack=ack, flags="PA", payload=get(b"/a"), **f)
    mine = [r for r in got if r.proto == 6 and r.dport == sport and r.dst == f.get("src", PEER_IP)]
    want = response_for(pages, "a")
    expect(b"".join(r.data for r in mine) == want and mine and "F" in mine[-1].flags,
           f"the client's request: {len(mine)} frames back, not page a")
    fin = (seq + len(get(b"/a"))) % 2**32
    peer.tcp(sport=sport, seq=fin, ack=mine[-1].seq + len(mine[-1].data) + 1, flags="FA", **f)
    return mine


def syn_flood(rate, phases=3):
    """SYNs from random forged sources (random MACs and addresses) at RATE
    a second, for a second before the client tries and all the while it
    does, in PHASES phases of the flood's period: the client's first SYN
    (or its second, a second later, had the first been lost) gets its
    SYN-ACK, and its request the page. At 1,000 a second the SYNs come in
    bursts of 10 back to back, as fast as the wire and the controller take
    them. No forged address gets more bytes than it sent."""
    def run(peer, pages):
        rng = random.Random(rate)
        forged, sources, n = [], set(), [0]
        burst = 10 if rate >= 1000 else 1
        # A line of one frame and the wait after it take about 4 ms of
        # simulated time besides the wait (wire time, the server's work, the
        # bridge's drain after each line): the waits make up the rest of
        # the period. Bursts come with no wait at all.
        gap = 0 if burst > 1 else max(0, round(1000 / rate - 4))

        def flood(ms):
            for _ in range(max(1, round(ms * rate / 1000 / burst))):
                frames = []
                for _ in range(burst):
                    src = (192, 0, 2, rng.randrange(3, 255))
                    mac = bytes([2]) + bytes(rng.randrange(256) for _ in range(5))
                    frames.append(frame(peer.c, src=src, src_mac=mac,
                                        sport=rng.randrange(1024, 65536),
                                        seq=rng.randrange(2**32),
                                        tcp_options=struct.pack(">BBH", 2, 4, 1460)))
                    sources.add(src)
                forged.extend(frames)
                n[0] += len(frames)
                peer.step("burst " + " ".join(x.hex() for x in frames))
                if gap:
                    peer.wait(gap)
        peer.most = 400
        flood(1000)
        tries = []
        for phase in range(phases):
            peer.wait(round(1000 / rate * phase / phases) + 1)
            sport = 45000 + phase
            for attempt in (1, 2):
                got = peer.tcp(sport=sport, tcp_options=struct.pack(">BBH", 2, 4, 1460))
                sa = [r for r in got if r.dport == sport and r.flags == "SA"]
                if sa:
                    break
                flood(1000)
            expect(sa, f"phase {phase}: no SYN-ACK to the client's second SYN")
            tries.append(attempt)
            flood(50)
            client_served(peer, sport, 1001, sa[0].seq + 1, pages)
            flood(200)
        t = in_times(peer)
        into, back = no_gain(peer, forged, sources)
        return (f"{n[0]} forged SYNs at {n[0] / (t[-1] - t[0]):.0f} a second; the client served "
                f"by SYN {max(tries)} in {phases} phases; {into} bytes from forged sources, "
                f"{back} to them")
    return run


ATTACKER_MAC = bytes.fromhex("02aabbccdd66")


def held(count, several):
    """COUNT connections of one attacker's own, from one address (ports in a
    row) or from SEVERAL, hold what slots they get: half send no request
    and one acceptable ACK every 9 s; half ask for a page with a window of
    0 and answer every probe, a second apart, still with 0. Those refused
    connect again each round. A client that connects and sends its request
    at once gets its page within 1 s of its SYN, at 0.6 s and 4.5 s into a
    round."""
    def run(peer, pages):
        conns, probes, req = [], [0], len(get(b"/a"))
        for i in range(count):
            conns.append(dict(at=dict(src=(192, 0, 2, 66 + (i if several else 0)),
                                      src_mac=ATTACKER_MAC, sport=46000 + i)))

        def hold(i):
            k = conns[i]
            r = only(peer.tcp(tcp_options=struct.pack(">BBH", 2, 4, 1460), **k["at"]),
                     "the attacker's SYN")
            expect(r.flags == "SA" and r.raw[:6] == ATTACKER_MAC, "no SYN-ACK to the attacker")
            k["nxt"], k["lost"] = r.seq + 1, False
            if i % 2:
                answer(peer.tcp(seq=1001, ack=k["nxt"], flags="PA", payload=get(b"/a"),
                                window=0, **k["at"]))
            else:
                answer(peer.tcp(seq=1001, ack=k["nxt"], flags="A", **k["at"]))

        def answer(got):
            for r in got:
                for i, k in enumerate(conns):
                    if r.dport != k["at"]["sport"] or r.dst != k["at"]["src"]:
                        continue
                    if "R" in r.flags:
                        k["lost"] = True
                    elif i % 2 and r.flags == "A" and r.seq == k["nxt"] - 1:
                        # A probe: the window still 0.
                        probes[0] += 1
                        answer(peer.tcp(seq=1001 + req, ack=r.seq + 1, flags="A", window=0,
                                        **k["at"]))

        for i in range(count):
            hold(i)
        times, sport = [], 47000
        plan = [(600, 1), (400, 0)] + [(1000, 0)] * 3 + [(500, 1), (500, 0)] + [(1000, 0)] * 4
        for _ in range(2):
            for ms, client in plan:
                answer(peer.wait(ms))
                if client:
                    before = len(in_times(peer))
                    nxt = handshake(peer, sport=sport)
                    mine = client_served(peer, sport, 1001, nxt, pages)
                    t_in = in_times(peer)[before]
                    t_out = [t for t, r in zip(out_times(peer), peer.sent) if r is mine[-1]][0]
                    times.append(round((t_out - t_in) * 1000))
                    expect(times[-1] < 1000, f"the page {times[-1]} ms after the SYN")
                    sport += 1
            for i, k in enumerate(conns):  # the round's ACK, or a new connection
                answer(peer.tcp(seq=1001 + (req if i % 2 else 0), ack=k["nxt"], flags="A",
                                window=0 if i % 2 else 64240, **k["at"]))
                if k["lost"]:
                    hold(i)
        return (f"{count} held from {'several addresses' if several else 'one address'} "
                f"({probes[0]} probes answered): the client's page {max(times)} ms after its SYN "
                f"at most, in {len(times)} tries")
    return run


VICTIM = dict(src=(192, 0, 2, 50), src_mac=bytes.fromhex("02aabbccdd50"), sport=40050)


def ask_as_victim(peer, pages):
    """An attacker sends a SYN as the victim's address from its own MAC and
    sees the SYN-ACK; it sends the exact RST, then ACK+GETs with the victim's
    MAC, guessing the victim's cookie from the one it saw: 200 numbers
    around it. Each gets the RST of no connection, no data; the victim's
    own cookie is none of them, and the victim is then served."""
    mine = dict(VICTIM, src_mac=ATTACKER_MAC)
    opts = struct.pack(">BBH", 2, 4, 1460)
    given = [frame(peer.c, seq=5000, tcp_options=opts, **mine)]
    r = only(peer.send(given[0]), "the SYN as the victim")
    expect(r.flags == "SA" and r.raw[:6] == ATTACKER_MAC, "no SYN-ACK to the attacker's MAC")
    seen = r.seq
    given.append(frame(peer.c, seq=5001, flags="R", **mine))
    expect(not peer.send(given[-1]), "a reply to the RST")
    guesses = [(seen + d) % 2**32 for d in range(-100, 100)]
    for g in guesses:
        given.append(frame(peer.c, seq=5001, ack=g + 1, flags="PA",
                           payload=get(b"/" + long_page(pages).encode()), **VICTIM))
        got = peer.send(given[-1])
        expect(len(got) == 1 and got[0].flags == "R" and not got[0].data,
               f"[{' '.join(x.flags for x in got)}] to a guess, want one RST")
    into, back = no_gain(peer, given, {VICTIM["src"]})
    r = only(peer.tcp(seq=5000, tcp_options=opts, **VICTIM), "the victim's SYN")
    expect(r.flags == "SA" and r.raw[:6] == VICTIM["src_mac"], "no SYN-ACK to the victim")
    expect(r.seq not in guesses, "the victim's cookie among the attacker's guesses")
    client_served(peer, VICTIM["sport"], 5001, r.seq + 1, pages, VICTIM)
    return (f"{len(guesses)} guesses, each an RST and no data; {into} bytes in as the victim, "
            f"{back} out; the victim's cookie {r.seq} not the attacker's {seen}")


# Rows only a real controller brings: its receive ring (ERXST 0 to
# ETH_RX_END in the driver) and what it drops, its transmit buffer, its power.
def ring_wraps(peer, pages):
    """As many of the longest echoes as the ring holds whole, then a page
    64 bytes a segment, each acknowledged: the ring's end falls inside a
    frame of that fetch, which must reach the server whole (the guard
    compares RX_BUF with it)."""
    echo = frame(peer.c, proto=1, icmp=echo_request(bytes(BIG)))
    size = symbol(peer.lst, "ETH_RX_END") + 1
    echoes = size // (6 + len(echo) + 4)
    for _ in range(echoes):
        only(peer.send(echo), "echo request")
    want = response_for(pages, "a")
    got = fetch(peer, get(b"/a"), mss=64, window=64)
    expect(got == want, f"{len(got)} bytes back, want the {len(want)} of page a")
    at, split = 0, None
    for n, raw in enumerate(peer.given):
        stored = 6 + len(raw) + 4 + (len(raw) & 1)  # next pointer, status, FCS
        if at + stored > size and split is None:
            split = n
        at = (at + stored) % size
    expect(split is not None and split >= echoes,
           f"the ring wrapped inside frame {split}, not inside the fetch")
    return f"the ring wrapped inside frame {split + 1}; {len(got)} bytes of page a"


def ring_full(peer, pages):
    """Ten of the longest echoes back to back, then a request: more than
    the ring holds while the server answers, so the controller drops what
    does not fit. Every answer is right; a request the server
    acknowledged is answered; the next connection is served."""
    nxt = handshake(peer)
    echo = frame(peer.c, proto=1, icmp=echo_request(bytes(BIG)))
    request = get(b"/a")
    seg = frame(peer.c, seq=1001, ack=nxt, flags="PA", payload=request)
    got = peer.step("burst " + " ".join([echo.hex()] * 10 + [seg.hex()]))
    echoes = [r for r in got if r.ethertype == 0x0800 and r.proto == 1]
    acks = [r for r in got if r.ethertype == 0x0800 and r.proto == 6]
    expect(len(echoes) < 10, "all ten echoes answered: the ring never filled")
    for r in echoes:
        addressed(peer, r, 1)
        expect(r.transport[4:] == echo_request(bytes(BIG))[4:], "a wrong echo reply")
    if any(r.ack == 1001 + len(request) for r in acks):
        want = response_for(pages, "a")
        expect(b"".join(r.data for r in acks) == want, "the request acknowledged, the page not sent")
    want = response_for(pages, "i")
    expect(fetch(peer, get(b"/"), sport=40001) == want, "the next connection not served")
    return (f"{len(echoes)} of 10 echoes answered, the request "
            f"{'answered' if acks else 'lost'}; the next connection served")


def bad_fcs(peer, pages):
    """A SYN with a wrong frame check sequence: the controller's CRC
    filter drops it, the server never sees it; the same SYN right gets
    its SYN-ACK."""
    syn = frame(peer.c, tcp_options=struct.pack(">BBH", 2, 4, 1460))
    expect(not peer.step("badfcs " + syn.hex()), "an answer to a frame with a wrong FCS")
    handshake(peer)
    return "dropped"


def back_to_back(peer, pages):
    """The largest page, asked with a window of 64,240: the initial window's
    full segments one after the other, each started only once the one
    before has left (the model fails a TXRTS set too soon)."""
    want = response_for(pages, "m")
    nxt = handshake(peer)
    got = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=get(b"/m"))
    data = [r for r in got if r.data]
    iw = peer.c["IW_SEGS"]
    expect(len(data) == iw and all(len(r.data) == 1460 for r in data),
           f"{len(data)} segments back, want the initial window's {iw} full ones")
    sent = b"".join(r.data for r in data)
    expect(sent == want[:len(sent)], "not the page's bytes")
    return f"{len(data)} segments back to back"


def ring_end(peer, pages):
    """Echoes whose packets fill the ring exactly: the tenth ends on its last
    byte, so its next packet pointer is ERXST and the driver must free up
    to ERXND (errata 14); then a ping is still answered."""
    size = symbol(peer.lst, "ETH_RX_END") + 1
    length = size // 10 - 10  # with next pointer, status and FCS: size / 10
    echo = frame(peer.c, proto=1, icmp=echo_request(bytes(length - 42)))
    expect(len(echo) == length and length % 2 == 0, f"an echo of {len(echo)} bytes")
    for _ in range(10):
        only(peer.send(echo), "echo request")
    only(peer.send(frame(peer.c, proto=1, icmp=echo_request(bytes(56)))), "the ping after")
    return f"ten {length}-byte frames end on the ring's last byte, then a ping"


def full_then_short(peer, pages):
    """A page of one full segment and a short rest: the full one, then at
    once the rest, whose TXRTS must wait until the 1,514-byte frame has
    left. Both whole. (The rest of the page is the shortest segment that
    goes out at once: silly window avoidance holds back a byte the window
    alone cuts off.)"""
    tag = long_page(pages)
    want = response_for(pages, tag)
    mss = peer.c["MSS_OUT"]
    expect(mss < len(want) < 2 * mss, f"page {tag}: not one full segment and a short one")
    nxt = handshake(peer)
    got = peer.tcp(seq=1001, ack=nxt, flags="PA", payload=get(b"/" + tag.encode()))
    sizes = [len(r.data) for r in got if r.data]
    expect(sizes == [mss, len(want) - mss], f"segments of {sizes} bytes, want {mss} and "
           f"{len(want) - mss}")
    expect(b"".join(r.data for r in got) == want, "not the page's bytes")
    return f"segments of {sizes[0]} and {sizes[1]} bytes"


def window_edge(peer, pages):
    """RSTs at the receive window's last number and just past it (RCV.NXT +
    WINDOW): the first gets a challenge ACK, the second nothing."""
    nxt = established(peer)
    edge = 1001 + peer.c["WINDOW"]
    expect(not peer.tcp(seq=edge, ack=nxt, flags="RA"),
           "an answer to an RST just past the window")
    r = only(peer.tcp(seq=edge - 1, ack=nxt, flags="RA"), "an RST on the window's last number")
    expect(r.flags == "A" and r.ack == 1001, f"[{r.flags}] ack {r.ack}, want a challenge ACK")
    return f"an RST at RCV.NXT + {peer.c['WINDOW']} dropped, one below it challenged"


def streamed_sum_edge(data):
    """The driver sums a segment's payload as it goes out (eth_pairs), a
    byte at a time, each add's carry into the next, from 0: True when the
    last carry comes in on a high byte of 0xFF, where it must go on round
    into the low byte."""
    h = low = c = 0
    for i in range(0, len(data) - 1, 2):
        h += data[i] + c
        h, c = h & 0xFF, h >> 8
        low += data[i + 1] + c
        low, c = low & 0xFF, low >> 8
    if len(data) & 1:
        h += data[-1] + c
        h, c = h & 0xFF, h >> 8
        low += c
        low, c = low & 0xFF, low >> 8
    return h == 0xFF and c == 1


def tcp_sum_good(r):
    pseudo = bytes(r.src) + bytes(r.dst) + struct.pack(">HH", 6, len(r.transport))
    return folded_sum(pseudo + r.transport) == 0xFFFF


def carry_cuts(peer, pages):
    """Every client window up to the MSS that cuts a page's first segment
    where its streamed sum's last carry meets a high byte of 0xFF (each cut
    of every page tried against the driver's way of summing): a connection
    each, the segment's TCP checksum right."""
    cuts = []
    for path in sorted(pages):
        tag = path.rsplit("/", 1)[-1][0]
        want = response_for(pages, tag)
        cuts += [(tag, w) for w in range(1, min(len(want), peer.c["MSS_OUT"] + 1))
                 if streamed_sum_edge(want[:w])]
    expect(cuts, "no page has a cut at the carry's edge: the row tests nothing")
    for n, (tag, window) in enumerate(cuts):
        sport, request = 44000 + n, get(b"/" + tag.encode())
        nxt = handshake(peer, window=window, sport=sport)
        got = peer.tcp(sport=sport, seq=1001, ack=nxt, flags="PA", payload=request,
                       window=window)
        data = [r for r in got if r.data]
        want = response_for(pages, tag)[:window]
        expect(len(data) == 1 and data[0].data == want,
               f"page {tag}, window {window}: not one segment of its first {window} bytes")
        expect(tcp_sum_good(data[0]), f"page {tag}, window {window}: a wrong TCP checksum")
        peer.tcp(sport=sport, seq=1001 + len(request), flags="R")
    return "windows " + ", ".join(f"{w} on page {t}" for t, w in cuts)


def controller_reset(peer, pages):
    """The controller loses power in the middle of a connection: the
    driver finds it reset and sets it up again; the client's next
    connection is served."""
    handshake(peer)
    expect(not peer.step("reset"), "a frame sent while the controller starts again")
    peer.wait(5)
    want = response_for(pages, "a")
    expect(fetch(peer, get(b"/a"), sport=40001) == want, "the next connection not served")
    return "the next connection served"


# The frame fuzzer: random and mutated frames and conversations, through
# the same bridge and guard as the rows above. FUZZ_SEED picks the run and
# FUZZ_KEY the build's key (both printed, so that a failure can be played
# again: the key sets the server's sequence numbers), FUZZ_FRAMES bounds the
# frames handed in. Each frame is judged by an oracle that reads the frame
# alone: either the server must drop it (the reasons the layers' opening
# comments give), or a reply may come. Every frame the server sends must
# come from its own MAC and IPv4 address, go to a unicast peer that wrote to
# it, carry right checksums and fit 1,514 bytes; a frame it must drop gets
# nothing at all, and an RST gets no RST. The bridge fails the run on a
# stray write, a read past the frame or a hang. On a DHCP build, once it
# is bound (dhcp-fuzz), mDNS queries and DHCP replies for another xid join
# the frames: UDP to mDNS may get an answer, which must be an A record of
# its address to the group or to the querier, for a query that holds the
# name's labels; DHCP and any other UDP get nothing.
FUZZ_SEED, FUZZ_FRAMES = 25, 1600
BROADCAST = b"\xff" * 6


def ip_text(a):
    return ".".join(map(str, a))


def unicast_ip(c, a):
    a = tuple(a)
    return a[0] not in (0, 127) and a[0] < 224 and a != c["ip"] and \
        a != c["ip"][:3] + (255,)


def drop_reason(c, raw):
    """Why the server must drop RAW, or None when a reply may come; an RST
    that passes every check is "rst": it may get anything but an RST."""
    n = len(raw)
    if n < 14 or n > 1514:
        return f"a frame of {n} bytes"
    dst, src, kind = raw[:6], raw[6:12], raw[12] << 8 | raw[13]
    if src[0] & 1 or src == bytes(6):
        return "a group or zero source MAC"
    if kind == 0x0806:
        if dst not in (c["mac"], BROADCAST):
            return "ARP to another MAC"
        if n < 42:
            return "a short ARP frame"
        a = raw[14:42]
        if a[:8] != bytes.fromhex("0001080006040001"):
            return "ARP, not a request for IPv4 over Ethernet"
        if a[8:14] != src or not unicast_ip(c, a[14:18]):
            return "ARP from another MAC or a group address"
        return None if a[24:28] == bytes(c["ip"]) else "ARP for another address"
    if kind != 0x0800:
        return "neither IPv4 nor ARP"
    if dst != c["mac"] and not (c.get("dhcp") and dst in (BROADCAST, MDNS_MAC)):
        return "IPv4 to another MAC"
    if n < 34:
        return "a short IPv4 frame"
    p = raw[14:]
    ihl, total = (p[0] & 15) * 4, p[2] << 8 | p[3]
    if p[0] >> 4 != 4 or ihl < 20 or not ihl <= total <= n - 14:
        return "IPv4 version or lengths"
    if (p[6] << 8 | p[7]) & 0x3FFF:
        return "a fragment"
    if folded_sum(p[:ihl]) != 0xFFFF:
        return "IPv4 header checksum"
    to = tuple(p[16:20])
    group = {BROADCAST: (255,) * 4, MDNS_MAC: MDNS_IP}.get(dst)
    if c.get("dhcp") and p[9] == 17 and (to == group or to == (255,) * 4 and dst == c["mac"]):
        pass  # UDP to everyone, or to mDNS's group
    elif to != c["ip"] or group:
        return "another IPv4 address"
    if not unicast_ip(c, p[12:16]):
        return "a group, zero, loopback or own source"
    seg = p[ihl:total]
    if p[9] == 17 and c.get("dhcp"):
        return udp_drop_reason(c, p[12:20], to, seg)
    if p[9] == 1:
        if len(seg) < 8 or seg[:2] != b"\x08\x00":
            return "ICMP, not an echo request"
        return None if folded_sum(seg) == 0xFFFF else "ICMP checksum"
    if p[9] != 6:
        return "neither ICMP nor TCP"
    if len(seg) < 20 or not 20 <= (seg[12] >> 4) * 4 <= len(seg):
        return "TCP lengths"
    if folded_sum(p[12:20] + struct.pack(">HH", 6, len(seg)) + seg) != 0xFFFF:
        return "TCP checksum"
    if seg[13] & 3 == 3:
        return "SYN with FIN"
    return "rst" if seg[13] & 4 else None


def udp_drop_reason(c, addresses, to, seg):
    """A DHCP build's verdict on a UDP datagram SEG, sent to TO: mDNS gets
    "may reply" (whether a query names us is the responder's to judge,
    and its answer is judged as it comes); DHCP, with an address bound and
    never the bound xid in the fuzzer's frames, gets nothing."""
    n = len(seg) >= 8 and seg[4] << 8 | seg[5]
    if not n or not 8 <= n <= len(seg):
        return "UDP lengths"
    if seg[6:8] == b"\0\0" or \
            folded_sum(addresses + struct.pack(">HH", 17, n) + seg[:n]) != 0xFFFF:
        return "UDP checksum"
    sport, dport = seg[0] << 8 | seg[1], seg[2] << 8 | seg[3]
    if dport == 5353 and to != (255,) * 4:
        return None
    if sport == 67 and dport == 68 and to != MDNS_IP:
        xid = n >= 16 and struct.unpack(">I", seg[12:16])[0]
        return None if xid == c["xid"] else "DHCP for another xid, or while bound"
    return "UDP to a port not served"


def udp_reply_faults(c, p, dst_mac, peers):
    """What is wrong with a datagram a bound DHCP build sent: only mDNS
    answers, each one A record of its address, to mDNS's group or to a
    peer that wrote."""
    total = p[2] << 8 | p[3]
    dst, seg = tuple(p[16:20]), p[20:total]
    if len(seg) < 20 or seg[4] << 8 | seg[5] != len(seg):
        return [f"a UDP length of {len(seg)} bytes in {total}"]
    bad = []
    if folded_sum(p[12:20] + struct.pack(">HH", 17, len(seg)) + seg) != 0xFFFF or \
            seg[6:8] == b"\0\0":
        bad.append("a bad UDP checksum")
    if seg[:2] != b"\x14\xe9" or p[8] != 255:
        bad.append(f"from port {seg[0] << 8 | seg[1]} with TTL {p[8]}: no mDNS answer")
    if (dst_mac, dst) != (MDNS_MAC, MDNS_IP) and \
            (not unicast_ip(c, dst) or (dst_mac, dst) not in peers):
        bad.append(f"to {ip_text(dst)} at {dst_mac.hex()}, which sent nothing")
    d = seg[8:]
    flags, an = struct.unpack(">H", d[2:4])[0], struct.unpack(">H", d[6:8])[0]
    if not flags & 0x8000 or an != 1 or d[-4:] != bytes(c["ip"]) or \
            d[-14:-12] != b"\0\x01" or d[-6:-4] != b"\0\x04":
        bad.append(f"an mDNS message that is no A record of {ip_text(c['ip'])}: {d.hex()}")
    return bad


def reply_faults(c, raw, peers):
    """What is wrong with a frame the server sent, to one of PEERS
    ({(MAC, IPv4 address)} that wrote to it)."""
    n, bad = len(raw), []
    if not 14 <= n <= 1514:
        return [f"a frame of {n} bytes"]
    if raw[6:12] != c["mac"]:
        bad.append(f"from MAC {raw[6:12].hex()}")
    dst_mac = raw[:6]
    if (dst_mac[0] & 1 or dst_mac == bytes(6)) and not (c.get("dhcp") and dst_mac == MDNS_MAC):
        bad.append(f"to MAC {dst_mac.hex()}")
    kind = raw[12] << 8 | raw[13]
    if kind == 0x0806:
        a = raw[14:]
        if not padded(raw, 42) or a[:8] != bytes.fromhex("0001080006040002"):
            bad.append("an ARP frame that is no reply")
        elif a[8:18] != c["mac"] + bytes(c["ip"]) or a[18:24] != dst_mac:
            bad.append("an ARP reply with the wrong addresses")
        elif (dst_mac, tuple(a[24:28])) not in peers or not unicast_ip(c, a[24:28]):
            bad.append(f"an ARP reply to {ip_text(a[24:28])}, which asked nothing")
        return bad
    if kind != 0x0800 or n < 34:
        return bad + [f"ethertype 0x{kind:04X}, {n} bytes"]
    p = raw[14:]
    total, dst = p[2] << 8 | p[3], tuple(p[16:20])
    if p[0] != 0x45 or not padded(raw, total + 14) or (p[6] << 8 | p[7]) & 0x3FFF:
        bad.append(f"IPv4 header {p[:8].hex()} in {n} bytes")
        return bad
    if folded_sum(p[:20]) != 0xFFFF:
        bad.append("a bad IPv4 header checksum")
    if tuple(p[12:16]) != c["ip"]:
        bad.append(f"from {ip_text(p[12:16])}")
    if p[9] == 17 and c.get("dhcp"):
        return bad + udp_reply_faults(c, p, dst_mac, peers)
    if not unicast_ip(c, dst) or (dst_mac, dst) not in peers:
        bad.append(f"to {ip_text(dst)} at {dst_mac.hex()}, which sent nothing")
    seg = p[20:total]
    if p[9] == 1:
        if len(seg) < 8 or seg[:2] != b"\x00\x00" or folded_sum(seg) != 0xFFFF:
            bad.append("an ICMP frame that is no echo reply, or a bad ICMP checksum")
    elif p[9] != 6:
        bad.append(f"IPv4 protocol {p[9]}")
    elif len(seg) < 20 or not 20 <= (seg[12] >> 4) * 4 <= len(seg):
        bad.append("a TCP header past the segment")
    else:
        if folded_sum(p[12:20] + struct.pack(">HH", 6, len(seg)) + seg) != 0xFFFF:
            bad.append("a bad TCP checksum")
        if len(seg) - (seg[12] >> 4) * 4 > c["MSS_OUT"]:
            bad.append(f"{len(seg) - (seg[12] >> 4) * 4} bytes of data, past MSS_OUT")
        if seg[:2] != struct.pack(">H", c["HTTP_PORT"]) and not seg[13] & 4:
            bad.append(f"from port {seg[0] << 8 | seg[1]}, and no RST")
    return bad


def fix_sums(raw):
    """RAW with its IPv4 header and ICMP or TCP checksums made right for
    what its headers declare, where the frame holds them."""
    b = bytearray(raw)
    if len(b) < 34 or b[12:14] != b"\x08\x00":
        return bytes(b)
    ihl, total = (b[14] & 15) * 4, b[16] << 8 | b[17]
    end = min(14 + total, len(b))
    seg = 14 + ihl
    if b[23] == 6 and end - seg >= 18:
        b[seg + 16:seg + 18] = b"\0\0"
        pseudo = bytes(b[26:34]) + struct.pack(">HH", 6, end - seg)
        b[seg + 16:seg + 18] = struct.pack(">H", checksum(pseudo + bytes(b[seg:end])))
    elif b[23] == 17 and end - seg >= 8 and 8 <= (b[seg + 4] << 8 | b[seg + 5]) <= end - seg:
        n = b[seg + 4] << 8 | b[seg + 5]
        b[seg + 6:seg + 8] = b"\0\0"
        pseudo = bytes(b[26:34]) + struct.pack(">HH", 17, n)
        b[seg + 6:seg + 8] = struct.pack(">H", checksum(pseudo + bytes(b[seg:seg + n])) or 0xFFFF)
    elif b[23] == 1 and end - seg >= 4:
        b[seg + 2:seg + 4] = b"\0\0"
        b[seg + 2:seg + 4] = struct.pack(">H", checksum(bytes(b[seg:end])))
    if ihl >= 20 and seg <= len(b):
        b[24:26] = b"\0\0"
        b[24:26] = struct.pack(">H", checksum(bytes(b[14:seg])))
    return bytes(b)


EDGE_IPS = [(0, 0, 0, 0), (255, 255, 255, 255), (127, 0, 0, 1), (224, 0, 0, 1),
            (239, 255, 255, 250), (240, 0, 0, 1), (192, 0, 2, 255), (192, 0, 2, 2),
            (192, 0, 2, 3), (223, 255, 255, 254), (192, 0, 2, 1), (0, 1, 2, 3)]
EDGE_MACS = [BROADCAST, bytes(6), bytes.fromhex("01005e000001"),
             bytes.fromhex("333300000001"), bytes.fromhex("025049430003"),
             bytes.fromhex("03aabbccdd01")]


def mutate(rng, c, raw):
    """One change to RAW: bytes flipped, inserted or deleted, the frame cut
    or lengthened, or a header field set to an edge value."""
    b = bytearray(raw)
    ihl = (b[14] & 15) * 4 if len(b) > 14 else 20
    l4 = 14 + max(ihl, 20)
    what = rng.randrange(10)
    if what == 0 and b:
        for _ in range(rng.randint(1, 3)):
            b[rng.randrange(len(b))] ^= rng.randint(1, 255)
    elif what == 1:
        at = rng.randint(0, len(b))
        b[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
    elif what == 2 and b:
        at = rng.randrange(len(b))
        del b[at:at + rng.randint(1, 8)]
    elif what == 3:
        del b[rng.choice([0, 1, 13, 14, 20, 33, 34, 41, 53, len(b) - 1,
                          rng.randint(0, len(b))]):]
    elif what == 4:
        # A long frame takes a long time to hand in: few go past 300 bytes.
        size = rng.choice([60, 64, 1514, 1515] if rng.random() < 0.15 else
                          [60, rng.randint(len(b), max(len(b), 300))])
        b += bytes([rng.choice([0, 0xFF, rng.randrange(256)])]) * (size - len(b))
    elif what == 5 and len(b) >= 34:  # IPv4 header fields
        field = rng.randrange(7)
        if field == 0:
            b[14] = rng.randrange(16) << 4 | rng.randrange(16) if rng.random() < 0.3 \
                else 0x40 | rng.randrange(16)
        elif field == 1:
            n = len(b) - 14
            b[16:18] = struct.pack(">H", rng.choice([0, 1, 19, 20, ihl - 1, ihl, n - 1, n,
                                                      n + 1, 0xFFFF]) & 0xFFFF)
        elif field == 2:
            b[20:22] = struct.pack(">H", rng.choice([0x2000, 0x0001, 0x1FFF, 0x8000,
                                                      0x4000, 0x6000, 0x0000, 0x00FF]))
        elif field == 3:
            b[23] = rng.choice([0, 1, 2, 6, 17, 41, 255])
        elif field == 4:
            b[26:30] = bytes(rng.choice(EDGE_IPS))
        elif field == 5:
            b[30:34] = bytes(rng.choice(EDGE_IPS))
        else:
            b[22] = rng.choice([0, 1, 255])
    elif what == 6 and len(b) >= l4 + 14:  # TCP header fields
        field = rng.randrange(6)
        if field == 0:
            b[l4 + 12] = rng.randrange(16) << 4 | (b[l4 + 12] & 15)
        elif field == 1:
            b[l4 + 13] = rng.choice([0, 1, 2, 4, 8, 16, 0x11, 0x12, 0x14, 0x18, 0x3F,
                                     0xFF, rng.randrange(256)])
        elif field == 2:
            at = l4 + rng.choice([0, 2])
            b[at:at + 2] = struct.pack(">H", rng.choice([0, 1, 79, 80, 81, 65535]))
        elif field == 3:
            at = l4 + rng.choice([4, 8])
            old = struct.unpack(">I", b[at:at + 4])[0]
            b[at:at + 4] = struct.pack(">I", rng.choice(
                [0, 0xFFFFFFFF, old + 1, old - 1, old + 1460, old ^ 0x80000000,
                 rng.randrange(2**32)]) % 2**32)
        elif field == 4:
            b[l4 + 14:l4 + 16] = struct.pack(">H", rng.choice([0, 1, 100, 0xFFFF]))
        else:  # options: lengths 0, 1, odd, past the header
            words = (b[l4 + 12] >> 4)
            opt = rng.choice([b"\x02\x00", b"\x02\x01", b"\x02\x03\x05", b"\x02\x04\x00\x00",
                              b"\x02\x04\xff\xff", b"\x02\x04\x00\x01", b"\x02\xff",
                              b"\x01\x01\x01\x02", b"\x00\x02\x04", b"\x08\x0a\x00",
                              b"\x02\x05\x05\xb4\x00", b"\x01" * 40, b"\x04\x02",
                              b"\x03\x03\x07", b"\x08\x0a" + bytes(8), b"\xfe\x02"])
            if words > 5:
                b[l4 + 20:l4 + 20 + len(opt)] = opt
            else:
                pad = (-len(opt)) % 4
                b[l4 + 20:l4 + 20] = opt + bytes(pad)
                b[l4 + 12] = min(15, 5 + (len(opt) + pad) // 4 -
                                 rng.choice([0, 0, 1])) << 4 | (b[l4 + 12] & 15)
                b[16:18] = struct.pack(">H", (b[16] << 8 | b[17]) + len(opt) + pad)
    elif what == 7 and len(b) >= 14:  # Ethernet
        field = rng.randrange(3)
        if field == 0:
            b[0:6] = rng.choice(EDGE_MACS + [c["mac"]])
        elif field == 1:
            b[6:12] = rng.choice(EDGE_MACS)
        else:
            b[12:14] = struct.pack(">H", rng.choice([0x0800, 0x0806, 0x86DD, 0, 0x8100, 0xFFFF]))
    elif what == 8 and len(b) >= 42 and b[12:14] == b"\x08\x06":  # ARP fields
        at = rng.choice([14, 16, 18, 19, 20, 22, 28, 38])
        if at in (28, 38):
            b[at:at + 4] = bytes(rng.choice(EDGE_IPS))
        elif at == 22:
            b[22:28] = rng.choice(EDGE_MACS)
        else:
            b[at + 1] = rng.choice([0, 1, 2, 3, 4, 6, 8, 255])
    elif len(b) > l4 + 1:  # ICMP type and code, or any byte past the headers
        at = rng.randrange(l4, len(b))
        b[at] = rng.choice([0, 8, 3, 0xFF, rng.randrange(256)])
    out = bytes(b)
    # Half the time the sums are made right, so that the change reaches the
    # checks past them.
    return fix_sums(out) if rng.random() < 0.5 else out


class Fuzzer:
    def __init__(self, peer, pages, seed, limit):
        self.peer, self.c, self.rng = peer, peer.c, random.Random(seed)
        self.limit, self.given, self.replies, self.datagrams = limit, 0, 0, 0
        self.peers = set()
        self.conns = {}  # (mac, ip, port) -> [our next seq, the server's next]
        self.reasons = {}
        self.port = 20000
        self.tags = sorted({p.rsplit("/", 1)[-1][0] for p in pages}) + ["z"]

    def frame(self, **f):
        return frame(self.c, **f)

    def send(self, raw, what):
        """Hands RAW in and judges what comes back."""
        if self.given >= self.limit:
            raise StopIteration
        # The bridge takes no empty line for a frame and cuts one past
        # 1,514 bytes: the frame judged is the one handed in.
        raw = (raw or b"\0")[:1514]
        self.given += 1
        why = drop_reason(self.c, raw)
        self.reasons[why or "may get a reply"] = self.reasons.get(why or "may get a reply", 0) + 1
        if why is None or why == "rst":
            src_ip = raw[28:32] if raw[12:14] == b"\x08\x06" else raw[26:30]
            self.peers.add((raw[6:12], tuple(src_ip)))
        got = self.peer.send(raw)
        for r in got:
            self.judge(r.raw, f"frame {self.given} ({what}: {raw.hex()})")
            if why not in (None, "rst"):
                raise Failure(f"a reply to frame {self.given}, which must be dropped "
                              f"({why}): {raw.hex()} got {r.raw.hex()}")
            if why == "rst" and r.raw[12:14] == b"\x08\x00" and r.raw[23] == 6 and \
                    r.raw[47] & 4:
                raise Failure(f"an RST in reply to frame {self.given}, an RST: {raw.hex()}")
            # An mDNS answer: the query must at least hold the name's labels.
            if r.raw[12:14] == b"\x08\x00" and r.raw[23] == 17 and \
                    not re.search(rb"\x03pic(\x05local\0|\xc0)", raw[42:].lower()):
                raise Failure(f"an mDNS answer to frame {self.given}, which names no pic.local: "
                              f"{raw.hex()}")
        return got

    def wait(self, ms):
        for r in self.peer.wait(ms):
            self.judge(r.raw, f"a wait of {ms} ms after frame {self.given}")

    def judge(self, raw, after):
        self.replies += 1
        self.datagrams += raw[12:14] == b"\x08\x00" and raw[23] == 17
        bad = reply_faults(self.c, raw, self.peers)
        if bad:
            raise Failure(f"after {after}: sent {raw.hex()}: {'; '.join(bad)}")
        if raw[12:14] == b"\x08\x00" and raw[23] == 6 and not raw[47] & 4 and \
                raw[34:36] == struct.pack(">H", self.c["HTTP_PORT"]):
            r = Reply(raw)
            key = (raw[:6], r.dst, r.dport)
            end = (r.seq + len(r.data) + ("S" in r.flags) + ("F" in r.flags)) % 2**32
            conn = self.conns.setdefault(key, [r.ack, end])
            conn[0] = r.ack
            if (end - conn[1]) % 2**32 < 2**31:
                conn[1] = end

    # The frames a client sends, from a peer of its own.
    def client(self):
        self.port += 1
        mac, ip = PEER_MAC, PEER_IP
        if self.rng.random() < 0.2:
            ip = (192, 0, 2, self.rng.choice([1, 7, 100, 254]))
            mac = bytes.fromhex("02aabbccdd") + bytes([ip[3]])
        return dict(src_mac=mac, src=ip, sport=self.port)

    def mss_option(self):
        return self.rng.choice([b"", struct.pack(">BBH", 2, 4, 1460), struct.pack(">BBH", 2, 4, 536),
                                struct.pack(">BBH", 2, 4, 64), struct.pack(">BBH", 2, 4, 0),
                                struct.pack(">BBH", 2, 4, 65535) + b"\x01\x01\x01\x00",
                                # A Linux SYN's: MSS, SACK permitted,
                                # timestamps, window scale.
                                bytes.fromhex("020405b40402080a0001e2400000000001030307"),
                                # Lengths 0, 1 and odd, one past the header.
                                b"\x02\x00\x00\x00", b"\x02\x01\x01\x00", b"\x02\x03\x05\x00",
                                b"\x01\x01\x02\x04", b"\xfe\x00\x01\x00"])

    def request(self):
        tag = self.rng.choice(self.tags)
        target = self.rng.choice([b"/", b"/" + tag.encode(), b"/" + tag.encode() + b"?q",
                                  b"/?x", b"x", b""])
        method = self.rng.choice([b"GET ", b"GET ", b"GET ", b"HEAD ", b"POST ", b"get ", b""])
        return method + target + self.rng.choice([b" HTTP/1.0\r\n\r\n", b"", b"\r\n"])

    def single(self):
        """One frame, valid or changed, from a peer with no connection."""
        who, c = self.client(), self.c
        kind = self.rng.randrange(6)
        if c.get("dhcp") and self.rng.random() < 0.4:
            kind = self.rng.choice([6, 6, 6, 7])
        if kind >= 6:
            raw = self.datagram(kind == 6, who)
        elif kind == 0:
            raw = self.frame(dst_mac=BROADCAST, ethertype=0x0806, src_mac=who["src_mac"],
                             arp=arp_request(c, c["ip"]) if who["src"] == PEER_IP else
                             struct.pack(">HHBBH", 1, 0x0800, 6, 4, 1) + who["src_mac"] +
                             bytes(who["src"]) + bytes(6) + bytes(c["ip"]))
        elif kind == 1:
            data = bytes(self.rng.randrange(256) for _ in range(
                self.rng.choice([0, 1, 56, 57, self.rng.randint(0, 1472)])))
            raw = self.frame(proto=1, icmp=echo_request(data), **dict(
                (k, v) for k, v in who.items() if k != "sport"))
        else:
            flags = ["S", "PA", "FA", "R"][kind - 2]
            raw = self.frame(flags=flags, seq=self.rng.randrange(2**32),
                             ack=self.rng.randrange(2**32) if "A" in flags else 0,
                             payload=self.request() if flags == "PA" else b"",
                             tcp_options=self.mss_option() if flags == "S" else b"", **who)
        # Few datagrams are changed: a query must be whole to be answered.
        for _ in range(self.rng.choice([0, 0, 0, 0, 1, 2] if kind >= 6 else [0, 1, 1, 1, 2, 3])):
            raw = mutate(self.rng, c, raw)
        self.send(raw, "a single frame")

    def datagram(self, mdns, who):
        """A DHCP build's: an mDNS query, for its name or another, to the
        group or to it, from port 5353 or another; or a DHCP reply for
        another xid, to everyone or to it."""
        rng, c = self.rng, self.c
        if not mdns:
            xid = c["xid"] ^ rng.choice([1, rng.randrange(1, 2**32)])  # never the bound one
            to = rng.choice([(255,) * 4, c["ip"]])
            return udp_frame(c, dhcp_payload(c, xid, rng.choice([2, 5, 6]),
                                             yiaddr=rng.choice([OFFERED, (192, 0, 2, 77)]),
                                             chaddr=rng.choice([None, OTHER_MAC])),
                             src=who["src"], dst=to, src_mac=who["src_mac"],
                             dst_mac=BROADCAST if to == (255,) * 4 else c["mac"])
        name = rng.choice(["pic.local"] * 4 + ["PIC.Local", "pics.local", "pic.local.x",
                                                 "x.pic.local"])
        q = question(name, rng.choice([1, 1, 1, 255, 28]), rng.choice([1, 1, 0x8001, 255, 3]))
        qs = rng.choice([[q]] * 4 + [[question("a.local"), b"\x03pic\xc0\x12\0\x01\0\x01"],
                                     [question("b.local")] * 9 + [q]])
        head = struct.pack(">HHHHHH", rng.randrange(65536),
                           rng.choice([0] * 6 + [0x8400, 0x2800]),
                           len(qs) + rng.choice([0] * 7 + [1, -1, 90]), 0, 0, 0)
        to = rng.choice([MDNS_IP, c["ip"]])
        return udp_frame(c, head + b"".join(qs), src=who["src"], dst=to, src_mac=who["src_mac"],
                         dst_mac=MDNS_MAC if to == MDNS_IP else c["mac"],
                         sport=rng.choice([5353, 5353, who["sport"]]), dport=5353)

    def conversation(self, count):
        """COUNT connections at once, each playing a client that answers
        what the server sends, with changed, repeated and early frames."""
        rng, clients = self.rng, []
        for _ in range(count):
            who = self.client()
            clients.append(dict(who=who, isn=rng.randrange(2**32), stage=0,
                                window=rng.choice([64240, 64240, 1460, 1000, 0, 65535]),
                                mss=self.mss_option(), req=self.request()))
        for _ in range(12 * count):
            live = [k for k in clients if k["stage"] < 5]
            if not live:
                break
            k = rng.choice(live)
            who = k["who"]
            key = (who["src_mac"], who["src"], who["sport"])
            conn = self.conns.get(key)
            seq, ack = (conn[0], conn[1]) if conn else ((k["isn"] + 1) % 2**32, 0)
            if k["stage"] == 0 or not conn:
                raw, k["stage"] = self.frame(flags="S", seq=k["isn"], tcp_options=k["mss"],
                                             window=k["window"], **who), 1
            elif k["stage"] == 1:
                split = rng.random() < 0.3
                raw = self.frame(flags="A" if split else "PA", seq=seq, ack=ack,
                                 payload=b"" if split else k["req"], window=k["window"], **who)
                k["stage"] = 2 if split else 3
            elif k["stage"] == 2:
                raw, k["stage"] = self.frame(flags="PA", seq=seq, ack=ack, payload=k["req"],
                                             window=k["window"], **who), 3
            elif k["stage"] == 3:
                if k["window"] == 0 or rng.random() < 0.2:
                    k["window"] = rng.choice([1460, 64240])
                raw = self.frame(flags="A", seq=seq, ack=ack, window=k["window"], **who)
                k["stage"] = 4 if rng.random() < 0.3 else 3
            else:
                raw, k["stage"] = self.frame(flags="FA", seq=seq, ack=ack, **who), 5
            odd = rng.random()
            if odd < 0.3:  # a changed copy first
                self.send(mutate(rng, self.c, raw), "a changed segment")
            elif odd < 0.4:  # out of order: ahead of what is expected, or old
                b = bytearray(raw)
                at = 14 + 20 + 4
                b[at:at + 4] = struct.pack(">I", (struct.unpack(">I", b[at:at + 4])[0] +
                                                  rng.choice([1, 1000, -1, 2**31])) % 2**32)
                self.send(fix_sums(bytes(b)), "a segment out of order")
            elif odd < 0.45:  # a SYN again
                self.send(self.frame(flags="S", seq=k["isn"], tcp_options=k["mss"], **who),
                          "a SYN again")
            elif odd < 0.5:  # data before the handshake is done
                self.send(self.frame(flags="PA", seq=seq, ack=ack + rng.choice([0, 1, 5]),
                                     payload=k["req"], **who), "data early")
            self.send(raw, "a segment")
            if rng.random() < 0.1:
                self.send(raw, "the same segment again")
        if rng.random() < 0.05:
            # Simulated time for the timers: resent segments, window probes.
            self.wait(self.c["RTO_MS"] + 5)

    def clean_up(self):
        """An RST for each connection the server holds, then a fresh SYN,
        which must get its SYN-ACK: the server still answers."""
        for (mac, ip, port), (seq, _) in sorted(self.conns.items()):
            self.send(self.frame(src_mac=mac, src=ip, sport=port, seq=seq, flags="R"),
                      "an RST to end a connection")
        self.conns.clear()
        who = self.client()
        got = self.send(self.frame(flags="S", seq=7, tcp_options=self.mss_option(), **who),
                        "the SYN that checks the server still answers")
        syn_acks = [r for r in got if r.ethertype == 0x0800 and r.proto == 6 and
                    r.dport == who["sport"] and r.flags == "SA"]
        if len(syn_acks) != 1:
            raise Failure(f"after frame {self.given - 1}, a SYN got {len(got)} frame(s) "
                          "back, no SYN-ACK: the server no longer answers")
        self.send(self.frame(seq=8, flags="R", **who), "its RST")
        self.conns.clear()

    def run(self):
        episodes = 0
        try:
            while True:
                episodes += 1
                kind = self.rng.random()
                if kind < 0.5:
                    for _ in range(self.rng.randint(1, 6)):
                        self.single()
                else:
                    self.conversation(1 if kind < 0.8 else self.rng.randint(2, 6))
                self.clean_up()
        except StopIteration:
            pass
        return episodes


def fuzz(peer, pages):
    """Random and changed frames and conversations (see Fuzzer)."""
    seed = int(os.environ.get("FUZZ_SEED", str(FUZZ_SEED)), 0)
    limit = int(os.environ.get("FUZZ_FRAMES", str(FUZZ_FRAMES)), 0)
    # The server's sequence numbers, and so the conversations, follow the
    # build's key too: the seed and the key replay a run.
    key = f"{peer.c['KEY_A']:08x}:{peer.c['KEY_B']:08x}"
    print(f"fuzz: seed {seed} (FUZZ_SEED), key {key} (FUZZ_KEY), at most {limit} frames "
          "(FUZZ_FRAMES)", flush=True)
    f = Fuzzer(peer, pages, seed, limit)
    # The largest page in segments of MSS_MIN comes to about 500 frames.
    peer.most = 5000
    try:
        episodes = f.run()
    except Failure as why:
        raise Failure(f"seed {seed}, key {key}: {why}")
    shown = ", ".join(f"{n} {why}" for why, n in sorted(f.reasons.items(), key=lambda x: -x[1]))
    if peer.c.get("dhcp"):
        expect(f.datagrams, f"seed {seed}: no mDNS answer in {f.given} frames")
        shown = f"{f.datagrams} of them mDNS answers; {shown}"
    return f"seed {seed}: {f.given} frames in {episodes} runs, {f.replies} sent back; {shown}"



# A DHCP build (NET_DHCP 1) on frames: the row plays the DHCP server at
# PEER_IP / PEER_MAC and checks every message and ARP frame the client
# sends, against RFC 2131 and 5227 as read here, not against dhcp.inc.
OFFERED = (192, 0, 2, 63)  # the broadcast of a /26: see dhcp_forged
OTHER_MAC = bytes.fromhex("02aabbccdd77")


def udp_frame(c, payload, src=PEER_IP, dst=(255, 255, 255, 255), sport=67, dport=68,
              dst_mac=BROADCAST, length=None, sum_=None, total=None, src_mac=PEER_MAC):
    """A UDP datagram to the client; LENGTH and SUM_ replace the UDP
    length and checksum fields when given (the checksum is worked out
    over what LENGTH declares otherwise)."""
    n = 8 + len(payload) if length is None else length
    body = struct.pack(">HHHH", sport, dport, n, 0) + payload
    if sum_ is None:
        pseudo = bytes(src) + bytes(dst) + struct.pack(">HH", 17, n)
        sum_ = checksum(pseudo + body[:n]) or 0xFFFF
    body = body[:6] + struct.pack(">H", sum_) + body[8:]
    ip = struct.pack(">BBHHHBBH4B4B", 0x45, 0, total or 20 + len(body), 0, 0, 64, 17, 0,
                     *src, *dst)
    ip = ip[:10] + struct.pack(">H", checksum(ip)) + ip[12:]
    return dst_mac + src_mac + b"\x08\x00" + ip + body


def dhcp_options(**o):
    out = b""
    for code, value in o.items():
        out += bytes([int(code[1:]), len(value)]) + value
    return out


def dhcp_payload(c, xid, kind, yiaddr=OFFERED, chaddr=None, op=2, cookie=b"c\x82Sc",
                 options=None, server=PEER_IP, lease=3600, extra=b""):
    """A BOOTREPLY of message type KIND; OPTIONS replaces the options."""
    if options is None:
        options = dhcp_options(o53=bytes([kind]), o54=bytes(server),
                               o51=struct.pack(">I", lease), o1=bytes((255, 255, 255, 0)))
        options += extra + b"\xff"
    fixed = struct.pack(">BBBBIHH4s4s4s4s16s64s128s", op, 1, 6, 0, xid, 0, 0x8000, bytes(4),
                        bytes(yiaddr), bytes(PEER_IP), bytes(4),
                        (chaddr or c["mac"]) + bytes(10), b"", b"")
    return fixed + cookie + options


def dhcp_sent(r):
    """A DHCP message the client sent: (type, xid, fields, options), or None."""
    if r.ethertype != 0x0800 or getattr(r, "proto", 0) != 17 or r.sport != 68 or r.dport != 67:
        return None
    d = r.data
    opts, i = {}, 240
    while i < len(d) and d[i] != 255:
        if d[i] == 0:
            i += 1
            continue
        opts[d[i]] = d[i + 2:i + 2 + d[i + 1]]
        i += 2 + d[i + 1]
    fields = dict(op=d[0], htype=d[1], hlen=d[2], flags=d[10] << 8 | d[11],
                  ciaddr=tuple(d[12:16]), chaddr=d[28:34], cookie=d[236:240], size=len(d))
    return opts.get(53, b"\0")[0], struct.unpack(">I", d[4:8])[0], fields, opts


def one_dhcp(replies, kind, what):
    msgs = [m for m in map(dhcp_sent, replies) if m]
    expect(len(msgs) == 1 and len(replies) == 1 and msgs[0][0] == kind,
           f"{what}: want one DHCP message of type {kind}, got "
           f"{[m[0] for m in msgs]} in {len(replies)} frame(s)")
    m, r = msgs[0], replies[0]
    t, xid, f, opts = m
    expect(f["op"] == 1 and f["htype"] == 1 and f["hlen"] == 6 and f["cookie"] == b"c\x82Sc"
           and f["size"] >= 300, f"{what}: BOOTP fields {f}")
    expect(opts.get(12, b"") in (b"", b"pic"), f"{what}: host name {opts.get(12)}")
    return m, r


def to_everyone(r, what):
    expect(r.raw[:6] == BROADCAST and r.dst == (255, 255, 255, 255),
           f"{what}: to {r.raw[:6].hex()} {r.dst}, not to everyone")


def discover(peer, ms=2100):
    """The first DISCOVER, which comes 1 to 2 s after the start (link-local
    probes and mDNS may come too, once 10 s have passed since the first)."""
    got = [r for r in peer.wait(ms)
           if not (r.ethertype == 0x0806 and r.raw[38:40] == b"\xa9\xfe") and not is_mdns(r)]
    (t, xid, f, opts), r = one_dhcp(got, 1, "start")
    to_everyone(r, "DISCOVER")
    expect(r.src == (0, 0, 0, 0) and f["flags"] == 0x8000 and f["chaddr"] == peer.c["mac"]
           and f["ciaddr"] == (0, 0, 0, 0), f"DISCOVER from {r.src}, fields {f}")
    expect(opts.get(12) == b"pic" and set(opts.get(55, b"")) >= {1, 51},
           f"DISCOVER options {opts}")
    return xid


def offer(peer, xid, **d):
    """An OFFER; returns the REQUEST it gets."""
    (t, rxid, f, opts), r = one_dhcp(
        peer.send(udp_frame(peer.c, dhcp_payload(peer.c, xid, 2, **d))), 3, "OFFER")
    to_everyone(r, "REQUEST")
    expect(rxid == xid and opts.get(50) == bytes(OFFERED) and opts.get(54) == bytes(PEER_IP)
           and f["ciaddr"] == (0, 0, 0, 0), f"REQUEST: xid {rxid:x}, options {opts}")
    return r


def probes(peer, addr=OFFERED):
    """After an ACK: 3 ARP probes from 0.0.0.0 for ADDR, 1 to 2 s apart,
    then 2 s on two announcements, 2 s apart. Returns the gaps in ms."""
    got = []
    for _ in range(48):
        got += [(peer.now, r) for r in peer.wait(250) if not is_mdns(r)]
    arps = [(t, r) for t, r in got if r.ethertype == 0x0806]
    expect(len(arps) == len(got) == 5, f"{len(got)} frames after the ACK, {len(arps)} of ARP")
    for i, (t, r) in enumerate(arps):
        a = r.raw[14:42]
        sender = bytes(4) if i < 3 else bytes(addr)
        expect(r.raw[:6] == BROADCAST and a[:8] == bytes.fromhex("0001080006040001")
               and a[8:14] == peer.c["mac"] and a[14:18] == sender and a[18:24] == bytes(6)
               and a[24:28] == bytes(addr), f"ARP {i + 1}: {a.hex()}")
    times = [t for t, _ in arps]
    gaps = [b - a for a, b in zip(times, times[1:])]
    # Each wait is 250 ms, so a gap is known to 250 ms either way; the
    # probes come 1 to 2 s apart, the announcements 2 s after the last.
    expect(all(750 <= g <= 2250 for g in gaps[:2]) and all(1750 <= g <= 2250 for g in gaps[2:]),
           f"gaps between the ARP frames {gaps} ms")
    return gaps


def bound(peer, addr=OFFERED, lease=3600, **d):
    """The whole exchange up to a bound address; returns the time of the
    ACK, and keeps the xid as peer.c["xid"]."""
    xid = peer.c["xid"] = discover(peer)
    offer(peer, xid)
    expect(not peer.send(udp_frame(peer.c, dhcp_payload(peer.c, xid, 5, lease=lease, **d))),
           "the ACK got a frame back at once")
    acked = peer.now
    probes(peer, addr)
    peer.c["ip"] = addr
    peer.c["bcast"] = addr[:3] + (255,)
    return acked


def dhcp_fuzz(peer, pages):
    """The frame fuzzer on a bound DHCP build, with mDNS queries and DHCP
    replies for another xid among its frames."""
    bound(peer)
    peer.wait(3000)  # mDNS's probes and announcements
    peer.c["dhcp"] = True
    return fuzz(peer, pages)


def dhcp_bind(peer, pages):
    xid = discover(peer)
    # Before any address: no ping, no SYN answered at the offered one.
    peer.c["ip"] = OFFERED
    expect(not peer.send(frame(peer.c, proto=1, icmp=echo_request(bytes(8)))),
           "a ping answered before the address is bound")
    offer(peer, xid)
    expect(not peer.send(udp_frame(peer.c, dhcp_payload(peer.c, xid, 5))), "the ACK answered")
    expect(not peer.tcp(), "a SYN answered while the address is probed")
    gaps = probes(peer)
    peer.c["bcast"] = (192, 0, 2, 255)
    got = fetch(peer, get(b"/a"))
    expect(got == response_for(pages, "a"), "the page at the leased address")
    # The absolute form names the leased address, not the build's NET_IP.
    host = ip_text(OFFERED).encode()
    for target, tag, sport in ((b"http://" + host + b"/a", "a", 40001),
                               (b"http://" + host + b":80", "i", 40002),
                               (b"http://" + host[:-2] + b"063/a", "4", 40003),
                               (b"http://" + host + b"3/a", "4", 40004),
                               (b"http://192.0.2.2/a", "4", 40005)):
        got = fetch(peer, get(target), sport=sport)
        expect(got == response_for(pages, tag), f"{target.decode()}: not page {tag}")
    live_json(peer, pages, 40006)  # its ip: the leased address
    return f"bound at {ip_text(OFFERED)}, ARP gaps {gaps} ms, page a served, at its name too"


def dhcp_renew(peer, pages):
    """A lease of 40 s, never renewed: a REQUEST to the server at T1 (20 s),
    to everyone at T2 (35 s), the address given up at 40 s."""
    start = bound(peer, lease=40)
    only(peer.send(frame(peer.c, proto=1, icmp=echo_request(bytes(8)))), "ping when bound")
    got = []
    for _ in range(50):
        got += [(peer.now - start, r) for r in peer.wait(1000)]
        if not any(dhcp_sent(r) and dhcp_sent(r)[0] == 1 for _, r in got):
            continue
        break
    msgs = [(t, dhcp_sent(r), r) for t, r in got if dhcp_sent(r)]
    kinds = [m[0] for _, m, _ in msgs]
    expect(kinds[:3] == [3, 3, 1], f"after the lease: DHCP types {kinds}, want 3, 3, 1")
    (t1, renew, r1), (t2, rebind, r2), (t3, _, r3) = msgs[:3]
    expect(r1.raw[:6] == PEER_MAC and r1.dst == PEER_IP and r1.src == OFFERED
           and renew[2]["ciaddr"] == OFFERED and 50 not in renew[3] and 54 not in renew[3],
           f"RENEW to {r1.dst} from {r1.src}, ciaddr {renew[2]['ciaddr']}, {renew[3]}")
    to_everyone(r2, "REBIND")
    expect(rebind[2]["ciaddr"] == OFFERED and 54 not in rebind[3], "REBIND fields")
    to_everyone(r3, "DISCOVER after the lease")
    expect(r3.src == (0, 0, 0, 0), "the DISCOVER after the lease is not from 0.0.0.0")
    # From the ACK; the lease's seconds are counted from within the second
    # it came in, and a wait of 1,000 ms shows each a second late at most.
    expect(19000 <= t1 <= 21000 and 34000 <= t2 <= 36000 and 39000 <= t3 <= 42100,
           f"RENEW at {t1}, REBIND at {t2}, DISCOVER at {t3} ms after the ACK")
    expect(not peer.send(frame(peer.c, proto=1, icmp=echo_request(bytes(8)))),
           "a ping answered after the lease ended")
    return f"RENEW at +{t1}, REBIND at +{t2}, lease over at +{t3} ms"


def dhcp_nak(peer, pages):
    xid = discover(peer)
    offer(peer, xid)
    expect(not peer.send(udp_frame(peer.c, dhcp_payload(peer.c, xid, 6, options=dhcp_options(
        o53=b"\x06", o54=bytes(PEER_IP)) + b"\xff"))), "the NAK answered")
    again = discover(peer)
    expect(again != xid, "the same xid after a NAK")
    return "NAK: a new DISCOVER, a new xid"


def dhcp_conflict(peer, pages):
    xid = discover(peer)
    offer(peer, xid)
    peer.send(udp_frame(peer.c, dhcp_payload(peer.c, xid, 5)))
    peer.wait(1100)  # the first probe, at most
    claim = struct.pack(">HHBBH", 1, 0x0800, 6, 4, 2) + OTHER_MAC + bytes(OFFERED) + \
        peer.c["mac"] + bytes(4)
    got = peer.send(frame(peer.c, src_mac=OTHER_MAC, dst_mac=peer.c["mac"], ethertype=0x0806,
                          arp=claim))
    (t, dxid, f, opts), r = one_dhcp(got, 4, "a conflict")
    to_everyone(r, "DECLINE")
    expect(opts.get(50) == bytes(OFFERED) and opts.get(54) == bytes(PEER_IP)
           and 12 not in opts and 55 not in opts, f"DECLINE options {opts}")
    # Link-local's probes may start meanwhile (10 s after the first DISCOVER).
    quiet = [r for r in peer.wait(9000)
             if not (r.ethertype == 0x0806 and r.raw[38:40] == b"\xa9\xfe")]
    expect(not quiet, f"{len(quiet)} frames in the 9 s after the DECLINE")
    discover(peer, 3100)
    return "DECLINE, then 10 s quiet, then a DISCOVER"


def dhcp_forged(peer, pages):
    """OFFERs and ACKs a client must not take: another xid, another MAC,
    and hostile forms; then the true one works."""
    xid = discover(peer)
    c = peer.c
    p = lambda **d: dhcp_payload(c, xid, 2, **d)  # noqa: E731
    good = p()
    hostile = {
        "another xid": udp_frame(c, dhcp_payload(c, xid ^ 1, 2)),
        "another MAC": udp_frame(c, p(chaddr=OTHER_MAC)),
        "a BOOTREQUEST": udp_frame(c, p(op=1)),
        "another cookie": udp_frame(c, p(cookie=b"c\x82Sd")),
        "no checksum": udp_frame(c, good, sum_=0),
        "a wrong checksum": udp_frame(c, good, sum_=0x1234),
        "a UDP length past the datagram": udp_frame(c, good, length=len(good) + 9),
        "a UDP length of 7": udp_frame(c, good, length=7),
        "to port 67": udp_frame(c, good, dport=67),
        "from port 68": udp_frame(c, good, sport=68),
        "239 bytes": udp_frame(c, good[:239]),
        "an option past the end": udp_frame(c, good[:240] + b"\x35\x01\x02\x0c\x09\xc0"),
        "a server identifier past the end": udp_frame(
            c, good[:240] + b"\x35\x01\x02\x36\x04\xc0\x00"),
        "a length byte past the end": udp_frame(c, good[:240] + b"\x35\x01\x02\x36"),
        "option 53 of 2 bytes": udp_frame(c, p(options=b"\x35\x02\x02\x02\x36\x04" +
                                                bytes(PEER_IP) + b"\xff")),
        "no server identifier": udp_frame(c, p(options=b"\x35\x01\x02\xff")),
        "an offer of 0.0.0.0": udp_frame(c, p(yiaddr=(0, 0, 0, 0))),
        "an offer of 224.0.0.251": udp_frame(c, p(yiaddr=(224, 0, 0, 251))),
        "an offer of 127.0.0.1": udp_frame(c, p(yiaddr=(127, 0, 0, 1))),
        "an ACK while selecting": udp_frame(c, dhcp_payload(c, xid, 5)),
        "a unicast address to the broadcast MAC": udp_frame(c, good, dst=OFFERED),
        "from a broadcast source": udp_frame(c, good, src=(255, 255, 255, 255)),
        "an IPv4 total length past the frame": udp_frame(c, good, total=20 + 8 + len(good) + 1),
    }
    for what, raw in hostile.items():
        got = peer.send(raw)
        expect(not got, f"{what}: {len(got)} frame(s) back")
    offer(peer, xid)
    bad_acks = {
        "an ACK for another xid": dhcp_payload(c, xid ^ 0x100, 5),
        "an ACK for another MAC": dhcp_payload(c, xid, 5, chaddr=OTHER_MAC),
        "an ACK for another address": dhcp_payload(c, xid, 5, yiaddr=(192, 0, 2, 51)),
        "an ACK from another server": dhcp_payload(c, xid, 5, server=(192, 0, 2, 9)),
        "an ACK without a lease": dhcp_payload(c, xid, 5, options=dhcp_options(
            o53=b"\x05", o54=bytes(PEER_IP)) + b"\xff"),
        "an ACK with a mask with holes": dhcp_payload(c, xid, 5, options=dhcp_options(
            o53=b"\x05", o54=bytes(PEER_IP), o51=b"\0\0\x0e\x10", o1=b"\xff\xff\x00\xff") +
            b"\xff"),
        "an ACK whose /26 makes the address its broadcast": dhcp_payload(
            c, xid, 5, options=dhcp_options(o53=b"\x05", o54=bytes(PEER_IP),
                                            o51=b"\0\0\x0e\x10", o1=b"\xff\xff\xff\xc0") + b"\xff"),
    }
    for what, payload in bad_acks.items():
        got = peer.send(udp_frame(c, payload))
        got += peer.wait(1100)  # the first probe would come by then
        # The REQUEST may come again meanwhile, on its back-off.
        got = [r for r in got if not (dhcp_sent(r) and dhcp_sent(r)[0] == 3)]
        expect(not got, f"{what}: {len(got)} frame(s) back")
    expect(not peer.send(udp_frame(c, dhcp_payload(c, xid, 5))), "the true ACK answered")
    probes(peer)
    return f"{len(hostile)} OFFERs and {len(bad_acks)} ACKs not taken, then bound"


# Link-local (RFC 3927): no DHCP server answers.
LINK_LOCAL = (169, 254, 1, 2)  # from the MAC: 169.254.(MAC_4 % 254 + 1).MAC_5
LL_PEER = (169, 254, 7, 7)


def collect(peer, ms, step=250):
    """Every frame sent in the next MS ms: [(ms since the start, frame)]."""
    start, got = peer.now, []
    for _ in range(ms // step):
        got += [(peer.now - start, r) for r in peer.wait(step)]
    return got


def arp_steps(got, what):
    """The ARP requests in GOT: [(time, sender IP, target IP)], each checked
    to be a probe or an announcement to everyone from our MAC."""
    steps = []
    for t, r in got:
        if r.ethertype != 0x0806:
            continue
        a = r.raw[14:42]
        expect(r.raw[:6] == BROADCAST and a[:8] == bytes.fromhex("0001080006040001")
               and a[8:14] == r.raw[6:12] and a[18:24] == bytes(6), f"{what}: ARP {a.hex()}")
        steps.append((t, tuple(a[14:18]), tuple(a[24:28])))
    return steps


def probed_and_announced(steps, addr, what):
    """STEPS for ADDR: 3 probes 1 to 2 s apart, 2 announcements 2 s apart,
    the first 2 s after the last probe (known to 250 ms). Returns the time
    of the first probe."""
    mine = [(t, src) for t, src, dst in steps if dst == addr]
    expect([src for _, src in mine] == [(0, 0, 0, 0)] * 3 + [addr] * 2,
           f"{what}: ARP for {ip_text(addr)} from {[ip_text(s) for _, s in mine]}")
    gaps = [b - a for (a, _), (b, _) in zip(mine, mine[1:])]
    expect(all(750 <= g <= 2250 for g in gaps[:2]) and all(1750 <= g <= 2250 for g in gaps[2:]),
           f"{what}: gaps {gaps} ms")
    return mine[0][0]


def ll_answers(peer, addr):
    """Z: ARP for ADDR from a link-local peer, and a ping from it."""
    c = dict(peer.c, ip=addr)
    got = peer.send(frame(c, dst_mac=BROADCAST, ethertype=0x0806,
                          arp=arp_request(c, target=addr, sender=LL_PEER)))
    if not got:
        return False
    r = only(got, "ARP for the link-local address")
    expect(r.raw[:6] == BROADCAST, f"an ARP reply from a link-local address to {r.raw[:6].hex()}")
    expect(r.raw[14:42] == struct.pack(">HHBBH", 1, 0x0800, 6, 4, 2) + c["mac"] + bytes(addr) +
           PEER_MAC + bytes(LL_PEER), f"ARP reply {r.raw[14:42].hex()}")
    r = only(peer.send(frame(c, src=LL_PEER, dst=addr, proto=1, icmp=echo_request(bytes(8)))),
             "ping at the link-local address")
    expect(r.src == addr and r.dst == LL_PEER, f"echo reply {r.src} -> {r.dst}")
    return True


def link_local(peer, pages):
    xid = discover(peer)
    got = collect(peer, 20000)
    steps = arp_steps(got, "link-local")
    first = probed_and_announced(steps, LINK_LOCAL, "link-local")
    # Armed at the first DISCOVER, which came 0 to 1.1 s before this
    # collection (1 to 2 s after the start, in a wait of 2.1 s), and probed
    # after PROBE_WAIT (0 to 1 s) more.
    expect(8900 <= first <= 11250, f"the first probe {first} ms after the wait for the DISCOVER")
    kinds = [dhcp_sent(r)[0] for _, r in got if dhcp_sent(r)]
    expect(kinds and set(kinds) == {1}, f"DHCP meanwhile: {kinds}, want DISCOVERs")
    expect(ll_answers(peer, LINK_LOCAL), "no ARP reply at the link-local address")
    # An offer replaces it: the REQUEST still from 0.0.0.0.
    offer(peer, xid)
    peer.send(udp_frame(peer.c, dhcp_payload(peer.c, xid, 5)))
    expect(ll_answers(peer, LINK_LOCAL), "the link-local address dropped before the lease")
    probed_and_announced(arp_steps(collect(peer, 9000), "the lease"), OFFERED, "the lease")
    expect(not ll_answers(peer, LINK_LOCAL), "the link-local address answers after the lease")
    peer.c["ip"] = OFFERED
    only(peer.send(frame(peer.c, proto=1, icmp=echo_request(bytes(8)))), "ping at the lease")
    return f"{ip_text(LINK_LOCAL)} probed {first} ms after the wait for the DISCOVER, then the lease"


def claim(peer, addr):
    """An ARP reply from OTHER_MAC that sends from ADDR."""
    a = struct.pack(">HHBBH", 1, 0x0800, 6, 4, 2) + OTHER_MAC + bytes(addr) + \
        peer.c["mac"] + bytes(4)
    return peer.send(frame(peer.c, src_mac=OTHER_MAC, dst_mac=peer.c["mac"], ethertype=0x0806,
                           arp=a))


def link_local_conflict(peer, pages):
    discover(peer)
    got = collect(peer, 11250)
    expect(any(dst == LINK_LOCAL for _, _, dst in arp_steps(got, "probe")), "no first probe")
    expect(not claim(peer, LINK_LOCAL), "a conflict while probing got a frame back")
    steps = arp_steps(collect(peer, 9000), "after the conflict")
    expect(steps and steps[0][2] != LINK_LOCAL and steps[0][2][:2] == (169, 254)
           and 1 <= steps[0][2][2] <= 254, f"after the conflict: ARP for {steps[:1]}")
    other = steps[0][2]
    probed_and_announced(steps, other, "the second address")
    expect(ll_answers(peer, other), "the second address does not answer")
    r = only(claim(peer, other), "a conflict when bound")
    expect(r.ethertype == 0x0806 and r.raw[14:42][14:18] == bytes(other)
           and r.raw[14:42][24:28] == bytes(other), "the defence is no announcement")
    expect(not claim(peer, other), "a second conflict within 10 s got a frame back")
    steps = arp_steps(collect(peer, 6000), "after giving up")
    expect(steps and steps[0][2] not in (other, LINK_LOCAL) and steps[0][1] == (0, 0, 0, 0),
           f"after giving {ip_text(other)} up: ARP {steps[:1]}")
    expect(not ll_answers(peer, other), "the address given up still answers")
    return f"{ip_text(LINK_LOCAL)}, then {ip_text(other)}, defended once, then {ip_text(steps[0][2])}"


# mDNS (the DHCP build): pic.local once the address is bound.
MDNS_MAC = bytes.fromhex("01005e0000fb")
MDNS_IP = (224, 0, 0, 251)


def is_mdns(r):
    return r.ethertype == 0x0800 and getattr(r, "proto", 0) == 17 and r.sport == 5353


def dns_name(text):
    return b"".join(bytes([len(p)]) + p for p in text.encode().split(b".")) + b"\0"


def mdns_query(peer, questions, qid=0x1234, sport=5353, qd=None, to=MDNS_IP, flags=0, extra=b""):
    """A query of QUESTIONS (wire bytes, each a name then type and class)."""
    head = struct.pack(">HHHHHH", qid, flags, len(questions) if qd is None else qd, 0, 0, 0)
    body = head + b"".join(questions) + extra
    mac = MDNS_MAC if to == MDNS_IP else peer.c["mac"]
    return peer.send(udp_frame(peer.c, body, dst=to, dst_mac=mac, sport=sport, dport=5353))


def question(name, qtype=1, qclass=1):
    return (dns_name(name) if isinstance(name, str) else name) + struct.pack(">HH", qtype, qclass)


def mdns_bound(peer):
    bound(peer)
    return "bound"


def a_answer(r, what):
    """The one A record in a response: (name wire bytes, class, TTL, address)."""
    d = r.data
    expect(len(d) >= 12, f"{what}: {len(d)} bytes")
    qid, flags, qd, an, ns, ar = struct.unpack(">HHHHHH", d[:12])
    expect(flags == 0x8400 and an == 1 and ns == 0 and ar == 0, f"{what}: header {d[:12].hex()}")
    i = 12
    for _ in range(qd):
        i = d.index(b"\0", i) + 5
    end = d.index(b"\0", i) + 1 if d[i] < 0xC0 else i + 2
    name = d[i:end]
    typ, cls, ttl, n = struct.unpack(">HHIH", d[end:end + 10])
    expect(typ == 1 and n == 4 and len(d) == end + 14, f"{what}: record {d[i:].hex()}")
    return qid, qd, name, cls, ttl, tuple(d[end + 10:end + 14])


def mdns_answers(peer, pages):
    bound(peer)
    got = mdns_query(peer, [question("pic.local")])
    r = only(got, "a QM query")
    expect(r.raw[:6] == MDNS_MAC and r.dst == MDNS_IP and r.dport == 5353, "QM: not multicast")
    qid, qd, name, cls, ttl, addr = a_answer(r, "QM")
    expect(qid == 0 and qd == 0 and name == dns_name("pic.local") and cls == 0x8001
           and ttl == 120 and addr == OFFERED, f"QM answer {qid} {name} {cls:x} {ttl} {addr}")
    r = only(mdns_query(peer, [question("PiC.LoCaL", 255, 0x8001)]), "a QU query, ANY, mixed case")
    expect(r.raw[:6] == PEER_MAC and r.dst == PEER_IP and r.dport == 5353, "QU: not to the querier")
    expect(a_answer(r, "QU")[5] == OFFERED, "QU: the address")
    r = only(mdns_query(peer, [question("pic.local")], qid=0xBEEF, sport=40000), "a legacy query")
    expect(r.raw[:6] == PEER_MAC and r.dst == PEER_IP and r.dport == 40000, "legacy: where")
    qid, qd, name, cls, ttl, addr = a_answer(r, "legacy")
    expect(qid == 0xBEEF and qd == 1 and r.data[12:12 + 15] == question("pic.local")
           and name == b"\xc0\x0c" and cls == 1 and ttl == 10 and addr == OFFERED,
           f"legacy answer {qid:x} {qd} {name} {cls:x} {ttl}")
    # Compressed: the second question's "local" points back into the first.
    r = only(mdns_query(peer, [question("other.local"), b"\x03pic\xc0\x12" + b"\0\x01\0\x01"]),
             "a compressed question")
    expect(a_answer(r, "compressed")[5] == OFFERED, "compressed: the address")
    for what, qs in {"another name": [question("pics.local")],
                     "a longer name": [question("pic.local.x")],
                     "AAAA": [question("pic.local", 28)],
                     "class CH": [question("pic.local", 1, 3)]}.items():
        expect(not mdns_query(peer, qs), f"{what}: answered")
    expect(not mdns_query(peer, [question("pic.local")], flags=0x2800), "opcode 5 answered")
    return "QM, QU, legacy unicast and compressed questions answered; others not"


def mdns_hostile(peer, pages):
    """Names a responder must read without reading outside the datagram."""
    bound(peer)
    ours = question("pic.local")
    hostile = {
        "a pointer to itself": [b"\xc0\x0c\0\x01\0\x01"],
        "a pointer forward, to the next name": [b"\xc0\x12\0\x01\0\x01", ours],
        "a pointer past the datagram": [b"\xc3\xff\0\x01\0\x01"],
        "a loop of two pointers": [b"\x03pic\xc0\x12", b"\xc0\x0c\0\x01\0\x01"],
        "a label past the end": [b"\x03pic\x05loc"],
        "a label type 0x40": [b"\x43pic\x05local\0\0\x01\0\x01"],
        "a label type 0x80": [b"\x83pic\x05local\0\0\x01\0\x01"],
        "no type and class": [dns_name("pic.local")],
        "a pointer's second byte past the end": [b"\xc0"],
    }
    for what, qs in hostile.items():
        got = mdns_query(peer, qs)
        expect(not got, f"{what}: {len(got)} frame(s) back")
    # A chain of pointers: pic.local as an AAAA question (not answered),
    # then N pointers inside a label, each to the one before (the first to
    # the name), then an A question that points at the last: N + 1 hops.
    def chain(n):
        label = b"".join(struct.pack(">H", 0xC000 | (12 if k == 0 else 28 + 2 * (k - 1)))
                         for k in range(n))
        return [question("pic.local", 28), bytes([len(label)]) + label + b"\0\0\x01\0\x01",
                struct.pack(">H", 0xC000 | (28 + 2 * (n - 1))) + b"\0\x01\0\x01"]
    only(mdns_query(peer, chain(7)), "8 hops of pointers")
    expect(not mdns_query(peer, chain(8)), "9 hops of pointers: answered")
    expect(not mdns_query(peer, [ours], qd=2), "a count of 2 for 1 question: answered")
    many = [ours] + [question(f"q{i}") for i in range(99)]  # a frame holds them
    only(mdns_query(peer, many), "100 questions, ours first")
    late = [question(f"q{i}") for i in range(8)] + [ours] + \
        [question(f"q{i}") for i in range(91)]
    expect(not mdns_query(peer, late), "100 questions, ours ninth: answered")
    return f"{len(hostile)} hostile names unanswered; 8 hops and 100 questions bounded"


def mdns_conflict(peer, pages):
    """Another host answers for pic.local with another address: pic-2."""
    bound(peer)
    rival = struct.pack(">HHHHHH", 0, 0x8400, 0, 1, 0, 0) + dns_name("pic.local") + \
        struct.pack(">HHIH", 1, 0x8001, 120, 4) + bytes((192, 0, 2, 99))
    expect(not peer.send(udp_frame(peer.c, rival, dst=MDNS_IP, dst_mac=MDNS_MAC, sport=5353,
                                   dport=5353)), "the rival's answer got a frame back")
    got = [r for r in peer.wait(2500) if is_mdns(r)]
    names = [r.data[12:12 + len(dns_name("pic-2.local"))] for r in got]
    expect(len(got) == 5 and all(n == dns_name("pic-2.local") for n in names),
           f"after the conflict: {len(got)} mDNS frames, names {names[:1]}")
    expect(not mdns_query(peer, [question("pic.local")]), "pic.local still answered")
    only(mdns_query(peer, [question("pic-2.local")]), "a query for pic-2.local")
    return "pic-2.local probed, announced and answered"

BIG = 1500 - 28  # the longest echo a 1,514-byte frame carries
FRAME_ROWS = {
    # Served: the page, whole, segment by segment; `*` is the longest page.
    "get-index": served(get(b"/"), "i"),
    "get-tag": served(get(b"/a"), "a"),
    "get-missing": served(get(b"/zzz"), "z"),
    "exact-get": served(b"GET /", "i"),
    # The absolute form: only the server's own address (and port) counts.
    "absolute-form": served(get(b"http://192.0.2.2/a"), "a"),
    "absolute-port": served(get(b"http://192.0.2.2:80/a?x"), "a"),
    "absolute-bare": served(get(b"http://192.0.2.2"), "i"),
    "absolute-other-host": served(get(b"http://192.0.2.23/a"), "4"),
    "absolute-other-port": served(get(b"http://192.0.2.2:8080/a"), "4"),
    "absolute-same-length": served(get(b"http://192.0.2.3/a"), "4"),
    "absolute-early": served(get(b"http://102.0.2.2/a"), "4"),
    "query-bare": served(get(b"/?a=1"), "i"),
    "query-tag": served(get(b"/a?x"), "a"),
    "long-request": served(get(b"/a", b"X-Pad: " + b"p" * 300 + b"\r\n"), "a"),
    "after-ack": served(get(b"/a"), "a", with_ack=False),
    "multi-segment": served(get(b"/*"), "*"),
    "mss-536": served(get(b"/*"), "*", mss=536),
    # Segments of one byte, each summed: a lone high byte and no pair.
    "window-1": served(get(b"/logo.png"), "l", window=1),
    "mss-absent": served(get(b"/*"), "*", mss=None),
    "small-window": served(get(b"/*"), "*", window=1000),
    "retransmit": served(get(b"/*"), "*", drop_first=True),
    "tcp-options": served(get(b"/a"), "a", options=bytes.fromhex(
        "020405b401010a0a0102030400000000")),
    "ip-options": served(get(b"/a"), "a", ip_options=bytes.fromhex("01010100")),
    "seq-wrap": served(get(b"/a"), "a", seq=2**32 - 3),
    "padding": served(get(b"/a"), "a", pad=b"\x00" * 6),
    # An address with a byte of 0xFF is no broadcast.
    "ff-byte-src": served(get(b"/a"), "a", src=(192, 255, 2, 1)),
    "window-zero": window_zero,
    # Values written in as the page goes out (firmware/values.inc).
    "live-values": live_values,
    "live-json": live_json,
    "live-edges": live_edges,
    "live-resent": live_resent,
    "live-head": live_head,
    "live-png-as-stored": served_as_stored(b"/raw.png", "r"),
    "live-gz-as-stored": served_as_stored(b"/bytes.txt", "b"),
    "rst-frees": reset_frees,
    "fin-again": fin_again,
    "rst-wrong-seq": reset_out_of_place,
    "isn": sequences,
    "slots-full": slots_full,
    "slot-takeover": slot_takeover,
    "lock-out": lock_out,
    "idle-unacceptable": idle_unacceptable,
    "synack-once": synack_once,
    "ping-flood": ping_flood,
    "window-shrink": window_shrink,
    "initial-window": initial_window,
    "data-tries": data_tries,
    "rst-in-window": challenged(seq=1002, flags="R"),
    "syn-established": challenged(seq=5000, flags="S"),
    "ack-ahead-64k": challenged(seq=1001, ack=65536, flags="PA", payload=get(b"/a")),
    "ack-old-far": ack_old_far,
    "window-edge": window_edge,
    "blind-ack": blind_ack,
    "data-after-fin": data_after_fin,
    "isn-guess": isn_guess,
    "reflection": reflection,
    "ack-old": ack_old,
    "ack-division": ack_division,
    "syn-flood-8": syn_flood(8),
    "syn-flood-16": syn_flood(16),
    "syn-flood-100": syn_flood(100),
    "syn-flood-1000": syn_flood(1000),
    "held-4": held(4, False),
    "held-8": held(8, False),
    "held-4-several": held(4, True),
    "held-8-several": held(8, True),
    "ask-as-victim": ask_as_victim,
    # Resets.
    "other-port": rst_row(dport=81),
    "no-connection": rst_row(flags="PA", ack=5555, payload=get(b"/")),
    "no-connection-fin": rst_row(flags="F", seq=77),
    # Nothing back.
    "rst-alone": no_reply(flags="R"),
    "rst-ack": no_reply(flags="RA", ack=5),
    "rst-other-port": no_reply(flags="R", dport=81),
    "syn-fin": no_reply(flags="SF"),
    "other-mac": no_reply(dst_mac=bytes.fromhex("025049430003")),
    "group-src-mac": no_reply(src_mac=bytes.fromhex("03aabbccdd01")),
    "zero-src-mac": no_reply(src_mac=bytes(6)),
    "other-ip": no_reply(dst=(192, 0, 2, 3)),
    "broadcast-dst": no_reply(dst_mac=b"\xff" * 6, dst=(255, 255, 255, 255)),
    "multicast-dst": no_reply(dst_mac=bytes.fromhex("01005e000001"), dst=(224, 0, 0, 1)),
    "broadcast-src": no_reply(src=(255, 255, 255, 255)),
    "subnet-broadcast-src": lambda peer, pages: no_reply(src=peer.c["bcast"])(peer, pages),
    "multicast-src": no_reply(src=(224, 0, 0, 251)),
    "zero-src": no_reply(src=(0, 0, 0, 0)),
    "loopback-src": no_reply(src=(127, 0, 0, 1)),
    "own-src": no_reply(src=(192, 0, 2, 2)),
    "ip-sum": no_reply(ip_sum_error=1),
    "tcp-sum": no_reply(tcp_sum_error=1),
    # Read as 4 words, the header's checksum and the segment that follows
    # it (to port 514, from the address's bytes) are both right.
    "ihl-4": no_reply(ihl=4, sport=0xC000, dport=0x0202),
    "offset-4": no_reply(offset=4),
    "offset-beyond": no_reply(offset=15),
    "more-fragments": no_reply(frag=0x6000),
    "fragment-offset": no_reply(frag=0x0001),
    "fragment-offset-high": no_reply(frag=0x4100),
    "truncated": no_reply(total=60),
    "total-ffff": no_reply(total=0xFFFF),
    "total-below-header": no_reply(total=19),
    "short-frame": no_reply(cut=13),
    "version-6": no_reply(version=6),
    # Protocol 17 around an echo request: taken for ICMP, it would be answered.
    "udp": no_reply(proto=17, icmp=echo_request(bytes(56))),
    "ipv6-frame": no_reply(ethertype=0x86DD),
    # Its low byte is IPv4's: only the high byte tells them apart.
    "vlan-frame": no_reply(ethertype=0x8100),
    # ARP and ping.
    "arp": arp_row(),
    "arp-other": arp_row(False, target=(192, 0, 2, 9)),
    "arp-other-mac": arp_row(False, dst_mac=bytes.fromhex("025049430003")),
    "arp-short": arp_row(False, cut=41),
    # Its high byte is ARP's: only the low byte tells them apart.
    "arp-ethertype": arp_row(False, ethertype=0x0807),
    "arp-hardware": arp_row(False, hardware=6),
    "arp-protocol": arp_row(False, protocol=0x0801),
    "arp-lengths": arp_row(False, lengths=(6, 16)),
    "arp-reply": arp_row(False, op=2),
    "arp-sender-mac": arp_row(False, sender_mac=bytes.fromhex("02aabbccdd02")),
    "arp-zero-sender": arp_row(False, sender=(0, 0, 0, 0)),
    "ping": ping_row(56),
    "ping-largest": ping_row(BIG),
    "past-the-buffer": past_the_buffer,
    "ping-bad-sum": ping_row(56, False, received_sum=0xFFFE),
    "ping-bad-sum-high": ping_row(56, False, received_sum=0xFEFF),
    "echo-reply": ping_row(56, False, kind=0),
    "echo-code": ping_row(56, False, code=1),
    "icmp-short": ping_row(0, False, cut=4),
    "icmp-7": ping_row(0, False, cut=7),
    # Random and changed frames and conversations.
    "fuzz": fuzz,
    # A DHCP build (NET_DHCP 1): the client against a server played here.
    "dhcp-bind": dhcp_bind,
    "dhcp-renew": dhcp_renew,
    "dhcp-nak": dhcp_nak,
    "dhcp-conflict": dhcp_conflict,
    "dhcp-forged": dhcp_forged,
    "dhcp-fuzz": dhcp_fuzz,
    "link-local": link_local,
    "link-local-conflict": link_local_conflict,
    "mdns-answers": mdns_answers,
    "mdns-hostile": mdns_hostile,
    "mdns-conflict": mdns_conflict,
    # The controller's own.
    "ring-wraps": ring_wraps,
    "ring-full": ring_full,
    "bad-fcs": bad_fcs,
    "back-to-back": back_to_back,
    "controller-reset": controller_reset,
    "ring-end": ring_end,
    "full-then-short": full_then_short,
    "carry-cuts": carry_cuts,
}


def frames_row(kind, folder, bridge, server, pages):
    """Runs row KIND against SERVER/http_server_18.cod, writing to FOLDER;
    prints what it saw, returns the reasons it fails."""
    peer = Peer(folder, bridge, server)
    try:
        what = FRAME_ROWS[kind](peer, pages)
    except Failure as why:
        peer.finish()
        return [str(why)]
    guard = peer.finish()
    if guard:
        return [f"guard: {guard}"]
    # The row's own frames may carry a wrong sum on purpose: only what
    # the server sent is judged.
    sender = ":".join(f"{b:02x}" for b in peer.c["mac"])
    bad = judge_capture(f"{folder}/frames.pcap", peer.c["HTTP_PORT"], clean=False,
                        only=f"eth.src == {sender}")
    if not bad:
        print(f"{what}; {len(peer.sent)} frames sent, tshark: checksums Good")
    return bad


def judge_capture(capture, port, clean, only=None):
    """tshark's verdicts: every IPv4, ICMP, TCP and UDP checksum Good; when
    CLEAN, no expert warning and every connection closed with FIN both
    ways. Returns the reasons it fails."""
    fields = ["frame.number", "ip.checksum.status", "tcp.checksum.status",
              "icmp.checksum.status", "udp.checksum.status", "tcp.stream", "tcp.srcport", "tcp.flags.fin",
              "tcp.analysis.flags", "_ws.expert.severity"]
    cmd = ["tshark", "-r", capture, "-o", "ip.check_checksum:TRUE",
           "-o", "tcp.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE",
           "-o", "tcp.analyze_sequence_numbers:TRUE",
           "-d", f"tcp.port=={port},http", "-T", "fields", "-E", "separator=|",
           "-E", "occurrence=f"]
    for name in fields:
        cmd += ["-e", name]
    if only:
        cmd += ["-Y", only]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    bad, fins = [], {}
    for line in out.splitlines():
        row = dict(zip(fields, line.split("|")))
        for name in fields[1:5]:
            if row[name] not in ("", "1"):
                bad.append(f"frame {row['frame.number']}: {name} {row[name]}")
        if row["tcp.stream"]:
            ends = fins.setdefault(row["tcp.stream"], set())
            if row["tcp.flags.fin"] in ("1", "True"):
                ends.add(row["tcp.srcport"])
        if clean and (row["tcp.analysis.flags"] or row["_ws.expert.severity"] not in
                      ("", "2097152", "4194304")):  # chat and note
            bad.append(f"frame {row['frame.number']}: tshark expert "
                       f"{row['_ws.expert.severity']} {row['tcp.analysis.flags']}")
    if clean:
        for stream, ends in fins.items():
            if len(ends) != 2:
                bad.append(f"TCP stream {stream}: FIN from {len(ends)} side(s)")
    return bad[:5]

def pixels(path):
    """{(r, g, b): count} of an 8-bit RGB or RGBA PNG, not interlaced."""
    data = open(path, "rb").read()
    pos, idat, head = 8, b"", None
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            head = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    width, height, depth, colour, _, _, interlace = head
    if depth != 8 or colour not in (2, 6) or interlace:
        raise SystemExit(f"{path}: PNG depth {depth}, colour type {colour}: not read here")
    bpp = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(idat), width * bpp
    counts, prev = {}, bytearray(stride)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 0xFF
            elif f == 2:
                line[i] = (line[i] + b) & 0xFF
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        for x in range(0, stride, bpp):
            key = tuple(line[x:x + 3])
            counts[key] = counts.get(key, 0) + 1
        prev = line
    return counts


def site_colours(web):
    """The colours the browser row looks for, from the site's own files:
    the background that WEB/style.css gives (it alone sets one), and the
    one colour of WEB/logo.png's pixels."""
    sheet = re.findall(r"background:\s*#([0-9a-fA-F]{6})", open(f"{web}/style.css").read())
    if len(sheet) != 1:
        raise SystemExit(f"{web}/style.css: {len(sheet)} background colours, want one")
    logo = pixels(f"{web}/logo.png")
    if len(logo) != 1:
        raise SystemExit(f"{web}/logo.png: {len(logo)} colours, want one")
    return tuple(bytes.fromhex(sheet[0])), next(iter(logo))


def main(argv):
    cmd = argv[1]
    if cmd in ("frames", "capture"):
        if cmd == "frames":
            bad = frames_row(argv[2], argv[3], argv[4], argv[5], argv[6:])
        else:
            bad = judge_capture(argv[2], 80, argv[3] == "clean")
        for reason in bad:
            print(reason)
        return 1 if bad else 0
    if cmd == "ping-frame":  # an echo request to the server of that .lst
        print(frame(server_constants(argv[2]), proto=1, icmp=echo_request(bytes(56))).hex())
        return 0
    if cmd == "make-body":
        with open(argv[3], "wb") as f:
            f.write(make_body(argv[2]))
        return 0
    if cmd == "complete":
        with open(argv[2], "rb") as f, open(argv[3], "wb") as out:
            out.write(complete(f.read()))
        return 0
    if cmd == "rendered":
        cells = re.findall(r"<tr><th>([^<]*)</th><td>([^<]*)</td></tr>",
                           open(argv[2], errors="replace").read())
        forms = {"Up for": r" *\d+ s", "RB7 to RB0": r"[01]{8}", "Connections open": r"[1-6]",
                 "Address": r" *192\.0\.2\.2"}
        bad = [f"{name}: {text!r}" for name, text in cells
               if not re.fullmatch(forms.get(name, r" *\d+"), text)]
        print(f"status page: {len(cells)} values rendered" + (f"; not values: {bad}" if bad else ""))
        return 0 if len(cells) == 15 and not bad else 1
    if cmd == "fetched":
        got = open(argv[2], "rb").read()
        want, places = live_page([argv[3]], os.path.basename(argv[3])[0])
        why = fetched_faults(got, want, places)
        if why:
            print(f"{argv[3]}: {why}")
        return 1 if why else 0
    if cmd == "response":
        with open(argv[2], "rb") as f, open(argv[3], "wb") as out:
            out.write(table_response(f.read()))
        return 0
    if cmd == "flash-end":
        print(max(a for a in read_hex(argv[2]) if a < 0x200000) + 1)
        return 0
    if cmd == "colours":
        counts = pixels(argv[2])
        sheet, logo = site_colours(argv[3])
        print(counts.get(sheet, 0), counts.get(logo, 0))
        return 0
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
