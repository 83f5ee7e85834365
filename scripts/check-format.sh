#!/usr/bin/env bash
# Checks that every C and C++ file of the project is formatted as .clang-format
# says, with clang-format 14 (Debian 12's, scripts/install-deps.sh); build
# folders are not the project's and are left out. Prints each difference and
# exits 1 when a file drifts. To format: the same list through clang-format -i.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format || true)
if [[ -z $format ]]; then
  echo "check-format: clang-format is not installed (scripts/install-deps.sh)" >&2
  exit 1
fi
if ! "$format" --version | grep -q 'version 14[.]'; then
  echo "check-format: $format is not clang-format 14: $("$format" --version)" >&2
  exit 1
fi
# The tracked files, so that no build folder, whatever its name, is read.
git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | xargs -0 -r "$format" --dry-run -Werror
