#!/usr/bin/env bash
# list_deadline.sh [BUILD_DIR]: the time limit caps a listing even while
# libarchive is skipping one huge compressed entry.
#
#   bench/list_deadline.sh build
#
# Makes a .tar.bz2 whose first entry is 256 MiB of half-random data (64 KiB
# random, 64 KiB zeros, ...) followed by a small file, then lists it with a
# 3.0 s limit. Expected: the first entry only, complete=false, under 3.5 s.
# SIZE_MIB changes the size of the first entry; the file is kept in
# $VEXEL_BENCH_DIR (default /tmp/vexel-list-bench).
set -euo pipefail
build=${1:-build}
once="$build/bench/list_once"
[[ -x "$once" ]] || { echo "no $once; build with -DVEXEL_BUILD_BENCH=ON" >&2; exit 2; }
dir=${VEXEL_BENCH_DIR:-/tmp/vexel-list-bench}
size=${SIZE_MIB:-256}
file="$dir/huge-first-$size.tar.bz2"
mkdir -p "$dir"
if [[ ! -s "$file" ]]; then
  echo "making $file (bzip2 takes a while)" >&2
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  python3 - "$work/huge.bin" "$size" <<'PY'
import os, sys
with open(sys.argv[1], "wb") as f:
    zeros = bytes(65536)
    for _ in range(int(sys.argv[2]) * 8):
        f.write(os.urandom(65536))
        f.write(zeros)
PY
  echo small > "$work/small.txt"
  (cd "$work" && bsdtar -cjf "$file" huge.bin small.txt)
fi

export TZ=:/etc/localtime
echo "without a limit:"
"$once" "$file" 1000
echo "with 3.0 s:"
result=$("$once" "$file" 3.0)
echo "$result"
python3 - "$result" <<'PY'
import shlex, sys
fields = dict(part.split("=", 1) for part in shlex.split(sys.argv[1]))
ok = fields["entries"] == "1" and fields["complete"] == "false" and float(fields["seconds"]) < 3.5
print("PASS" if ok else "FAIL", "- one entry, incomplete, under 3.5 s")
sys.exit(0 if ok else 1)
PY
