"""run_distinct against numpy.unique with return_index, return_inverse and return_counts."""

from __future__ import annotations

from typing import Any

import numpy as np

import norvale.cython.run_distinct as rd
from timing import Contender, Group, TimingPlan, compare, size_label

SEED = 20240611
FLAGS = dict(return_index=True, return_inverse=True, return_counts=True)


def same_members(ours: Any, anchor: Any) -> bool:
    """Both give (distinct, index, inverse, counts); NumPy may shape the inverse like its input."""
    return len(ours) == len(anchor) == 4 and all(
        np.array_equal(np.asarray(a).ravel() if i == 2 else a, np.asarray(b).ravel() if i == 2 else b)
        for i, (a, b) in enumerate(zip(ours, anchor)))


def unique(array: np.ndarray, axis: int | None) -> tuple:
    return np.unique(array, axis=axis, **FLAGS)


def with_argsort(array: np.ndarray) -> tuple:
    return rd.run_distinct(array, order=np.argsort(array, kind="stable"), **FLAGS)


def run(plan: TimingPlan) -> list[Group]:
    group = Group(
        title="run_distinct: distinct rows of sorted input, or of input with its sort order",
        notes=[
            "All four results requested on both sides (distinct rows, first index, inverse, counts); "
            "every anchor's result is checked against ours before timing.",
            "numpy.unique sorts in every case; run_distinct makes one pass over sorted neighbours "
            "and one over the run flags.",
            "'order given': the stable argsort is made once, outside the timing, as a caller that "
            "keeps its sort order has it; '+ argsort' times the argsort inside our call.",
        ],
    )
    rng = np.random.default_rng(SEED)
    n = 10**7
    values = rng.integers(0, 10**5, n)
    sorted_values = np.sort(values)
    distinct = len(np.unique(sorted_values))
    group.cases.append(compare(
        "sorted 1-D int64", size_label(n),
        Contender("run_distinct presorted", rd.run_distinct, (sorted_values,), dict(presorted=True, **FLAGS)),
        [Contender("numpy.unique", unique, (sorted_values, None))], plan,
        params={"rows": n, "distinct": distinct, "dtype": "int64", "seed": SEED},
        data=f"{distinct} distinct", agree=same_members))
    del sorted_values

    rows = 10**6
    table = rng.integers(0, 8, (rows, 4))
    sorted_table = table[np.lexsort(table.T[::-1])]
    distinct_rows = len(np.unique(sorted_table, axis=0))
    group.cases.append(compare(
        "sorted 2-D int64 rows, axis 0", f"{size_label(rows)} x 4",
        Contender("run_distinct presorted", rd.run_distinct, (sorted_table,), dict(presorted=True, **FLAGS)),
        [Contender("numpy.unique axis=0", unique, (sorted_table, 0))], plan,
        params={"rows": rows, "columns": 4, "distinct": distinct_rows, "dtype": "int64", "seed": SEED},
        data=f"{distinct_rows} distinct", agree=same_members))
    del sorted_table

    order = np.argsort(values, kind="stable")
    group.cases.append(compare(
        "unsorted 1-D int64, order given", size_label(n),
        Contender("run_distinct order=argsort", rd.run_distinct, (values,), dict(order=order, **FLAGS)),
        [Contender("numpy.unique", unique, (values, None))], plan,
        params={"rows": n, "distinct": distinct, "dtype": "int64", "seed": SEED},
        data=f"{distinct} distinct", agree=same_members))
    group.cases.append(compare(
        "unsorted 1-D int64, + argsort", size_label(n),
        Contender("argsort + run_distinct", with_argsort, (values,)),
        [Contender("numpy.unique", unique, (values, None))], plan,
        params={"rows": n, "distinct": distinct, "dtype": "int64", "seed": SEED},
        data=f"{distinct} distinct", agree=same_members))
    del order

    table_order = np.lexsort(table.T[::-1])
    group.cases.append(compare(
        "unsorted 2-D int64 rows, order given", f"{size_label(rows)} x 4",
        Contender("run_distinct order=lexsort", rd.run_distinct, (table,), dict(order=table_order, **FLAGS)),
        [Contender("numpy.unique axis=0", unique, (table, 0))], plan,
        params={"rows": rows, "columns": 4, "distinct": distinct_rows, "dtype": "int64", "seed": SEED},
        data=f"{distinct_rows} distinct", agree=same_members))
    return [group]
