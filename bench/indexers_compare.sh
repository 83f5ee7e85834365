#!/usr/bin/env bash
# Time per archive in the desktop indexers' plug-ins (Baloo's extractor and
# Tracker's module, each loaded in process as its indexer loads it) against
# `unzip -l` on the same ZIP files, in pairs, in the same run.
#
#   bench/indexers_compare.sh [BUILD_DIR]      (default: build)
#
# Files: ZIPs of 40, 1,000, 10,000 and 100,000 entries (empty files in
# folders of 100) and one of 1,000 entries with Chinese names. Environment:
# REPEAT (paired runs per file, the medians count; default 15),
# VEXEL_BENCH_DIR (where the files are kept; default /tmp/vexel-indexers-bench).
# The timers run with TZ unset, as the indexers do; each plug-in sets it for
# its own process, and unzip runs with it unset.
set -euo pipefail
build=${1:-build}
repeat=${REPEAT:-15}
data=${VEXEL_BENCH_DIR:-/tmp/vexel-indexers-bench}
mkdir -p "$data"
command -v unzip >/dev/null || { echo "missing unzip: run scripts/install-deps.sh" >&2; exit 2; }

files=()
for entries in 40 1000 10000 100000; do
  files+=("$data/entries-$entries.zip")
done
files+=("$data/chinese-1000.zip")
python3 - "$data" <<'PYTHON'
import os, sys, zipfile
data = sys.argv[1]
def write(name, count, pattern):
    path = os.path.join(data, name)
    if os.path.exists(path):
        return
    with zipfile.ZipFile(path + ".part", "w") as z:
        for i in range(count):
            z.writestr(pattern % (i // 100, i), "")
    os.rename(path + ".part", path)
for count in (40, 1000, 10000, 100000):
    write("entries-%d.zip" % count, count, "folder-%04d/file-%07d.txt")
write("chinese-1000.zip", 1000, "项目文件夹-%04d/项目计划书-%07d.txt")
PYTHON

for timer in baloo_extract_timer tracker_extract_timer; do
  if [[ ! -x $build/bench/$timer ]]; then
    echo "== $timer: not built (its plug-in is not configured)"
    continue
  fi
  echo "== $timer (median of $repeat paired runs)"
  env -u TZ "$build/bench/$timer" "$repeat" "${files[@]}"
done
