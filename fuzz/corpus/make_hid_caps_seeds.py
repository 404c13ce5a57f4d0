#!/usr/bin/env python3
# Writes the hand-made seeds of fuzz_hid_caps (layout in fuzz_hid_caps.cpp): the
# mouse's vendor collection, lists longer than the record holds, counts that
# disagree with the lists, and a failing HidP_GetCaps.
import os, struct

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_hid_caps")
os.makedirs(out, exist_ok=True)
CAPS_SIZE = 72  # HIDP_BUTTON_CAPS and HIDP_VALUE_CAPS

def caps(usage_page, usage, inp, outp, feat, counts):
    # counts: input button, input value, output button, output value, feature button, feature value
    nib, niv, nob, nov, nfb, nfv = counts
    return (struct.pack("<HHHHH", usage, usage_page, inp, outp, feat) + bytes(34) +
            struct.pack("<10H", 1, nib, niv, 0, nob, nov, 0, nfb, nfv, 0))

def entry(usage_page, report_id, usage):
    e = bytearray(CAPS_SIZE)
    struct.pack_into("<HB", e, 0, usage_page, report_id)
    struct.pack_into("<H", e, 56, usage)  # inside the usage range/not-range union
    return bytes(e)

def seed(flags, c, sizes, entries):
    return bytes([flags]) + c + bytes(sizes) + b"".join(entries)

mouse = seed(0, caps(0xFFB4, 1, 8, 8, 0, (0, 1, 0, 1, 0, 0)), [0, 1, 0, 1, 0, 0],
             [entry(0xFFB4, 0, 1), entry(0xFFB4, 0, 2)])
many = seed(0, caps(0x0001, 2, 5, 0, 3, (6, 7, 0, 0, 5, 5)), [6, 7, 0, 0, 5, 5],
            [entry(9, 0, i) for i in range(13)] + [entry(1, 2, i) for i in range(10)])
disagree = seed(0, caps(0x0001, 2, 4, 65535, 0, (200, 0, 3, 0, 0, 9)), [1, 0, 7, 0, 0, 2],
                [entry(9, 1, i) for i in range(10)])
failing = seed(1, caps(0xFFB4, 1, 8, 8, 0, (1, 1, 1, 1, 1, 1)), [1, 1, 1, 1, 1, 1],
               [entry(0xFFB4, 0, i) for i in range(6)])
for name, data in {"mouse": mouse, "many": many, "disagree": disagree, "caps-fail": failing}.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
