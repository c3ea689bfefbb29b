#!/usr/bin/env bash
# Every test: the core tests (GoogleTest under ctest) and the Python suite
# against the installed module. Sets up a fresh machine on the way.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
export PATH="$PWD/.venv/bin:$PATH"

jobs=$(nproc)
cmake -S . -B build/core-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKIV_BUILD_TESTS=ON -DKIV_BUILD_PYTHON=OFF -DKIV_WERROR=ON > /dev/null
cmake --build build/core-tests -j "$jobs"
ctest --test-dir build/core-tests --output-on-failure -j "$jobs"

bash scripts/install_module.sh
cd tests/python && python -m pytest -q "$@"
