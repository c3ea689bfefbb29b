"""The typed cycle record reader on a realistic record's JSON text, against
json.loads of the same text.

The reader is reached from Python only through McapWriter.write_cycle, so
it is called here through a small native helper (bench/native) loaded with
ctypes; the ctypes call is counted against the reader. The helper is built
on first use into build/bench.
"""

from __future__ import annotations

import ctypes
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

from harness import Row, time_calls
from records import realistic_record

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
LIBRARY = BUILD / "bench" / "native" / "libkiv_bench_native.so"


def tool(name: str) -> str:
    beside_python = Path(sys.executable).parent / name
    return str(beside_python) if beside_python.exists() else (shutil.which(name) or name)


def native_library() -> ctypes.CDLL:
    if not LIBRARY.exists() or os.environ.get("KIV_BENCH_REBUILD"):
        subprocess.run([tool("cmake"), "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
                        f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}", "-DCMAKE_BUILD_TYPE=Release",
                        "-DKIV_BUILD_BENCHMARKS=ON", "-DKIV_BUILD_PYTHON=OFF", "-DKIV_BUILD_TESTS=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run([tool("cmake"), "--build", str(BUILD), "-j", "2", "--target", "kiv_bench_native"],
                       check=True, stdout=subprocess.DEVNULL)
    library = ctypes.CDLL(str(LIBRARY))
    library.kiv_bench_read_cycle_record.argtypes = (ctypes.c_char_p, ctypes.c_size_t)
    library.kiv_bench_read_cycle_record.restype = ctypes.c_int
    return library


def run() -> list[Row]:
    text = json.dumps(realistic_record())
    data = text.encode()
    read = native_library().kiv_bench_read_cycle_record
    if read(data, len(data)) != 0:
        raise AssertionError("the realistic record does not read")
    size = len(data)
    subject, peer = time_calls(lambda: read(data, size), lambda: json.loads(text))
    return [Row("read_cycle_record (typed)", subject, "json.loads(text)", peer, "<= 0.5x json.loads",
                subject <= 0.5 * peer)]
