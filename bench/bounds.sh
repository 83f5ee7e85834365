#!/usr/bin/env bash
# bounds.sh [BUILD_DIR]: both hosts on every hostile input, in one run.
#
#   bench/bounds.sh build
#
# For each input, vexel-quicklook --json and vexel-mdimport run once under
# bench/session_peak.py (in a session of their own, so that any program
# they start is measured with them), with stand-ins for lzop, grzip, lrzip
# (and the other decompressors) first on PATH that record being started.
# Prints per input and host: exit status, wall time, peak memory of the host
# and of its largest other process (the lister) and their sum, how long any
# of them outlived the host, output size (the import's text), programs
# started, and a verdict against the bounds:
#   preview  exit 0, done within 3.5 s (the limit and 0.5 s), under 1 GiB
#   import   exit 0 or 1, done within 10.5 s, under 1 GiB, text under 64 MiB
#            (exit 0 for the archive whose name is not UTF-8)
#   both     no program started, no crash, nothing left running 0.5 s after
# "Under 1 GiB" is judged on the sum of the peaks, a bound on what host and
# lister held at once.
# Inputs: the generated ones of make_hostile.py (kept in $VEXEL_BENCH_DIR,
# default /tmp/vexel-bounds-bench), named pipes (one silent, one with a
# writer that says nothing), /dev/zero, a folder, an archive whose name is
# not UTF-8, every archive in $VEXEL_FIXTURES (default
# ../shared/fixtures/libarchive, skipped when absent) and, when
# $VEXEL_LIBARCHIVE_TESTS names a folder, every archive in it (all of
# libarchive's test suite: bench/libarchive_tests.py decodes them from a
# libarchive source tree).
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
command -v python3 >/dev/null || { echo "needs python3" >&2; exit 2; }
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
for folder in "$fixtures" "${VEXEL_LIBARCHIVE_TESTS:-}"; do
  [[ -n $folder && -d $folder ]] || continue
  for file in "$folder"/*; do
    case $file in *.md | */LICENSE | */COPYING* | */SHA256SUMS) continue ;; esac
    inputs+=("$file")
  done
done

failed=0
# run HOST FILE: one run; prints one table row.
run() {
  local host=$1 file=$2 out=$work/out err=$work/err status wall host_mb lister_mb total linger
  local size started verdict line
  rm -f "$work/started"
  rm -f "$work/report"
  env PATH="$bin:$PATH" timeout -k 5 "$limit" python3 "$here/session_peak.py" \
    --report "$work/report" -- "$([[ $host == preview ]] && echo "$preview" || echo "$import")" \
    $([[ $host == preview ]] && echo --json) "$file" >"$out" 2>"$err"
  line=$(cat "$work/report" 2>/dev/null)
  field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$line"; }
  status=$(field status) wall=$(field wall) host_mb=$(field host_mb) lister_mb=$(field others_mb)
  total=$(field total_mb) linger=$(field linger)
  size=$(stat -c %s "$out")
  started=$( [[ -f $work/started ]] && wc -l <"$work/started" || echo 0)
  if [[ -z $status ]]; then
    status=killed wall=">$limit" host_mb=? lister_mb=? total=? linger=? verdict=FAIL
  else
    local ok
    if [[ $host == preview ]]; then
      ok=$(awk -v s="$status" -v w="$wall" -v m="$total" -v l="$linger" \
        'BEGIN {print (s == 0 && w <= 3.5 && m < 1024 && l <= 0.5)}')
    else
      ok=$(awk -v s="$status" -v w="$wall" -v m="$total" -v l="$linger" -v z="$size" \
        'BEGIN {print ((s == 0 || s == 1) && w <= 10.5 && m < 1024 && l <= 0.5 && z < 67108864 + 1)}')
      # A name that is not UTF-8 is no reason not to import.
      [[ $file == *ller.zip && $status != 0 ]] && ok=0
    fi
    [[ $ok == 1 && $started == 0 ]] && verdict=ok || verdict=FAIL
  fi
  [[ $verdict == ok ]] || failed=1
  printf '%-48s %-7s %6s %7s %6s %6s %6s %6s %12s %4s  %s\n' "$(basename "$file" | cut -c1-48)" \
    "$host" "$status" "$wall" "$host_mb" "$lister_mb" "$total" "$linger" "$size" "$started" "$verdict"
}

printf '%-48s %-7s %6s %7s %6s %6s %6s %6s %12s %4s  %s\n' input host exit "wall s" "host" \
  "lister" "MB" "linger" "out bytes" progs verdict
for file in "${inputs[@]}"; do
  run preview "$file"
  run import "$file"
done
exit $failed
