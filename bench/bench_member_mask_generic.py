"""member_mask's generic function against the typed function of the same element type and numpy.isin.

Two call forms: the plain call, which picks its entry from the first argument on every call,
and the subscripted call, which names the element type. The difference between the plain call
and the typed function is the cost of the selection.
"""

from __future__ import annotations

import functools
import gc
import itertools
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np

import norvale.cython.member_mask as member_mask
from timing import CaseResult, Contender, Group, TimingPlan, compare, format_ns, size_label

SEED = 20240612
generic = member_mask.member_mask


@dataclass(frozen=True)
class Shape:
    """One data shape: the typed function that matches the generic entry, and the data."""

    key: str
    typed: Callable
    dtype: type
    elements: int
    test_elements: int


SHAPES = [
    Shape("unsigned short", member_mask.member_mask_ushort, np.uint16, 100, 100),
    Shape("long long", member_mask.member_mask_long, np.int64, 10**6, 10**5),
]


def make_data(shape: Shape, seed: list[int]) -> tuple[np.ndarray, np.ndarray]:
    """Both vectors drawn from one pool of 2*m distinct values, so about half are found."""
    rng = np.random.default_rng(seed)
    m = shape.test_elements
    info = np.iinfo(shape.dtype)
    pool = np.unique(rng.integers(info.min, info.max, size=4 * m, dtype=shape.dtype, endpoint=True))
    pool = rng.permutation(pool)[: 2 * m]
    test_elements = rng.choice(pool, size=m, replace=False)
    elements = rng.choice(pool, size=shape.elements)
    return elements, test_elements


def subscripted_call(key: str) -> Callable:
    # The subscript is part of what is timed, so it needs a Python function around it; its
    # anchor below gets the same wrapper, so the two differ only by the subscript.
    def call(elements, test_elements):
        return generic[key](elements, test_elements)

    return call


def wrapped_typed(typed: Callable) -> Callable:
    def call(elements, test_elements):
        return typed(elements, test_elements)

    return call


def paired_cost_ns(slower: Callable[[], object], faster: Callable[[], object], plan: TimingPlan) -> float:
    """Median over many short rounds of (slower - faster) per call, each round timing the two
    back to back in alternating order: a cost of tens of nanoseconds stays visible on a
    machine whose load moves the medians of whole cases by microseconds."""
    rounds, inner = (60, 100) if plan.quick else (400, 200)
    differences = []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for round_index in range(rounds):
            pair = (slower, faster) if round_index % 2 == 0 else (faster, slower)
            times = []
            for call in pair:
                loop = itertools.repeat(None, inner)
                start = time.perf_counter_ns()
                for _ in loop:
                    call()
                times.append((time.perf_counter_ns() - start) / inner)
            if round_index % 2:
                times.reverse()
            differences.append(times[0] - times[1])
    finally:
        if gc_was_enabled:
            gc.enable()
    return float(np.median(differences))


def difference_note(case: CaseResult, slower: str, faster: str) -> str:
    """slower - faster, by median and by minimum (the minimum is less hit by other load)."""
    times = {case.ours.name: case.ours, **{anchor.name: anchor for anchor in case.anchors}}
    median = times[slower].median_ns - times[faster].median_ns
    minimum = times[slower].min_ns - times[faster].min_ns
    return (f"{slower} - {faster}: {signed_ns(median)} by median, {signed_ns(minimum)} by minimum")


def signed_ns(ns: float) -> str:
    return ("-" if ns < 0 else "+") + format_ns(abs(ns))


def run(plan: TimingPlan) -> list[Group]:
    group = Group(
        title="member_mask: the generic function (elements / test elements)",
        notes=[
            "All contenders of a size are timed together, round-robin. The subscripted form runs "
            "inside a Python function, since the subscript is part of every call; the typed "
            "function inside the same kind of wrapper is its reference.",
        ],
    )
    for shape_index, shape in enumerate(SHAPES):
        elements, test_elements = make_data(shape, [SEED, shape_index])
        size = f"{size_label(shape.elements)}/{size_label(shape.test_elements)}"
        arguments = (elements, test_elements)
        found = float(shape.typed(*arguments).mean())
        typed_name = f"{shape.typed.__name__}(a, b)"
        subscripted_name = f"member_mask[{shape.key!r}](a, b) in a def"
        wrapped_name = f"{typed_name} in a def"
        case = compare(
            "member_mask(a, b)", size,
            Contender("member_mask(a, b)", generic, arguments),
            [Contender(typed_name, shape.typed, arguments),
             Contender(subscripted_name, subscripted_call(shape.key), arguments),
             Contender(wrapped_name, wrapped_typed(shape.typed), arguments),
             Contender("numpy.isin(a, b)", np.isin, arguments)],
            plan,
            params={"elements": shape.elements, "test_elements": shape.test_elements,
                    "dtype": np.dtype(shape.dtype).name, "found_fraction": round(found, 3),
                    "seed": [SEED, shape_index]},
            data=f"{np.dtype(shape.dtype).name}, {found:.0%} found")
        group.cases.append(case)
        times = {anchor.name: anchor.median_ns for anchor in case.anchors}
        if shape.elements <= 1000:
            plain_cost = paired_cost_ns(functools.partial(generic, *arguments),
                                        functools.partial(shape.typed, *arguments), plan)
            subscript_cost = paired_cost_ns(functools.partial(subscripted_call(shape.key), *arguments),
                                            functools.partial(wrapped_typed(shape.typed), *arguments), plan)
            case.params |= {"selection_cost_ns": round(plain_cost, 1), "subscript_cost_ns": round(subscript_cost, 1)}
            group.notes.append(
                f"{size}, paired rounds (median of back-to-back differences): the plain call costs "
                f"{signed_ns(plain_cost)} over {typed_name}, the subscripted call "
                f"{signed_ns(subscript_cost)} over {wrapped_name}.")
        group.notes += [
            f"{size}, differences of the case times: {difference_note(case, 'member_mask(a, b)', typed_name)}; "
            f"{difference_note(case, subscripted_name, wrapped_name)}.",
            f"{size}, numpy.isin against the subscripted form: "
            f"{times['numpy.isin(a, b)'] / times[subscripted_name]:.1f}x.",
        ]
        del elements, test_elements, arguments
    return [group]
