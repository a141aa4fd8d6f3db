#!/usr/bin/env python3
"""Writes a version-1 delta stream that rebuilds NEW from OLD when NEW is OLD
with bytes appended: one copy of all of OLD (no differences), then the
appended bytes as new bytes. For the soak's files past 4 GiB, whose streams
`upkit delta` cannot yet make; the installer's decoder is what is tested.
Reads both files in pieces (sparse files stay cheap).
    append_delta.py OLD NEW STREAM"""
import os
import sys
import zlib


def varint(v):
    out = bytearray()
    while True:
        b = v & 0x7F
        v >>= 7
        out.append(b | (0x80 if v else 0))
        if not v:
            return bytes(out)


def crc_and_size(path):
    crc, size = 0, 0
    with open(path, "rb") as f:
        while True:
            piece = f.read(1 << 24)
            if not piece:
                return crc, size
            crc = zlib.crc32(piece, crc)
            size += len(piece)


old, new, stream = sys.argv[1:4]
old_crc, old_size = crc_and_size(old)
new_crc, new_size = crc_and_size(new)
with open(new, "rb") as f:
    f.seek(old_size)
    extra = f.read()
assert len(extra) == new_size - old_size > 0, "NEW must be OLD with bytes appended"
sections = [varint(old_size) + varint(len(extra)) + varint(0),  # control: copy, extra, seek
            varint(old_size), varint(0), b"", extra, b""]       # zero runs, counts, diff, extra, maps
head = b"UPKD" + bytes([1, 0]) + old_size.to_bytes(8, "little") + old_crc.to_bytes(4, "little")
head += new_size.to_bytes(8, "little") + new_crc.to_bytes(4, "little")
head += b"".join(varint(len(s)) for s in sections)
with open(stream, "wb") as f:
    f.write(head + b"".join(sections))
