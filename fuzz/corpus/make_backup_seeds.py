#!/usr/bin/env python3
"""Seeds for fuzz_backup_decoder (backup files) and fuzz_backup_names (folder
listings: one entry a line, its first byte the kind: 0 a sound backup, 1 a
folder, 2 a damaged backup; see fuzz/fuzz_backup_names.cpp). Run from
anywhere: python3 fuzz/corpus/make_backup_seeds.py
"""
import os
import struct
import zlib

here = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    os.makedirs(os.path.join(here, target), exist_ok=True)
    with open(os.path.join(here, target, name), 'wb') as f:
        f.write(data)


data = bytes(range(256)) * 7 + bytes([1, 2, 3, 4, 5, 6])  # 1798 bytes of settings
header = b'KVUD' + struct.pack('<HHII', 1, 16, len(data), zlib.crc32(data))
write('fuzz_backup_decoder', 'sound.kv27ud', header + data)
write('fuzz_backup_decoder', 'header-only.kv27ud', header)
damaged = bytearray(header + data)
damaged[100] ^= 1
write('fuzz_backup_decoder', 'wrong-crc.kv27ud', bytes(damaged))
write('fuzz_backup_decoder', 'long.kv27ud', header + data + b'\0')

place = 'at-1C2D3E4F-2'  # the mouse's place in fuzz_backup_names.cpp
write('fuzz_backup_names', 'newest', '\n'.join([
    '\x00backup-20260101-120000-000-' + place + '.kv27ud',
    '\x00backup-20260101-120000-000-' + place + '-2.kv27ud',
    '\x02backup-20260102-120000-000-' + place + '.kv27ud',
    '\x00backup-20260103-120000-000-at-00000000-1.kv27ud',
    '\x01backup-20260104-120000-000-' + place + '.kv27ud',
]).encode('latin-1'))
write('fuzz_backup_names', 'odd-names', '\n'.join([
    '\x00BACKUP-1-' + place.upper() + '-999999.KV27UD',
    '\x00backup--' + place + '.kv27ud',
    '\x00backup-' + place + '-x.kv27ud',
    '\x00backup-1-' + place + '-.kv27ud',
    '\x00backup-2-' + place + '-12345678901.kv27ud',
    '\x00notes.txt',
]).encode('latin-1'))
