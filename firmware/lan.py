#!/usr/bin/env python3
"""What try_site.sh needs to know of the LAN side of a server build.

  lan.py settings LST        the network settings the server was built
      with, read from the symbol table gpasm wrote at the end of its
      listing (so the values are the ones gpasm worked out, whatever form
      netconfig.inc gave them in), as shell assignments: dhcp (0 or 1),
      mac, ip, prefix (the mask's length), name, and peer: an address on
      the same subnet for this machine's end of the TAP device, with its
      prefix.
  lan.py resolve NAME FROM   NAME's IPv4 addresses by mDNS (RFC 6762),
      asked by multicast from the interface address FROM, up to 5 times,
      1 s apart; one line, the addresses apart by spaces, empty when none
      answered. Needs Debian's python3-zeroconf (run it with
      /usr/bin/python3).

Exit status 0, 1 when the listing lacks a setting, 2 on a usage error.
"""
import re
import sys
import time

SETTINGS = ["NET_DHCP", "NET_NAME_LEN"] + [f"NET_MAC_{i}" for i in range(6)] + \
    [f"NET_IP_{i}" for i in range(4)] + [f"NET_MASK_{i}" for i in range(4)]


def symbols(listing):
    """The NAME VALUE lines of gpasm's symbol table, values in hex."""
    found = {}
    for line in listing.splitlines():
        m = re.fullmatch(r"(NET_\w+) +([0-9A-F]{8})", line.strip())
        if m:
            found[m.group(1)] = int(m.group(2), 16)
    return found


def settings(path):
    with open(path, encoding="latin-1") as f:
        sym = symbols(f.read())
    names = SETTINGS + [f"NET_NAME_{i}" for i in range(sym.get("NET_NAME_LEN", 0))]
    missing = [n for n in names if n not in sym]
    if missing:
        print(f"lan.py: {path} has no {', '.join(missing)} in its symbol table", file=sys.stderr)
        return 1
    ip = [sym[f"NET_IP_{i}"] for i in range(4)]
    mask = int.from_bytes(bytes(sym[f"NET_MASK_{i}"] for i in range(4)), "big")
    prefix = bin(mask).count("1")
    # The subnet's first host, or its second when the board holds the first.
    net = int.from_bytes(bytes(ip), "big") & mask
    peer = net + 1 if net + 1 != int.from_bytes(bytes(ip), "big") else net + 2
    values = {
        "dhcp": str(sym["NET_DHCP"]),
        "mac": ":".join(f"{sym[f'NET_MAC_{i}']:02x}" for i in range(6)),
        "ip": ".".join(map(str, ip)),
        "prefix": str(prefix),
        "name": "".join(chr(sym[f"NET_NAME_{i}"]) for i in range(sym["NET_NAME_LEN"])),
        "peer": ".".join(map(str, peer.to_bytes(4, "big"))) + f"/{prefix}",
    }
    for key, value in values.items():
        print(f"{key}={value}")
    return 0


def resolve(name, source):
    import socket
    from zeroconf import DNSOutgoing, DNSQuestion, Zeroconf, const
    zc = Zeroconf(interfaces=[source])
    try:
        for _ in range(5):
            out = DNSOutgoing(const._FLAGS_QR_QUERY)
            out.add_question(DNSQuestion(name, const._TYPE_A, const._CLASS_IN))
            zc.send(out)
            time.sleep(1)
            found = zc.cache.get_all_by_details(name, const._TYPE_A, const._CLASS_IN)
            if found:
                return sorted(socket.inet_ntoa(r.address) for r in found)
        return []
    finally:
        zc.close()


def main(argv):
    if len(argv) == 3 and argv[1] == "settings":
        return settings(argv[2])
    if len(argv) == 4 and argv[1] == "resolve":
        print(" ".join(resolve(argv[2], argv[3])))
        return 0
    print("usage: lan.py settings LST | lan.py resolve NAME FROM", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
