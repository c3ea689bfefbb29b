#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and run kiv_rs:
# system packages through apt-get and a Python virtual environment in .venv
# with the build backend and the test and demo dependencies. Idempotent:
# a second run installs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

SYSTEM_PACKAGES=(g++ make pkg-config libzstd-dev libturbojpeg0-dev libgtest-dev)
PYTHON_PACKAGES=(
  "scikit-build-core>=0.10" "cmake>=3.26" ninja
  "pytest>=8" "hypothesis>=6" "mcap>=1.2" "msgpack>=1.0" "Pillow>=10" "zstandard>=0.22" "mypy>=1.10"
  "matplotlib>=3.8" "numpy>=1.26" "pylibjpeg-libjpeg>=2"
  "orjson>=3.9"
)

missing=()
for package in "${SYSTEM_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "bootstrap: installing system packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" ||
    { $sudo apt-get update && $sudo apt-get install -y --no-install-recommends "${missing[@]}"; }
fi

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "bootstrap: creating .venv with $($PYTHON --version)"
  $PYTHON -m venv .venv
fi
stamp=.venv/.kiv-bootstrap
wanted=$(printf '%s\n' "${PYTHON_PACKAGES[@]}")
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
  echo "bootstrap: installing Python packages into .venv"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q "${PYTHON_PACKAGES[@]}"
  printf '%s' "$wanted" > "$stamp"
fi
