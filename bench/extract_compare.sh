#!/usr/bin/env bash
# Times vexel-handoff's extraction (checked first, written through folder
# descriptors) against `bsdtar -xf` and `7zz x` on the same archives, in the
# same run, each into an empty folder on the same file system, and reports
# the median of paired runs (wall and CPU time), the ratios to bsdtar, and
# peak memory. Every result is compared with bsdtar's, file by file.
#
#   bench/extract_compare.sh [BUILD_DIR]      (default: build)
#
# Environment: FILES (small files in the many-files archives, default
# 20000), BIG_MB (size of the one big file, default 200), REPS (paired runs,
# default 5), VEXEL_BENCH_DIR (where the archives are kept, default
# /tmp/vexel-extract-bench).
set -euo pipefail

build=${1:-build}
files=${FILES:-20000}
bigMb=${BIG_MB:-200}
reps=${REPS:-5}
data=${VEXEL_BENCH_DIR:-/tmp/vexel-extract-bench}
host=$(cd "$build" && pwd)/handoff/vexel-handoff

for tool in python3 bsdtar 7zz zstd /usr/bin/time; do
  if ! command -v "$tool" >/dev/null; then
    echo "missing $tool: run scripts/install-deps.sh" >&2
    exit 2
  fi
done
if [[ ! -x $host ]]; then
  echo "no $host: build first (cmake --build $build)" >&2
  exit 2
fi

mkdir -p "$data"
# The archives: FILES small files of 1-4 KB of text in folders of 100, as a
# tar.gz and a ZIP; one BIG_MB file of mixed data as a tar.zst.
if [[ ! -f $data/many-$files.tar.gz ]]; then
  rm -rf "$data/src" && mkdir -p "$data/src"
  python3 - "$data/src/many-$files" "$files" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
random.seed(7)
words = [''.join(random.choice('abcdefghijklmnop') for _ in range(6)) for _ in range(500)]
for k in range(count):
    folder = os.path.join(root, 'd%04d' % (k // 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, 'f%06d.txt' % k), 'w') as f:
        f.write(' '.join(random.choice(words) for _ in range(random.randint(150, 600))))
PY
  (cd "$data/src" && tar -czf "$data/many-$files.tar.gz" "many-$files" &&
    7zz a -bso0 -bsp0 -tzip "$data/many-$files.zip" "many-$files")
  rm -rf "$data/src"
fi
if [[ ! -f $data/big-$bigMb.tar.zst ]]; then
  rm -rf "$data/src" && mkdir -p "$data/src/big-$bigMb"
  # Half random, half repeated text: neither free to compress nor incompressible.
  { head -c $((bigMb * 512 * 1024)) /dev/urandom
    yes 'the quick brown fox jumps over the lazy dog' | head -c $((bigMb * 512 * 1024)) || true; } \
    >"$data/src/big-$bigMb/big.bin"
  (cd "$data/src" && tar -cf - "big-$bigMb" | zstd -q -o "$data/big-$bigMb.tar.zst")
  rm -rf "$data/src"
fi

work=$(mktemp -d "$data/run-XXXXXX")
trap 'rm -rf "$work"' EXIT

# run_once TOOL ARCHIVE OUT: extracts ARCHIVE into the empty folder OUT
# with TOOL; prints "wall cpu peak".
run_once() {
  local tool=$1 archive=$2 out=$3 copy
  rm -rf "$out" && mkdir -p "$out"
  local command
  case $tool in
    vexel)
      copy=$out/$(basename "$archive")
      ln "$archive" "$copy" 2>/dev/null || cp "$archive" "$copy"
      command=(env -i PATH=/nonexistent LANG=C.UTF-8 "$host" "vexel://extract?path=$copy") ;;
    bsdtar) command=(bsdtar -xf "$archive" -C "$out") ;;
    7zz)
      if [[ $archive == *.tar.* ]]; then
        command=(sh -c '7zz x -so "$1" | 7zz x -si -ttar -bso0 -bsp0 -o"$2"' sh "$archive" "$out")
      else
        command=(7zz x -bso0 -bsp0 -o"$out" "$archive")
      fi ;;
  esac
  sync
  /usr/bin/time -f '%e %U %S %M' "${command[@]}" 2>&1 >/dev/null | tail -n 1 |
    awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}'
  if [[ $tool == vexel ]]; then rm -f "$copy"; fi
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }

# The result of vexel-handoff, compared with bsdtar's: the same files, the
# same bytes.
compare() {
  local archive=$1 stem ours theirs
  ours=$work/check-vexel theirs=$work/check-bsdtar
  run_once vexel "$archive" "$ours" >/dev/null
  run_once bsdtar "$archive" "$theirs" >/dev/null
  stem=$(basename "$archive"); stem=${stem%%.*}
  if ! diff -r "$ours/$stem" "$theirs/$stem" >/dev/null; then
    echo "FAIL: vexel-handoff and bsdtar extracted $(basename "$archive") differently" >&2
    exit 1
  fi
  rm -rf "$ours" "$theirs"
}

printf 'extraction, median of %d paired runs (wall s, cpu s, peak kB; ratio = wall / bsdtar wall)\n' "$reps"
for archive in "$data/many-$files.tar.gz" "$data/many-$files.zip" "$data/big-$bigMb.tar.zst"; do
  compare "$archive"
  declare -A walls=() cpus=() peaks=() ratios=()
  for ((rep = 0; rep < reps; ++rep)); do
    read -r bw bc bp < <(run_once bsdtar "$archive" "$work/out")
    for tool in vexel 7zz; do
      read -r w c p < <(run_once "$tool" "$archive" "$work/out")
      walls[$tool]+="$w "; cpus[$tool]+="$c "; peaks[$tool]+="$p "
      ratios[$tool]+="$(awk -v a="$w" -v b="$bw" 'BEGIN {printf "%.3f", (b > 0 ? a / b : 0)}') "
    done
    walls[bsdtar]+="$bw "; cpus[bsdtar]+="$bc "; peaks[bsdtar]+="$bp "
  done
  echo "$(basename "$archive") ($(du -k "$archive" | cut -f1) kB)"
  for tool in bsdtar vexel 7zz; do
    printf '  %-8s %7.2f s wall %7.2f s cpu %9d kB peak' "$tool" \
      "$(tr ' ' '\n' <<<"${walls[$tool]}" | grep . | median)" \
      "$(tr ' ' '\n' <<<"${cpus[$tool]}" | grep . | median)" \
      "$(tr ' ' '\n' <<<"${peaks[$tool]}" | grep . | median)"
    if [[ $tool != bsdtar ]]; then
      printf '   ratio %.2f' "$(tr ' ' '\n' <<<"${ratios[$tool]}" | grep . | median)"
    fi
    printf '\n'
  done
  rm -rf "$work/out"
done
