#!/usr/bin/env python3
# Writes the hand-made seed replies of fuzz_usbmon (see fuzz_usbmon.cpp for the
# layout): a root hub with a device and an external hub below it, lying name
# lengths, a string descriptor and a short record.
import os, struct, sys

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_usbmon")
os.makedirs(out, exist_ok=True)

def reply(data, mode=0, count=None):
    r = bytes([mode]) + struct.pack("<H", len(data)) + data
    if mode == 3:
        r += struct.pack("<H", len(data) if count is None else count)
    return r

def wide(text):
    return text.encode("utf-16-le") + b"\0\0"

def root_name(name, claimed=None):
    full = struct.pack("<I", 4 + len(wide(name)) if claimed is None else claimed) + wide(name)
    return [reply(full[:8]), reply(full)]

def node_info(ports):
    info = bytearray(76)
    info[4], info[5], info[6] = 9, 0x29, ports
    return reply(bytes(info))

def record(port, vid, pid, hub=False, status=1, pipes=0):
    r = bytearray(35 + 7 * pipes)
    struct.pack_into("<I", r, 0, port)
    r[4], r[5] = 18, 1
    struct.pack_into("<HH", r, 12, vid, pid)
    r[24] = 1 if hub else 0
    struct.pack_into("<I", r, 31, status)
    return reply(bytes(r))

def hub_name(port, name, claimed=None):
    full = struct.pack("<II", port, 8 + len(wide(name)) if claimed is None else claimed) + wide(name)
    return [reply(full[:12]), reply(full)]

def string_descriptor(text, length=None):
    body = text.encode("utf-16-le")
    d = bytes([2 + len(body) if length is None else length, 3]) + body
    return reply(bytes(12) + d)

ids = struct.pack("<HH", 0x4E5B, 0x002A)
seeds = {
    "tree": [ids, *root_name("ROOT"), node_info(2), record(1, 0x4E5B, 0x002A), record(2, 0, 0, hub=True),
             *hub_name(2, "HUB1"), node_info(1), record(1, 0x1111, 0x2222),
             record(1, 0x4E5B, 0x002A), record(1, 0x1111, 0x2222),  # the removal pass
             *root_name("ROOT"), node_info(2), record(1, 0x4E5B, 0x002A), record(2, 0, 0, hub=True),
             *hub_name(2, "HUB1"), node_info(1), record(1, 0x1111, 0x2222),
             string_descriptor("N4 mouse")],
    "lying-lengths": [ids, *root_name("ROOT", claimed=4000), node_info(1), record(1, 0x4E5B, 0x002A),
                      reply(struct.pack("<I", 0xFFFFFFFF), mode=3, count=0xFFFF)],
    "more-data": [ids, reply(struct.pack("<I", 14) + wide("RO"), mode=2), *root_name("ROOT"), node_info(1),
                  record(1, 0x4E5B, 0x002A, pipes=3), reply(b"", mode=1), string_descriptor("abc", length=255)],
    "nested": [ids, *root_name("HUB2"), node_info(1), record(1, 0, 0, hub=True), *hub_name(1, "HUB2"),
               node_info(1), record(1, 0, 0, hub=True), *hub_name(1, "HUB2")],
}
for name, parts in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(b"".join(parts))
