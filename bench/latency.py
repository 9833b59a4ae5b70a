"""The machine's dependent-load latency, for benchmarks whose time is set by it.

A pointer chase around one random cycle through an int64 array: a few lines of C compiled with
the system compiler when the benchmark runs and called through ctypes, in the benchmark's own
process, on an array NumPy allocated like the benchmark's arrays (same pages, same huge-page
policy). A Python loop would measure the interpreter, and our own modules would measure
themselves.
"""

from __future__ import annotations

import ctypes
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

CHASE_SOURCE = r"""
#include <stdint.h>
/* Follows next[] for `steps` steps from `start`; the result keeps the loop from being dropped. */
int64_t chase(const int64_t *next, int64_t start, int64_t steps) {
    int64_t i = start;
    while (steps-- > 0) i = next[i];
    return i;
}
"""


def compile_chase() -> ctypes.CDLL | None:
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        return None
    folder = Path(tempfile.mkdtemp(prefix="bench_chase_"))
    source, library = folder / "chase.c", folder / "chase.so"
    source.write_text(CHASE_SOURCE)
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    chase = ctypes.CDLL(str(library))
    chase.chase.restype = ctypes.c_int64
    chase.chase.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64]
    return chase


def dependent_load_ns(library: ctypes.CDLL, entries: int, rng: np.random.Generator, steps: int) -> float:
    """Nanoseconds per step of a pointer chase around one random cycle through `entries` int64."""
    visit = rng.permutation(entries)
    following = np.empty(entries, dtype=np.int64)
    following[visit[:-1]] = visit[1:]
    following[visit[-1]] = visit[0]
    del visit
    address = following.ctypes.data
    library.chase(address, 0, min(steps, entries) // 4)  # warm the page tables
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter_ns()
        library.chase(address, 0, steps)
        best = min(best, (time.perf_counter_ns() - start) / steps)
    return best
