#!/usr/bin/env python3
"""Writes the fuzzers' small seed corpus (tests/fuzz/corpus): hand-built
patches, pairs and texts that reach each branch once."""
import hashlib
import io
import lzma
import os
import shutil
import subprocess
import tempfile
import zipfile
import struct

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
MAGIC = b"Zelk Patch v1.0"


def patch(blocks, comment=b"", magic=True):
    body = b"".join(struct.pack("<ii", off, len(data)) + data for off, data in blocks)
    head = MAGIC if magic else b""
    return head + struct.pack("<i", 19 + len(body) + 1) + body + comment


def write(kind, name, data):
    os.makedirs(os.path.join(here, kind), exist_ok=True)
    with open(os.path.join(here, kind, name), "wb") as f:
        f.write(data)


# apply: first byte = original length (low 6 bits) + 0x80 to prepend the magic.
original = bytes(range(8))
write("apply", "worked_example", bytes([0x80 | 8]) + original + patch([(1, b"\xaa"), (4, b"\xbb\xcc"), (8, b"\x88\x99")], b"abc")[15:])
write("apply", "out_of_order", bytes([0x80 | 4]) + original[:4] + patch([(6, b"\x01\x02\x03"), (2, b"\x09"), (7, b"\x05")])[15:])
write("apply", "comment_only", bytes([0x80]) + patch([], b"\xcf\xf0\xe8\xe2\xe5\xf2\r\n")[15:])
write("apply", "negative", bytes([0x80 | 2]) + b"\x01\x02" + patch([(-1, b"\x00")])[15:])
write("apply", "huge_claim", bytes([0x80 | 1]) + b"\x01" + struct.pack("<iii", 100, 0, 0x7FFFFFF0) + b"\x00" * 60)
write("apply", "not_a_patch", bytes([3]) + b"abcjust text")
# Another format's magic: left to that format's fuzzer.
write("apply", "another_format", bytes([0x42, 0x00, 0x03]) + b"\xd6\xc3\xc4\x00\x00")

# roundtrip: tail length, comment length, original, xor mask, tail, comment.
write("roundtrip", "runs", bytes([3, 2]) + bytes(range(10)) + bytes([0, 1, 0, 1, 1, 0, 0, 0, 0, 9]) + b"xyz" + b"hi")
write("roundtrip", "identical", bytes([0, 0]) + b"abcdef" + bytes(6))
write("roundtrip", "empty_original", bytes([5, 1]) + b"tail!" + b"\n")

write("code_page", "russian", "Коментарий к патчу сделанному из \r\nD:\\TEMP\\a\\test.rom и \r\n".encode())
write("code_page", "escapes", b"\x1b[2J\x07\r\n\xc2\x9b31m\xe2\x80\xae")
write("code_page", "broken_utf8", b"\xff\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xd0")
write("code_page", "all_bytes", bytes(range(256)))

# foreign: first byte = format (0 IPS, 1 IPS32, 2 UPS, 3 BPS, 4 PPF 1.0,
# 5 PPF 2.0, 6 PPF 3.0, 7 BDF, 8 APS, 9 RUP) + 16 for a footer whose checksums agree (UPS,
# BPS); second = original length; original; the patch after its magic.
def number(v):
    out = b""
    while True:
        x = v & 0x7F
        v >>= 7
        if v == 0:
            return out + bytes([0x80 | x])
        out += bytes([x])
        v -= 1


write("foreign", "ips_records", bytes([0, 8]) + original + b"\x00\x00\x02\x00\x02\xaa\xbb" + b"\x00\x00\x0a\x00\x00\x00\x03\x7f" + b"EOF")
write("foreign", "ips_truncated", bytes([0, 8]) + original + b"\x00\x00\x06\x00\x01\x01" + b"\x00\x00\x01\x00\x01\x02" + b"EOF\x00\x00\x05")
# A run of no bytes past the end: the result still reaches its offset.
write("foreign", "ips_empty_run_past_end", bytes([0, 8]) + original + b"\x00\x00\x02\x00\x02\xaa\xbb" + b"\x0f\x00\x00\x00\x00\x00\x00\x00" + b"EOF")
write("foreign", "ips32", bytes([1, 4]) + original[:4] + b"\x00\x45\x4f\x46\x00\x01\x09" + b"EEOF")
# One byte at 0x90000000 of an empty original, cut to nothing: no model may
# build the image it would have made.
write("foreign", "ips32_far_record_truncated", bytes([1, 0]) + b"\x90\x00\x00\x00\x00\x01\x78" + b"EEOF\x00\x00\x00\x00")
write("foreign", "ups", bytes([18, 8]) + original + number(8) + number(10) + number(1) + b"\x11\x22\x00" + number(3) + b"\x33\x44\x00")
write("foreign", "bps_commands", bytes([19, 8]) + original + number(8) + number(14) + number(2) + b"hi"
      + number((2 << 2) | 0) + number((1 << 2) | 1) + b"\x55\x66"
      + number((3 << 2) | 2) + number(4 << 1) + number((4 << 2) | 3) + number(1 << 1))
write("foreign", "bps_cut", bytes([3, 4]) + original[:4] + number(4) + number(4))
# PPF after its magic and encoding byte: the description, then 1.0's records
# (a plain one, a run), or 3.0's settings (no block check, undo data), a
# record with its old bytes and FILE_ID.DIZ.
description = b"Seed".ljust(50)
write("foreign", "ppf1", bytes([4, 8]) + original + description + (2).to_bytes(4, "little") + b"\x02\xaa\xbb"
      + (5).to_bytes(4, "little") + b"\x00\x11\x03")
write("foreign", "ppf3_undo", bytes([6, 8]) + original + description + bytes([0, 0, 1, 0])
      + (1).to_bytes(8, "little") + b"\x02\xaa\xbb" + original[1:3]
      + b"@BEGIN_FILE_ID.DIZhi@END_FILE_ID.DIZ\x02\x00")
# APS after its magic: simple (a record, a run, the size 12), then N64 for an
# image whose header it holds (a .z64 one: 0x40 bytes, cart ID and CRC).
aps_records = (1).to_bytes(4, "little") + b"\x02\xaa\xbb" + (5).to_bytes(4, "little") + b"\x00\x11\x03"
write("foreign", "aps_simple", bytes([8, 8]) + original + bytes([0, 0]) + description + (12).to_bytes(4, "little")
      + aps_records)
rom = bytes([0x80, 0x37, 0x12, 0x40]) + bytes(range(4, 0x40))
write("foreign", "aps_n64", bytes([8, len(rom)]) + rom + bytes([1, 0]) + description + bytes([1]) + rom[0x3C:0x3F]
      + rom[0x10:0x18] + bytes(5) + (0x40).to_bytes(4, "little") + aps_records)
# RUP after its magic: the text fields, one file (XOR of two bytes), the end.
def rup_number(v):
    out = b""
    while v:
        out += bytes([v & 0xFF])
        v >>= 8
    return bytes([len(out)]) + out
rup_target = bytes([original[0] ^ 0x11, original[1] ^ 0x22]) + original[2:]
write("foreign", "rup", bytes([9, 8]) + original + bytes([1]) + b"seed".ljust(2041, b"\0")
      + b"\x01" + rup_number(0) + b"\x00" + rup_number(8) + rup_number(8) + hashlib.md5(original).digest()
      + hashlib.md5(rup_target).digest() + b"\x02" + rup_number(0) + rup_number(2) + b"\x11\x22" + b"\x00")
# APS's GBA form after "APS1": both sizes, one 64 KiB block (its CRC16s, its
# XOR with the original, zeros past its end).
import binascii
gba_target = bytes([original[0] ^ 0x5A]) + original[1:]
gba_block = bytes([0x5A]) + bytes(0xFFFF)
write("foreign", "aps_gba", bytes([10, 8]) + original + (8).to_bytes(4, "little") + (8).to_bytes(4, "little")
      + (0).to_bytes(4, "little") + binascii.crc_hqx(original.ljust(0x10000, b"\0"), 0xFFFF).to_bytes(2, "little")
      + binascii.crc_hqx(gba_target.ljust(0x10000, b"\0"), 0xFFFF).to_bytes(2, "little") + gba_block)
# BDF as bsdiff makes it, where it is installed.
if shutil.which("bsdiff"):
    with tempfile.TemporaryDirectory() as work:
        source, target, patch = (os.path.join(work, n) for n in ("a", "b", "p"))
        with open(source, "wb") as f:
            f.write(original)
        with open(target, "wb") as f:
            f.write(original[:3] + b"new" + original[3:])
        subprocess.run(["bsdiff", source, target, patch], check=True)
        with open(patch, "rb") as f:
            write("foreign", "bdf", bytes([7, len(original)]) + original + f.read()[8:])


# vcdiff: first byte = original length; original; the patch after its magic.
def varint(v):
    out = bytes([v & 0x7F])
    v >>= 7
    while v:
        out = bytes([0x80 | (v & 0x7F)]) + out
        v >>= 7
    return out


def window(indicator, segment, target, data, inst, addr):
    seg = varint(segment[0]) + varint(segment[1]) if indicator & 3 else b""
    delta = varint(target) + b"\x00" + varint(len(data)) + varint(len(inst)) + varint(len(addr)) + data + inst + addr
    return bytes([indicator]) + seg + varint(len(delta)) + delta


# ADD 3, COPY 5 from the segment (mode 0), RUN 4, COPY 6 from the window (mode 1).
write("vcdiff", "source_window", bytes([8]) + original + b"\x00"
      + window(1, (8, 0), 18, b"abc" + b"\x7f", bytes([1, 3, 19, 5, 0, 4, 35, 6]), varint(2) + varint(5)))
# A second window copying from the first's result.
write("vcdiff", "target_window", bytes([8]) + original + b"\x00"
      + window(1, (8, 0), 8, b"", bytes([19, 8]), varint(0))
      + window(2, (4, 2), 4, b"", bytes([19, 4]), varint(0)))
# Damage nothing but the windows' bounds would notice (no checksums): a
# result segment past the result so far, a copy from where it writes, a
# window making less than it states, delta bytes no section holds, an LZMA
# section holding less than it states.
write("vcdiff", "target_segment_past", bytes([8]) + original + b"\x00"
      + window(0, (0, 0), 8, original, bytes([1, 8]), b"")
      + window(2, (12, 0), 12, b"", bytes([19, 12]), varint(0)))
write("vcdiff", "copy_from_here", bytes([8]) + original + b"\x00"
      + window(1, (8, 0), 10, b"ab", bytes([1, 2, 19, 8]), varint(10)))
write("vcdiff", "makes_less", bytes([8]) + original + b"\x00" + window(1, (8, 0), 9, b"", bytes([19, 8]), varint(0)))
unclaimed = varint(8) + b"\x00" + varint(0) + varint(2) + varint(1) + b"\x55" + bytes([19, 8]) + varint(0)
write("vcdiff", "unclaimed_delta", bytes([8]) + original + b"\x00" + bytes([1]) + varint(8) + varint(0)
      + varint(len(unclaimed)) + unclaimed)
xz = varint(9) + lzma.compress(original, format=lzma.FORMAT_XZ, check=lzma.CHECK_NONE)
lzma_delta = varint(9) + b"\x01" + varint(len(xz)) + varint(2) + varint(0) + xz + bytes([1, 9])
write("vcdiff", "lzma_holds_less", bytes([8]) + original + b"\x01\x02" + b"\x00" + varint(len(lzma_delta)) + lzma_delta)
# xdelta3's own, with its sections compressed each way it can, where it is installed.
if shutil.which("xdelta3"):
    with tempfile.TemporaryDirectory() as work:
        source, target, patch = (os.path.join(work, n) for n in ("a", "b", "p"))
        with open(source, "wb") as f:
            f.write(bytes(range(64)) * 2)
        with open(target, "wb") as f:
            f.write(bytes(range(64)) + b"changed" + b"".join(b"line %d of new text\n" % i for i in range(100)))
        for name, option in (("lzma", "-S lzma"), ("djw", "-S djw"), ("fgk", "-S fgk")):
            subprocess.run(["xdelta3", "-e", "-f", "-A", option.split()[0], option.split()[1], "-s", source, target,
                            patch], check=True)
            with open(patch, "rb") as f:
                write("vcdiff", "xdelta3_" + name, bytes([128]) + bytes(range(64)) * 2 + f.read()[4:])

# Archives as downloads come: a readme, a patch and a ROM, each way a zip
# compresses (Python's zipfile, dated alike so the seeds stay the same).
for name, method in (("deflated", zipfile.ZIP_DEFLATED), ("stored", zipfile.ZIP_STORED),
                     ("bzip2", zipfile.ZIP_BZIP2), ("lzma", zipfile.ZIP_LZMA)):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as z:
        for member, data in (("readme.txt", b"read me"), ("hack.bps", b"BPS1\x85\x85\x80" + bytes(range(40))),
                             ("Game.sfc", bytes(range(256)) * 4)):
            z.writestr(zipfile.ZipInfo(member, (2026, 1, 1, 0, 0, 0)), data, compress_type=method)
    write("archive", name, buffer.getvalue())

# DATs in both forms, and a pack of them.
rom = b'<rom name="g.sfc" size="524288" crc="b19ed489" md5="cdd3c8c37322978ca8669b34bc89c804" ' \
      b'sha1="6b47bb75d16514b6a476aa0c73a683a2a4c18765"/>'
logiqx = b'<?xml version="1.0"?>\n<datafile><header><name>Seed DAT</name></header><game name="Game (World)">' + rom + \
         b'</game><machine name="M"><rom name="m" size="4" crc="01020304"/></machine></datafile>\n'
text = b'clrmamepro (\n\tname "Seed DAT"\n)\n\ngame (\n\tname "Game (World)"\n\trom ( name "g.sfc" size 524288 ' \
       b'crc B19ED489 md5 CDD3C8C37322978CA8669B34BC89C804 sha1 6B47BB75D16514B6A476AA0C73A683A2A4C18765 )\n)\n'
write("dat", "logiqx", logiqx)
write("dat", "clrmamepro", text)
buffer = io.BytesIO()
with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
    for member, data in (("a.dat", logiqx), ("b.dat", text), ("readme.txt", b"read me")):
        z.writestr(zipfile.ZipInfo(member, (2026, 1, 1, 0, 0, 0)), data, compress_type=zipfile.ZIP_DEFLATED)
write("dat", "pack", buffer.getvalue())
