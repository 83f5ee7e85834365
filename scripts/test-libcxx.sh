#!/usr/bin/env bash
# Builds everything but the benchmarks with clang and its own standard library
# (libc++), starting child processes with portable POSIX calls only
# (VEXEL_PORTABLE_POSIX), and runs the tests: the core must lean neither on
# glibc's extensions nor on libstdc++'s. Debian's GoogleTest library is built
# against libstdc++, so GoogleTest is first built with libc++ from the sources
# Debian ships. Extra arguments go to ctest. The desktop indexers' plug-ins
# are left out: they load into programs built against libstdc++. The build
# exists to run the tests, so it compiles its sources in batches
# (CMAKE_UNITY_BUILD); the README's build compiles each file on its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh libcxx
build=${VEXEL_LIBCXX_BUILD_DIR:-build-libcxx}
mkdir -p "$build"
build=$(cd "$build" && pwd)
gtest=$build/googletest-install
if [[ ! -f $gtest/lib/cmake/GTest/GTestConfig.cmake ]]; then
  cmake -S /usr/src/googletest -B "$build/googletest" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
  cmake --build "$build/googletest" --parallel 2
  cmake --install "$build/googletest" >/dev/null
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
  -DGTest_DIR="$gtest/lib/cmake/GTest" -DVEXEL_PORTABLE_POSIX=ON -DVEXEL_WERROR=ON -DCMAKE_UNITY_BUILD=ON \
  -DVEXEL_BUILD_BENCH=OFF -DVEXEL_BALOO=OFF -DVEXEL_TRACKER=OFF
cmake --build "$build" --parallel 2
ctest --test-dir "$build" --output-on-failure --parallel 2 "$@"
