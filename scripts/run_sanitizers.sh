#!/usr/bin/env bash
# The core tests under ASan+UBSan and under TSan, and the Python suite against
# an ASan+UBSan build of the extension (the sanitizer runtimes preloaded into
# the uninstrumented interpreter). Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc)

configure() {  # build-dir sanitizers python(ON/OFF)
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR=ON \
    -DKIV_SANITIZE="$2" -DKIV_BUILD_PYTHON="$3" -DKIV_BUILD_TESTS="$4" > /dev/null
  cmake --build "$1" -j "$jobs"
}

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=abort_on_error=1:detect_stack_use_after_return=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== core tests, ASan+UBSan"
configure build/asan address,undefined OFF ON
ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== core tests, TSan"
configure build/tsan thread OFF ON
ctest --test-dir build/tsan --output-on-failure -j "$jobs"

echo "== Python suite against the ASan+UBSan extension"
configure build/asan-python address,undefined ON OFF
runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# The interpreter keeps objects alive at exit by design: leak reports would be noise.
(cd tests/python &&
  ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0:detect_stack_use_after_return=0" LD_PRELOAD="$runtimes" \
  PYTHONPATH="$PWD/../../build/asan-python/src/python" KIV_EXPECT_MODULE_DIR="$PWD/../../build/asan-python/src/python" \
  python -m pytest -q -p no:cacheprovider "$@")
