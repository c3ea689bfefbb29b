#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a
# while: scripts/fuzz.sh [seconds per target, default 60] [target ...].
# Installs clang and its fuzzer runtime when missing; the ordinary build and
# test run need neither. Corpora grow under build/fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-60}
shift || true
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(record_reader json_reader)

FUZZ_PACKAGES=(clang libclang-rt-14-dev)
missing=()
for package in "${FUZZ_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "fuzz: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" ||
    { $sudo apt-get update && $sudo apt-get install -y --no-install-recommends "${missing[@]}"; }
fi

bash scripts/bootstrap.sh  # cmake and ninja live in .venv
export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DKIV_BUILD_FUZZERS=ON -DKIV_BUILD_PYTHON=OFF -DKIV_BUILD_TESTS=OFF > /dev/null
cmake --build build/fuzz -j 2 --target "${TARGETS[@]/%/_fuzz}"

for target in "${TARGETS[@]}"; do
  corpus="build/fuzz/corpus/$target"
  mkdir -p "$corpus"
  cp -n tests/fuzz/seeds/* "$corpus/" 2>/dev/null || true
  echo "fuzz: $target for ${SECONDS_PER_TARGET}s"
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "build/fuzz/tests/fuzz/${target}_fuzz" "$corpus" -dict=tests/fuzz/json.dict \
    -max_total_time="$SECONDS_PER_TARGET" -max_len=8192 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/${target}-"
done
