#!/usr/bin/env python3
"""Writes a pcap file of loader-protocol conversations from a script of byte
streams, the same bytes every time, for the dissector's tests.

text2pcap wraps hex dumps in TCP headers but cannot set SYN, FIN or RST,
and the dissector needs them: a SYN tells it that a conversation is seen
from its start, and a close is where an unfinished image shows. So the
frames are built here, Ethernet, IPv4 and TCP with sequence numbers and
checksums that a real stack would give.

usage: loader_pcap.py SCRIPT OUT.pcap

Script lines, one conversation after another ('#' starts a comment):
  conv PORT [nosyn] [seq=N]
                      a new connection from client port PORT to port 57000;
                      nosyn: its handshake is not in the capture; seq=N: the
                      client's first sequence number (the SYN's), so that
                      its stream can wrap past 2^32
  c HEX... | s HEX... one segment from the client (c) or the target (s)
  c1 HEX... / s1 ...  the same bytes, one byte per segment
  c image N [SPLIT]   N image bytes, byte i being (7 * i + 3) mod 256, in
                      segments of SPLIT bytes (default 256)
  c again             the client's last segment sent again (retransmission)
  c swap              the capture's last two frames, both the client's, in
                      the other order (a segment overtaken by the next)
  c back N HEX...     a segment whose first N bytes were sent before
  c lost HEX...       a segment sent but missing from the capture
  fin c|s, rst c|s    that side closes or resets
"""
import struct
import sys

CLIENT_IP = bytes([10, 0, 0, 1])
TARGET_IP = bytes([10, 0, 0, 2])
PORT = 57000
SYN, FIN, RST, PSH, ACK = 0x02, 0x01, 0x04, 0x08, 0x10


def image_bytes(n):
    return bytes((7 * i + 3) % 256 for i in range(n))


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


class Capture:
    def __init__(self):
        self.frames = []
        self.ident = 0

    def frame(self, src, dst, sport, dport, seq, ack, flags, payload):
        tcp = struct.pack("!HHIIBBHHH", sport, dport, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF,
                          5 << 4, flags, 65535, 0, 0)
        pseudo = src + dst + struct.pack("!BBH", 0, 6, len(tcp) + len(payload))
        tcp = tcp[:16] + struct.pack("!H", checksum(pseudo + tcp + payload)) + tcp[18:]
        self.ident += 1
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(payload), self.ident,
                         0x4000, 64, 6, 0, src, dst)
        ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
        ether = bytes.fromhex("020000000002" "020000000001" "0800")
        if src == TARGET_IP:
            ether = bytes.fromhex("020000000001" "020000000002" "0800")
        self.frames.append(ether + ip + tcp + payload)

    def write(self, path):
        with open(path, "wb") as out:
            out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
            for i, data in enumerate(self.frames):
                # One millisecond apart, from a fixed instant.
                out.write(struct.pack("<IIII", 1700000000 + i // 1000, (i % 1000) * 1000,
                                      len(data), len(data)))
                out.write(data)


class Connection:
    def __init__(self, cap, port, syn, client_seq=1000):
        self.cap, self.port = cap, port
        self.next = {"c": client_seq, "s": 5000}
        self.last = None
        if syn:
            self.send("c", b"", SYN, consume=1)
            self.send("s", b"", SYN | ACK, consume=1)
            self.send("c", b"", ACK)

    def send(self, side, payload, flags=PSH | ACK, consume=0, seq=None):
        other = "s" if side == "c" else "c"
        seq = self.next[side] if seq is None else seq
        ack = self.next[other] if flags & ACK else 0
        if side == "c":
            self.cap.frame(CLIENT_IP, TARGET_IP, self.port, PORT, seq, ack, flags, payload)
            self.last = (seq, payload)
        else:
            self.cap.frame(TARGET_IP, CLIENT_IP, PORT, self.port, seq, ack, flags, payload)
        # Modulo 2^32, as the stack counts: "after" is less than half the
        # sequence space ahead.
        end = (seq + len(payload) + consume) & 0xFFFFFFFF
        if (end - self.next[side]) & 0xFFFFFFFF < 0x80000000:
            self.next[side] = end


def main(script, out):
    cap = Capture()
    conn = None
    for number, line in enumerate(open(script), 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        op, args = words[0], words[1:]
        if op == "conv":
            seqs = [int(a[4:]) for a in args[1:] if a.startswith("seq=")]
            conn = Connection(cap, int(args[0]), "nosyn" not in args[1:], *seqs)
        elif op in ("c", "s") and args[:1] == ["image"]:
            n = int(args[1])
            split = int(args[2]) if len(args) > 2 else 256
            data = image_bytes(n)
            for at in range(0, n, split):
                conn.send(op, data[at:at + split])
        elif op == "c" and args == ["again"]:
            conn.send("c", conn.last[1], seq=conn.last[0])
        elif op == "c" and args == ["swap"]:
            cap.frames[-2:] = cap.frames[:-3:-1]
        elif op == "c" and args[:1] == ["lost"]:
            conn.next["c"] = (conn.next["c"] + len(bytes.fromhex("".join(args[1:])))) & 0xFFFFFFFF
        elif op == "c" and args[:1] == ["back"]:
            conn.send("c", bytes.fromhex("".join(args[2:])), seq=conn.next["c"] - int(args[1]))
        elif op in ("c", "s"):
            conn.send(op, bytes.fromhex("".join(args)))
        elif op in ("c1", "s1"):
            for byte in bytes.fromhex("".join(args)):
                conn.send(op[0], bytes([byte]))
        elif op == "fin":
            conn.send(args[0], b"", FIN | ACK, consume=1)
        elif op == "rst":
            conn.send(args[0], b"", RST | ACK)
        else:
            sys.exit(f"{script}:{number}: cannot read: {line.strip()}")
    cap.write(out)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
