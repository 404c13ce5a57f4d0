#!/usr/bin/env python3
"""Seeds for the capture fuzz targets, cut from the committed capture fixtures
(tests/capture/fixtures/): small captures a fuzzer can run through quickly.

From each fixture: its first records with and without the end record, and the
part where the bootloader appears (the run record, the devices present, the
bootloader's arrival and its first transfers, the end record). The replay
target also gets the smallest fixture whole. (places-256.pcapng, no-end-record.pcapng
and classic.pcap are hand-made files of faults found in review, kept as they are.) Run
from anywhere:
python3 fuzz/corpus/make_capture_seeds.py
"""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
fixtures = os.path.join(here, '..', '..', 'tests', 'capture', 'fixtures')


def blocks(data):
    at = 0
    while at + 12 <= len(data):
        length = struct.unpack_from('<I', data, at + 4)[0]
        yield data[at:at + length]
        at += length


def kind(block):
    if struct.unpack_from('<I', block, 0)[0] != 0xBAD:
        return None
    text = block[12:-4].split(b'\n')[0]
    return text[5:].rstrip(b'\0').decode('latin-1') if text.startswith(b'KV27 ') else None


def write(target, name, data):
    folder = os.path.join(here, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


for fixture in ('ok', 'erase-fails', 'unplug-during-read'):
    with open(os.path.join(fixtures, fixture + '.pcapng'), 'rb') as f:
        whole = f.read()
    parts = list(blocks(whole))
    header, records = parts[:2], parts[2:]
    end = [b for b in records if kind(b) == 'end']
    seeds = {
        'head': b''.join(header + records[:40] + end),
        'head-cut': b''.join(header + records[:24]),
    }
    arrivals = [i for i, b in enumerate(records) if kind(b) == 'arrival']
    if arrivals:
        present = [b for b in records[:arrivals[0]] if kind(b) in ('run', 'present')]
        seeds['bootloader'] = b''.join(header + present + records[arrivals[0]:arrivals[0] + 24] + end)
    for name, data in seeds.items():
        for target in ('fuzz_pcapng_reader', 'fuzz_capture_parser', 'fuzz_replay'):
            write(target, '%s-%s.pcapng' % (fixture, name), data)
    if fixture == 'unplug-during-read':
        write('fuzz_replay', fixture + '.pcapng', whole)
