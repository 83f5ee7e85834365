#!/usr/bin/env bash
# Installs what is missing, builds, and shows a generated sample archive.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${VEXEL_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel 2
sample=$(scripts/make-sample.sh "$build/sample")
if [[ -x "$build/quicklook/vexel-quicklook" ]]; then
  "$build/quicklook/vexel-quicklook" "$sample"
else
  bsdtar -tvf "$sample"
fi
