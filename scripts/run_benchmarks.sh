#!/usr/bin/env bash
# Every benchmark under bench/ in one run, printed as one table of ratios
# against peers. Sets up a fresh machine on the way, with the optional JPEG
# peers (simplejpeg, OpenCV). Arguments pick benchmark modules by name
# (e.g. bench_buses); none runs them all. Run it on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_module.sh
.venv/bin/python -m pip install -q "simplejpeg>=1.7" "opencv-python-headless>=4.8"
exec .venv/bin/python bench/run_all.py "$@"
