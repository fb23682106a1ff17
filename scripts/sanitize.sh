#!/usr/bin/env bash
# Builds the C++ tests and the extension with AddressSanitizer and UBSan into
# build/asan, runs the C++ tests, then the Python tests against that extension.
# The sanitizer runtime has to be preloaded into python.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELATRO_SANITIZE=ON \
      -DVELATRO_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build/asan -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j "$(nproc)"

stage=build/asan/stage/velatro
rm -rf "$stage" && mkdir -p "$stage"
cp python/velatro/*.py "$stage"/
cp build/asan/_native*.so "$stage"/
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export PYTHONPATH="$PWD/build/asan/stage"
python3 -m pytest -q -p no:cacheprovider "$@"
