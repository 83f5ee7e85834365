#!/usr/bin/env bash
# memory_compare.sh [BUILD_DIR]: peak memory of both hosts against
# `bsdtar -tf` on the same 1,000,000-entry ZIP and tar, in the same run,
# as bytes per entry above bsdtar's peak (target: at most 250).
#
#   bench/memory_compare.sh build
#
# Environment: ENTRIES (default 1000000), VEXEL_BENCH_DIR (where the
# archives are kept between runs, shared with list_compare.sh; default
# /tmp/vexel-list-bench). Hosts run with TZ unset, as a desktop starts them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
entries=${ENTRIES:-1000000}
data=${VEXEL_BENCH_DIR:-/tmp/vexel-list-bench}
mdimport=$build/spotlight/vexel-mdimport
quicklook=$build/quicklook/vexel-quicklook
for tool in python3 bsdtar /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/install-deps.sh" >&2; exit 2; }
done
for host in "$mdimport" "$quicklook"; do
  [[ -x $host ]] || { echo "no $host: build first (cmake --build $build)" >&2; exit 2; }
done
source "$here/many_entries.sh"
make_many_entries "$data" "$entries"

# peak COMMAND...: the peak resident set (kB) of one run, output discarded.
peak() {
  env -u TZ /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
}

for kind in zip tar; do
  file=$data/entries-$entries.$kind
  cat "$file" >/dev/null
  base=$(peak bsdtar -tf "$file")
  echo "$kind, $entries entries: bsdtar -tf ${base} kB peak"
  for host in mdimport quicklook; do
    if [[ $host == mdimport ]]; then
      kb=$(peak "$mdimport" "$file")
    else
      kb=$(peak "$quicklook" --json --time-limit 60 "$file")
    fi
    awk -v h="vexel-$host" -v kb="$kb" -v base="$base" -v n="$entries" 'BEGIN {
      per = (kb - base) * 1024 / n
      printf "  %-16s %8d kB peak, %6.1f bytes/entry above bsdtar (target <= 250: %s)\n",
             h, kb, per, (per <= 250 ? "ok" : "MISSED") }'
  done
done
