#!/usr/bin/env bash
# The main job: sets up a fresh machine, installs kiv_rs into .venv, runs the
# guarded control loop for 5 s at 500 Hz with two cameras, and reads the
# recording back into a summary and a plot under out/. Extra arguments go to
# the loop (see `python examples/guarded_loop.py --help`).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_module.sh
mkdir -p out
.venv/bin/python examples/guarded_loop.py --out out/guarded_loop.mcap "$@"
.venv/bin/python examples/inspect_recording.py out/guarded_loop.mcap --plot out/guarded_loop.png
