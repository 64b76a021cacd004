#!/usr/bin/env python3
"""Counts the instruction cycles the page server (http_server_18.asm) spends
serving pages, in gpsim, for bench/run_figures.sh.

    server_cycles.py SERVER.cod PAGE...

Each PAGE is a stored response whose table the server carries, tagged with
the file name's first character. For each, a client fetches it over a
connection of its own, as a Linux client would: a SYN with MSS 1460, SACK
permitted, timestamps and window scaling (the server offers none of those
back, so the window is the plain 64,240), the handshake's ACK, a curl-like
GET, an ACK for every second data segment and at once for the one with
the FIN, and then its own FIN.

Frames reach the server as on a board: through the ENC28J60 model (the
bridge's module: ENC28J60_MODULE, or the build tree's), each one handed in
once the program is done with the last. A frame's cycles run from the
driver starting to read it from the controller (`eth_packet`) to the
program being done with it (the instruction after `call handle_frame`),
the frames it sends included, each until the controller has it (`eth_sent`:
TXRTS set; the driver waits for the frame before to have left the wire);
the tick's own work is not counted. Every frame sent is checked (IPv4 and
TCP sums, sequence numbers, the bytes of the completed response, the FCS),
and after the client's FIN every slot must be free or closed (waiting out
its short TIME-WAIT): figures of a wrong answer would mean nothing.

Prints one line per page:
    TAG LENGTH SEGMENTS SERVE REQUEST FRAMES ELAPSED
SERVE: cycles from the driver starting to read the GET to the last data
segment given to the controller (of the frames handed in from the GET on,
each one's cycles until it is done, the last one's until that segment).
REQUEST: the cycles of every frame of the connection, from the SYN to the
client's FIN. FRAMES: how many frames the client handed in. ELAPSED: the
simulated cycles from each frame handed in to the program being done with
it, added up, its time on the wire to the controller included: the time a
request takes when the client answers at once. A second line per page,
starting `#`, gives each frame's cycles (a run of equal ones once, with its
count). Exit
status 1 on a wrong answer.
"""
import os
import re
import struct
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "firmware"))
import pic_bridge  # noqa: E402  the bridge's gpsim driver and .lst reader

PEER_MAC = bytes.fromhex("02aabbccdd01")
PEER_IP = bytes((192, 0, 2, 1))
WINDOW = 64240
SYN_OPTIONS = (struct.pack(">BBH", 2, 4, 1460) + bytes((4, 2)) +
               struct.pack(">BBII", 8, 10, 0x1234567, 0) + bytes((1, 3, 3, 7)))
F, S, P, A = 1, 2, 8, 16  # TCP flags


class WrongAnswer(Exception):
    pass


def folded(data):
    if len(data) % 2:
        data += b"\0"
    acc = sum(struct.unpack(f">{len(data) // 2}H", data))
    while acc > 0xFFFF:
        acc = (acc >> 16) + (acc & 0xFFFF)
    return acc


def completed(stored):
    """The stored response with its blank Content-Length filled in."""
    head, body = stored.split(b"\r\n\r\n", 1)
    head = re.sub(rb"(Content-Length:) *", b"\\1 %d" % len(body), head, flags=re.I)
    return head + b"\r\n\r\n" + body


class Server:
    def __init__(self, cod, module):
        lst = os.path.splitext(cod)[0] + ".lst"
        names = ["eth_idle", "eth_packet", "eth_sent", "HTTP_PORT", "SLOTS", "SLOT_SIZE",
                 "NSLOTS", "ST_WAIT"]
        names += [f"MY_MAC_{i}" for i in range(6)] + [f"MY_IP_{i}" for i in range(4)]
        self.sym = pic_bridge.lst_symbols(cod, names)
        missing = set(names) - set(self.sym)
        if missing:
            raise SystemExit(f"{lst}: no {', '.join(sorted(missing))}")
        self.mac = bytes(self.sym[f"MY_MAC_{i}"] for i in range(6))
        self.ip = bytes(self.sym[f"MY_IP_{i}"] for i in range(4))
        # Where the main loop goes on once a frame is handled: the
        # instruction after `call handle_frame`.
        with open(lst, errors="replace") as f:
            lines = f.read().splitlines()
        self.done_at = None
        for i, line in enumerate(lines):
            if re.match(r"^[0-9A-F]{6} .*\bcall\s+handle_frame\b", line):
                following = (re.match(r"^([0-9A-F]{6}) [0-9A-F]{4}", n) for n in lines[i + 1:])
                self.done_at = int(next(m for m in following if m).group(1), 16)
                break
        if self.done_at is None:
            raise SystemExit(f"{lst}: no `call handle_frame`")
        self.relay = pic_bridge.Relay()
        self.gpsim = pic_bridge.Gpsim(cod, 60, module, self.relay, realtime=False,
                                      clock_hz=4 * pic_bridge.CYCLES_PER_SECOND)
        self.gpsim.command(f"break e 0x{self.sym['eth_idle']:X}")  # number 0
        self.run()  # the start: the controller set up, nothing sent
        self.gpsim.command("clear 0")
        for at in (self.sym["eth_packet"], self.sym["eth_sent"], self.done_at):
            self.gpsim.command(f"break e 0x{at:X}")
        self.elapsed = 0  # cycles from each hand-in to its end, added up

    def cycles(self):
        m = re.search(r"^(\d+) = 0x", self.gpsim.command("cycles"), re.M)
        if not m:
            raise SystemExit("gpsim printed no cycle count")
        return int(m.group(1))

    def run(self):
        """Runs to the next stop: (address, cycles)."""
        out = self.gpsim.command("run")
        at = re.search(r"Execution at [\w ]+\(0x([0-9a-fA-F]+)\)", out)
        if "cycle break:" in out:
            return "cycle", self.cycles()
        if "Hit a Breakpoint" not in out or not at:
            raise SystemExit(f"gpsim stopped without a breakpoint:\n{out[-500:]}")
        return int(at.group(1), 16), self.cycles()

    def hand_in(self, frame):
        """Hands FRAME in and runs until the program is done with it;
        returns its cycles and [(frame sent, cycles since it was begun)].
        Then runs on until the last frame sent has left the wire."""
        self.relay.send_frame(frame)
        handed, start, marks = self.cycles(), None, []
        while True:
            stop, now = self.run()
            if stop == self.sym["eth_packet"] and start is None:
                start = now
            elif stop == self.sym["eth_sent"] and start is not None:
                marks.append(now - start)
            elif stop == self.done_at and start is not None:
                break
            else:
                raise WrongAnswer(f"a stop at 0x{stop:X} out of turn" if stop != "cycle"
                                  else "a cycle break out of turn")
        self.elapsed += now - handed
        self.gpsim.command(f"break c {now + pic_bridge.DRAIN_CYCLES}")
        stop, _ = self.run()
        if stop != "cycle":
            raise WrongAnswer("a frame sent at a tick")
        sent = [frame for _, frame in self.relay.receive()]
        if len(sent) != len(marks):
            raise WrongAnswer(f"{len(marks)} frames given to the controller, {len(sent)} sent")
        return now - start, list(zip(sent, marks))

    def slot_states(self):
        ram = self.gpsim.ram()
        return [ram[self.sym["SLOTS"] + i * self.sym["SLOT_SIZE"]]
                for i in range(self.sym["NSLOTS"])]

    def segment(self, sport, seq, ack, flags, payload=b"", options=b""):
        tcp = struct.pack(">HHIIBBHHH", sport, self.sym["HTTP_PORT"], seq % 2**32,
                          ack % 2**32, (5 + len(options) // 4) << 4, flags, WINDOW, 0, 0)
        tcp += options + payload
        pseudo = PEER_IP + self.ip + struct.pack(">HH", 6, len(tcp))
        tcp = tcp[:16] + struct.pack(">H", 0xFFFF ^ folded(pseudo + tcp)) + tcp[18:]
        ip = struct.pack(">BBHHHBBH", 0x45, 0, 20 + len(tcp), 0x1C46, 0x4000, 64, 6, 0)
        ip += PEER_IP + self.ip
        ip = ip[:10] + struct.pack(">H", 0xFFFF ^ folded(ip)) + ip[12:]
        return self.mac + PEER_MAC + b"\x08\x00" + ip + tcp


def taken_apart(server, frame, sport):
    """(seq, ack, flags, data) of a segment sent to the client, checked."""
    if frame[:12] != PEER_MAC + server.mac or frame[12:14] != b"\x08\x00":
        raise WrongAnswer(f"not an IPv4 frame to the client: {frame[:14].hex()}")
    ip = frame[14:34]
    total = struct.unpack(">H", ip[2:4])[0]
    if ip[0] != 0x45 or ip[9] != 6 or folded(ip) != 0xFFFF or \
            len(frame) != max(60, 14 + total) or any(frame[14 + total:]):
        raise WrongAnswer(f"a wrong IPv4 header {ip.hex()}")
    tcp = frame[34:14 + total]
    if folded(ip[12:20] + struct.pack(">HH", 6, len(tcp)) + tcp) != 0xFFFF:
        raise WrongAnswer("a wrong TCP checksum")
    ports, seq, ack, off, flags = struct.unpack(">IIIBB", tcp[:14])
    if ports != server.sym["HTTP_PORT"] << 16 | sport:
        raise WrongAnswer(f"ports 0x{ports:08X}")
    return seq, ack, flags, tcp[(off >> 4) * 4:]


def fetch(server, path, sport):
    """One connection: returns (response, segments, serve, request, frame
    cycles)."""
    iss = 1_000_000 + 65_536 * sport
    server.elapsed = 0
    cost = []  # (what, cycles) per frame handed in
    cycles, sent = server.hand_in(server.segment(sport, iss, 0, S, options=SYN_OPTIONS))
    cost.append(("SYN", cycles))
    if len(sent) != 1:
        raise WrongAnswer(f"the SYN got {len(sent)} frames")
    seq, ack, flags, _ = taken_apart(server, sent[0][0], sport)
    if flags != S | A or ack != iss + 1:
        raise WrongAnswer(f"the SYN got flags 0x{flags:02X}, ack {ack}")
    nxt, mine = (seq + 1) % 2**32, iss + 1
    cycles, sent = server.hand_in(server.segment(sport, mine, nxt, A))
    cost.append(("ACK", cycles))
    if sent:
        raise WrongAnswer("the handshake's ACK got a reply")
    request = (b"GET " + path + b" HTTP/1.1\r\nHost: 192.0.2.2\r\n"
               b"User-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n")
    frame = server.segment(sport, mine, nxt, P | A, request)
    mine += len(request)
    got, ends, fin, serve, spent, what = b"", [], False, None, 0, "GET"
    segments = 0
    for _ in range(200):
        cycles, sent = server.hand_in(frame)
        cost.append((what, cycles))
        for out, at in sent:
            seq, ack, flags, data = taken_apart(server, out, sport)
            if not data and not flags & F:
                continue  # a bare ACK of the request
            if fin or seq != (nxt + len(got)) % 2**32 or ack != mine % 2**32:
                raise WrongAnswer(f"a segment at {seq} acknowledging {ack}")
            got += data
            segments += 1
            fin = bool(flags & F)
            ends.append(nxt + len(got) + fin)
            if fin:
                serve = spent + at
        spent += cycles
        if fin and what == "FIN":
            break
        # The client's next frame: an ACK of every second segment come, at
        # once one of the FIN, else (its delayed ACK's timer) of the one
        # that came alone; once all is acknowledged, its own FIN.
        if len(ends) >= 2:
            upto, ends = ends[1], ends[2:]
        elif ends:
            upto, ends = ends[0], []
        elif fin:
            frame, what = server.segment(sport, mine, nxt + len(got) + 1, F | A), "FIN"
            continue
        else:
            raise WrongAnswer(f"the response stops after {len(got)} bytes")
        frame, what = server.segment(sport, mine, upto, A), "ACK"
    else:
        raise WrongAnswer("no end after 200 frames")
    if len(sent) != 1 or taken_apart(server, sent[0][0], sport)[1:3] != ((mine + 1) % 2**32, A):
        raise WrongAnswer("the client's FIN is not acknowledged")
    closed = server.sym["ST_WAIT"]
    if any(state not in (0, closed) for state in server.slot_states()):
        raise WrongAnswer(f"slots {server.slot_states()} after the close, not all free or closed")
    return got, segments, serve, sum(c for _, c in cost), cost, server.elapsed


def main(argv):
    if len(argv) < 3:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    module = os.environ.get("ENC28J60_MODULE") or pic_bridge.default_module()
    if not os.path.exists(module):
        print(f"server_cycles: no ENC28J60 model at {module} (ENC28J60_MODULE)", file=sys.stderr)
        return 2
    server = Server(argv[1], module)
    try:
        for n, page in enumerate(argv[2:]):
            with open(page, "rb") as f:
                want = completed(f.read())
            tag = os.path.basename(page)[0]
            got, segments, serve, request, cost, elapsed = fetch(
                server, b"/" + tag.encode(), 40000 + n)
            if got != want:
                raise WrongAnswer(f"page {tag}: {len(got)} bytes back, not its {len(want)}")
            print(tag, len(got), segments, serve, request, len(cost), elapsed)
            runs = []  # the same frame with the same cycles in a row: once, xN
            for frame in cost:
                if runs and runs[-1][0] == frame:
                    runs[-1][1] += 1
                else:
                    runs.append([frame, 1])
            print("#", ", ".join(f"{w} {c}" + (f" (x{k})" if k > 1 else "")
                                 for (w, c), k in runs))
    except WrongAnswer as e:
        print(f"server_cycles: {argv[1]}: {e}", file=sys.stderr)
        return 1
    finally:
        server.gpsim.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
