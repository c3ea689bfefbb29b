#!/usr/bin/env bash
# The crash, full-disk, exit and endurance tests for longer, against the
# installed module: many more SIGKILL runs (default 200) and a longer
# endurance run (default 300,000 cycles, a few minutes). The million-cycle
# run is `python bench/endurance.py`.
# Usage: scripts/run_faults.sh [crash-runs] [endurance-cycles] [pytest args]
# KIV_CRASH_SEED repeats the kill points of an earlier run (its seed is printed).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_module.sh
export PATH="$PWD/.venv/bin:$PATH"
runs=${1:-200}
cycles=${2:-300000}
shift $(($# < 2 ? $# : 2))
cd tests/python && KIV_CRASH_RUNS="$runs" KIV_ENDURANCE_CYCLES="$cycles" python -m pytest -q -p no:cacheprovider \
  test_recorder_crash.py test_recorder_full_disk.py test_recorder_exit.py test_endurance.py "$@"
