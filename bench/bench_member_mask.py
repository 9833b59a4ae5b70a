"""member_mask's typed functions against numpy.isin and pandas' isin."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

import numpy as np
import pandas as pd

import norvale.cython.member_mask as member_mask
from timing import Contender, Group, TimingPlan, compare, size_label

SIZES = [(100, 100), (10**4, 10**3), (10**6, 10**5), (10**7, 10**6)]
SEED = 20240611


def pandas_isin(elements: np.ndarray, test_elements: np.ndarray) -> np.ndarray:
    # Index(..., copy=False).isin is the cheaper of pandas' two public ways: it
    # returns the ndarray directly, while Series(...).isin wraps the result in a
    # new Series (about 2x the cost at 100 elements). pandas.core.algorithms.isin
    # skips the Index too but is internal API, so it is not the anchor.
    return pd.Index(elements, copy=False).isin(test_elements)


@dataclass(frozen=True)
class Variant:
    """One data shape: which function, which dtype, and how its value pool is drawn."""

    label: str
    ours: Callable
    dtype: type
    # Returns `count` distinct values of the dtype.
    pool: Callable[[np.random.Generator, int], np.ndarray]
    table_applies: bool


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
    Variant("member_mask_long", member_mask.member_mask_long, np.int64, dense_int64, True),
    Variant("member_mask_long, wide values", member_mask.member_mask_long, np.int64, wide_int64, False),
    Variant("member_mask_ushort", member_mask.member_mask_ushort, np.uint16, spread_uint16, True),
    Variant("member_mask_double", member_mask.member_mask_double, np.float64, spread_float64, False),
]


def make_data(variant: Variant, n: int, m: int, seed: list[int]) -> tuple[np.ndarray, np.ndarray]:
    """Elements and test elements drawn from one pool of 2*m values, so about half are found.

    The uint16 pool holds at most 65536 values; once m exceeds half of it, the
    test elements repeat and most elements are found.
    """
    rng = np.random.default_rng(seed)
    pool = variant.pool(rng, 2 * m)
    test_elements = rng.choice(pool, size=m, replace=m > pool.size // 2)
    elements = rng.choice(pool, size=n)
    return elements.astype(variant.dtype), test_elements.astype(variant.dtype)


def run(plan: TimingPlan) -> list[Group]:
    group = Group(
        title="member_mask: typed membership tests (elements / test elements)",
        notes=[
            "numpy.isin's default picks the table method itself for integer inputs whose value "
            "range is at most 6x(elements + test elements), so on the dense int64 and the larger "
            "uint16 cases it equals kind='table'; on wide int64 and float64 it sorts.",
            "pandas: pandas.Index(elements, copy=False).isin(test_elements).",
        ],
    )
    for variant_index, variant in enumerate(VARIANTS):
        for size_index, (n, m) in enumerate(SIZES):
            elements, test_elements = make_data(variant, n, m, [SEED, variant_index, size_index])
            anchors = [Contender("numpy.isin", np.isin, (elements, test_elements))]
            if variant.table_applies:
                anchors.append(Contender("numpy.isin kind='table'", np.isin, (elements, test_elements),
                                         {"kind": "table"}))
            anchors.append(Contender("pandas isin", pandas_isin, (elements, test_elements)))
            ours = Contender(variant.ours.__name__, variant.ours, (elements, test_elements))
            found = float(variant.ours(elements, test_elements).mean())
            group.cases.append(compare(
                variant.label, f"{size_label(n)}/{size_label(m)}", ours, anchors, plan,
                params={"elements": n, "test_elements": m, "dtype": np.dtype(variant.dtype).name,
                        "found_fraction": round(found, 3), "seed": [SEED, variant_index, size_index]},
                data=f"{found:.0%} found",
            ))
            del elements, test_elements, anchors, ours
    return [group]
