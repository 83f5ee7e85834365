#!/usr/bin/env bash
# xz_compare.sh [BUILD_DIR]: the lister on large .tar.xz files, as ratios
# measured in one run.
#
#   bench/xz_compare.sh build
#
# Files (kept in $VEXEL_BENCH_DIR, default /tmp/vexel-list-bench, so a
# second run skips making them):
#   - chromium's data.tar.xz (12 blocks of 24 MiB, one 297 MB member), from
#     `apt-get download chromium` and `ar x`, unless NO_CHROMIUM=1 or apt
#     cannot fetch it; also the .deb itself, which lists its data member;
#   - a generated tar of 2,000 small files around three members of 100, 200
#     and 300 MB of noise, compressed with `xz -T2` in blocks of 24 MiB (as
#     at its default level) and, as one block, with `xz -T1`.
# For each multi-block file: what a 3.0 s listing gives as before (every
# block through libarchive's own xz filter, `list_once --libarchive-xz`) and
# with the block reader (and what it decoded), the entries bsdtar lists, and
# the medians of REPS paired ratios of the listing's time to `bsdtar -tf`'s
# (target: at most 0.2). For the single-block file, which the block reader
# leaves to libarchive: the listing against the listing as before (target:
# at most 1.05). Wall and CPU time: on a busy machine the CPU ratio is the
# steadier. REPS defaults to 5; the first pair warms the page cache and is
# not counted.
set -euo pipefail
build=${1:-build}
once="$build/bench/list_once"
[[ -x "$once" ]] || { echo "no $once; build with -DVEXEL_BUILD_BENCH=ON" >&2; exit 2; }
dir=${VEXEL_BENCH_DIR:-/tmp/vexel-list-bench}
reps=${REPS:-5}
mkdir -p "$dir"
export TZ=:/etc/localtime
# bsdtar prints names it cannot convert to the locale as errors.
export LC_ALL=C.UTF-8

# The generated tar.
tar_file="$dir/xz-bench.tar"
if [[ ! -s "$dir/xz-bench-T2.tar.xz" || ! -s "$dir/xz-bench-T1.tar.xz" ]]; then
  echo "making $tar_file and compressing it (a minute or two)" >&2
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  python3 - "$work" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(1)
words = [b"alpha", b"beta", b"gamma", b"delta", b"archive", b"block", b"index", b"member"]
def small(folder, count):
    os.makedirs(os.path.join(root, folder), exist_ok=True)
    for i in range(count):
        text = b" ".join(random.choice(words) for _ in range(random.randrange(10, 400)))
        with open(os.path.join(root, folder, "file%04d.txt" % i), "wb") as f:
            f.write(text)
def noise(name, megabytes):
    with open(os.path.join(root, name), "wb") as f:
        for _ in range(megabytes):
            f.write(os.urandom(1 << 20))
small("a-docs", 500)
noise("b-noise-100.bin", 100)
small("c-docs", 500)
noise("d-noise-200.bin", 200)
small("e-docs", 500)
noise("f-noise-300.bin", 300)
small("g-docs", 500)
PY
  (cd "$work" && bsdtar -cf "$tar_file" a-docs b-noise-100.bin c-docs d-noise-200.bin e-docs \
    f-noise-300.bin g-docs)
  # Blocks of 24 MiB as `xz -T2` makes at its default level; the fastest
  # match finder, since noise does not compress anyway.
  fast=--lzma2=preset=0,mf=hc3,nice=8,depth=1
  xz -T2 --block-size=24MiB "$fast" -c "$tar_file" >"$dir/xz-bench-T2.tar.xz"
  xz -T1 "$fast" -c "$tar_file" >"$dir/xz-bench-T1.tar.xz"
  rm -f "$tar_file"
fi

# chromium's package and its data member.
chromium=()
if [[ ${NO_CHROMIUM:-0} != 1 ]]; then
  deb=$(ls "$dir"/chromium_*.deb 2>/dev/null | head -n 1 || true)
  if [[ -z $deb ]]; then
    (cd "$dir" && apt-get download chromium >/dev/null 2>&1) || true
    deb=$(ls "$dir"/chromium_*.deb 2>/dev/null | head -n 1 || true)
  fi
  if [[ -n $deb ]]; then
    [[ -s "$dir/chromium-data.tar.xz" ]] || (cd "$dir" && ar p "$deb" data.tar.xz >chromium-data.tar.xz)
    chromium=("$dir/chromium-data.tar.xz" "$deb")
  else
    echo "(no chromium package: apt-get download chromium failed)" >&2
  fi
fi

# median_ratio A_COMMAND... -- B_COMMAND...: the medians of REPS paired
# A/B ratios of wall time and of CPU time (alternating which runs first),
# with their ranges, and the median wall times.
median_ratio() {
  python3 - "$reps" "$@" <<'PY'
import os, statistics, subprocess, sys, time
reps = int(sys.argv[1])
split = sys.argv.index("--")
a, b = sys.argv[2:split], sys.argv[split + 1:]
def timed(command):
    before = os.times()
    start = time.monotonic()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.monotonic() - start
    after = os.times()
    cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    return wall, max(cpu, 0.001)
walls, cpus, times_a, times_b = [], [], [], []
for i in range(reps + 1):
    if i % 2 == 0:
        ta = timed(a); tb = timed(b)
    else:
        tb = timed(b); ta = timed(a)
    if i == 0:
        continue
    walls.append(ta[0] / tb[0]); cpus.append(ta[1] / tb[1])
    times_a.append(ta[0]); times_b.append(tb[0])
def spread(values):
    return f"{statistics.median(values):.3f}x ({min(values):.3f}-{max(values):.3f})"
print(f"wall {spread(walls)}, CPU {spread(cpus)};"
      f" {statistics.median(times_a):.3f} s against {statistics.median(times_b):.3f} s,"
      f" {len(walls)} pairs")
PY
}

bsdtar_entries() {
  bsdtar -tf "$1" 2>/dev/null | sed -e 's|^\(\./\)*||' -e 's|/*$||' | grep -v '^$' | sort -u | wc -l
}

for file in "${chromium[@]}" "$dir/xz-bench-T2.tar.xz"; do
  echo "== $(basename "$file") ($(stat -c %s "$file") bytes)"
  if [[ $file == *.deb ]]; then
    echo "bsdtar (its data member): $(ar p "$file" data.tar.xz | bsdtar_entries /dev/stdin) entries"
  else
    echo "bsdtar: $(bsdtar_entries "$file") entries"
  fi
  echo "libarchive's xz filter, 3.0 s: $("$once" --libarchive-xz "$file" 3.0)"
  echo "block reader,          3.0 s: $("$once" "$file" 3.0)"
  if [[ $file != *.deb ]]; then
    echo "block reader / bsdtar -tf: $(median_ratio "$once" "$file" 60 -- bsdtar -tf "$file")"
  fi
done

file="$dir/xz-bench-T1.tar.xz"
echo "== $(basename "$file"), one block ($(stat -c %s "$file") bytes)"
echo "lister: $("$once" "$file" 60)"
echo "lister / lister with libarchive's xz filter only:" \
  "$(median_ratio "$once" "$file" 60 -- "$once" --libarchive-xz "$file" 60)"
