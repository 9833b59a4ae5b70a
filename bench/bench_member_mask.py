"""member_mask's typed functions against numpy.isin, pandas' isin, polars' is_in and pyarrow's is_in.

Each case also times the cheapest elementwise pass over the same elements,
np.not_equal(elements, 0, out=...), as a floor: no membership test can beat it. The largest hash
table is also set against the machine's dependent-load latency over as many bytes (latency.py).
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

# Every contender runs on one thread; polars reads this when it is first imported.
os.environ["POLARS_MAX_THREADS"] = "1"
if __name__ == "__main__":
    # Run on its own with -P, which leaves this folder off sys.path; appended, as report.py does.
    # report.py also keeps OpenBLAS to one thread, before NumPy is first imported.
    sys.path.append(str(Path(__file__).resolve().parent))
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import polars as pl  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.compute as pc  # noqa: E402

import norvale.cython.member_mask as member_mask  # noqa: E402
from latency import compile_chase, dependent_load_ns  # noqa: E402
from timing import Contender, Group, TimingPlan, compare, outputs_equal, size_label  # noqa: E402

SIZES = [(100, 100), (10**4, 10**3), (10**6, 10**5), (10**7, 10**6)]
SEED = 20240611
FLOOR = "floor: np.not_equal(elements, 0, out=)"
# A hash table ends at about 16 bytes per distinct 8-byte test value.
TABLE_BYTES_PER_KEY = 16


def pandas_isin(elements: np.ndarray, test_elements: np.ndarray) -> np.ndarray:
    # Index(..., copy=False).isin is the cheaper of pandas' two public ways: it
    # returns the ndarray directly, while Series(...).isin wraps the result in a
    # new Series (about 2x the cost at 100 elements). pandas.core.algorithms.isin
    # skips the Index too but is internal API, so it is not the anchor.
    return pd.Index(elements, copy=False).isin(test_elements)


# Polars and pyarrow get their inputs in their own form, built before the clock starts, and
# keep their results in it: the most favourable terms for them.
def polars_is_in(elements: pl.Series, test_elements: pl.Series) -> pl.Series:
    return elements.is_in(test_elements)


def pyarrow_is_in(elements: pa.Array, test_elements: pa.Array) -> pa.Array:
    return pc.is_in(elements, value_set=test_elements)


class Floor:
    """The floor's result: not a membership answer, so it is left out of the agreement check."""


def floor(elements: np.ndarray, out: np.ndarray) -> type[Floor]:
    np.not_equal(elements, 0, out=out)
    return Floor


def agree(ours: Any, anchor: Any) -> bool:
    return anchor is Floor or outputs_equal(ours, anchor)


@dataclass(frozen=True)
class Variant:
    """One data shape: which function, which dtype, and how its value pool is drawn."""

    label: str
    ours: Callable
    dtype: type
    # Returns `count` distinct values of the dtype.
    pool: Callable[[np.random.Generator, int], np.ndarray]
    table_applies: bool
    sizes: list[tuple[int, int]] = field(default_factory=lambda: SIZES)
    # Elements drawn from the test elements only, so that every one is found.
    all_found: bool = False


def dense_int64(rng: np.random.Generator, count: int) -> np.ndarray:
    return rng.permutation(count).astype(np.int64)


def wide_int64(rng: np.random.Generator, count: int) -> np.ndarray:
    # Values spread over most of the int64 range (like keys or hashes): far too
    # wide for a lookup table, so numpy.isin has to sort.
    return np.unique(rng.integers(-(2**62), 2**62, size=count, dtype=np.int64))


def spread_uint16(rng: np.random.Generator, count: int) -> np.ndarray:
    return rng.permutation(2**16)[: min(count, 2**16)].astype(np.uint16)


def spread_float64(rng: np.random.Generator, count: int) -> np.ndarray:
    return np.unique(rng.standard_normal(count) * 1e6)


VARIANTS = [
    Variant("member_mask_long, dense values", member_mask.member_mask_long, np.int64, dense_int64, True),
    Variant("member_mask_long, wide values", member_mask.member_mask_long, np.int64, wide_int64, False,
            sizes=[*SIZES, (10**7, 10**3)]),
    Variant("member_mask_long, wide values, every element occurs", member_mask.member_mask_long, np.int64,
            wide_int64, False, sizes=[(10**6, 10**5), (10**7, 10**6), (10**7, 10**3)], all_found=True),
    Variant("member_mask_ushort", member_mask.member_mask_ushort, np.uint16, spread_uint16, True,
            sizes=[*SIZES, (10**7, 10**3)]),
    Variant("member_mask_double", member_mask.member_mask_double, np.float64, spread_float64, False),
]


def make_data(variant: Variant, n: int, m: int, seed: list[int]) -> tuple[np.ndarray, np.ndarray]:
    """Elements and test elements drawn from one pool of 2*m values, so about half are found
    (all of them for an all_found variant, whose elements come from the test elements).

    The uint16 pool holds at most 65536 values; once m exceeds half of it, the
    test elements repeat and most elements are found.
    """
    rng = np.random.default_rng(seed)
    pool = variant.pool(rng, 2 * m)
    test_elements = rng.choice(pool, size=m, replace=m > pool.size // 2)
    elements = rng.choice(test_elements if variant.all_found else pool, size=n)
    return elements.astype(variant.dtype), test_elements.astype(variant.dtype)


def run(plan: TimingPlan) -> list[Group]:
    group = Group(
        title="member_mask: typed membership tests (elements / test elements)",
        wide=True,
        floor=FLOOR,
        notes=[
            "Each cell: the anchor's time, and in brackets anchor time / our time (above 1: ours "
            "is faster); in the floor's column, our time as a multiple of the floor's.",
            "numpy.isin's default picks the table method itself for integer inputs whose value "
            "range is at most 6x(elements + test elements), so on the dense int64 and the larger "
            "uint16 cases it equals kind='table'; on wide int64 and float64 it sorts.",
            "pandas: pandas.Index(elements, copy=False).isin(test_elements).",
            "polars: pl.Series(elements).is_in(pl.Series(test_elements).implode()) with "
            "POLARS_MAX_THREADS=1; pyarrow: pyarrow.compute.is_in(elements, value_set=test_elements). "
            "Both get their inputs converted before timing and keep their own result type.",
            f"{FLOOR}: one elementwise pass over the elements into a preallocated result, the "
            "least that any answer for every element costs.",
        ],
    )
    for variant_index, variant in enumerate(VARIANTS):
        for size_index, (n, m) in enumerate(variant.sizes):
            elements, test_elements = make_data(variant, n, m, [SEED, variant_index, size_index])
            anchors = [Contender("numpy.isin", np.isin, (elements, test_elements))]
            if variant.table_applies:
                anchors.append(Contender("numpy.isin kind='table'", np.isin, (elements, test_elements),
                                         {"kind": "table"}))
            anchors += [
                Contender("pandas isin", pandas_isin, (elements, test_elements)),
                Contender("polars is_in", polars_is_in, (pl.Series(elements), pl.Series(test_elements).implode())),
                Contender("pyarrow is_in", pyarrow_is_in, (pa.array(elements), pa.array(test_elements))),
                Contender(FLOOR, floor, (elements, np.empty(n, dtype=np.bool_))),
            ]
            ours = Contender(variant.ours.__name__, variant.ours, (elements, test_elements))
            found = float(variant.ours(elements, test_elements).mean())
            group.cases.append(compare(
                variant.label, f"{size_label(n)}/{size_label(m)}", ours, anchors, plan,
                params={"elements": n, "test_elements": m, "dtype": np.dtype(variant.dtype).name,
                        "found_fraction": round(found, 3), "seed": [SEED, variant_index, size_index]},
                data=f"{found:.0%} found", agree=agree,
            ))
            del elements, test_elements, anchors, ours
    group.notes += per_element_notes(group)
    return [group]


def per_element_notes(group: Group) -> list[str]:
    """Per element, the bitmap cases against the floor, and the cases with the largest hash
    table against a dependent load over as many bytes."""
    notes = []
    for case in group.cases:
        n = case.params["elements"]
        if n >= 10**6 and case.case.startswith(("member_mask_long, dense", "member_mask_ushort")):
            floor_ns = next(a.median_ns for a in case.anchors if a.name == FLOOR) / n
            notes.append(f"{case.case} {case.size}: {case.ours.median_ns / n:.3f} ns an element, "
                         f"the floor {floor_ns:.3f} ns.")
    wide = [c for c in group.cases if "wide" in c.case or c.case == "member_mask_double"]
    largest = max(c.params["test_elements"] for c in wide)
    table_bytes = TABLE_BYTES_PER_KEY * largest
    library = compile_chase()
    if library is None:
        return [*notes, "No C compiler found: dependent-load latency not measured."]
    latency = dependent_load_ns(library, table_bytes // 8, np.random.default_rng(SEED), 2_000_000)
    notes.append(f"Dependent-load latency over {table_bytes / 1e6:.0f} MB (the largest hash table, "
                 f"{size_label(largest)} test values): {latency:.1f} ns a load.")
    for case in wide:
        if case.params["test_elements"] == largest:
            n = case.params["elements"]
            notes.append(f"{case.case} {case.size}: {case.ours.median_ns / n:.2f} ns an element, "
                         f"{case.ours.median_ns / n / latency:.3f} x that latency.")
    return notes


if __name__ == "__main__":
    # This module alone, as Markdown: python -P bench_member_mask.py [--quick]
    import report

    quick_plan = TimingPlan.smoke() if "--quick" in sys.argv[1:] else TimingPlan.full()
    print(report.render(report.describe_machine(), quick_plan, run(quick_plan), {}))
