#!/usr/bin/env bash
# names_compare.sh BASE_BUILD [BUILD]: one listing of a 1,000,000-entry ZIP
# whose names are UTF-8 without the UTF-8 flag (as Info-ZIP writes them,
# each of which the name decision weighs), and of the ASCII ZIP of
# list_compare.sh, by the lister of two builds: BASE_BUILD (say, main before
# a change) and BUILD (default build). Each repetition runs both builds'
# `list_once` back to back, alternating which goes first, in separate
# processes; printed are the medians of the paired ratios BUILD/BASE of wall
# time, CPU time (both threads; steadier on a busy machine) and peak memory,
# with their ranges.
#
#   bench/names_compare.sh ../main/build build
#
# Files are kept in $VEXEL_BENCH_DIR (default /tmp/vexel-list-bench). REPS
# sets the repetitions (default 9); a first, warming run is not counted.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
base=${1:?usage: names_compare.sh BASE_BUILD [BUILD]}
build=${2:-build}
for dir in "$base" "$build"; do
  [[ -x $dir/bench/list_once ]] || { echo "no $dir/bench/list_once: build it first" >&2; exit 2; }
done
command -v /usr/bin/time >/dev/null || { echo "missing /usr/bin/time: run scripts/install-deps.sh" >&2; exit 2; }
data=${VEXEL_BENCH_DIR:-/tmp/vexel-list-bench}
count=${ENTRIES:-1000000}
reps=${REPS:-9}
source "$here/many_entries.sh"
make_many_entries "$data" "$count"
utf8=$data/entries-utf8-$count.zip
if [[ ! -s $utf8 ]]; then
  echo "making $utf8" >&2
  python3 "$here/make_many_entries.py" zip-utf8 "$count" "$utf8"
fi
export TZ=:/etc/localtime

# run BUILD FILE: "seconds peak_kb cpu_seconds" of one listing.
run() {
  /usr/bin/time -f '%M %U %S' "$1/bench/list_once" "$2" 600 2>"$scratch" |
    sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' | tr '\n' ' '
  tail -n 1 "$scratch" | awk '{print $1, $2 + $3}'
}
scratch=$(mktemp)
trap 'rm -f "$scratch"' EXIT

for file in "$utf8" "$data/entries-$count.zip"; do
  cat "$file" >/dev/null
  pairs=()
  for ((rep = 0; rep <= reps; rep++)); do
    if ((rep % 2 == 0)); then
      old=$(run "$base" "$file"); new=$(run "$build" "$file")
    else
      new=$(run "$build" "$file"); old=$(run "$base" "$file")
    fi
    ((rep == 0)) || pairs+=("$old $new")
  done
  printf '%s\n' "${pairs[@]}" | python3 -c '
import statistics, sys
rows = [list(map(float, line.split())) for line in sys.stdin if line.strip()]
time = sorted(n[3] / n[0] for n in rows)
memory = sorted(n[4] / n[1] for n in rows)
cpu = sorted(n[5] / n[2] for n in rows)
print(f"{sys.argv[1]}: base {statistics.median(r[0] for r in rows):.3f} s"
      f" {statistics.median(r[1] for r in rows) / 1024:.0f} MiB;"
      f" time ratio {statistics.median(time):.3f} ({time[0]:.3f}-{time[-1]:.3f}),"
      f" CPU time ratio {statistics.median(cpu):.3f} ({cpu[0]:.3f}-{cpu[-1]:.3f}),"
      f" peak memory ratio {statistics.median(memory):.3f} ({memory[0]:.3f}-{memory[-1]:.3f});"
      f" {len(rows)} pairs")' "$(basename "$file")"
done
