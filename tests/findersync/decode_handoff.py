#!/usr/bin/env python3
"""Decodes a vexel hand-off URL with Python's standard URL tools.

Usage: decode_handoff.py URL

Prints "scheme S", "host H", then one line "item NAME VALUE" per query item,
NAME and VALUE as hex of their bytes (VALUE "-" when the item has no "=").
Two independent decoders must agree: urllib.parse.parse_qsl (which reads "+"
as a space, as form decoders do) and a plain split at "&" and "=" with
unquote_to_bytes. Exits 3 when they disagree, or when the URL has a fragment,
user, port or path.
"""
import sys
import urllib.parse


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    url = sys.argv[1]
    parts = urllib.parse.urlsplit(url)
    if parts.fragment or parts.username or parts.port or parts.path or "#" in url:
        print("unexpected URL parts: %r" % (parts,), file=sys.stderr)
        return 3

    form = [
        (name.encode("utf-8", "surrogateescape"), value.encode("utf-8", "surrogateescape"))
        for name, value in urllib.parse.parse_qsl(
            parts.query, keep_blank_values=True, strict_parsing=True,
            encoding="utf-8", errors="surrogateescape")
    ]
    plain = []
    for field in parts.query.split("&") if parts.query else []:
        name, equals, value = field.partition("=")
        plain.append((urllib.parse.unquote_to_bytes(name),
                      urllib.parse.unquote_to_bytes(value) if equals else None))
    if [(n, v if v is not None else b"") for n, v in plain] != form:
        print("decoders disagree:\n  %r\n  %r" % (form, plain), file=sys.stderr)
        return 3

    print("scheme", parts.scheme)
    print("host", parts.hostname or "")
    for name, value in plain:
        print("item", name.hex(), "-" if value is None else value.hex())
    return 0


if __name__ == "__main__":
    sys.exit(main())
