"""Thread scaling: two calls on two threads at once against the same two calls on one thread.

The functions release the interpreter lock for their memory passes, so on a machine with two
free cores two threads should get through the pair in close to half the time. The ratio column
reads as the speed-up (above 1: the second thread helps). Each thread works on its own input.
"""

from __future__ import annotations

import importlib
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable

import numpy as np

import norvale.cython.member_mask as member_mask_module
from timing import Contender, Group, TimingPlan, compare, size_label

SIZE = 1_000_000


def optional(name: str):
    try:
        return importlib.import_module(f"norvale.cython.{name}")
    except ImportError:
        return None


def results_equal(ours: Any, anchor: Any) -> bool:
    """Both sides give one result per call; results are arrays or tuples of arrays (or None)."""
    def flat(results):
        for result in results:
            yield from (result if isinstance(result, tuple) else (result,))
    return all(a is b is None or np.array_equal(a, b) for a, b in zip(flat(ours), flat(anchor), strict=True))


def pair_contenders(pool: ThreadPoolExecutor, calls: list[Callable[[], Any]]) -> tuple[Contender, list[Contender]]:
    def two_threads():
        futures = [pool.submit(call) for call in calls]
        return [future.result() for future in futures]

    def one_thread():
        return [call() for call in calls]

    return Contender("2 threads at once", two_threads), [Contender("1 thread, in a row", one_thread)]


def cases(rng: np.random.Generator) -> tuple[list[tuple[str, str, list[Callable[[], Any]]]], list[str]]:
    found, missing = [], []
    pairs = [(rng.integers(0, 2**40, SIZE), rng.integers(0, 2**40, 10_000)) for _ in range(2)]
    found.append(("member_mask_long", f"{size_label(SIZE)} in 10^4",
                  [lambda p=p: member_mask_module.member_mask_long(*p) for p in pairs]))

    run_distinct = optional("run_distinct")
    if run_distinct:
        sorted_rows = [np.sort(rng.integers(0, SIZE // 4, SIZE)) for _ in range(2)]
        found.append(("run_distinct presorted, counts", size_label(SIZE),
                      [lambda a=a: run_distinct.run_distinct(a, return_counts=True, presorted=True)
                       for a in sorted_rows]))
    else:
        missing.append("run_distinct")

    permute_rows = optional("permute_rows")
    if permute_rows:
        arrays = [rng.integers(0, 2**31, SIZE) for _ in range(2)]
        orders = [rng.permutation(SIZE).astype(np.intp) for _ in range(2)]
        # The order is consumed, so each call takes a fresh copy (the same cost on both sides).
        found.append(("permute_rows", size_label(SIZE),
                      [lambda a=a, p=p: permute_rows.permute_rows(a, p.copy()) for a, p in zip(arrays, orders)]))
    else:
        missing.append("permute_rows")

    span_distinct = optional("span_distinct")
    if span_distinct:
        count = SIZE // 5

        def ranges():
            src = rng.integers(0, 4, (1000, 32), dtype=np.uint8)
            starts = rng.integers(0, 16, count).astype(np.intp)
            return (src, rng.integers(0, 1000, count).astype(np.intp), starts,
                    (starts + rng.integers(0, 16, count)).astype(np.intp))

        inputs = [ranges() for _ in range(2)]
        found.append(("span_distinct", f"{size_label(count)} ranges",
                      [lambda r=r: span_distinct.span_distinct(*r) for r in inputs]))
    else:
        missing.append("span_distinct")
    return found, missing


def run(plan: TimingPlan) -> list[Group]:
    rng = np.random.default_rng(2024)
    found, missing = cases(rng)
    group = Group(
        title="Thread scaling: one call per thread on two threads, against both calls on one thread",
        notes=[
            "ratio = one-thread time / two-thread time for the same pair of calls: 2 is perfect "
            "scaling, 1 none. Only the passes that release the interpreter lock can overlap "
            "(span_distinct's group pass holds it).",
            "On a shared machine the second core may be busy; the load average is in the header.",
        ],
    )
    if missing:
        group.notes.append("Not built, so not timed: " + ", ".join(missing) + ".")
    with ThreadPoolExecutor(max_workers=2) as pool:
        for case, size, calls in found:
            ours, anchors = pair_contenders(pool, calls)
            group.cases.append(compare(case, size, ours, anchors, plan, agree=results_equal))
    return [group]
