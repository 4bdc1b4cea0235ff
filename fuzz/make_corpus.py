#!/usr/bin/env python3
"""Writes the seed corpus: valid frames for each fuzz target, in each target's
input format (see the comment at the top of each target)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc(b):
    c = 0xFFFF
    for x in b:
        c ^= x
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
    return bytes(b) + bytes([c & 0xFF, c >> 8])


def mbap(unit, pdu, tid=0):
    return struct.pack(">HHH", tid, 0, len(pdu) + 1) + bytes([unit]) + bytes(pdu)


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


regs4 = bytes([0x03, 0x08, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x12, 0x34, 0x56])
info = bytes([0x46, 0x00]) + b"QV-LF125" + bytes(range(43))
replies = {
    "read1": crc([0x01, 0x03, 0x02, 0x12, 0x34]),
    "read4": crc([0x01] + list(regs4)),
    "write1": crc([0x01, 0x06, 0x00, 0x01, 0x00, 0x03]),
    "writeN": crc([0x01, 0x10, 0x00, 0x64, 0x00, 0x02]),
    "exception": crc([0x01, 0x83, 0x02]),
    "info": crc([0x01] + list(info)),
    "reader_ok": crc([0x01, 0x46, 0x01, 0x00]),
}
tcp_replies = {
    "read2": mbap(1, [0x03, 0x04, 0x00, 0x01, 0x00, 0x02]),
    "read4": mbap(1, regs4),
    "write1": mbap(1, [0x06, 0x00, 0x01, 0x00, 0x03]),
    "info": mbap(1, info),
    "exception": mbap(1, [0x83, 0x02]),
}

for k, v in replies.items():
    write("parse_frame", "rtu_" + k, bytes([0]) + v)
    write("reply_complete", k, v)
for k, v in tcp_replies.items():
    write("parse_frame", "tcp_" + k, bytes([1]) + v)


def pieces(*chunks, delay=0):
    out = b""
    for c in chunks:
        out += struct.pack(">H", ((delay & 0x0F) << 11) | len(c)) + c
    return out


def cmd(code, param, station=1, tcp=False, clock=0x00001000):
    return bytes([code | (0x10 if tcp else 0), param, station]) + struct.pack("<I", clock)


r4 = replies["read4"]
write("commands", "read4_whole", cmd(0, 4) + pieces(r4))
write("commands", "read4_split", cmd(0, 4) + pieces(r4[:3], r4[3:9], r4[9:], delay=1))
write("commands", "read4_bytewise_wrap", cmd(0, 4, clock=0xFFFFFF00) + pieces(*[r4[i:i + 1] for i in range(len(r4))]))
write("commands", "read4_stray_first", cmd(0, 4) + pieces(b"\xa5\x5a", r4))
write("commands", "write1", cmd(1, 1) + pieces(replies["write1"]))
write("commands", "writeN", cmd(2, 2) + pieces(replies["writeN"]))
write("commands", "info", cmd(3, 0) + pieces(replies["info"]))
write("commands", "downkey", cmd(4, 0) + pieces(replies["reader_ok"]))
write("commands", "exception_waits", cmd(0, 1) + pieces(replies["exception"]))
write("commands", "silent", cmd(6, 0))
write("commands", "tcp_read4", cmd(0, 4, tcp=True) + pieces(tcp_replies["read4"]))
write("commands", "tcp_read4_split", cmd(0, 4, tcp=True) + pieces(tcp_replies["read4"][:5], tcp_replies["read4"][5:]))
write("commands", "tcp_info", cmd(3, 0, tcp=True) + pieces(tcp_replies["info"]))
write("commands", "tcp_write1", cmd(1, 1, tcp=True) + pieces(tcp_replies["write1"]))

requests = {
    "read10": crc([0x01, 0x03, 0x00, 0x00, 0x00, 0x0A]),
    "read_card": crc([0x01, 0x03, 0x00, 0x04, 0x00, 0x04]),
    "write1": crc([0x01, 0x06, 0x00, 0x01, 0x00, 0x03]),
    "writeN": crc([0x01, 0x10, 0x00, 0x64, 0x00, 0x02, 0x04, 0x00, 0x10, 0x00, 0x20]),
    "info": crc([0x01, 0x46, 0x00]),
    "key": crc([0x01, 0x46, 0x01, 1, 2, 3, 4, 5, 6]),
    "broadcast": crc([0x00, 0x06, 0x00, 0x02, 0x00, 0x01]),
}
for k, v in requests.items():
    write("sim_request", "rtu_" + k, bytes([0]) + v)
write("sim_request", "rtu_garbage_then_two", bytes([0, 0xA5, 0x5A]) + requests["read10"] + requests["info"])
for k in ("read10", "write1", "writeN", "info"):
    v = requests[k]
    write("sim_request", "tcp_" + k, bytes([1]) + mbap(v[0], v[1:-2], tid=7))
