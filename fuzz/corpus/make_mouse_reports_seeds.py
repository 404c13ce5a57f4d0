#!/usr/bin/env python3
# Writes the hand-made seeds of fuzz_mouse_reports (layout in
# fuzz_mouse_reports.cpp): a flash-read reply while one is awaited, unasked
# mode-information and key-status reports to an owner window, an accepted reply
# followed by unasked reports, and reports of the wrong length or id.
import os

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_mouse_reports")
os.makedirs(out, exist_ok=True)

def report(*body, length=None, rid=0xB4):
    r = bytes([rid, *body]).ljust(8, b"\0")
    if length is not None:
        r = r[:length].ljust(length, b"\0")
    return bytes([len(r)]) + r

seeds = {
    "flash-read": bytes([0x02, 0]) + report(0x02, 0x10, 4, 0xDE, 0xAD, 0xBE, 0xEF),
    "unasked": bytes([0, 2]) + report(0x20, 0, 0, 0x93, 0x5A, 7, 9) + report(0x24, 0x34, 0x12),
    "kept-reply": bytes([0x21, 3]) + report(0x21, 1, 2, 3, 4, 5, 6) + report(0x20, 0, 0, 0xFF, 0xFF, 1, 2),
    "malformed": bytes([0x02, 0]) + report(0x02, 0, length=7) + report(0x02, 0, length=9) + report(length=0) +
                 report(0x02, 0, rid=0xB5) + report(0x02, 0, length=255),
}
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
