#!/usr/bin/env python3
"""libarchive_tests.py SOURCE_DIR OUT_DIR: decodes every test archive of a
libarchive source tree (libarchive/test/*.uu, uuencoded or base64) into
OUT_DIR under its own name, for bench/bounds.sh (VEXEL_LIBARCHIVE_TESTS).

    git clone https://github.com/libarchive/libarchive /tmp/libarchive
    bench/libarchive_tests.py /tmp/libarchive /tmp/libarchive-tests

Never decode them into the project: they are libarchive's files.
"""
import base64
import binascii
import pathlib
import sys


def decode(lines):
    """The bytes of one .uu file, or None when it has no begin line."""
    out = bytearray()
    mode = None
    for line in lines:
        if mode is None:
            if line.startswith(b"begin-base64 "):
                mode = "base64"
            elif line.startswith(b"begin "):
                mode = "uu"
            continue
        stripped = line.strip()
        if mode == "base64":
            if stripped == b"====":
                return bytes(out)
            out += base64.b64decode(stripped)
            continue
        if stripped == b"end":
            return bytes(out)
        try:
            out += binascii.a2b_uu(line)
        except binascii.Error:
            # Some encoders pad lines with extra characters: take what the
            # length byte says the line holds.
            count = (((line[0] - 32) & 63) * 4 + 5) // 3
            out += binascii.a2b_uu(line[:count])
    return bytes(out) if mode else None


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    source = pathlib.Path(sys.argv[1]) / "libarchive" / "test"
    out = pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for encoded in sorted(source.glob("*.uu")):
        data = decode(encoded.read_bytes().splitlines(keepends=True))
        if data is not None:
            (out / encoded.name[:-3]).write_bytes(data)
            count += 1
    print(f"{count} archives in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
