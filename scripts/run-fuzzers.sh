#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed time on
# its seed corpus (fuzz/corpus/<name>, copied so the tree stays clean).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${VEXEL_FUZZ_BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEXEL_FUZZ=ON -DVEXEL_BUILD_TESTS=OFF -DVEXEL_BUILD_BENCH=OFF -DVEXEL_WERROR=ON >/dev/null
# Only the fuzz targets and what they link.
targets=$(cmake --build "$build" --target help | sed -n 's/^\(vexel_[a-z_]*_fuzzer\(_seeds\)\{0,1\}\):.*/\1/p')
cmake --build "$build" --parallel 2 --target $targets
for fuzzer in "$build"/fuzz/vexel_*_fuzzer; do
  name=$(basename "$fuzzer" _fuzzer)
  name=${name#vexel_}
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  for seeds in fuzz/corpus/"$name" "$build"/fuzz/seeds/"$name"; do
    if [[ -d $seeds ]]; then cp -r "$seeds"/. "$corpus"/; fi
  done
  echo "== fuzzing $name for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 \
    "$corpus" 2>&1 | tail -n 4
done
