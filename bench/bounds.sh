#!/usr/bin/env bash
# bounds.sh [BUILD_DIR]: both hosts on every hostile input, in one run.
#
#   bench/bounds.sh build
#
# For each input, vexel-quicklook --json and vexel-mdimport run once under
# /usr/bin/time -v, with stand-ins for lzop, grzip, lrzip (and the other
# decompressors) first on PATH that record being started. Prints per input
# and host: exit status, wall time, peak memory, output size (the import's
# text), programs started, and a verdict against the bounds:
#   preview  exit 0, done within 4.0 s, under 1 GiB
#   import   exit 0 or 1, done within 11.5 s, under 1 GiB, text under 64 MiB
#            (exit 0 for the archive whose name is not UTF-8)
#   both     no program started, no crash
# Inputs: the generated ones of make_hostile.py (kept in $VEXEL_BENCH_DIR,
# default /tmp/vexel-bounds-bench), named pipes (one silent, one with a
# writer that says nothing), /dev/zero, a folder, an archive whose name is
# not UTF-8, and every archive of libarchive's test suite in $VEXEL_FIXTURES
# (default ../shared/fixtures/libarchive, skipped when absent).
# A run that does not end within $TIMEOUT seconds (default 60) is stopped and
# shown as "killed". Exit status 1 when any verdict failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
preview=$build/quicklook/vexel-quicklook
import=$build/spotlight/vexel-mdimport
for tool in "$preview" "$import"; do
  [[ -x $tool ]] || { echo "no $tool: build first" >&2; exit 2; }
done
command -v python3 >/dev/null && [[ -x /usr/bin/time ]] || { echo "needs python3 and /usr/bin/time" >&2; exit 2; }
data=${VEXEL_BENCH_DIR:-/tmp/vexel-bounds-bench}
fixtures=${VEXEL_FIXTURES:-$here/../../shared/fixtures/libarchive}
limit=${TIMEOUT:-60}
mkdir -p "$data"

make() {  # make KIND FILE
  [[ -s $data/$2 ]] || { echo "making $2" >&2; python3 "$here/make_hostile.py" "$1" "$data/$2"; }
}
make unnamed-flood unnamed-flood.tar.gz
make deep-wide deep-wide.tar.gz
make deep-tar deep-path.tar
make deep-zip deep-path.zip
make wide-folder wide-folder.tar.gz
make wide-zip wide-2m.zip
make gzip-bomb zeros-8g.tar.gz
make lzo a.tar.lzo
make grz a.tar.grz
make lrz a.tar.lrz
# An archive whose own name is not UTF-8 (Latin-1 "Müller").
python3 -c 'import os, sys, zipfile
with open(os.fsencode(sys.argv[1]) + b"/M\xfcller.zip", "wb") as f, zipfile.ZipFile(f, "w") as z:
    z.writestr("inside.txt", "x")' "$data"

work=$(mktemp -d)
bin=$work/bin
mkdir -p "$bin"
for tool in lzop grzip lrzip gzip bzip2 xz zstd lz4 lzip; do
  printf '#!/bin/sh\necho "%s $*" >> "%s/started"\nexit 1\n' "$tool" "$work" >"$bin/$tool"
  chmod +x "$bin/$tool"
done
mkfifo "$work/silent.fifo" "$work/quiet.fifo"
exec 3<>"$work/quiet.fifo"  # a writer that never writes
mkdir "$work/folder.zip"
cleanup() { exec 3>&-; rm -rf "$work"; }
trap cleanup EXIT

inputs=("$data"/unnamed-flood.tar.gz "$data"/deep-wide.tar.gz "$data"/deep-path.tar
        "$data"/deep-path.zip "$data"/wide-folder.tar.gz "$data"/wide-2m.zip
        "$data"/zeros-8g.tar.gz "$data"/a.tar.lzo "$data"/a.tar.grz "$data"/a.tar.lrz
        "$data"/M*ller.zip "$work/silent.fifo" "$work/quiet.fifo" /dev/zero
        "$work/folder.zip")
if [[ -d $fixtures ]]; then
  for file in "$fixtures"/*; do
    case $file in *.md | */LICENSE | */COPYING* | */SHA256SUMS) continue ;; esac
    inputs+=("$file")
  done
fi

failed=0
# run HOST FILE: one run; prints one table row.
run() {
  local host=$1 file=$2 out=$work/out err=$work/err status wall peak size started verdict
  rm -f "$work/started"
  env PATH="$bin:$PATH" timeout -k 5 "$limit" /usr/bin/time -v \
    "$([[ $host == preview ]] && echo "$preview" || echo "$import")" \
    $([[ $host == preview ]] && echo --json) "$file" >"$out" 2>"$err"
  status=$?
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
    n = split($2, p, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + p[i]; printf "%.2f", s }' "$err")
  peak=$(awk -F': ' '/Maximum resident set size/ {printf "%.0f", $2 / 1024}' "$err")
  size=$(stat -c %s "$out")
  started=$( [[ -f $work/started ]] && wc -l <"$work/started" || echo 0)
  if [[ $status == 124 || $status == 137 || -z $wall ]]; then
    status=killed wall=">$limit" peak=? verdict=FAIL
  else
    local ok
    if [[ $host == preview ]]; then
      ok=$(awk -v s="$status" -v w="$wall" -v m="$peak" 'BEGIN {print (s == 0 && w <= 4.0 && m < 1024)}')
    else
      ok=$(awk -v s="$status" -v w="$wall" -v m="$peak" -v z="$size" \
        'BEGIN {print ((s == 0 || s == 1) && w <= 11.5 && m < 1024 && z < 67108864 + 1)}')
      # A name that is not UTF-8 is no reason not to import.
      [[ $file == *ller.zip && $status != 0 ]] && ok=0
    fi
    [[ $ok == 1 && $started == 0 ]] && verdict=ok || verdict=FAIL
  fi
  [[ $verdict == ok ]] || failed=1
  printf '%-48s %-7s %6s %7s %6s %12s %4s  %s\n' "$(basename "$file" | cut -c1-48)" "$host" \
    "$status" "$wall" "$peak" "$size" "$started" "$verdict"
}

printf '%-48s %-7s %6s %7s %6s %12s %4s  %s\n' input host exit "wall s" "MB" "out bytes" progs verdict
for file in "${inputs[@]}"; do
  run preview "$file"
  run import "$file"
done
exit $failed
