#!/usr/bin/env bash
# Runs every test: the C++ units through ctest (the micro-benchmarks are built too, so
# they keep compiling), mypy over a user's script, then the Python suite through pytest.
# Extra arguments are passed on to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DVELATRO_BUILD_TESTS=ON -DVELATRO_BUILD_BENCH=ON -DVELATRO_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

# A user's script over the public API must type-check: stubs and annotations stay true.
python3 -m mypy --strict tests/typing/user_api.py

python3 -m pytest -q "$@"
