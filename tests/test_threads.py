"""Concurrency: several threads calling the functions that release the interpreter lock.

All threads start together at a barrier and call repeatedly, on inputs they share (only read)
and on inputs of their own (written, for permute_rows); every result must equal the one
computed beforehand on a single thread.
"""

import threading

import numpy as np
import pytest

from helpers import dotted

THREADS = 4
CALLS = 5
SIZE = 100_000


def module(name):
    return pytest.importorskip(dotted(name))


def run_together(work, threads=THREADS):
    """Runs work(thread_index) on each thread at once; re-raises the first failure."""
    barrier = threading.Barrier(threads)
    failures = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # noqa: BLE001 - reported on the main thread
            failures.append(error)

    workers = [threading.Thread(target=body, args=(index,)) for index in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    if failures:
        raise failures[0]


@pytest.fixture
def rng():
    return np.random.default_rng(7)


MEMBERSHIP = [
    ("member_mask_long", np.int64, np.int64),
    ("member_mask_ushort", np.uint16, np.uint16),
    ("member_mask_double", np.float64, np.float64),
    ("member_mask_long_in_ushort", np.int64, np.uint16),
    ("member_mask", np.int32, np.int32),
]


@pytest.mark.parametrize("name, left, right", MEMBERSHIP, ids=[m[0] for m in MEMBERSHIP])
def test_membership_on_shared_and_separate_inputs(rng, name, left, right):
    member_mask = module("member_mask")
    if not hasattr(member_mask, name):
        pytest.skip(f"{name} is not built yet")
    function = getattr(member_mask, name)
    shared = (rng.integers(0, 5000, SIZE).astype(left), rng.integers(0, 5000, SIZE // 4).astype(right))
    own = [(rng.integers(0, 3000, SIZE).astype(left), rng.integers(0, 3000, 500).astype(right))
           for _ in range(THREADS)]
    expected_shared = np.isin(*shared)
    expected_own = [np.isin(*pair) for pair in own]

    def work(index):
        for _ in range(CALLS):
            np.testing.assert_array_equal(function(*shared), expected_shared)
            np.testing.assert_array_equal(function(*own[index]), expected_own[index])

    run_together(work)


def test_run_distinct_on_shared_and_separate_inputs(rng):
    run_distinct = module("run_distinct").run_distinct
    shared = rng.integers(0, 1000, (SIZE, 2)).astype(np.int32)
    order = np.lexsort(shared.T[::-1]).astype(np.intp)
    own = [np.sort(rng.integers(0, 500, SIZE)) for _ in range(THREADS)]
    expected_shared = np.unique(shared, return_inverse=True, return_counts=True, axis=0)
    expected_own = [np.unique(values, return_counts=True) for values in own]

    def work(index):
        for _ in range(CALLS):
            distinct, inverse, counts = run_distinct(shared, return_inverse=True, return_counts=True, order=order)
            np.testing.assert_array_equal(distinct, expected_shared[0])
            np.testing.assert_array_equal(inverse, expected_shared[1].reshape(-1))
            np.testing.assert_array_equal(counts, expected_shared[2])
            distinct, counts = run_distinct(own[index], return_counts=True, presorted=True)
            np.testing.assert_array_equal(distinct, expected_own[index][0])
            np.testing.assert_array_equal(counts, expected_own[index][1])

    run_together(work)


def test_permute_rows_on_separate_arrays(rng):
    permute_rows = module("permute_rows").permute_rows
    arrays = [rng.integers(0, 2**31, (SIZE, 3)) for _ in range(THREADS)]
    permutations = [rng.permutation(SIZE).astype(np.intp) for _ in range(THREADS)]
    expected = [array[p] for array, p in zip(arrays, permutations)]

    def work(index):
        array, p = arrays[index], permutations[index]
        inverse = np.argsort(p).astype(np.intp)
        for _ in range(CALLS):
            # There and back: each round ends where the first call left the rows.
            permute_rows(array, p.copy())
            np.testing.assert_array_equal(array, expected[index])
            permute_rows(array, inverse.copy())
        permute_rows(array, p.copy())

    run_together(work)
    for array, want in zip(arrays, expected):
        np.testing.assert_array_equal(array, want)


def test_span_distinct_on_shared_and_separate_inputs(rng):
    span_distinct = module("span_distinct").span_distinct

    def ranges(rows, columns, count):
        src = rng.integers(0, 3, (rows, columns), dtype=np.uint8)
        starts = rng.integers(0, columns // 2, count).astype(np.intp)
        ends = (starts + rng.integers(0, columns // 2, count)).astype(np.intp)
        return src, rng.integers(0, rows, count).astype(np.intp), starts, ends

    shared = ranges(500, 16, SIZE // 10)
    own = [ranges(300, 12, SIZE // 10) for _ in range(THREADS)]
    expected_shared = span_distinct(*shared)
    expected_own = [span_distinct(*args) for args in own]

    def work(index):
        for _ in range(CALLS):
            for args, (unique, inverse) in ((shared, expected_shared), (own[index], expected_own[index])):
                got_unique, got_inverse = span_distinct(*args)
                np.testing.assert_array_equal(got_unique, unique)
                np.testing.assert_array_equal(got_inverse, inverse)

    run_together(work)


def test_tail_guid_counter_is_shared_fairly():
    tail_guid = module("tail_guid").tail_guid
    per_thread = 64 * 20
    counters = [[] for _ in range(THREADS)]

    def work(index):
        for _ in range(per_thread):
            counters[index].append((tail_guid().int >> 56) & 0x3F)

    run_together(work)
    # Every call takes the next value in turn, so each of the 64 values appears equally often.
    values = np.bincount(np.concatenate(counters), minlength=64)
    assert values.tolist() == [THREADS * per_thread // 64] * 64
