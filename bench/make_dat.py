"""A DAT of COUNT games, as No-Intro publishes them, one of them the ROM at
PATH, the rest with hashes drawn from a seeded generator: Logiqx XML, or
clrmamepro's text where OUT ends in .txt.dat.
Usage: python3 bench/make_dat.py COUNT PATH OUT"""
import hashlib
import random
import sys
import zlib

count, rom, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
data = open(rom, "rb").read()
rng = random.Random(17)
text = out.endswith(".txt.dat")
with open(out, "w", encoding="utf-8") as f:
    if text:
        f.write('clrmamepro (\n\tname "Bench DAT"\n\tversion 1\n)\n\n')
    else:
        f.write('<?xml version="1.0"?>\n<!DOCTYPE datafile PUBLIC "-//Logiqx//DTD ROM Management Datafile//EN" '
                '"http://www.logiqx.com/Dats/datafile.dtd">\n<datafile>\n\t<header>\n\t\t<name>Bench DAT</name>\n'
                '\t\t<version>1</version>\n\t</header>\n')
    for k in range(count):
        if k == count // 2:
            size, crc = len(data), "%08x" % zlib.crc32(data)
            md5, sha1 = hashlib.md5(data).hexdigest(), hashlib.sha1(data).hexdigest()
            name = "The Benchmark Game (World)"
        else:
            size = rng.randrange(1 << 16, 1 << 24)
            crc, md5, sha1 = "%08x" % rng.getrandbits(32), "%032x" % rng.getrandbits(128), "%040x" % rng.getrandbits(160)
            name = "Game %06d (USA) (Rev %d)" % (k, k % 3)
        if text:
            f.write(f'game (\n\tname "{name}"\n\tdescription "{name}"\n\trom ( name "{name}.bin" size {size}'
                    f' crc {crc.upper()} md5 {md5.upper()} sha1 {sha1.upper()} )\n)\n\n')
        else:
            f.write(f'\t<game name="{name}">\n\t\t<description>{name}</description>\n'
                    f'\t\t<rom name="{name}.bin" size="{size}" crc="{crc}" md5="{md5}" sha1="{sha1}"/>\n\t</game>\n')
    if not text:
        f.write("</datafile>\n")
