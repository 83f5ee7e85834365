#!/usr/bin/env bash
# list_compare.sh [BUILD_DIR]: `ExtensionArchive::list` (tree included)
# against a bare libarchive header loop, on a 1,000,000-entry ZIP and a
# 1,000,000-entry tar. Each repetition times one listing and one bare loop
# back to back (alternating which goes first); the ratio printed is the
# median of those paired ratios, with their range, and the same for the CPU
# time of the process (both threads of the listing). Last, how much a busy
# second thread slows the bare loop: whether this machine's cores are real.
#
#   bench/list_compare.sh build
#
# Files are kept in $VEXEL_BENCH_DIR (default /tmp/vexel-list-bench) so a
# second run skips making them. REPS sets the repetitions (default 9); the
# first, which warms the allocator and the page cache, is not counted.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
bench="$build/bench/list_benchmark"
[[ -x "$bench" ]] || { echo "no $bench; build with -DVEXEL_BUILD_BENCH=ON" >&2; exit 2; }
dir=${VEXEL_BENCH_DIR:-/tmp/vexel-list-bench}
count=1000000
source "$here/many_entries.sh"
make_many_entries "$dir" "$count"

# glibc otherwise re-reads the zone file on each of libarchive's per-entry
# mktime calls for ZIP, which alone triples the ZIP figures.
export TZ=:/etc/localtime
json=$(mktemp)
trap 'rm -f "$json"' EXIT
VEXEL_BENCH_ZIP="$dir/entries-$count.zip" VEXEL_BENCH_TAR="$dir/entries-$count.tar" \
  "$bench" --benchmark_filter='^(pair|tree|busy)/' --benchmark_repetitions="$((${REPS:-9} + 1))" \
  --benchmark_format=json >"$json"

python3 - "$json" <<'PY'
import json, statistics, sys
runs = [r for r in json.load(open(sys.argv[1]))["benchmarks"] if r.get("run_type") == "iteration"]
for kind in ("zip", "tar"):
    pairs = [r for r in runs if r["run_name"].startswith(f"pair/{kind}")][1:]
    tree = statistics.median(r["real_time"] for r in runs if r["run_name"].startswith(f"tree/{kind}"))
    ratio = sorted(r["ratio"] for r in pairs)
    cpu = sorted(r["cpu_ratio"] for r in pairs)
    print(f"{kind}: list {statistics.median(r['list_s'] for r in pairs):.3f} s,"
          f" bare loop {statistics.median(r['bare_s'] for r in pairs):.3f} s,"
          f" ratio {statistics.median(ratio):.2f}x ({ratio[0]:.2f}-{ratio[-1]:.2f}),"
          f" CPU time ratio {statistics.median(cpu):.2f}x ({cpu[0]:.2f}-{cpu[-1]:.2f});"
          f" tree build alone {tree / 1000:.3f} s; {len(pairs)} pairs")
busy = sorted(r["slowdown"] for r in runs if r["run_name"].startswith("busy/"))
print(f"a thread spinning beside the bare loop slows it {statistics.median(busy):.2f}x"
      f" ({busy[0]:.2f}-{busy[-1]:.2f}): near 1.0, the two threads of a listing overlap;"
      f" well above, its wall time tends to its CPU time")
PY
