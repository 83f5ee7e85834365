#!/usr/bin/env python3
"""make_hostile.py KIND OUT: writes one hostile input for bench/bounds.sh.

Kinds (sizes are what the measurements used):
  unnamed-flood  tar.gz: 10,000,000 "./" headers, then one file (5 MB)
  deep-wide      tar.gz: 2,000 files, each 5,000 folders deep under a top
                 folder of its own: 10,002,000 tree nodes (68 KB)
  deep-tar       tar: one file 20,000 folders deep, 10-letter folder names
                 (220 KB; 2.2 GB of import text)
  deep-zip       ZIP: one file 20,000 folders deep, one-letter names (80 KB;
                 400 MB of import text)
  wide-folder    tar.gz: 131,072 files in the top folder
  wide-zip       ZIP: 2,000,000 files in the top folder (214 MB), more than
                 the preview can sort or show in time
  gzip-bomb      tar.gz: a file of 8 GiB of zeros, then another (8 MB):
                 skipping the first one's data takes the whole limit
  bzip2-bomb     tar.bz2: a file of 64 GiB of zeros, then another (80 KB):
                 skipping the first one's data takes many minutes, so a
                 listing abandoned at its deadline would go on that long
  7z-empty-4m    7z: a compressed header declaring 4,000,000 unnamed empty
                 files (a few hundred bytes); libarchive makes a table of
                 them all before the first
  7z-empty-8m    the same with 8,000,000
  lzo, grz, lrz  data for the filters that would start lzop, grzip, lrzip

Written directly (no tarfile/zipfile for the big ones), so each takes
seconds at most.
"""
import bz2
import gzip
import lzma
import struct
import sys
import zlib


def tar_header(name, kind=b"0", size=0):
    """One ustar header block for a short name."""
    header = bytearray(512)
    header[0:len(name)] = name
    header[100:108] = b"0000644\0"
    header[108:116] = b"0000000\0"
    header[116:124] = b"0000000\0"
    if size < 8 ** 11:
        header[124:136] = b"%011o\0" % size
    else:  # GNU base-256 for 8 GiB and more
        header[124:136] = b"\x80" + size.to_bytes(11, "big")
    header[136:148] = b"14500000000\0"
    header[148:156] = b" " * 8
    header[156:157] = kind
    header[257:265] = b"ustar\x0000"
    header[148:155] = b"%06o\0" % sum(header)
    return bytes(header)


def pax_file(path, data=b""):
    """A pax header carrying a long path, then the file's ustar header and data."""
    record = b" path=" + path + b"\n"
    length = len(record)
    while len(str(length).encode()) + len(record) != length:
        length = len(str(length).encode()) + len(record)
    pax = str(length).encode() + record
    out = tar_header(b"PaxHeader", b"x", len(pax)) + pax + b"\0" * (-len(pax) % 512)
    out += tar_header(b"f", b"0", len(data)) + data + b"\0" * (-len(data) % 512)
    return out


def unnamed_flood(out):
    # gzip members may follow one another: one member of 10,000 headers,
    # compressed once and written 1,000 times.
    member = gzip.compress(tar_header(b"./", b"5") * 10000, 9)
    with open(out, "wb") as f:
        for _ in range(1000):
            f.write(member)
        f.write(gzip.compress(tar_header(b"last.txt", b"0", 0) + b"\0" * 1024))


def deep_wide(out):
    with gzip.open(out, "wb", compresslevel=9) as f:
        for top in range(2000):
            f.write(pax_file(b"t%d/" % top + b"d/" * 5000 + b"f"))
        f.write(b"\0" * 1024)


def deep_path():
    return b"/".join(b"folder%04d" % (level % 10000) for level in range(20000)) + b"/leaf.txt"


def deep_tar(out):
    with open(out, "wb") as f:
        f.write(pax_file(deep_path(), b"x"))
        f.write(b"\0" * 1024)


def deep_zip(out):
    name = b"d/" * 20000 + b"leaf.txt"  # a ZIP name holds at most 65,535 bytes
    data = b"x"
    crc = zlib.crc32(data)
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x5821, crc, 1, 1, len(name), 0)
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0x5821, crc, 1, 1,
                          len(name), 0, 0, 0, 0, 0, 0)
    with open(out, "wb") as f:
        f.write(local + name + data)
        offset = len(local) + len(name) + len(data)
        f.write(central + name)
        f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central) + len(name), offset, 0))


def wide_folder(out):
    with gzip.open(out, "wb") as f:
        for i in range(131072):
            f.write(tar_header(b"file%06d.txt" % i, b"0", 1) + b"x" + b"\0" * 511)
        f.write(b"\0" * 1024)


def wide_zip(out):
    count = 2000000
    data = b"x"
    crc = zlib.crc32(data)
    central = bytearray()
    offset = 0
    with open(out, "wb") as f:
        for i in range(count):
            name = b"file%07d.txt" % i
            local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x5821, crc, 1, 1,
                                len(name), 0) + name + data
            f.write(local)
            central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0x5821, crc,
                                   1, 1, len(name), 0, 0, 0, 0, 0, offset) + name
            offset += len(local)
        f.write(central)
        end = offset + len(central)
        f.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                            len(central), offset))
        f.write(struct.pack("<IIQI", 0x07064B50, 0, end, 1))
        f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                            0xFFFFFFFF, 0))


def gzip_bomb(out):
    # A tar whose first file is 8 GiB of zeros: skipping its data means
    # decompressing all of it. One member of 64 MiB of zeros, written 127 times.
    size = 127 << 26
    zeros = gzip.compress(bytes(1 << 26), 9)
    with open(out, "wb") as f:
        f.write(gzip.compress(tar_header(b"zeros.bin", b"0", size)))
        for _ in range(127):
            f.write(zeros)
        f.write(gzip.compress(tar_header(b"after.txt", b"0", 0) + b"\0" * 1024))


def bzip2_bomb(out):
    # bzip2 streams may follow one another, and 64 MiB of zeros make 79
    # bytes: one stream of them written 1,024 times.
    count = 1024
    zeros = bz2.compress(bytes(1 << 26), 9)
    with open(out, "wb") as f:
        f.write(bz2.compress(tar_header(b"zeros.bin", b"0", count << 26)))
        for _ in range(count):
            f.write(zeros)
        f.write(bz2.compress(tar_header(b"after.txt", b"0", 0) + b"\0" * 1024))


def number_7z(value):
    """A 7z variable-length number: high bits of the first byte count the
    bytes that follow (the low ones, little-endian)."""
    for extra in range(9):
        if extra == 8 or value < (1 << (7 * (extra + 1))):
            first = (0xFF << (8 - extra)) & 0xFF
            if extra < 8:
                first |= value >> (8 * extra)
            return bytes([first]) + (value & ((1 << (8 * extra)) - 1)).to_bytes(extra, "little")
    raise ValueError(value)


def empty_files_7z(count):
    def write(out):
        bits = b"\xff" * ((count + 7) // 8)
        header = (b"\x01\x05" + number_7z(count) + b"\x0e" + number_7z(len(bits)) + bits +
                  b"\x00\x00")
        props = {"id": lzma.FILTER_LZMA1, "dict_size": 1 << 16, "lc": 3, "lp": 0, "pb": 2}
        packed = lzma.compress(header, format=lzma.FORMAT_RAW, filters=[props])
        coder = b"\x23\x03\x01\x01\x05\x5d" + (1 << 16).to_bytes(4, "little")
        encoded = (b"\x17\x06" + number_7z(0) + number_7z(1) + b"\x09" + number_7z(len(packed)) +
                   b"\x00\x07\x0b" + number_7z(1) + b"\x00" + number_7z(1) + coder + b"\x0c" +
                   number_7z(len(header)) + b"\x00\x00")
        tail = struct.pack("<QQI", len(packed), len(encoded), zlib.crc32(encoded))
        start = b"7z\xbc\xaf\x27\x1c\x00\x04" + struct.pack("<I", zlib.crc32(tail)) + tail
        with open(out, "wb") as f:
            f.write(start + packed + encoded)
    return write


def magic(prefix):
    def write(out):
        with open(out, "wb") as f:
            f.write(prefix + bytes(range(256)) * 4)
    return write


KINDS = {
    "unnamed-flood": unnamed_flood,
    "deep-wide": deep_wide,
    "deep-tar": deep_tar,
    "deep-zip": deep_zip,
    "wide-folder": wide_folder,
    "wide-zip": wide_zip,
    "gzip-bomb": gzip_bomb,
    "bzip2-bomb": bzip2_bomb,
    "7z-empty-4m": empty_files_7z(4_000_000),
    "7z-empty-8m": empty_files_7z(8_000_000),
    "lzo": magic(b"\x89LZO\x00\r\n\x1a\n\x10\x30\x20\xa0\x09\x40\x01\x05\x03\x00\x00\x01"),
    "grz": magic(b"GRZipII\x00\x02\x04:)"),
    "lrz": magic(b"LRZI\x00\x06"),
}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in KINDS:
        sys.exit("usage: make_hostile.py {%s} OUT" % ",".join(KINDS))
    KINDS[sys.argv[1]](sys.argv[2])
