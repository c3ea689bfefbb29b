#!/usr/bin/env bash
# The concurrency tests' hammering for longer: each test for the given number
# of seconds (default 60) against the installed module, printing the
# operations done per object. Usage: scripts/run_soak.sh [seconds] [pytest args]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_module.sh
export PATH="$PWD/.venv/bin:$PATH"
seconds=${1:-60}
shift || true
cd tests/python && KIV_SOAK_SECONDS="$seconds" python -m pytest -q -p no:cacheprovider test_concurrency.py "$@"
