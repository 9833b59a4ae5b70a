"""span_distinct (with our span_rank) against the plain NumPy way and a Python dict of bytes."""

from __future__ import annotations

from typing import Any

import numpy as np

import norvale.cython.span_distinct as span_distinct_module
import norvale.cython.span_rank as span_rank_module
from timing import Contender, Group, TimingPlan, compare, format_ns, size_label

span_distinct = span_distinct_module.span_distinct
span_rank = span_rank_module.span_rank

SRC_SHAPE = (10**4, 64)
MAX_LENGTH = 32
# (ranges, distinct (row, start, length) triples they are drawn from)
SIZES = [(10**5, 2 * 10**4), (10**6, 2 * 10**4), (10**6, 2 * 10**5)]
SEED = 20240612


def make_data(n: int, pool: int, seed: list[int]) -> tuple[np.ndarray, ...]:
    """n ranges of 0 to 32 bytes, drawn with repeats from `pool` distinct positions of a random matrix."""
    rng = np.random.default_rng(seed)
    src = rng.integers(0, 256, size=SRC_SHAPE, dtype=np.uint8)
    rows = rng.integers(0, SRC_SHAPE[0], size=pool)
    lengths = rng.integers(0, MAX_LENGTH + 1, size=pool)
    starts = rng.integers(0, SRC_SHAPE[1] - lengths + 1)
    pick = rng.integers(0, pool, size=n)
    return src, rows[pick].astype(np.intp), starts[pick].astype(np.intp), (starts + lengths)[pick].astype(np.intp)


def numpy_way(src, rows, starts, ends):
    """Every range zero-padded into one row with its length in an extra column, then numpy.unique."""
    lengths = ends - starts
    columns = np.arange(MAX_LENGTH)
    inside = columns < lengths[:, None]
    picked = src[rows[:, None], np.minimum(starts[:, None] + columns, src.shape[1] - 1)]
    padded = np.zeros((rows.size, MAX_LENGTH + 1), np.uint8)
    padded[:, :MAX_LENGTH] = np.where(inside, picked, 0)
    padded[:, MAX_LENGTH] = lengths
    unique, inverse = np.unique(padded, axis=0, return_inverse=True)
    return unique[:, :MAX_LENGTH], inverse.reshape(-1)


def dict_way(src, rows, starts, ends):
    """A dict from bytes to group number, filled in input order; the rows padded afterwards."""
    data = src.tobytes()
    width = src.shape[1]
    groups: dict[bytes, int] = {}
    inverse = np.empty(rows.size, np.intp)
    for k, (row, start, end) in enumerate(zip(rows.tolist(), starts.tolist(), ends.tolist())):
        base = row * width
        inverse[k] = groups.setdefault(data[base + start:base + end], len(groups))
    unique = np.zeros((len(groups), MAX_LENGTH), np.uint8)
    for key, group in groups.items():
        unique[group, :len(key)] = np.frombuffer(key, np.uint8)
    return unique, inverse


def make_agree(expected_order: np.ndarray):
    def agree(ours: Any, anchor: Any) -> bool:
        if isinstance(anchor, np.ndarray):  # span_rank alone
            return bool(np.array_equal(anchor, expected_order))
        our_unique, our_inverse = ours
        unique, inverse = anchor
        # The dict numbers groups by first appearance: compare each range's padded sequence.
        return (len(unique) == len(our_unique)
                and bool(np.array_equal(unique[inverse], our_unique[our_inverse][:, :MAX_LENGTH])))
    return agree


def run(plan: TimingPlan) -> list[Group]:
    group = Group(
        title="span_distinct: distinct byte ranges (ranges / distinct positions they repeat)",
        notes=[
            f"Ranges of 0 to {MAX_LENGTH} bytes cut from a {SRC_SHAPE[0]} x {SRC_SHAPE[1]} random byte "
            "matrix; each range repeats one of a pool of distinct (row, start, length) positions.",
            "numpy.unique: every range zero-padded into a row with its length in an extra column, "
            "then numpy.unique(..., axis=0, return_inverse=True); the padding is part of its time.",
            "dict of bytes: one slice of src.tobytes() per range as the key of a dict, rows padded "
            "afterwards.",
            "span_rank alone: the sort order that span_distinct asks span_rank for, timed by itself.",
        ],
    )
    for index, (n, pool) in enumerate(SIZES):
        seed = [SEED, index]
        args = make_data(n, pool, seed)
        order = span_rank(*args)
        distinct = len(span_distinct(*args)[0])
        anchors = [
            Contender("numpy.unique", numpy_way, args),
            Contender("dict of bytes", dict_way, args),
            Contender("span_rank alone", span_rank, args),
        ]
        case = compare("span_distinct", f"{size_label(n)}/{size_label(pool)}",
                       Contender("span_distinct", span_distinct, args), anchors, plan,
                       params={"ranges": n, "pool": pool, "distinct": distinct, "seed": seed},
                       data=f"{distinct} distinct", agree=make_agree(order))
        group.cases.append(case)
        rank_time = case.anchors[-1].median_ns
        group.notes.append(
            f"{size_label(n)}/{size_label(pool)}: span_rank takes {format_ns(rank_time)} of "
            f"span_distinct's {format_ns(case.ours.median_ns)} "
            f"({rank_time / case.ours.median_ns:.0%}).")
        del args, order, anchors
    return [group]
