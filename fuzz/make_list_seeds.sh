#!/usr/bin/env bash
# make_list_seeds.sh DIR: writes a small seed corpus for list_fuzzer into DIR,
# one tiny archive per format the tools here can make. Missing tools are skipped.
set -euo pipefail
out=$(mkdir -p "$1" && cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p in/docs
printf 'hello\n' > in/docs/a.txt
printf 'second file\n' > in/b.txt
have() { command -v "$1" >/dev/null 2>&1; }

if have bsdtar; then
  (cd in && bsdtar --format ustar -cf "$out/seed.tar" docs b.txt)
  (cd in && bsdtar --format pax -czf "$out/seed.tar.gz" docs b.txt)
  (cd in && bsdtar --format gnutar -cjf "$out/seed.tar.bz2" docs b.txt)
  (cd in && bsdtar -cJf "$out/seed.tar.xz" docs b.txt)
  (cd in && bsdtar --format newc -cf "$out/seed.cpio" docs b.txt)
  (cd in && bsdtar --format zip -cf "$out/seed.zip" docs b.txt)
  (cd in && bsdtar --format 7zip -cf "$out/seed-bsd.7z" docs b.txt)
  (cd in && bsdtar --format xar -cf "$out/seed.xar" docs b.txt) 2>/dev/null || rm -f "$out/seed.xar"
fi
if have 7zz; then
  (cd in && 7zz a -bso0 -bsp0 "$out/seed.7z" docs b.txt)
  (cd in && 7zz a -bso0 -bsp0 -mhe=on -pSECRET "$out/seed-names.7z" docs b.txt)
fi
if have gzip; then gzip -c in/b.txt > "$out/seed.txt.gz"; fi
if have bsdtar && have xz; then
  # .xz in blocks of 1 KiB, read by blocks; and a Debian package of it.
  (cd in && bsdtar -cf - docs b.txt) | xz --block-size=1KiB > "$out/seed-blocks.tar.xz"
  if have ar; then
    printf '2.0\n' > debian-binary
    (cd in && bsdtar -cJf ../control.tar.xz b.txt)
    cp "$out/seed-blocks.tar.xz" data.tar.xz
    ar rc "$out/seed.deb" debian-binary control.tar.xz data.tar.xz
  fi
fi
if have bsdtar && locale -a 2>/dev/null | grep -qi '^c\.utf-\?8$'; then
  # Legacy GB 18030 names without the UTF-8 flag.
  mkdir -p gbk/$'\u6587\u6863'
  printf 'x\n' > gbk/$'\u6587\u6863'/$'\u62a5\u544a'.txt
  (cd gbk && LC_ALL=C.UTF-8 bsdtar --format zip --options zip:hdrcharset=GB18030 -cf "$out/seed-gbk.zip" .)
fi
