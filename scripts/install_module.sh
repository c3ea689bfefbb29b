#!/usr/bin/env bash
# Builds the abi3 wheel of kiv_rs and installs it into .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
.venv/bin/python -m pip install -q --no-build-isolation .
