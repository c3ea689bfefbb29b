"""Small file systems for tests of a disk that is full or read-only."""

import subprocess
from contextlib import contextmanager
from pathlib import Path

import pytest


@contextmanager
def tmpfs(path: Path, *options: str):
    """A tmpfs mounted at `path` (created if missing) while the block runs;
    skips the test where mounting is not allowed."""
    path.mkdir(exist_ok=True)
    command = ["mount", "-t", "tmpfs", "-o", ",".join(options or ("defaults",)), "tmpfs", str(path)]
    try:
        mounted = subprocess.run(command, capture_output=True, text=True)
    except FileNotFoundError:
        pytest.skip("no mount command")
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    try:
        yield path
    finally:
        subprocess.run(["umount", "--lazy", str(path)], check=True)
