#!/usr/bin/env bash
# Checks the layout rules the code keeps: programs are started only in
# core/process (vexel_process); no product source file is longer than 600
# lines; the readers' folder holds listing only, neither extraction nor the
# external archiver. Prints each breach and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
breach() {
  echo "check-structure: $*" >&2
  status=1
}

# The fake archiver stands in for an external program whose helper must
# share its process group, which vexel_process never gives a child.
# The project's folders are read, not a build folder's generated files.
sources() {
  find "$@" -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \
    -o -name '*.inc' \) -print0
}
starts=$(sources core handoff quicklook spotlight findersync platform tests bench fuzz |
  grep -z -v -E '^(core/process/|tests/support/fake_archiver\.cpp$)' |
  xargs -0 grep -n -E '\b(v?fork|posix_spawnp?|popen|exec[lv]p?e?)[[:space:]]*\(|\bsystem[[:space:]]*\(' |
  grep -v -E '^[^:]+:[0-9]+:[[:space:]]*//' || true)
[[ -z $starts ]] || breach "a program started outside core/process:"$'\n'"$starts"

while read -r lines file; do
  [[ $file == total ]] && continue
  ((lines <= 600)) || breach "$file has $lines lines (at most 600)"
done < <(sources core handoff quicklook spotlight findersync platform | xargs -0 wc -l)

for name in archive_extractor work_folder entry_writer extraction_plan process_runner \
  listing_parser run_result task_handle local_time; do
  found=$(find core/readers -name "$name.*")
  [[ -z $found ]] || breach "core/readers holds $found, which belongs to extraction or the archiver"
done
exit $status
