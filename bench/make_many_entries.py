#!/usr/bin/env python3
"""make_many_entries.py KIND COUNT OUT: writes an archive of COUNT tiny entries.

KIND is "zip" (stored, one byte per file, ZIP64 end records when needed),
"zip-utf8" (the same with Chinese names as UTF-8 without the UTF-8 flag, and
the extended timestamp and Unix fields, as Info-ZIP writes them), or
"tar" (ustar, one byte per file: a header and one data block each; empty
files would make libarchive convert every name to wide characters to look
for a trailing "/", which real archives seldom ask of it). Entries sit in folders of 1000 files each, so the
listing builds a tree of realistic shape. Written directly, not through
zipfile/tarfile, so a million entries take seconds.
"""
import struct
import sys
import zlib


def names(count):
    for i in range(count):
        yield f"folder{i // 1000:04d}/file{i:07d}.txt".encode()


def utf8_names(count):
    for i in range(count):
        yield f"文件夹{i // 1000:04d}/报告{i:07d}.txt".encode()


def write_zip(count, out, utf8=False):
    data = b"x"
    crc = zlib.crc32(data)
    dos_time, dos_date = (12 << 11) | (30 << 5), ((2024 - 1980) << 9) | (5 << 5) | 17
    central = bytearray()
    offset = 0
    with open(out, "wb") as f:
        # Info-ZIP's extended timestamp and Unix uid/gid fields.
        stamp = 1715949000
        local_extra = (struct.pack("<HHBII", 0x5455, 9, 3, stamp, stamp) +
                       struct.pack("<HHBBIBI", 0x7875, 11, 1, 4, 1000, 4, 1000)) if utf8 else b""
        central_extra = (struct.pack("<HHBI", 0x5455, 5, 3, stamp) +
                         struct.pack("<HH", 0x7875, 0)) if utf8 else b""
        for name in (utf8_names if utf8 else names)(count):
            local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, dos_time, dos_date,
                                crc, 1, 1, len(name), len(local_extra)) + name + local_extra + data
            f.write(local)
            central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E if utf8 else 20, 20, 0,
                                   0, dos_time, dos_date, crc, 1, 1, len(name),
                                   len(central_extra), 0, 0, 0, 0o100644 << 16 if utf8 else 0,
                                   offset) + name + central_extra
            offset += len(local)
        f.write(central)
        end = offset + len(central)
        if count >= 0xFFFF:
            f.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                                len(central), offset))
            f.write(struct.pack("<IIQI", 0x07064B50, 0, end, 1))
            f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                                0xFFFFFFFF, 0))
        else:
            f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(central),
                                offset, 0))


def tar_header(name):
    header = bytearray(512)
    header[0:len(name)] = name
    header[100:108] = b"0000644\0"
    header[108:116] = b"0001750\0"
    header[116:124] = b"0001750\0"
    header[124:136] = b"00000000001\0"
    header[136:148] = b"14620000000\0"
    header[148:156] = b"        "
    header[156:157] = b"0"
    header[257:265] = b"ustar\x0000"
    checksum = sum(header)
    header[148:156] = f"{checksum:06o}\0 ".encode()
    return bytes(header)


def write_tar(count, out):
    with open(out, "wb") as f:
        batch = []
        for name in names(count):
            batch.append(tar_header(name))
            batch.append(b"x" + bytes(511))
            if len(batch) == 4096:
                f.write(b"".join(batch))
                batch.clear()
        f.write(b"".join(batch))
        f.write(bytes(1024))


def main():
    kind, count, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if kind == "zip-utf8":
        write_zip(count, out, utf8=True)
    else:
        {"zip": write_zip, "tar": write_tar}[kind](count, out)


if __name__ == "__main__":
    main()
