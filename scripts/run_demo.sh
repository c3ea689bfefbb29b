#!/usr/bin/env bash
# The main job: sets up a fresh machine, installs kiv_rs into .venv and runs
# the example control loop. Extra arguments go to the example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_module.sh
.venv/bin/python examples/bus_tour.py "$@"
