"""The shipped programs run end to end, and the type stubs match the module."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import kiv_rs

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


def run(args, **kwargs):
    env = {**os.environ, "MYPYPATH": str(ROOT / "src" / "python"), "PYTHONPATH": str(Path(kiv_rs.__file__).parent)}
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, timeout=300, **kwargs)


@pytest.fixture(scope="module")
def demo_recording(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo") / "loop.mcap"
    # A modest rate keeps the run honest on a loaded CI machine: the loop must keep it.
    result = run([str(EXAMPLES / "guarded_loop.py"), "--rate", "200", "--duration", "1", "--out", str(out), "--no-progress"])
    assert result.returncode == 0, result.stdout + result.stderr
    return out, result.stdout


def test_demo_records_every_cycle(demo_recording):
    out, report = demo_recording
    assert "cycles run        200 of 200" in report
    assert "recorded          200 of 200 accepted cycles (0 refused)" in report
    assert "frames: cam0" in report and "cam1" in report


def test_inspector_summarizes_plots_and_extracts(demo_recording, tmp_path):
    out, _ = demo_recording
    plot, frames = tmp_path / "plot.png", tmp_path / "frames"
    result = run([str(EXAMPLES / "inspect_recording.py"), str(out), "--plot", str(plot), "--frames", str(frames)])
    assert result.returncode == 0, result.stderr
    assert "cycles      200 over" in result.stdout
    assert "gaps        0 (0 sequence numbers missing)" in result.stdout
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and plot.stat().st_size > 20_000
    jpegs = sorted(frames.glob("*.jpg"))
    assert jpegs and all(p.read_bytes()[:2] == b"\xff\xd8" for p in jpegs)


def test_demo_help_explains_the_options():
    result = run([str(EXAMPLES / "guarded_loop.py"), "--help"])
    assert result.returncode == 0
    for option in ["--rate", "--duration", "--out", "--cameras"]:
        assert option in result.stdout


def test_stubs_match_the_module():
    result = run(["-m", "mypy.stubtest", "kiv_rs"])
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_type_check_against_the_stubs():
    result = run(["-m", "mypy", "--cache-dir", str(ROOT / "build" / "mypy-cache"), str(EXAMPLES)], cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr


def test_readme_cycle_example_records_every_cycle(tmp_path):
    """The README's "One cycle" code runs as printed and leaves a finished recording."""
    readme = (ROOT / "README.md").read_text()
    section = readme.split("## One cycle", 1)[1]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    result = run(["-c", code], cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    from mcap.reader import make_reader

    with open(tmp_path / "run.mcap", "rb") as stream:
        summary = make_reader(stream).get_summary()
    assert summary is not None and summary.statistics.message_count == 1000
