#!/usr/bin/env bash
# Installs what is missing, builds, and shows a generated sample archive.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${VEXEL_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel 2
sample=$(scripts/make-sample.sh "$build/sample")
host="$build/quicklook/vexel-quicklook"
if [[ ! -x "$host" ]]; then
  echo "demo: $host was not built" >&2
  exit 1
fi
"$host" "$sample"
