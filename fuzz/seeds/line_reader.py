#!/usr/bin/env python3
"""Writes the line reader harness's seeds into fuzz/corpus/line_reader: real
requests and replies as the bus carries them, in the harness's operations
(see fuzz_line_reader.cpp).  Run again after changing that format."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'corpus', 'line_reader')


def checksum(data):
    return (sum(data) & 0xFF) % 254


def request(addr, command):
    return bytes([0xFE, 0xFE, addr, command, checksum([addr, command])])


def short_reply(addr, value):
    body = bytes([addr, value >> 8, value & 0xFF])
    return bytes([0xED]) + body + bytes([checksum(body)])


def long_reply(addr, cells):
    body = bytes([addr]) + b''.join(struct.pack('>H', c) for c in cells)
    return bytes([0xED]) + body + bytes([checksum(body)])


def options(echo, gap_ms):
    return bytes([(gap_ms << 1) | (1 if echo else 0)])


def expect(req, reply_len, owed=()):
    out = bytes([0, len(req)]) + req + struct.pack('>h', reply_len) + bytes([len(owed)])
    for addr, length, count in owed:
        out += bytes([addr, length, count])
    return out


def feed(data, after_ms=0):
    out = b''
    while True:
        part, data = data[:255], data[255:]
        out += bytes([2 | (after_ms << 2), len(part)]) + part
        if not data:
            return out


def poll(after_ms):
    return bytes([3 | (after_ms << 2)])


FORGET = bytes([1])
A1 = request(0x81, 0xA1)
A2 = request(0x81, 0xA2)
CELLS = long_reply(0x81, [1350 + i for i in range(32)])
VOLTS = short_reply(0x81, 3920)

seeds = {
    # A poll cycle's first two exchanges, each reply whole.
    'cycle': options(False, 20) + expect(A1, 67) + feed(CELLS, 3) + expect(A2, 5) + feed(VOLTS, 3),
    # The adapter hears its request first; the reply comes in pieces.
    'echo-split': options(True, 20) + expect(A1, 67) + feed(A1[:2]) + feed(A1[2:] + CELLS[:10], 1)
    + feed(CELLS[10:40], 2) + feed(CELLS[40:], 2),
    # Noise before the start byte, then two replies to one request.
    'noise-surplus': options(False, 20) + expect(A2, 5) + feed(b'\x00\x13' + VOLTS + VOLTS, 2),
    # A late long reply of the monitor at 0x82 before the awaited short one.
    'owed': options(False, 20) + expect(A2, 5, [(0x82, 67, 1)])
    + feed(long_reply(0x82, [1300] * 32)[:30], 1) + feed(long_reply(0x82, [1300] * 32)[30:] + VOLTS, 1),
    # A request the reader does not know: its reply ends at the frame gap.
    'unknown-length': options(False, 20) + expect(b'\xFE\xFE\x81\xB7\x38', 0) + feed(VOLTS[:3], 1)
    + poll(10) + feed(VOLTS[3:], 5) + poll(19) + poll(2),
    # Bytes with nothing asked, grouped by the gap; then a request forgotten.
    'stray': options(False, 20) + poll(5) + feed(VOLTS[:2], 0) + feed(VOLTS[2:], 5) + feed(VOLTS, 40)
    + expect(A2, 5) + feed(VOLTS[:2]) + FORGET + feed(VOLTS[2:], 1),
    # A second reply after the first was whole.
    'late-surplus': options(False, 20) + expect(A2, 5) + feed(VOLTS, 3) + feed(VOLTS, 30),
    # An adapter set for the echo that gives none.
    'echo-missing': options(True, 20) + expect(A1, 67) + feed(CELLS[:20], 3) + feed(CELLS[20:], 3),
    # Replies that queued behind a late one, while nothing is asked.
    'queued-late': options(False, 20) + expect(A2, 5, [(0x82, 5, 2), (0x83, 67, 1)]) + FORGET
    + feed(short_reply(0x82, 1) + short_reply(0x82, 2) + b'\x00' + long_reply(0x83, [1300] * 32) + VOLTS, 1),
    # Noise longer than the reply buffer without a frame.
    'noise-overflow': options(False, 20) + expect(A1, 67) + feed(bytes(range(1, 100)), 1),
}

os.makedirs(OUT, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(data)
