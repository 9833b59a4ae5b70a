"""permute_rows against a[:] = a[p] and numpy.take, for time and for extra peak memory.

At the memory-resident size, following a cycle is a chain of dependent loads, so our time per
row is shown next to the machine's dependent-load latency: a pointer-chasing loop over a random
single cycle in an int64 array of the same size (latency.py).
"""

from __future__ import annotations

import gc
import tracemalloc

import numpy as np

import norvale.cython.permute_rows as pr
from latency import compile_chase, dependent_load_ns
from timing import Contender, Group, TimingPlan, compare, size_label

SEED = 20240611
MIB = 1 << 20

def rss_kib(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def extra_peak(operation) -> tuple[int, int]:
    """(tracemalloc peak, peak RSS growth) in bytes over one call of `operation`."""
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
            clear.write("5")  # resets the peak RSS (VmHWM) to the current RSS
        resettable = True
    except OSError:
        resettable = False
    rss_before = rss_kib("VmRSS")
    tracemalloc.start()
    operation()
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    rss_growth = (rss_kib("VmHWM") - rss_before) * 1024 if resettable else -1
    return traced_peak, rss_growth


def format_bytes(count: int) -> str:
    if count < 0:
        return "n/a"
    if count >= MIB:
        return f"{count / MIB:.1f} MiB"
    return f"{count / 1024:.1f} KiB"


def make_array(rng: np.random.Generator, rows: int, row_shape: tuple[int, ...]) -> np.ndarray:
    if row_shape:
        return rng.standard_normal((rows, *row_shape))
    return rng.integers(-(2**62), 2**62, rows, dtype=np.int64)


class Permuter:
    """permute_rows on kept indices, with the refill from p that every call needs (it consumes them)."""

    def __init__(self, array: np.ndarray, p: np.ndarray):
        self.array, self.p, self.indices = array, p, np.empty_like(p)

    def refill(self) -> None:
        np.copyto(self.indices, self.p)  # a sequential copy, no allocation

    def contender(self) -> Contender:
        return Contender("permute_rows", pr.permute_rows, (self.array, self.indices), setup=self.refill)


def assign(array: np.ndarray, p: np.ndarray) -> None:
    array[:] = array[p]


def check_against_take(array: np.ndarray, p: np.ndarray) -> None:
    expected = np.take(array, p, axis=0)
    indices = p.copy()
    pr.permute_rows(array, indices)
    if not (np.array_equal(array, expected) and np.array_equal(indices, np.arange(len(p)))):
        raise AssertionError("permute_rows disagrees with numpy.take")
    del expected


CACHE_CASES = [("1-D int64", 10**5, ()), ("rows of 16 float64", 10**4, (16,))]
# Each row size takes its own path: gathered through indices (up to 8 bytes), several chains
# (up to 128 bytes, in fixed-size moves or a few overlapping pieces), one chain beyond.
ROW_SIZE_CASES = [("1-D uint8", (), np.uint8), ("1-D int16", (), np.int16), ("rows of 3 uint8", (3,), np.uint8),
                  ("1-D float32", (), np.float32), ("rows of 3 float32", (3,), np.float32),
                  ("rows of 2 float64", (2,), np.float64), ("rows of 3 float64", (3,), np.float64),
                  ("rows of 5 float64", (5,), np.float64)]
ROW_SIZE_ROWS = 10**5
MEMORY_CASES = [("1-D int64", (256 * MIB) // 8, ()), ("rows of 16 float64", (256 * MIB) // 128, (16,))]


def run(plan: TimingPlan) -> list[Group]:
    rng = np.random.default_rng(SEED)
    cache = Group(
        title="permute_rows: in-place reorder, cache-resident sizes",
        notes=["ours = permute_rows(a, indices). The call consumes its indices, so they are refilled from p "
               "(np.copyto into a kept buffer) before every call, outside the timed span; each call is "
               "timed on its own.",
               "Each contender is checked against numpy.take before timing; all see random permutations."],
    )
    for label, rows, row_shape in CACHE_CASES:
        array, p = make_array(rng, rows, row_shape), rng.permutation(rows)
        check_against_take(array.copy(), p)
        cache.cases.append(compare(
            label, size_label(rows) + (f" x {row_shape[0]}" if row_shape else ""),
            Permuter(array, p).contender(),
            [Contender("numpy.take(a, p, axis=0)", np.take, (array, p), {"axis": 0}),
             Contender("a[:] = a[p]", assign, (array, p))],
            plan, params={"rows": rows, "row_bytes": array[0].nbytes, "seed": SEED},
            data=f"{array.nbytes / MIB:.2f} MiB", agree=lambda ours, anchor: True))
        del array, p

    sizes = Group(
        title=f"permute_rows: row sizes, {size_label(ROW_SIZE_ROWS)} rows",
        notes=["ours as above, against numpy.take(a, p, axis=0); random permutations, random values."],
    )
    for label, row_shape, dtype in ROW_SIZE_CASES:
        array = rng.integers(0, 256, (ROW_SIZE_ROWS, *row_shape)).astype(dtype)
        p = rng.permutation(ROW_SIZE_ROWS)
        check_against_take(array.copy(), p)
        sizes.cases.append(compare(
            label, size_label(ROW_SIZE_ROWS), Permuter(array, p).contender(),
            [Contender("numpy.take(a, p, axis=0)", np.take, (array, p), {"axis": 0})],
            plan, params={"rows": ROW_SIZE_ROWS, "row_bytes": array[0].nbytes, "seed": SEED},
            data=f"{array[0].nbytes} byte{'s' if array[0].nbytes != 1 else ''} a row",
            agree=lambda ours, anchor: True))
        del array, p

    memory = Group(
        title="permute_rows: in-place reorder, memory-resident size (256 MiB array)",
        notes=["ours as above. 'per row' = our time per row; 'load latency' = one dependent load of a "
               "pointer chase around a random single cycle through a 256 MiB int64 array, measured in "
               "this run (C loop compiled at run time, called through ctypes)."],
    )
    library = compile_chase()
    latency = dependent_load_ns(library, (256 * MIB) // 8, rng, 4_000_000) if library else float("nan")
    memory.notes.append(f"Dependent-load latency: {latency:.1f} ns per load." if library
                        else "No C compiler found: dependent-load latency not measured.")
    for label, rows, row_shape in MEMORY_CASES:
        array, p = make_array(rng, rows, row_shape), rng.permutation(rows)
        check_against_take(array, p)
        permuter = Permuter(array, p)
        permuter.refill()  # filled before, so that only the reorder is measured
        peaks = {
            "permute_rows": extra_peak(lambda: pr.permute_rows(array, permuter.indices)),
            "numpy.take(a, p, axis=0)": extra_peak(lambda: np.take(array, p, axis=0)),
            "a[:] = a[p]": extra_peak(lambda: assign(array, p)),
        }
        result = compare(
            label, size_label(rows) + (f" x {row_shape[0]}" if row_shape else ""),
            permuter.contender(),
            [Contender("numpy.take(a, p, axis=0)", np.take, (array, p), {"axis": 0}),
             Contender("a[:] = a[p]", assign, (array, p))],
            plan, params={"rows": rows, "row_bytes": array[0].nbytes, "seed": SEED,
                          "dependent_load_ns": latency,
                          "extra_peak_bytes": {name: {"tracemalloc": t, "rss": r}
                                               for name, (t, r) in peaks.items()}},
            agree=lambda ours, anchor: True)
        per_row = result.ours.median_ns / rows
        result.data = (f"per row {per_row:.1f} ns = {per_row / latency:.2f} x load latency"
                       if library else f"per row {per_row:.1f} ns")
        memory.cases.append(result)
        memory.notes.append(
            f"{label}: extra peak memory (tracemalloc / peak RSS growth): "
            + "; ".join(f"{name} {format_bytes(t)} / {format_bytes(r)}" for name, (t, r) in peaks.items()))
        del array, p, permuter
        gc.collect()
    return [cache, sizes, memory]
