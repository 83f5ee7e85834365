#!/usr/bin/env bash
# Times vexel-mdimport against `bsdtar -tf` and `unzip -l` on the same
# 1,000,000-entry ZIP and tar, in the same run and from the same environment
# (TZ unset: the host sets it itself), and reports wall times, ratios and
# peak memory.
#
#   bench/mdimport_compare.sh [BUILD_DIR]      (default: build)
#
# Environment: ENTRIES (default 1000000), REPEAT (runs per tool, the best
# counts; default 3), VEXEL_BENCH_DIR (where the archives are kept between
# runs, shared with list_compare.sh; default /tmp/vexel-list-bench).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

build=${1:-build}
entries=${ENTRIES:-1000000}
repeat=${REPEAT:-3}
data=${VEXEL_BENCH_DIR:-/tmp/vexel-list-bench}
host=$build/spotlight/vexel-mdimport

for tool in python3 bsdtar unzip /usr/bin/time; do
  if ! command -v "$tool" >/dev/null; then
    echo "missing $tool: run scripts/install-deps.sh" >&2
    exit 2
  fi
done
if [[ ! -x $host ]]; then
  echo "no $host: build first (cmake --build $build)" >&2
  exit 2
fi
zip=$data/entries-$entries.zip
tar=$data/entries-$entries.tar
# Tiny files in folders of 1000: the import gives a line per file and per folder.
lines=$((entries + (entries + 999) / 1000))
source "$here/many_entries.sh"
make_many_entries "$data" "$entries"

# measure COMMAND...: the best wall time (s) over $repeat runs, with that
# run's CPU time (user + system, s; steadier on a busy machine) and peak RSS
# (kB), output discarded; sets $seconds, $cpu and $peak.
measure() {
  local best="" bestPeak="" bestCpu="" out
  for ((run = 0; run < repeat; ++run)); do
    out=$(env -u TZ /usr/bin/time -v "$@" 2>&1 >/dev/null | tail -n 30)
    local wall rss
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
      n = split($2, p, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + p[i]; print s }' <<<"$out")
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' <<<"$out")
    cpuTime=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' <<<"$out")
    if [[ -z $best ]] || awk -v a="$wall" -v b="$best" 'BEGIN {exit !(a < b)}'; then
      best=$wall bestPeak=$rss bestCpu=$cpuTime
    fi
  done
  seconds=$best peak=$bestPeak cpu=$bestCpu
}

check_lines() {
  local file=$1 want=$lines got
  got=$(env -u TZ "$host" "$file" | wc -l)
  if [[ $got != "$want" ]]; then
    echo "FAIL: vexel-mdimport gave $got lines for $file, expected $want" >&2
    exit 1
  fi
  echo "vexel-mdimport $(basename "$file"): $got lines, as expected"
}

line() {  # line LABEL SECONDS CPU PEAK
  printf '  %-30s %6.2f s wall %6.2f s cpu %8d kB peak\n' "$1" "$2" "$3" "$4"
}

ratio() {  # ratio LABEL SECONDS BASE_SECONDS TARGET
  local value verdict
  value=$(awk -v a="$2" -v b="$3" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}')
  verdict=$(awk -v r="$value" -v t="$4" 'BEGIN {print (r <= t ? "ok" : "MISSED")}')
  printf '  %-30s %6s (target <= %s: %s)\n' "$1" "$value" "$4" "$verdict"
}

check_lines "$zip"
check_lines "$tar"
cat "$zip" "$tar" >/dev/null  # both in the page cache for every tool

echo
echo "1. ZIP, $entries entries ($(du -h "$zip" | cut -f1)), best of $repeat"
measure bsdtar -tf "$zip"; zipBsdtar=$seconds
line "bsdtar -tf" "$seconds" "$cpu" "$peak"
measure unzip -l "$zip"; zipUnzip=$seconds
line "unzip -l" "$seconds" "$cpu" "$peak"
measure "$host" "$zip"; zipHost=$seconds
line "vexel-mdimport" "$seconds" "$cpu" "$peak"
ratio "vexel-mdimport / bsdtar -tf" "$zipHost" "$zipBsdtar" 0.5
ratio "vexel-mdimport / unzip -l" "$zipHost" "$zipUnzip" 1.0

echo
echo "2. tar, $entries entries ($(du -h "$tar" | cut -f1)), best of $repeat"
measure bsdtar -tf "$tar"; tarBsdtar=$seconds
line "bsdtar -tf" "$seconds" "$cpu" "$peak"
measure "$host" "$tar"; tarHost=$seconds
line "vexel-mdimport" "$seconds" "$cpu" "$peak"
ratio "vexel-mdimport / bsdtar -tf" "$tarHost" "$tarBsdtar" 1.0
