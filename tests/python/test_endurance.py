"""Endurance in the normal run: the guarded loop's recording path for
KIV_ENDURANCE_CYCLES cycles (50,000 unless set; about half a minute), as
bench/endurance.py runs it for a million, in a fresh interpreter so that only
the loop's memory is measured."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from sanitizers import address_sanitizer_loaded

CYCLES = int(os.environ.get("KIV_ENDURANCE_CYCLES", "50000"))
BENCH = Path(__file__).resolve().parents[2] / "bench" / "endurance.py"
MAX_GROWTH_PER_CYCLE = 16.0  # bytes: half of one small allocation a cycle; allocator noise stays near 4


@pytest.mark.skipif(address_sanitizer_loaded(), reason="ASan's quarantine grows resident memory by design")
def test_memory_stays_flat_and_every_accepted_cycle_is_recorded(tmp_path, figures):
    run = subprocess.run([sys.executable, str(BENCH), "--cycles", str(CYCLES), "--dir", str(tmp_path), "--json",
                          "--max-growth-bytes", str(MAX_GROWTH_PER_CYCLE)],
                         capture_output=True, text=True, timeout=900)  # fmt: skip
    assert run.stdout, run.stderr
    result = json.loads(run.stdout.splitlines()[-1])
    mb = 1e6
    figures("endurance").append(
        f"{result['cycles']:,} cycles (telemetry {'on' if result['telemetry'] else 'off'}) in {result['seconds']:.0f} s, "
        f"{result['recorded']:,} of {result['accepted']:,} "
        f"accepted recorded ({result['refused']} refused); resident {result['rss_after_warm_up'] / mb:.1f} MB after "
        f"the warm-up, {result['rss_end'] / mb:.1f} MB at the end, growth {result['growth_per_cycle']:+.2f} bytes/cycle"
    )
    assert result["recorded"] == result["accepted"] > 0
    assert result["growth_per_cycle"] <= MAX_GROWTH_PER_CYCLE, result["samples"]
    assert run.returncode == 0, run.stderr
