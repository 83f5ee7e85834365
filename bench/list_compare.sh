#!/usr/bin/env bash
# list_compare.sh [BUILD_DIR]: `ExtensionArchive::list` (tree included)
# against a bare libarchive header loop, on a 1,000,000-entry ZIP and a
# 1,000,000-entry tar, in the same run. Prints the medians and the ratios.
#
#   bench/list_compare.sh build
#
# Files are kept in $VEXEL_BENCH_DIR (default /tmp/vexel-list-bench) so a
# second run skips making them. REPS sets the repetitions (default 3).
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
  "$bench" --benchmark_repetitions="${REPS:-3}" --benchmark_report_aggregates_only=true \
  --benchmark_format=json >"$json"

python3 - "$json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
median = {r["run_name"].split("/real_time")[0]: r["real_time"] / 1000.0
          for r in runs if r.get("aggregate_name") == "median"}
for kind in ("zip", "tar"):
    ours, bare, tree = median[f"list/{kind}"], median[f"bare/{kind}"], median[f"tree/{kind}"]
    utf8 = median[f"bare-utf8/{kind}"]
    print(f"{kind}: list {ours:.3f} s, bare loop {bare:.3f} s, ratio {ours / bare:.2f}x"
          f" (tree build alone {tree:.3f} s; list minus tree {(ours - tree) / bare:.2f}x);"
          f" bare loop under the UTF-8 locale {utf8:.3f} s, ratio {ours / utf8:.2f}x")
PY
