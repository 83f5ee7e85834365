#!/usr/bin/env bash
# Times vexel-mdimport against `bsdtar -tf` and `unzip -l` on the same
# 1,000,000-entry ZIP and tar, in the same run and from the same environment
# (TZ unset: the host sets it itself), and reports wall times, ratios and
# peak memory.
#
#   bench/mdimport_compare.sh [BUILD_DIR]      (default: build)
#
# Environment: ENTRIES (default 1000000), REPEAT (runs per tool, the best
# counts; default 3), BENCH_DATA (where the archives are kept between runs;
# default BUILD_DIR/bench-data).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
entries=${ENTRIES:-1000000}
repeat=${REPEAT:-3}
data=${BENCH_DATA:-$build/bench-data}
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
mkdir -p "$data"
zip=$data/entries-$entries.zip
tar=$data/entries-$entries.tar

# Tiny files two folders deep: top/mid/file, 1000 files per folder. The
# number of lines the import must give (files plus folders) is kept beside.
if [[ ! -s $zip.lines || ! -s $tar.lines ]]; then
  echo "making $zip and $tar ..."
  python3 - "$entries" "$zip" "$tar" <<'PY'
import io, sys, tarfile, zipfile
count, zip_path, tar_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
def names():
    for i in range(count):
        yield f"top{i // 100000:02d}/mid{i // 1000:04d}/file{i:07d}.txt"
folders = set()
for name in names():
    parts = name.split("/")
    folders.add(parts[0]); folders.add(parts[0] + "/" + parts[1])
lines = count + len(folders)
with zipfile.ZipFile(zip_path, "w", zipfile.ZIP_STORED) as z:
    for name in names():
        z.writestr(zipfile.ZipInfo(name, (2024, 1, 2, 3, 4, 6)), b"x")
with open(tar_path, "wb") as f, tarfile.open(fileobj=f, mode="w", format=tarfile.USTAR_FORMAT) as t:
    for name in names():
        info = tarfile.TarInfo(name)
        info.mtime = 1704164646
        t.addfile(info)  # empty: one header block per entry
for path in (zip_path, tar_path):
    with open(path + ".lines", "w") as out:
        out.write(f"{lines}\n")
PY
fi

# measure NAME COMMAND...: the best wall time (s) and its peak RSS (kB) over
# $repeat runs, output discarded; sets $seconds and $peak.
measure() {
  local best="" bestPeak="" out
  for ((run = 0; run < repeat; ++run)); do
    out=$(env -u TZ /usr/bin/time -v "$@" 2>&1 >/dev/null | tail -n 30)
    local wall rss
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
      n = split($2, p, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + p[i]; print s }' <<<"$out")
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' <<<"$out")
    if [[ -z $best ]] || awk -v a="$wall" -v b="$best" 'BEGIN {exit !(a < b)}'; then
      best=$wall bestPeak=$rss
    fi
  done
  seconds=$best peak=$bestPeak
}

check_lines() {
  local file=$1 want got
  want=$(cat "$file.lines")
  got=$(env -u TZ "$host" "$file" | wc -l)
  if [[ $got != "$want" ]]; then
    echo "FAIL: vexel-mdimport gave $got lines for $file, expected $want" >&2
    exit 1
  fi
  echo "vexel-mdimport $(basename "$file"): $got lines, as expected"
}

report() {  # report LABEL SECONDS PEAK BASE_SECONDS TARGET
  local ratio
  ratio=$(awk -v a="$2" -v b="$4" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}')
  local verdict
  verdict=$(awk -v r="$ratio" -v t="$5" 'BEGIN {print (r <= t ? "ok" : "MISSED")}')
  printf '  %-32s %7.2f s  %8d kB  ratio %5s (target <= %s: %s)\n' "$1" "$2" "$3" "$ratio" "$5" "$verdict"
}

check_lines "$zip"
check_lines "$tar"
cat "$zip" "$tar" >/dev/null  # both in the page cache for every tool

echo
echo "1. ZIP, $entries entries ($(du -h "$zip" | cut -f1)), best of $repeat"
measure bsdtar -tf "$zip"; zipBsdtar=$seconds; zipBsdtarPeak=$peak
measure unzip -l "$zip"; zipUnzip=$seconds; zipUnzipPeak=$peak
measure "$host" "$zip"; zipHost=$seconds; zipHostPeak=$peak
printf '  %-32s %7.2f s  %8d kB\n' "bsdtar -tf" "$zipBsdtar" "$zipBsdtarPeak"
printf '  %-32s %7.2f s  %8d kB\n' "unzip -l" "$zipUnzip" "$zipUnzipPeak"
report "vexel-mdimport / bsdtar -tf" "$zipHost" "$zipHostPeak" "$zipBsdtar" 0.5
report "vexel-mdimport / unzip -l" "$zipHost" "$zipHostPeak" "$zipUnzip" 1.2

echo
echo "2. tar, $entries entries ($(du -h "$tar" | cut -f1)), best of $repeat"
measure bsdtar -tf "$tar"; tarBsdtar=$seconds; tarBsdtarPeak=$peak
measure "$host" "$tar"; tarHost=$seconds; tarHostPeak=$peak
printf '  %-32s %7.2f s  %8d kB\n' "bsdtar -tf" "$tarBsdtar" "$tarBsdtarPeak"
report "vexel-mdimport / bsdtar -tf" "$tarHost" "$tarHostPeak" "$tarBsdtar" 1.0
