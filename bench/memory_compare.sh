#!/usr/bin/env bash
# memory_compare.sh [BUILD_DIR]: peak memory of both hosts against
# `bsdtar -tf` on the same 1,000,000-entry ZIP and tar, in the same run,
# as bytes per entry above bsdtar's peak (target: at most 200). With the
# benchmarks built, also Baloo's plug-in (bench/baloo_extract_timer, which
# lists through vexel-lister) as a whole session: the most it and its
# lister held at once (bench/session_peak.py).
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

# verdict NAME KB BASE_KB: the peak against bsdtar's, per entry.
verdict() {
  awk -v h="$1" -v kb="$2" -v base="$3" -v n="$entries" 'BEGIN {
    per = (kb - base) * 1024 / n
    printf "  %-16s %8d kB peak, %6.1f bytes/entry above bsdtar (target <= 200: %s)\n",
           h, kb, per, (per <= 200 ? "ok" : "MISSED") }'
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
    verdict "vexel-$host" "$kb" "$base"
  done
  baloo=$build/bench/baloo_extract_timer
  if [[ -x $baloo ]]; then
    report=$(mktemp)
    env -u TZ python3 "$here/session_peak.py" --report "$report" -- "$baloo" 1 "$file" \
      >/dev/null 2>&1
    mb=$(sed -n 's/.*together_mb=\([0-9]*\).*/\1/p' "$report")
    rm -f "$report"
    verdict "Baloo + lister" "$((mb * 1024))" "$base"
  fi
done
