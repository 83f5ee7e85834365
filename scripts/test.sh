#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${VEXEL_BUILD_DIR:-build}
# The desktop indexers' plug-ins are required here: scripts/install-deps.sh
# installed what they need.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXEL_WERROR=ON \
  -DVEXEL_BALOO=ON -DVEXEL_TRACKER=ON
cmake --build "$build" --parallel 2
ctest --test-dir "$build" --output-on-failure --parallel 2 "$@"
