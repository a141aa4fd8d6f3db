#!/usr/bin/env python3
# Writes one release of a small x86 library for the round trip: a PE32 (32)
# or PE32+ (64) file with a code section of calls and relocated address
# loads, and a base relocation table listing those addresses. Release 2 has
# code inserted near the start (every later address and table entry moves),
# addresses of its own in the new code, and some old ones no longer listed:
# the delta rebuilds its table from the old one's.
#   make_pe_release.py 32|64 1|2 OUT
import random
import struct
import sys


def pe_file(code, relocs, wide):
    table = b''
    i = 0
    while i < len(relocs):
        page = (0x1000 + relocs[i]) & ~0xFFF
        entries = b''
        while i < len(relocs) and ((0x1000 + relocs[i]) & ~0xFFF) == page:
            entries += struct.pack('<H', (0xA000 if wide else 0x3000) | ((0x1000 + relocs[i]) & 0xFFF))
            i += 1
        if len(entries) % 4:
            entries += b'\0\0'
        table += struct.pack('<II', page, 8 + len(entries)) + entries
    head = bytearray(0x400)
    head[0:2] = b'MZ'
    struct.pack_into('<I', head, 0x3C, 0x40)
    struct.pack_into('<IHH', head, 0x40, 0x4550, 0x8664 if wide else 0x14C, 2)
    dirs, optional = (112, 0xF0) if wide else (96, 0xE0)
    struct.pack_into('<HH', head, 0x54, optional, 0x2022)
    struct.pack_into('<H', head, 0x58, 0x20B if wide else 0x10B)
    struct.pack_into('<I', head, 0x58 + (24 if wide else 28), 0x10000000)
    struct.pack_into('<I', head, 0x58 + dirs - 4, 16)
    reloc_va = 0x1000 + ((len(code) + 0xFFF) & ~0xFFF)
    struct.pack_into('<II', head, 0x58 + dirs + 40, reloc_va, len(table))
    sections = [(b'.text', len(code), 0x1000, 0x400, 0x60000020),
                (b'.reloc', len(table), reloc_va, 0x400 + len(code), 0x42000040)]
    for k, (name, size, va, raw, flags) in enumerate(sections):
        struct.pack_into('<8sIIII12xI', head, 0x58 + optional + 40 * k, name, size, va, size, raw, flags)
    return bytes(head) + code + table


def release(wide, version):
    rng, new_rng = random.Random(5), random.Random(6)
    base = 0x10001000
    code, relocs = bytearray(), []
    for at in range(0, 40000, 16):
        if version == 2 and at == 4000:
            for k in range(0, 1200, 12):  # the new code: loads of its own
                relocs.append(len(code) + 1)
                code += b'\xB8' + struct.pack('<I', base + new_rng.randrange(40000)) + b'\x8B\xC8\x03\xC1\x90\x90\x90'
        here = len(code)
        code += b'\xE8' + struct.pack('<i', rng.randrange(-3000, 3000)) + b'\x90\x90\x90'
        code += b'\xB8' + struct.pack('<I', base + rng.randrange(40000)) + b'\x90\x90\x90'
        keep = rng.random()
        if version == 1 or keep > 0.02:
            relocs.append(here + 9)
    return pe_file(bytes(code), sorted(relocs), wide)


with open(sys.argv[3], 'wb') as out:
    out.write(release(sys.argv[1] == '64', int(sys.argv[2])))
