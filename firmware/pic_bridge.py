#!/usr/bin/env python3
"""Runs the assembled page server (http_server_18.cod) in gpsim and joins it
to a network: every Ethernet frame the kernel sends goes into the program's
receive buffer, every frame the program transmits goes back out.

    pic_bridge.py [options] SERVER.cod

With a TAP device (as root, or inside `unshare -rn`):
    pic_bridge.py --tap pic0 --address 192.0.2.1/24 http_server_18.cod
    then http://192.0.2.2/ in a browser, on the same machine.
Without one, for tests (--frames): the frames come from a file, one per
line as hex; a line `wait MS` lets MS milliseconds of simulated time pass,
`length N HEX` hands in the frame HEX with N written as its length (a
driver's wrong length, to test the program's bound), `#` starts a comment. The frames the program sends go to --replies, one per
line: the number of frames handed in so far, then the frame as hex; after
each line of --frames, a line `done`. Either may be `-` (standard input,
standard output; the log then goes to standard error), so that a test can
answer what the program sent.

How it drives the program (the interface the .asm's opening comment gives):
it stops gpsim at the labels `idle` (passed once per millisecond of
simulated time) and `transmit`. At `transmit` it reads tx_len_h:tx_len_l
(0x22, 0x23) and that many bytes from TX_BUF (0x800) and sends them. At
`idle`, when the program has finished with the last frame (rx_ready, 0x26,
is 0) and a frame is waiting, it writes the frame to RX_BUF (0x100), its
length to rx_len_h:rx_len_l (0x24, 0x25) and 1 to rx_ready. Simulated time
is the cycle count at 40 MHz (10 million instruction cycles a second); with
a TAP device it never runs ahead of the wall clock, so the program's timers
agree with the kernel's.

It prints one line per frame: simulated seconds, `in`/`out`, then ARP, ICMP
or TCP with flags, sequence and acknowledgement numbers, window and payload
length. It stops by itself after --idle-exit seconds (default 20) with no
frame either way, or after --max-frames frames; exit status 0 then. It exits
1 when the program hangs (a `run` that does not return in --hang seconds of
wall time) or, under --guard, on a stray access; 2 on a usage error.

--guard (the tests' RAM guard): before the start every RAM byte (0x000 to
0xF7F) is set to a pattern; after each frame the program handled and at the
end, every byte outside TX_BUF, the registers (0x00 to CUR + SLOT_SIZE)
and the slots (SLOTS, NSLOTS of SLOT_SIZE bytes; all four read from the
.lst next to the .cod) must still hold it, and RX_BUF what the bridge wrote. Read breakpoints on
the 960 bytes of RX_BUF past the frame's length stop the run at any read
there (gpsim holds 1,024 breakpoints, too few for the whole buffer).

Writing RAM: gpsim takes one `reg(ADDR)=VALUE` command per byte, about
0.1 ms each, while `dump r` reads all of RAM in about 1 ms. So a frame is
written as the bytes that differ from what RX_BUF already holds (the bridge
keeps a copy), all in one write to gpsim's input.
"""
import argparse
import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import time

RX_BUF, TX_BUF, FRAME_MAX = 0x100, 0x800, 1514
TX_LEN, RX_LEN, RX_READY = 0x22, 0x24, 0x26
RAM_SIZE = 0xF80
CYCLES_PER_SECOND = 10_000_000  # 40 MHz clock, four clocks an instruction
READ_WINDOW = 960
TUNSETIFF, IFF_TAP, IFF_NO_PI = 0x400454CA, 0x0002, 0x1000


class Fault(Exception):
    """The program did something the interface forbids, or hung."""


def pattern(addr):
    return (addr * 7 + 0x5A) & 0xFF


class Gpsim:
    """gpsim -i on a pipe: one command (or several lines) at a time, read
    back up to a marker that an `echo` after them prints."""

    def __init__(self, cod, hang):
        folder = os.path.dirname(os.path.abspath(cod))
        self.proc = subprocess.Popen(
            ["gpsim", "-i"], cwd=folder, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, bufsize=0)
        self.hang, self.count, self.pending = hang, 0, b""
        out = self.command("load " + os.path.basename(cod))
        if "error" in out.lower() and "load" in out.lower():
            raise SystemExit(f"gpsim cannot load {cod}:\n{out}")

    def command(self, text, wait=None):
        self.count += 1
        mark = b"\n@@%d@@\n" % self.count
        self.proc.stdin.write(f"{text}\necho @@{self.count}@@\n".encode())
        deadline = time.monotonic() + (wait or self.hang)
        while True:
            at = self.pending.find(mark)
            if at >= 0:
                out = self.pending[:at]
                self.pending = self.pending[at + len(mark):]
                return out.decode(errors="replace")
            left = deadline - time.monotonic()
            ready = select.select([self.proc.stdout], [], [], max(left, 0))[0]
            if not ready:
                raise Fault(f"gpsim did not stop within {wait or self.hang} s: "
                            "the program hangs")
            data = os.read(self.proc.stdout.fileno(), 1 << 16)
            if not data:
                raise Fault("gpsim exited")
            self.pending += data

    def ram(self):
        ram = bytearray(RAM_SIZE)
        for m in re.finditer(r"^([0-9a-f]{4}):  ((?:[0-9a-f]{2} ){16})",
                             self.command("dump r"), re.M):
            addr = int(m.group(1), 16)
            if addr < RAM_SIZE:
                ram[addr:addr + 16] = bytes.fromhex(m.group(2))
        return ram

    def close(self):
        # gpsim 0.31 lingers for seconds after `quit` on a pipe; nothing is
        # left to read from it, so it is ended at once.
        self.proc.kill()
        self.proc.wait()


def write_frame(gpsim, shadow, frame, length):
    """Hands FRAME to the program stopped at idle: into RX_BUF only the
    bytes that differ from SHADOW (the copy of what RAM holds, kept up to
    date here), then LENGTH as rx_len and 1 as rx_ready, in one write."""
    lines = [f"reg(0x{RX_BUF + i:03X})=0x{b:02X}" for i, b in enumerate(frame)
             if shadow[RX_BUF + i] != b]
    shadow[RX_BUF:RX_BUF + len(frame)] = frame
    lines += [f"reg(0x{RX_LEN:03X})=0x{length >> 8:02X}",
              f"reg(0x{RX_LEN + 1:03X})=0x{length & 0xFF:02X}",
              f"reg(0x{RX_READY:03X})=1"]
    shadow[RX_LEN], shadow[RX_LEN + 1] = length >> 8, length & 0xFF
    gpsim.command("\n".join(lines))


def lst_symbols(cod, names):
    lst = os.path.splitext(cod)[0] + ".lst"
    found = {}
    if os.path.exists(lst):
        with open(lst, errors="replace") as f:
            for line in f:
                m = re.match(r"^(\w+)\s+([0-9A-Fa-f]{8})\s*$", line)
                if m and m.group(1) in names:
                    found[m.group(1)] = int(m.group(2), 16)
    return found


def describe(frame):
    """ARP, ICMP or TCP with its numbers, for the log."""
    if len(frame) < 14:
        return f"runt, {len(frame)} bytes"
    kind = struct.unpack(">H", frame[12:14])[0]
    p = frame[14:]
    if kind == 0x0806 and len(p) >= 28:
        if p[7] == 2:
            return f"ARP {ip_text(p[14:18])} is-at {p[8:14].hex(':')} to {ip_text(p[24:28])}"
        op = "who-has" if p[7] == 1 else f"op {p[7]}"
        return f"ARP {op} {ip_text(p[24:28])} tell {ip_text(p[14:18])}"
    if kind != 0x0800 or len(p) < 20:
        return f"ethertype 0x{kind:04X}, {len(frame)} bytes"
    ihl = (p[0] & 15) * 4
    total = struct.unpack(">H", p[2:4])[0]
    head = f"{ip_text(p[12:16])} > {ip_text(p[16:20])}"
    if p[9] == 1 and len(p) >= ihl + 8:
        return f"ICMP type {p[ihl]} {head} len {total - ihl - 8}"
    if p[9] != 6 or len(p) < ihl + 20:
        return f"IPv4 proto {p[9]} {head}"
    t = p[ihl:]
    sport, dport, seq, ack, off, flags, win = struct.unpack(">HHIIBBH", t[:16])
    names = "".join(c for c, bit in zip("FSRPAU", (1, 2, 4, 8, 16, 32)) if flags & bit)
    length = total - ihl - (off >> 4) * 4
    return (f"TCP {ip_text(p[12:16])}:{sport} > {ip_text(p[16:20])}:{dport} "
            f"[{names}] seq {seq} ack {ack} win {win} len {length}")


def ip_text(b):
    return ".".join(map(str, b))


def tcp_data(frame):
    """Length of the TCP payload, or None when the frame is no TCP segment."""
    if len(frame) < 54 or frame[12:14] != b"\x08\x00" or frame[23] != 6:
        return None
    ihl = (frame[14] & 15) * 4
    total = struct.unpack(">H", frame[16:18])[0]
    return total - ihl - (frame[14 + ihl + 12] >> 4) * 4


class Bridge:
    def __init__(self, args):
        self.args = args
        self.gpsim = Gpsim(args.cod, args.hang)
        self.shadow = bytearray(RAM_SIZE)  # what the bridge left in RAM
        self.reads = {}  # RX_BUF address -> breakpoint number
        self.sent_data = 0
        self.frames = 0
        self.cycles = 0
        self.pcap = None
        self.frame_pending = False
        self.allowed = None
        if args.pcap:
            self.pcap = open(args.pcap, "wb")
            self.pcap.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        g = self.gpsim
        if args.guard:
            self.prefill()
        # Breakpoints 0 and 1; read breakpoints take the numbers after them.
        labels = lst_symbols(args.cod, ("idle", "transmit"))
        for label in ("idle", "transmit"):
            if label not in labels:
                raise SystemExit(f"{args.cod}: no label {label} in its .lst")
            g.command(f"break e 0x{labels[label]:X}")
        self.transmit_at = labels["transmit"]
        if args.guard:
            self.move_read_window(0)

    def prefill(self):
        names = ("CUR", "SLOT_SIZE", "SLOTS", "NSLOTS")
        syms = lst_symbols(self.args.cod, names)
        if len(syms) < len(names):
            raise SystemExit(f"--guard: {', '.join(names)} not all in the .lst")
        # Registers and the connection at work, 0x00 to CUR + SLOT_SIZE; the
        # slots; the transmit buffer.
        cur_end = syms["CUR"] + syms["SLOT_SIZE"]
        slots_end = syms["SLOTS"] + syms["NSLOTS"] * syms["SLOT_SIZE"]
        self.allowed = set(range(cur_end)) | set(range(syms["SLOTS"], slots_end))
        self.allowed |= set(range(TX_BUF, TX_BUF + FRAME_MAX))
        self.allowed |= {TX_LEN, TX_LEN + 1, RX_READY}
        for addr in range(RAM_SIZE):
            self.shadow[addr] = pattern(addr)
        self.shadow[RX_LEN] = self.shadow[RX_LEN + 1] = self.shadow[RX_READY] = 0
        lines = [f"reg(0x{a:03X})=0x{v:02X}" for a, v in enumerate(self.shadow)]
        self.gpsim.command("\n".join(lines), wait=60)

    def move_read_window(self, length):
        """Read breakpoints on RX_BUF + length .. + READ_WINDOW (clipped)."""
        want = set(range(RX_BUF + length, RX_BUF + min(length + READ_WINDOW, FRAME_MAX)))
        lines = []
        for addr in sorted(set(self.reads) - want):
            lines.append(f"clear {self.reads.pop(addr)}")
        free = sorted(set(range(2, 2 + READ_WINDOW)) - set(self.reads.values()))
        for addr, number in zip(sorted(want - set(self.reads)), free):
            lines.append(f"break r 0x{addr:03X}")
            self.reads[addr] = number
        if lines:
            self.gpsim.command("\n".join(lines), wait=60)

    def check_ram(self, when):
        ram = self.gpsim.ram()
        for addr in range(RAM_SIZE):
            if addr not in self.allowed and ram[addr] != self.shadow[addr]:
                raise Fault(f"{when}: RAM 0x{addr:03X} holds 0x{ram[addr]:02X}, "
                            f"was 0x{self.shadow[addr]:02X}")

    def log(self, direction, frame, note=""):
        t = self.cycles / CYCLES_PER_SECOND
        if not self.args.quiet:
            print(f"{t:11.6f} {direction:4} {describe(frame)}{note}", flush=True)
        # Frames the bridge drops are written too: the capture shows what
        # the program sent, so a segment sent again shows as such.
        if self.pcap:
            sec, usec = int(t), int(t % 1 * 1e6)
            self.pcap.write(struct.pack("<IIII", sec, usec, len(frame), len(frame)) + frame)

    def run(self):
        """Runs to the next stop: 'idle' or a transmitted frame (bytes)."""
        out = self.gpsim.command("run")
        m = None
        for m in re.finditer(r"^0x([0-9A-F]{16}) p18f4620 ", out, re.M):
            pass
        if m:
            self.cycles = int(m.group(1), 16)
        read = re.search(r"Read: 0x[0-9A-F]+ from \w+\(0x0([0-9A-F]{3})\)\n\s*BREAK", out)
        if read:
            addr = int(read.group(1), 16)
            raise Fault(f"read of RX_BUF+{addr - RX_BUF} past a {self.rx_length}-byte frame")
        if "Hit a Breakpoint" not in out:
            raise Fault(f"gpsim stopped without a breakpoint:\n{out[-500:]}")
        at = re.search(r"Execution at \w+\(0x([0-9a-fA-F]+)\)", out)
        if at and int(at.group(1), 16) == self.transmit_at:
            return self.transmitted()
        return "idle"

    def transmitted(self):
        ram = self.gpsim.ram()
        length = ram[TX_LEN] << 8 | ram[TX_LEN + 1]
        if not 14 <= length <= FRAME_MAX:
            raise Fault(f"transmit with a length of {length}")
        frame = bytes(ram[TX_BUF:TX_BUF + length])
        data = tcp_data(frame)
        if data:
            self.sent_data += 1
            if self.sent_data in self.args.drop_out:
                self.log("out", frame, "  (dropped by the bridge)")
                return None
        self.log("out", frame)
        self.frames += 1
        return frame

    def hand_in(self, frame, length=None):
        """Writes FRAME into RX_BUF (only the bytes that differ), and
        LENGTH, or the frame's own, as its length."""
        frame = frame[:FRAME_MAX]
        self.rx_length = len(frame)
        length = len(frame) if length is None else length & 0xFFFF
        if self.args.guard:
            self.move_read_window(len(frame))
        write_frame(self.gpsim, self.shadow, frame, length)
        self.frame_pending = True
        self.frames += 1
        self.log("in", frame)

    def ready(self):
        """At idle: may a frame go in now?"""
        if not self.frame_pending:
            return True
        out = self.gpsim.command(f"reg(0x{RX_READY:03X})")
        if re.search(r"= \$00 ", out):
            self.frame_pending = False
            if self.args.guard:
                self.check_ram(f"after frame {self.frames}")
        return not self.frame_pending

    rx_length = 0


def open_tap(name, address):
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TAP | IFF_NO_PI))
    for cmd in (["ip", "link", "set", name, "up"],
                ["ip", "addr", "add", address, "dev", name]):
        subprocess.run(cmd, check=True)
    return fd


def serve_tap(bridge, args):
    fd = open_tap(args.tap, args.address)
    start = last = time.monotonic()
    waiting = []
    while True:
        now = time.monotonic()
        if now - last > args.idle_exit:
            return f"{args.idle_exit} s without a frame"
        if args.max_frames and bridge.frames >= args.max_frames:
            return f"{bridge.frames} frames"
        stop = bridge.run()
        if stop != "idle":
            if stop:
                os.write(fd, stop)
            last = time.monotonic()
            continue
        ahead = bridge.cycles / CYCLES_PER_SECOND - (time.monotonic() - start)
        if select.select([fd], [], [], max(ahead, 0))[0]:
            waiting.append(os.read(fd, 2048))
        if waiting and bridge.ready():
            bridge.hand_in(waiting.pop(0))
            last = time.monotonic()


def serve_file(bridge, args):
    """Hands in the frames of --frames in order and runs until the program
    has finished with each; `wait MS` runs MS ms of simulated time.
    After each line it writes `done` to --replies: a test at the other end
    of a pipe can read what came back before it writes the next frame."""
    frames = sys.stdin if args.frames == "-" else open(args.frames)
    replies = None
    if args.replies:
        replies = args.replies_out if args.replies == "-" else open(args.replies, "w")
    given = 0
    while bridge.run() != "idle":  # the program starts (it sends nothing yet)
        pass
    for line in iter_lines(frames, args.settle):
        if isinstance(line, tuple):
            bridge.hand_in(*line)  # the program is at idle, done with the last
            given += 1
            until = bridge.cycles
        else:
            until = bridge.cycles + line * CYCLES_PER_SECOND // 1000
        while True:
            stop = bridge.run()
            if stop == "idle":
                if bridge.cycles >= until and bridge.ready():
                    break
            elif stop and replies:
                replies.write(f"{given} {stop.hex()}\n")
        if replies:
            replies.write("done\n")
            replies.flush()
        if args.max_frames and bridge.frames >= args.max_frames:
            return f"{bridge.frames} frames"
    return "the end of the frames"


def iter_lines(frames, settle):
    """The steps of a frames file: (frame, length or None) for a frame, ms
    for `wait MS`; then SETTLE ms for the last replies."""
    for line in frames:
        line = line.split("#")[0].strip()
        if line.startswith("wait"):
            yield int(line.split()[1])
        elif line.startswith("length"):
            _, length, data = line.split()
            yield bytes.fromhex(data), int(length)
        elif line:
            yield bytes.fromhex(line), None
    yield settle


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("cod", help="the assembled server (.cod, with its .lst beside it)")
    ap.add_argument("--tap", default="pic0", help="TAP device to make (default pic0)")
    ap.add_argument("--address", default="192.0.2.1/24",
                    help="the kernel's address on it (default 192.0.2.1/24)")
    ap.add_argument("--frames", help="no TAP: hand in the frames of this file")
    ap.add_argument("--replies", help="with --frames: write the frames sent here")
    ap.add_argument("--settle", type=int, default=5,
                    help="with --frames: ms of simulated time after the last (default 5)")
    ap.add_argument("--pcap", help="write every frame, both ways (dropped ones too), to this pcap file")
    ap.add_argument("--drop-out", type=int, action="append", default=[], metavar="N",
                    help="drop the Nth TCP segment with data the program sends (repeatable)")
    ap.add_argument("--idle-exit", type=float, default=20,
                    help="stop after this many seconds without a frame (default 20)")
    ap.add_argument("--max-frames", type=int, default=0, help="stop after this many frames")
    ap.add_argument("--hang", type=float, default=10,
                    help="a run that takes longer than this many seconds is a hang (default 10)")
    ap.add_argument("--guard", action="store_true", help="check RAM writes and reads (tests)")
    ap.add_argument("--quiet", action="store_true", help="no line per frame")
    args = ap.parse_args(argv[1:])
    if args.replies == "-":
        sys.stdout = sys.stderr  # the log, so that stdout carries replies only
        args.replies_out = sys.__stdout__
    bridge = Bridge(args)
    try:
        why = serve_file(bridge, args) if args.frames else serve_tap(bridge, args)
        if args.guard:
            bridge.ready()
            bridge.check_ram("at the end")
    except Fault as fault:
        print(f"pic_bridge: {fault}", file=sys.stderr)
        return 1
    finally:
        if bridge.pcap:
            bridge.pcap.close()
        bridge.gpsim.close()
    if not args.quiet:
        print(f"pic_bridge: stopped after {why}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
