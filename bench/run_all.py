"""Runs every benchmark under bench/ and prints one table of ratios."""

from __future__ import annotations

import importlib
import platform
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from harness import print_table  # noqa: E402

MODULES = ["bench_buses", "bench_monitors", "bench_image_writer", "bench_recorder", "bench_serializer", "bench_record_reader"]


def main() -> None:
    only = set(sys.argv[1:])
    rows = []
    for name in MODULES:
        if only and name not in only:
            continue
        module = importlib.import_module(name)
        rows.extend(module.run())
    print(f"# {platform.processor() or platform.machine()}, {platform.python_implementation()} {platform.python_version()}")
    print_table(rows)


if __name__ == "__main__":
    main()
