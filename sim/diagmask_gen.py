#!/usr/bin/env python3
"""Writes the two mask files of the simulated handset, sim/etc/diagmask.cfg and
sim/etc/diagmask_none.cfg: a few diagnostic request packets each, HDLC-framed
(CRC-16/X.25 little-endian, 0x7D/0x7E escaped with 0x7D, closed by 0x7E).
The daemon passes them through unread, so only the framing matters here.

    python3 sim/diagmask_gen.py      # from the source tree's top directory
"""
import os
import struct


def crc16_x25(data: bytes) -> int:
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


def frame(payload: bytes) -> bytes:
    raw = payload + struct.pack('<H', crc16_x25(payload))
    out = bytearray()
    for b in raw:
        if b in (0x7D, 0x7E):
            out += bytes((0x7D, b ^ 0x20))
        else:
            out.append(b)
    return bytes(out) + b'\x7e'


def u32(*values):
    return struct.pack('<%dI' % len(values), *values)


ON = [
    bytes((0x60, 0x01)),                                    # event reports on
    bytes((0x73, 0, 0, 0)) + u32(3, 1, 16) + b'\xff\xff',   # log mask, equipment 1, 16 items
    bytes((0x7D, 0x05, 0x00, 0x00)) + u32(0xFFFFFFFF),      # message levels: all
]
NONE = [
    bytes((0x60, 0x00)),                                    # event reports off
    bytes((0x73, 0, 0, 0)) + u32(0),                        # log masks cleared
    bytes((0x7D, 0x05, 0x00, 0x00)) + u32(0),               # message levels: none
]

if __name__ == '__main__':
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'etc')
    os.makedirs(here, exist_ok=True)
    for name, packets in (('diagmask.cfg', ON), ('diagmask_none.cfg', NONE)):
        with open(os.path.join(here, name), 'wb') as f:
            f.write(b''.join(frame(p) for p in packets))
