#!/usr/bin/env python3
"""Runs the assembled page server (http_server_18.cod) in gpsim with a model
of its Ethernet controller, an ENC28J60 (a gpsim module library), and joins
the controller's wire to a network: every Ethernet frame the kernel sends
arrives at the controller, every frame the controller transmits goes back
out. The program's own driver (enc28j60_driver.inc) does the rest, as on a
board.

    pic_bridge.py [options] SERVER.cod

With a TAP device (as root, or inside `unshare -rn`):
    pic_bridge.py --tap pic0 --address 192.0.2.1/24 http_server_18.cod
    then http://192.0.2.2/ in a browser, on the same machine.
Without one, for tests (--frames): the frames come from a file, one per
line as hex; a line `wait MS` lets MS milliseconds of simulated time pass;
`length N HEX` hands in the frame HEX cut or padded with zero bytes to N
bytes; `burst HEX HEX...` hands in several frames at once, back to back on
the wire; `badfcs HEX` hands in HEX with a wrong frame check sequence;
`reset` cuts the controller's power for a moment (all its registers back
to their power-on values); `ram ADDR N` writes `ram` and the N bytes of
RAM from the hexadecimal ADDR on, as hex, to --replies; `poke ADDR HEX`
writes the bytes HEX into RAM from ADDR on, as the application's own code
would (the values a page shows); `#` starts a comment. The frames the program
sends go to --replies, one per line: the number of frame lines handed in
so far, then the frame as hex; after each line of --frames, a line `done`.
Either may be `-` (standard input, standard output; the log then goes to
standard error), so that a test can answer what the program sent.

The module library is --module, or ENC28J60_MODULE, or
libenc28j60_gpsim.so in ../build/firmware/enc28j60/ from this file. Its
pins are wired as the driver expects: RC3/SCK -> eth.sck, RC5/SDO ->
eth.si, eth.so -> RC4/SDI, RD0 -> eth.cs, eth.int -> RB0.

The wire between the bridge and the model: a SOCK_SEQPACKET socket pair;
gpsim inherits one end, whose number is in ENC28J60_RELAY_FD. Each message
is one datagram:
    0x01 + frame + FCS  bridge to model: a frame arriving on the wire (the
                        FCS is zlib.crc32 of the frame, least significant
                        byte first)
    0x04 + cycle + frame + FCS  model to bridge: a frame the controller
                        transmitted, after the instruction cycle it left at
                        (8 bytes, least significant first), which --frames
                        logs it at; the bridge checks the FCS, takes it off
    0x02                bridge to model: a power cut (`reset`)
    0x03 + text         model to bridge: a strict check of the model
                        failed; the model halts gpsim, the bridge prints
                        the text and exits 1.
The model reads the socket every 1,000 instruction cycles.

Time: simulated time is the cycle count at the program's clock: TICK_CYCLES
of its .lst are a millisecond (10,000 at 40 MHz, the default without it).
The bridge sets the model's `eth.clock` to it, so that the model times the
wire and SPI as on the board. On a TAP device gpsim runs freely with
ENC28J60_REALTIME=1: the model never lets simulated time run ahead of the
wall clock, so the program's timers agree with the kernel's; the log's
times are wall-clock seconds then. With --frames, time is deterministic:
after a frame is handed in, gpsim runs (`break c`) until the frame has
arrived, then until the driver finds the ring empty (its label
eth_idle), then DRAIN_CYCLES more, the wire time of the longest frame, so
that the last reply has left; `wait MS` runs MS ms of simulated time
first.

It prints one line per frame: seconds, `in`/`out`, then ARP, ICMP or TCP
with flags, sequence and acknowledgement numbers, window and payload
length. It stops by itself after --idle-exit seconds (default 20) with no
frame either way, or after --max-frames frames; exit status 0 then. It exits
1 when the model reports a fault, a transmitted frame has a wrong FCS,
with --frames when the program hangs (a `run` that does not return in
--hang seconds of wall time), or under --guard on a stray access; 2 on a
usage error.

--guard (the tests' RAM guard, with --frames): before the start every RAM
byte (0x000 to 0xF7F) is set to a pattern. Each time the driver has copied
a frame (its label eth_copied), RX_BUF up to rx_len must be a frame handed
in (the next one the controller kept) and RX_BUF past rx_len untouched;
read breakpoints then go on the 960 bytes of RX_BUF past rx_len, the
length the program was given, and stop the run at any read there (gpsim
holds 1,024 breakpoints, too few for the whole buffer). After each line
and at the end, every byte outside TX_BUF, the registers (0x00 to CUR +
SLOT_SIZE), the driver's ETH_VARS, the slots (SLOTS, NSLOTS of
SLOT_SIZE bytes), and where the .lst names them the values' RAM (LIVE_RAM,
LIVE_RAM_SIZE bytes), their snapshots (SNAPS, NSLOTS of SNAP_SIZE) and a
DHCP build's NET_VARS and MDNS_VARS (with their _SIZE; all read from the
.lst next to the .cod) must still hold
what it held, and RX_BUF the frames the driver copied.
"""
import argparse
import fcntl
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time
import zlib

RX_BUF, TX_BUF, FRAME_MAX = 0x100, 0x800, 1514
RX_LEN = 0x24
RAM_SIZE = 0xF80
CYCLES_PER_SECOND = 10_000_000  # 40 MHz clock, four clocks an instruction,
# unless the program's .lst gives TICK_CYCLES, its instruction cycles a ms
READ_WINDOW = 960
# The model takes a frame off the socket within 1,000 cycles; it has arrived
# once its preamble, bytes, FCS and gap have passed at 8 cycles a byte.
POLL_CYCLES, CYCLES_PER_WIRE_BYTE, WIRE_OVERHEAD = 1000, 8, 8 + 4 + 12
DRAIN_CYCLES = (FRAME_MAX + WIRE_OVERHEAD) * CYCLES_PER_WIRE_BYTE + 2 * POLL_CYCLES
# --guard: at most this many frames sent for a line of --frames, plus this
# many for each simulated second it runs (a page of 64 KB in 536-byte
# segments is 123 frames; retransmissions come a second apart at most).
SENT_PER_LINE, SENT_PER_SECOND = 200, 100
CHUNK_CYCLES = 1_000_000  # 0.1 s of simulated time, well under a second of wall time
TUNSETIFF, IFF_TAP, IFF_NO_PI = 0x400454CA, 0x0002, 0x1000
MSG_FRAME, MSG_POWER, MSG_FAULT, MSG_SENT = 1, 2, 3, 4
# Pins: (node, PIC pin, module pin).
WIRING = [("n_sck", "portc3", "eth.sck"), ("n_si", "portc5", "eth.si"),
          ("n_so", "portc4", "eth.so"), ("n_cs", "portd0", "eth.cs"),
          ("n_int", "portb0", "eth.int")]


class Fault(Exception):
    """The program or the model did something it must not, or hung."""


class StartError(Exception):
    """The bridge cannot start: one line for the user, exit status 2."""


def pattern(addr):
    return (addr * 7 + 0x5A) & 0xFF


def with_fcs(frame, wrong=False):
    crc = zlib.crc32(frame) ^ (0xFFFFFFFF if wrong else 0)
    return frame + struct.pack("<I", crc)


def default_module():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "build", "firmware", "enc28j60", "libenc28j60_gpsim.so")


class Relay:
    """The socket pair: our end here, the other for gpsim's model."""

    def __init__(self):
        self.ours, self.theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.ours.setblocking(False)
        self.faults = []

    def send_frame(self, frame, bad_fcs=False):
        self.ours.send(bytes([MSG_FRAME]) + with_fcs(frame, bad_fcs))

    def power_cut(self):
        self.ours.send(bytes([MSG_POWER]))

    def receive(self):
        """The frames the controller sent since the last call, FCS off.
        A fault message is kept in self.faults."""
        frames = []
        while True:
            try:
                message = self.ours.recv(4096)
            except BlockingIOError:
                return frames
            if not message:
                return frames
            if message[0] == MSG_FAULT:
                self.faults.append(message[1:].decode(errors="replace"))
            elif message[0] == MSG_SENT:
                cycle = int.from_bytes(message[1:9], "little")
                frame, fcs = message[9:-4], message[-4:]
                if len(message) < 13 or with_fcs(frame)[-4:] != fcs:
                    raise Fault(f"a frame from the controller with a wrong FCS: {message[9:].hex()}")
                frames.append((cycle, frame))


class Gpsim:
    """gpsim -i on a pipe, with the model loaded and wired: one command (or
    several lines) at a time, read back up to a marker that an `echo`
    after them prints."""

    def __init__(self, cod, hang, module, relay, realtime, clock_hz):
        folder = os.path.dirname(os.path.abspath(cod))
        env = dict(os.environ, ENC28J60_RELAY_FD=str(relay.theirs.fileno()))
        if realtime:
            env["ENC28J60_REALTIME"] = "1"
        try:
            # A process group of its own, ended whole by close().
            self.proc = subprocess.Popen(
                ["gpsim", "-i"], cwd=folder, stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, bufsize=0,
                env=env, pass_fds=(relay.theirs.fileno(),), start_new_session=True)
        except OSError as e:
            raise StartError(f"cannot run gpsim ({e.strerror}; Debian: apt-get install gpsim)")
        finally:
            relay.theirs.close()
        self.hang, self.count, self.pending = hang, 0, b""
        try:
            out = self.command("load " + os.path.basename(cod))
            if "error" in out.lower() and "load" in out.lower():
                raise StartError(f"gpsim cannot load {cod}: {last_line(out)}")
            # The model learns the board's clock, which gpsim's cycles lack.
            lines = [f"module library {os.path.abspath(module)}", "module load enc28j60 eth",
                     f"eth.clock = {clock_hz}"]
            for node, pic, eth in WIRING:
                lines += [f"node {node}", f"attach {node} {pic} {eth}"]
            out = self.command("\n".join(lines))
            if "error" in out.lower() or "not found" in out.lower():
                raise StartError(f"gpsim cannot load the module {module}: {last_line(out)}")
        except (Fault, StartError):
            self.close()
            raise

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
        # left to read from it, so it is ended at once, with its group.
        try:
            os.killpg(self.proc.pid, 9)
        except ProcessLookupError:
            pass
        self.proc.wait()


def last_line(text):
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else "no output"


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
        self.relay = Relay()
        tick = lst_symbols(args.cod, ("TICK_CYCLES",)).get("TICK_CYCLES")
        self.cycles_per_second = tick * 1000 if tick else CYCLES_PER_SECOND
        self.gpsim = Gpsim(args.cod, args.hang, args.module, self.relay,
                           realtime=not args.frames, clock_hz=4 * self.cycles_per_second)
        try:
            self.start(args)
        except BaseException:
            self.gpsim.close()
            raise

    def start(self, args):
        self.shadow = bytearray(RAM_SIZE)  # what RAM must hold (--guard)
        self.breaks = {}  # gpsim breakpoint number -> what it is
        self.reads = {}  # RX_BUF address -> breakpoint number
        self.sent_data = 0
        self.frames = 0
        self.cycles = 0
        self.started = time.monotonic()
        self.pcap = None
        self.allowed = None
        self.expected = []  # frames handed in, not yet seen in RX_BUF (--guard)
        self.rx_length = 0
        if args.pcap:
            self.pcap = open(args.pcap, "wb")
            self.pcap.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        self.labels = lst_symbols(args.cod, ("eth_idle", "eth_copied"))
        for label in ("eth_idle", "eth_copied"):
            if label not in self.labels:
                raise StartError(f"{args.cod}: no label {label} in its .lst beside it")
        if args.guard:
            self.prefill()
            self.add_break_now(f"e 0x{self.labels['eth_copied']:X}", "copied")
            self.move_read_window(0)

    # Breakpoints: gpsim numbers them from 0, taking the lowest free
    # number; a cycle breakpoint frees its number when it is reached.
    def add_break(self, condition, what):
        number = min(set(range(len(self.breaks) + 1)) - set(self.breaks))
        self.breaks[number] = what
        return f"break {condition}", number

    def add_break_now(self, condition, what):
        line, number = self.add_break(condition, what)
        self.gpsim.command(line)
        return number

    def clear_break(self, number):
        del self.breaks[number]
        return f"clear {number}"

    def prefill(self):
        names = ("CUR", "SLOT_SIZE", "SLOTS", "NSLOTS", "ETH_VARS", "ETH_VARS_SIZE")
        syms = lst_symbols(self.args.cod, names)
        if len(syms) < len(names):
            raise StartError(f"--guard: {', '.join(names)} not all in the .lst beside {self.args.cod}")
        # Registers and the connection at work, 0x00 to CUR + SLOT_SIZE; the
        # driver's; the slots; the transmit buffer.
        cur_end = syms["CUR"] + syms["SLOT_SIZE"]
        slots_end = syms["SLOTS"] + syms["NSLOTS"] * syms["SLOT_SIZE"]
        self.allowed = set(range(cur_end)) | set(range(syms["SLOTS"], slots_end))
        self.allowed |= set(range(syms["ETH_VARS"], syms["ETH_VARS"] + syms["ETH_VARS_SIZE"]))
        self.allowed |= set(range(TX_BUF, TX_BUF + FRAME_MAX))
        # The live values' RAM and the snapshots, where the server has them.
        live = lst_symbols(self.args.cod, ("LIVE_RAM", "LIVE_RAM_SIZE", "SNAPS", "SNAP_SIZE"))
        if len(live) == 4:
            self.allowed |= set(range(live["LIVE_RAM"], live["LIVE_RAM"] + live["LIVE_RAM_SIZE"]))
            self.allowed |= set(range(live["SNAPS"],
                                      live["SNAPS"] + syms["NSLOTS"] * live["SNAP_SIZE"]))
        # A DHCP build's address, client and mDNS state, when it has them.
        for base in ("NET_VARS", "MDNS_VARS"):
            net = lst_symbols(self.args.cod, (base, base + "_SIZE"))
            if len(net) == 2:
                self.allowed |= set(range(net[base], net[base] + net[base + "_SIZE"]))
        for addr in range(RAM_SIZE):
            self.shadow[addr] = pattern(addr)
        lines = [f"reg(0x{a:03X})=0x{v:02X}" for a, v in enumerate(self.shadow)]
        self.gpsim.command("\n".join(lines), wait=60)

    def move_read_window(self, length):
        """Read breakpoints on RX_BUF + length .. + READ_WINDOW (clipped)."""
        want = set(range(RX_BUF + length, RX_BUF + min(length + READ_WINDOW, FRAME_MAX)))
        lines = [self.clear_break(self.reads.pop(addr)) for addr in sorted(set(self.reads) - want)]
        for addr in sorted(want - set(self.reads)):
            line, self.reads[addr] = self.add_break(f"r 0x{addr:03X}", "read")
            lines.append(line)
        if lines:
            self.gpsim.command("\n".join(lines), wait=60)

    def check_ram(self, when, ram=None):
        ram = ram or self.gpsim.ram()
        for addr in range(RAM_SIZE):
            if addr not in self.allowed and ram[addr] != self.shadow[addr]:
                raise Fault(f"{when}: RAM 0x{addr:03X} holds 0x{ram[addr]:02X}, "
                            f"was 0x{self.shadow[addr]:02X}")

    def copied(self):
        """At eth_copied: RX_BUF holds the next frame the controller kept,
        and nothing past it changed; the read window moves to rx_len."""
        ram = self.gpsim.ram()
        length = ram[RX_LEN] << 8 | ram[RX_LEN + 1]
        got = bytes(ram[RX_BUF:RX_BUF + length])
        while self.expected and self.expected[0] != got:
            self.expected.pop(0)  # the controller's filters dropped it
        if not self.expected:
            raise Fault(f"RX_BUF holds {length} bytes that are no frame handed in: {got[:64].hex()}")
        self.expected.pop(0)
        self.shadow[RX_BUF:RX_BUF + length] = got
        for addr in range(RX_BUF + length, RX_BUF + FRAME_MAX):
            if ram[addr] != self.shadow[addr]:
                raise Fault(f"the driver wrote RX_BUF+{addr - RX_BUF} past a {length}-byte frame")
        self.check_ram(f"frame {self.frames} copied", ram)
        self.rx_length = length
        self.move_read_window(length)

    def log(self, direction, frame, note="", cycle=None):
        cycle = self.cycles if cycle is None else cycle
        t = cycle / self.cycles_per_second if self.args.frames else time.monotonic() - self.started
        if not self.args.quiet:
            print(f"{t:11.6f} {direction:4} {describe(frame)}{note}", flush=True)
        # Frames the bridge drops are written too: the capture shows what
        # the program sent, so a segment sent again shows as such.
        if self.pcap:
            sec, usec = int(t), int(t % 1 * 1e6)
            self.pcap.write(struct.pack("<IIII", sec, usec, len(frame), len(frame)) + frame)

    def sent(self):
        """The frames the controller sent since the last call, less those
        --drop-out drops; a fault the model reported ends the run."""
        out = []
        for cycle, frame in self.relay.receive():
            data = tcp_data(frame)
            if data:
                self.sent_data += 1
                if self.sent_data in self.args.drop_out:
                    self.log("out", frame, "  (dropped by the bridge)", cycle)
                    continue
            self.log("out", frame, cycle=cycle)
            self.frames += 1
            out.append(frame)
        if self.relay.faults:
            raise Fault(self.relay.faults[0])
        return out

    def hand_in(self, frame, bad_fcs=False):
        self.relay.send_frame(frame, bad_fcs)
        if not bad_fcs:
            self.expected.append(bytes(frame))
        self.frames += 1
        self.log("in", frame, "  (wrong FCS)" if bad_fcs else "")

    # --frames: gpsim runs to a cycle or a label, stopping at the guard's
    # breakpoints on the way.
    def run(self, stop_at):
        """Runs until STOP_AT ('idle', or a cycle number) is reached; the
        frames sent meanwhile."""
        if stop_at == "idle":
            number = self.add_break_now(f"e 0x{self.labels['eth_idle']:X}", "idle")
        else:
            number = self.add_break_now(f"c {stop_at}", "cycle")
        out = []
        while True:
            text = self.gpsim.command("run")
            m = None
            for m in re.finditer(r"^0x([0-9A-F]{16}) p18f4620 ", text, re.M):
                pass
            if m:
                self.cycles = int(m.group(1), 16)
            out += self.sent()
            read = re.search(r"Read: 0x[0-9A-F]+ from \w+\(0x0([0-9A-F]{3})\)\n\s*BREAK", text)
            if read:
                addr = int(read.group(1), 16)
                raise Fault(f"read of RX_BUF+{addr - RX_BUF} past a {self.rx_length}-byte frame")
            at = re.search(r"^(\d+): p18f4620 Execution at", text, re.M)
            if "cycle break:" in text and stop_at != "idle":
                del self.breaks[number]  # gpsim has freed it
                # The line shown is the instruction before the break's cycle.
                self.cycles = max(self.cycles, stop_at)
                return out
            if at and self.breaks.get(int(at.group(1))) == "idle":
                self.gpsim.command(self.clear_break(number))
                return out
            if at and self.breaks.get(int(at.group(1))) == "copied":
                self.copied()
                continue
            raise Fault(f"gpsim stopped without a breakpoint:\n{text[-500:]}")

    def run_for(self, cycles):
        """Runs CYCLES, in runs of at most CHUNK_CYCLES, so that --hang
        bounds each."""
        out, end = [], self.cycles + cycles
        while self.cycles < end:
            out += self.run(min(end, self.cycles + CHUNK_CYCLES))
        return out

    def settle(self, after_cycles):
        """Runs AFTER_CYCLES, then until the ring is empty, then until the
        last reply has left."""
        out = self.run_for(after_cycles)
        out += self.run("idle")
        out += self.run_for(DRAIN_CYCLES)
        return out


def open_tap(name, address):
    try:
        fd = os.open("/dev/net/tun", os.O_RDWR)
        fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TAP | IFF_NO_PI))
    except OSError as e:
        raise StartError(f"cannot make the TAP device {name} ({e.strerror}): "
                         "run as root, or inside unshare -n (unshare -rn without root)")
    for cmd in (["ip", "link", "set", name, "up"],
                ["ip", "addr", "add", address, "dev", name]):
        try:
            done = subprocess.run(cmd, capture_output=True, text=True)
        except OSError as e:
            raise StartError(f"cannot run ip ({e.strerror}; Debian: apt-get install iproute2)")
        if done.returncode:
            raise StartError(f"{' '.join(cmd)}: {last_line(done.stderr)}")
    return fd


def serve_tap(bridge, args):
    """gpsim runs freely; frames go both ways as they come."""
    fd = open_tap(args.tap, args.address)
    g = bridge.gpsim
    g.proc.stdin.write(b"run\n")
    g.pending = b""
    running = False  # gpsim has said "running...": a prompt now is a stop
    last = time.monotonic()
    while True:
        now = time.monotonic()
        if now - last > args.idle_exit:
            return f"{args.idle_exit} s without a frame"
        if args.max_frames and bridge.frames >= args.max_frames:
            return f"{bridge.frames} frames"
        ready = select.select([fd, bridge.relay.ours, g.proc.stdout], [], [],
                              max(0.0, args.idle_exit - (now - last)))[0]
        if bridge.relay.ours in ready:
            for frame in bridge.sent():
                os.write(fd, frame)
                last = time.monotonic()
        if fd in ready:
            # Read whole whatever the device's MTU; a frame no 10BASE-T
            # controller takes is logged (and captured whole) but dropped.
            frame = os.read(fd, 65536)
            last = time.monotonic()
            if len(frame) > FRAME_MAX:
                bridge.log("in", frame, f"  (dropped by the bridge: {len(frame)} bytes, "
                           f"over {FRAME_MAX:,})")
                continue
            # A frame on a wire is at least 60 bytes: the sender pads it.
            bridge.hand_in(frame + bytes(max(0, 60 - len(frame))))
        if g.proc.stdout in ready:
            data = os.read(g.proc.stdout.fileno(), 1 << 16)
            g.pending = (g.pending + data)[-4096:]
            if not running and b"running..." in g.pending:
                running, g.pending = True, g.pending.split(b"running...", 1)[1]
            if not data or (running and b"**gpsim>" in g.pending):
                time.sleep(0.05)
                bridge.sent()  # a fault the model reported, if any
                raise Fault(f"gpsim stopped: {g.pending[-300:].decode(errors='replace')}")


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
    bridge.run("idle")  # the program starts and sets up the controller
    for kind, value in iter_lines(frames, args.settle):
        longest, start = 0, bridge.cycles
        if kind == "frames":
            for frame, bad in value:
                bridge.hand_in(frame, bad)
                longest += len(frame) + WIRE_OVERHEAD
            given += 1
            # The model takes the frames up at its next poll, up to
            # POLL_CYCLES on, and keeps them once their wire time has
            # passed; a poll more, and they are in its buffer before the
            # program can next go idle, so that its idle comes after their
            # work. Without it, a poll that just missed them let an idle
            # through with their work still ahead, which the drain may not
            # cover (the 1 ms tick in between), and their replies were
            # counted with the next line's.
            out = bridge.settle(2 * POLL_CYCLES + longest * CYCLES_PER_WIRE_BYTE)
        elif kind == "reset":
            bridge.relay.power_cut()
            out = bridge.settle(POLL_CYCLES)
        elif kind == "ram":
            out = []
            if replies:
                addr, count = value
                replies.write(f"ram {bytes(bridge.gpsim.ram()[addr:addr + count]).hex()}\n")
        elif kind == "poke":
            out = []
            addr, data = value
            bridge.gpsim.command("\n".join(f"reg({addr + i:#x})={b:#x}" for i, b in enumerate(data)))
        else:
            out = bridge.settle(value * bridge.cycles_per_second // 1000)
        if args.guard:
            bridge.check_ram(f"after frame {bridge.frames}")
            # A program that sends in a loop is a hang, however fast it runs.
            bound = SENT_PER_LINE + SENT_PER_SECOND * (bridge.cycles - start) // bridge.cycles_per_second
            if len(out) > bound:
                raise Fault(f"{len(out)} frames sent for one line of --frames, "
                            f"more than the bound of {bound}: the program sends in a loop")
        if replies:
            for frame in out:
                replies.write(f"{given} {frame.hex()}\n")
            replies.write("done\n")
            replies.flush()
        if args.max_frames and bridge.frames >= args.max_frames:
            return f"{bridge.frames} frames"
    return "the end of the frames"


def iter_lines(frames, settle):
    """The steps of a frames file: ("frames", [(frame, bad_fcs)...]),
    ("reset", None) or ("wait", ms); then SETTLE ms for the last replies."""
    for number, text in enumerate(frames, 1):
        line = text.split("#")[0].strip()
        try:
            step = parse_line(line)
        except (ValueError, IndexError):
            raise StartError(f"frames line {number} is none of HEX, wait MS, length N HEX, "
                             f"burst HEX..., badfcs HEX, reset, ram ADDR N, poke ADDR HEX: {line[:60]}")
        if step:
            yield step
    yield "wait", settle


def parse_line(line):
    if line.startswith("wait"):
        return "wait", int(line.split()[1])
    if line == "reset":
        return "reset", None
    if line.startswith("ram"):
        _, addr, count = line.split()
        return "ram", (int(addr, 16), int(count))
    if line.startswith("poke"):
        _, addr, data = line.split()
        return "poke", (int(addr, 16), bytes.fromhex(data))
    if line.startswith("length"):
        _, length, data = line.split()
        return "frames", [((bytes.fromhex(data) + bytes(int(length)))[:int(length)], False)]
    if line.startswith("burst"):
        return "frames", [(bytes.fromhex(d), False) for d in line.split()[1:]]
    if line.startswith("badfcs"):
        _, data = line.split()
        return "frames", [(bytes.fromhex(data), True)]
    if line:
        return "frames", [(bytes.fromhex(line), False)]
    return None


def check_files(args):
    """What the bridge needs before gpsim starts, each said in one line."""
    lst = os.path.splitext(args.cod)[0] + ".lst"
    for path, what in ((args.cod, "the assembled server"), (lst, "the server's listing"),
                       (args.module, "the ENC28J60 model (--module, ENC28J60_MODULE)")):
        if not os.path.isfile(path):
            raise StartError(f"{path}: no such file ({what})")
    if args.frames and args.frames != "-" and not os.path.exists(args.frames):
        raise StartError(f"{args.frames}: no such file (the frames)")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("cod", help="the assembled server (.cod, with its .lst beside it)")
    ap.add_argument("--module", default=os.environ.get("ENC28J60_MODULE") or default_module(),
                    help="the ENC28J60 model, libenc28j60_gpsim.so (default: ENC28J60_MODULE, "
                    "or the build tree's)")
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
                    help="with --frames: a run that takes longer than this many seconds "
                    "is a hang (default 10)")
    ap.add_argument("--guard", action="store_true",
                    help="with --frames: check RAM writes and reads (tests)")
    ap.add_argument("--quiet", action="store_true", help="no line per frame")
    args = ap.parse_args(argv[1:])
    if args.guard and not args.frames:
        ap.error("--guard needs --frames")
    if args.replies == "-":
        sys.stdout = sys.stderr  # the log, so that stdout carries replies only
        args.replies_out = sys.__stdout__
    bridge = None
    try:
        check_files(args)
        bridge = Bridge(args)
        why = serve_file(bridge, args) if args.frames else serve_tap(bridge, args)
        if args.guard:
            bridge.check_ram("at the end")
    except StartError as e:
        print(f"pic_bridge: {e}", file=sys.stderr)
        return 2
    except Fault as fault:
        print(f"pic_bridge: {fault}", file=sys.stderr)
        return 1
    finally:
        if bridge:
            if bridge.pcap:
                bridge.pcap.close()
            bridge.gpsim.close()
    if not args.quiet:
        print(f"pic_bridge: stopped after {why}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
