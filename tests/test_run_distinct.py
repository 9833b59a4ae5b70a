"""run_distinct: distinct rows of sorted input (or input with its sort order), compared as bytes."""

import inspect
import re
import sys

import numpy as np
import pytest

from helpers import (
    StandInNumpy,
    load,
    long_stride_array,
    preserved_namespace,
    small_base_array,
    traceback_function_names,
)

rd = load("run_distinct")
run_distinct = rd.run_distinct

NO_MODE = "Input must either be presorted, or an order must be provided"
ALL_FLAGS = dict(return_index=True, return_inverse=True, return_counts=True)


def sorted_rows(a):
    """a sorted along axis 0 by the rows' values (lexicographically for sub-arrays)."""
    if a.ndim == 1:
        return np.sort(a, kind="stable")
    flat = a.reshape(a.shape[0], -1)
    return a[np.lexsort(flat.T[::-1])]


def assert_matches_unique(array, result, order=None):
    """The four members against numpy.unique(axis=0), which reports each run's first position."""
    expected = np.unique(array, axis=0, return_index=True, return_inverse=True, return_counts=True)
    distinct, index, inverse, counts = result
    np.testing.assert_array_equal(distinct, expected[0])
    assert distinct.dtype == array.dtype
    np.testing.assert_array_equal(index, expected[1])
    np.testing.assert_array_equal(inverse, expected[2].ravel())
    np.testing.assert_array_equal(counts, expected[3])
    for member in (index, inverse, counts):
        assert member.dtype == np.intp


def rng():
    return np.random.default_rng(20240611)


# Inputs whose rows sort by value the same way numpy.unique orders them.
SORTED_CASES = {
    "int64": lambda: np.sort(rng().integers(0, 20, 200)),
    "uint8 rows of 1 byte": lambda: np.sort(rng().integers(0, 5, 50).astype(np.uint8)),
    "int16": lambda: np.sort(rng().integers(-3, 3, 60).astype(np.int16)),
    "int32": lambda: np.sort(rng().integers(-3, 3, 60).astype(np.int32)),
    "bool": lambda: np.sort(rng().integers(0, 2, 30).astype(bool)),
    "2-D rows of 16 bytes": lambda: sorted_rows(rng().integers(0, 3, (100, 2))),
    "2-D rows of 32 bytes": lambda: sorted_rows(rng().integers(0, 2, (100, 4))),
    "2-D rows of 128 bytes": lambda: sorted_rows(rng().integers(0, 2, (100, 16))),
    "2-D rows of 24 bytes": lambda: sorted_rows(rng().integers(0, 2, (100, 3))),
    "2-D rows of 3 bytes": lambda: sorted_rows(rng().integers(0, 2, (100, 3)).astype(np.uint8)),
    "2-D rows of 9 bytes": lambda: sorted_rows(rng().integers(0, 2, (100, 9)).astype(np.uint8)),
    "2-D rows of 40 bytes": lambda: sorted_rows(rng().integers(0, 2, (100, 5))),
    "2-D rows of 72 bytes": lambda: sorted_rows(rng().integers(0, 2, (100, 9))),
    "2-D rows of 136 bytes": lambda: sorted_rows(rng().integers(0, 2, (100, 17))),
    "3-D rows": lambda: sorted_rows(rng().integers(0, 2, (80, 2, 3)).astype(np.int16)),
    "one row": lambda: np.array([7]),
    "all equal": lambda: np.full(9, 4),
    "all distinct": lambda: np.arange(12),
}


@pytest.mark.parametrize("make", SORTED_CASES.values(), ids=SORTED_CASES.keys())
def test_presorted_matches_numpy_unique(make):
    array = make()
    assert_matches_unique(array, run_distinct(array, presorted=True, **ALL_FLAGS))


@pytest.mark.parametrize("columns", [1, 2], ids=["rows of 8 bytes", "rows of 16 bytes"])
def test_inverse_larger_than_the_caches(columns):
    # Over 32 MiB of inverse entries, with an odd count: written by the cache-bypassing stores.
    n = (32 << 20) // 8 + 3
    array = np.repeat(np.arange(n // 5 + 1), 5)[:n]
    array = np.stack([array] * columns, axis=1) if columns > 1 else array
    distinct, index, inverse, counts = run_distinct(array, presorted=True, **ALL_FLAGS)
    expected_inverse = np.arange(n) // 5
    np.testing.assert_array_equal(inverse, expected_inverse)
    np.testing.assert_array_equal(index, np.arange(0, n, 5))
    assert counts[-1] == n - 5 * (len(counts) - 1) and (counts[:-1] == 5).all()
    np.testing.assert_array_equal(distinct, array[::5])


@pytest.mark.parametrize("make", SORTED_CASES.values(), ids=SORTED_CASES.keys())
def test_order_of_unsorted_input_matches_numpy_unique(make):
    array = rng().permutation(make(), axis=0)
    if array.ndim == 1:
        order = np.argsort(array, kind="stable")
    else:
        order = np.lexsort(array.reshape(array.shape[0], -1).T[::-1])
    assert_matches_unique(array, run_distinct(array, order=order, **ALL_FLAGS))
    distinct, inverse = run_distinct(array, order=order, return_inverse=True)
    np.testing.assert_array_equal(distinct[inverse], array)


@pytest.mark.parametrize(
    "view",
    [lambda b: b[::2], lambda b: b[1:], lambda b: b[3:-2:3], lambda b: b[:, 1:]],
    ids=["row step", "starts inside base", "start and step", "part of each row"],
)
def test_views_match_their_copies(view):
    base = sorted_rows(rng().integers(0, 3, (60, 3)))
    array = view(base)
    copy = np.ascontiguousarray(array)
    ours, theirs = run_distinct(array, presorted=True, **ALL_FLAGS), run_distinct(copy, presorted=True, **ALL_FLAGS)
    for a, b in zip(ours, theirs):
        np.testing.assert_array_equal(a, b)


def test_slice_of_each_row_with_own_layout():
    # b[:, 1:] has C-contiguous rows that do not start at the base's row starts.
    base = np.array([[9, 1, 2], [8, 1, 2], [7, 1, 3]])
    distinct, counts = run_distinct(base[:, 1:], presorted=True, return_counts=True)
    np.testing.assert_array_equal(distinct, [[1, 2], [1, 3]])
    np.testing.assert_array_equal(counts, [2, 1])


@pytest.mark.parametrize(
    "flags, members",
    [
        ({}, ["distinct"]),
        ({"return_index": True}, ["distinct", "index"]),
        ({"return_inverse": True}, ["distinct", "inverse"]),
        ({"return_counts": True}, ["distinct", "counts"]),
        ({"return_index": 1, "return_counts": "yes"}, ["distinct", "index", "counts"]),
        (ALL_FLAGS, ["distinct", "index", "inverse", "counts"]),
    ],
    ids=["none", "index", "inverse", "counts", "truthy objects", "all"],
)
def test_result_members_follow_the_flags(flags, members):
    array = np.array([1, 1, 2, 5, 5, 5])
    expected = {
        "distinct": [1, 2, 5],
        "index": [0, 2, 3],
        "inverse": [0, 0, 1, 2, 2, 2],
        "counts": [2, 1, 3],
    }
    result = run_distinct(array, presorted=True, **flags)
    assert isinstance(result, tuple) and len(result) == len(members)
    for member, name in zip(result, members):
        np.testing.assert_array_equal(member, expected[name])


def test_two_dimensional_rows_compare_whole_rows():
    distinct, counts = run_distinct(np.array([[1, 2], [1, 2], [1, 3]]), presorted=True, return_counts=True)
    np.testing.assert_array_equal(distinct, [[1, 2], [1, 3]])
    np.testing.assert_array_equal(counts, [2, 1])


def test_one_row():
    order = np.array([0], dtype=np.intp)
    result = run_distinct(np.array([[4.5, 1.0]]), order=order, **ALL_FLAGS)
    for member, expected in zip(result, [[[4.5, 1.0]], [0], [0], [1]]):
        np.testing.assert_array_equal(member, expected)


def test_unsorted_input_counts_runs_with_repeats():
    distinct, counts = run_distinct(np.array([3, 3, 1, 3, 1, 1]), presorted=True, return_counts=True)
    np.testing.assert_array_equal(distinct, [3, 1, 3, 1])
    np.testing.assert_array_equal(counts, [2, 1, 1, 2])


def test_order_wins_over_presorted():
    array = np.array([5, 1, 5, 1])
    order = np.array([1, 3, 0, 2], dtype=np.intp)
    for presorted in (False, True):
        distinct, index = run_distinct(array, order=order, presorted=presorted, return_index=True)
        np.testing.assert_array_equal(distinct, [1, 5])
        np.testing.assert_array_equal(index, [1, 0])


def test_index_reports_first_position_of_each_run_through_order():
    array = np.array([2, 1, 2, 1, 1])
    order = np.array([1, 3, 4, 0, 2], dtype=np.intp)
    _, index, counts = run_distinct(array, order=order, return_index=True, return_counts=True)
    np.testing.assert_array_equal(index, [1, 0])
    np.testing.assert_array_equal(counts, [3, 2])


def test_never_writes_its_arguments():
    array = np.sort(rng().integers(0, 4, 40))
    order = np.arange(40, dtype=np.intp)
    before = array.copy(), order.copy()
    run_distinct(array, order=order, **ALL_FLAGS)
    np.testing.assert_array_equal(array, before[0])
    np.testing.assert_array_equal(order, before[1])


# ---- Bytes, not values ------------------------------------------------------------------------


def test_signed_zeros_are_two_rows():
    distinct, counts = run_distinct(np.array([-0.0, 0.0, 0.0]), presorted=True, return_counts=True)
    assert [np.signbit(v) for v in distinct] == [True, False]
    np.testing.assert_array_equal(counts, [1, 2])


def test_nans_compare_by_bit_pattern():
    quiet = np.frombuffer(np.array([0x7FF8000000000000, 0x7FF8000000000000, 0x7FF8000000000001]).tobytes(),
                          np.float64).copy()
    distinct, counts = run_distinct(quiet, presorted=True, return_counts=True)
    assert distinct.view(np.int64).tolist() == [0x7FF8000000000000, 0x7FF8000000000001]
    np.testing.assert_array_equal(counts, [2, 1])


def test_rows_of_zero_bytes_are_all_equal():
    array = np.empty((5, 0))
    distinct, index, inverse, counts = run_distinct(array, presorted=True, **ALL_FLAGS)
    assert distinct.shape == (1, 0)
    np.testing.assert_array_equal(index, [0])
    np.testing.assert_array_equal(inverse, [0] * 5)
    np.testing.assert_array_equal(counts, [5])


def test_dtypes_without_buffer_export_are_compared_by_bytes():
    array = np.array(["2020-01-01", "2020-01-01", "2021-06-30"], dtype="datetime64[D]")
    distinct, counts = run_distinct(array, presorted=True, return_counts=True)
    np.testing.assert_array_equal(distinct, array[[0, 2]])
    np.testing.assert_array_equal(counts, [2, 1])


# ---- Arrays without rows ----------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(0,), (0, 3), (0, 2, 2)], ids=["1-D", "2-D", "3-D"])
@pytest.mark.parametrize("mode", ["presorted", "order"])
def test_no_rows_gives_empty_results(shape, mode):
    array = np.empty(shape, dtype=np.int32)
    extra = {"presorted": True} if mode == "presorted" else {"order": np.empty(0, dtype=np.intp)}
    distinct, index, inverse, counts = run_distinct(array, **extra, **ALL_FLAGS)
    assert distinct.shape == shape and distinct.dtype == array.dtype
    for member in (index, inverse, counts):
        assert member.shape == (0,) and member.dtype == np.intp
    assert len(run_distinct(array, **extra)) == 1


# ---- Checks of order ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "entries, message",
    [
        ([0, 1], "order must have one entry per row: it has 2, array has 3 rows"),
        ([0, 1, 2, 3], "order must have one entry per row: it has 4, array has 3 rows"),
        ([0, 3, 1], "order must be a permutation of 0 .. n-1 for n = 3 rows, but order[1] = 3 is out of range"),
        ([0, -1, 1], "order must be a permutation of 0 .. n-1 for n = 3 rows, but order[1] = -1 is out of range"),
        ([2, 0, 2], "order must be a permutation of 0 .. n-1 for n = 3 rows, but order[2] = 2 repeats an "
                    "earlier entry"),
    ],
    ids=["too short", "too long", "too large", "negative", "repeated"],
)
def test_order_that_is_no_permutation_is_refused(entries, message):
    order = np.array(entries, dtype=np.intp)
    kept = order.copy()
    with pytest.raises(ValueError, match=re.escape(message)):
        run_distinct(np.array([1, 2, 3]), order=order, **ALL_FLAGS)
    np.testing.assert_array_equal(order, kept)


# ---- Truth values ---------------------------------------------------------------------------


class Flip:
    """False on its first truth test, true afterwards; counts the tests."""

    def __init__(self):
        self.tests = 0

    def __bool__(self):
        self.tests += 1
        return self.tests > 1


@pytest.mark.parametrize("flag", ["return_inverse", "return_counts", "return_index"])
def test_each_flag_is_tested_once(flag):
    value = Flip()
    result = run_distinct(np.array([1, 1, 2]), presorted=True, **{flag: value})
    assert value.tests == 1
    assert len(result) == 1  # the first answer, false, holds for the whole call


def test_presorted_not_tested_when_order_given():
    value = Flip()
    run_distinct(np.array([2, 1]), order=np.array([1, 0], dtype=np.intp), presorted=value)
    assert value.tests == 0


class Refuses:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


@pytest.mark.parametrize("flag", ["return_index", "return_inverse", "return_counts", "presorted"])
def test_failing_truth_test_propagates(flag):
    kwargs = {"presorted": True, flag: Refuses()}
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        run_distinct(np.array([1, 2]), **kwargs)


# ---- Failures in step order -----------------------------------------------------------------


def column_major():
    return np.asfortranarray(np.arange(6).reshape(3, 2))


READ_ONLY_OWNER = np.arange(3)
READ_ONLY_OWNER.flags.writeable = False


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: run_distinct(np.arange(3)), ValueError, NO_MODE),
        (lambda: run_distinct(np.arange(3), order=None, presorted=False), ValueError, NO_MODE),
        (lambda: run_distinct(column_major(), presorted=True), ValueError, "Subarrays must be C-contiguous"),
        (lambda: run_distinct(object(), presorted=True), AttributeError, "'object' object has no attribute 'ndim'"),
        (lambda: run_distinct(np.arange(4)[::-1], presorted=True), OverflowError,
         "can't convert negative value to size_t"),
        (lambda: run_distinct(np.array(5), presorted=True), IndexError, "tuple index out of range"),
        (lambda: run_distinct(READ_ONLY_OWNER, presorted=True), ValueError, "buffer source array is read-only"),
        (lambda: run_distinct(np.frombuffer(b"abcd", np.uint8), presorted=True), ValueError,
         "buffer source array is read-only"),
        (lambda: run_distinct(np.arange(3), order=np.arange(3, dtype=np.int32)), ValueError,
         "Buffer dtype mismatch, expected 'intp_t' but got 'int'"),
        (lambda: run_distinct(np.arange(3), order=np.arange(6, dtype=np.intp)[::2]), ValueError,
         "ndarray is not C-contiguous"),
        (lambda: run_distinct(np.arange(3), order=np.arange(3, dtype=np.intp).reshape(1, 3)), ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ],
    ids=["no mode", "no mode, explicit", "column-major rows", "not an array", "reversed", "zero dimensions",
         "read-only owner", "read-only bytes", "order of int32", "order with a step", "order of 2-D"],
)
def test_failures(call, error, message):
    with pytest.raises(error, match=re.escape(message)) as info:
        call()
    assert traceback_function_names(info.value)[-1] == "norvale.cython.run_distinct.run_distinct"


def test_read_only_order_is_refused():
    order = np.arange(3, dtype=np.intp)
    order.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        run_distinct(np.arange(3), order=order)


def test_single_column_fortran_array_is_accepted():
    array = np.asfortranarray(np.array([[1], [1], [2]]))
    distinct, = run_distinct(array, presorted=True)
    np.testing.assert_array_equal(distinct, [[1], [2]])


def test_read_only_view_of_writable_memory_is_accepted():
    owner = np.array([1, 1, 2])
    view = owner[:]
    view.flags.writeable = False
    distinct, = run_distinct(view, presorted=True)
    np.testing.assert_array_equal(distinct, [1, 2])


def test_base_without_buffer_fails_in_frombuffer():
    array = np.lib.stride_tricks.as_strided(np.arange(4), shape=(2,), strides=(8,))
    with pytest.raises(TypeError, match="a bytes-like object is required"):
        run_distinct(array, presorted=True)


# ---- Rows outside the memory of base ----------------------------------------------------------


class LateBase(np.ndarray):
    """Claims as base the part of its owner's memory after its own first row."""

    @property
    def base(self):
        return memoryview(self.owner).cast("B")[8:]


def late_base():
    owner = np.arange(6)
    view = owner.view(LateBase)
    view.owner = owner
    return view


@pytest.mark.parametrize(
    "make",
    [lambda: small_base_array(np.arange(6)), lambda: long_stride_array(np.arange(6)), late_base],
    ids=["base too small", "stride too long", "first row before base"],
)
def test_rows_outside_base_are_refused(make):
    with pytest.raises(ValueError, match=re.escape("do not lie inside the buffer of array.base")):
        run_distinct(make(), presorted=True)


# ---- The function object and the module -------------------------------------------------------

DOC = """\
run_distinct(array, return_index=False, return_inverse=False, return_counts=False, order=None, presorted=False)

Optimised equivalent to numpy.unique(axis=0), for pre-sorted input.

:param array: (ndarray) Array to search for unique elements, ndim=1 or more. The elements
                        of axis 0 must be either single values or C-contiguous arrays.
:param order: (ndarray, np.intp, ndim=1) Sort order of 'array'. If this is given, then
                                         'array' itself does not need to be sorted.
:param presorted: (bool) Whether 'array' is already sorted.

The return_index, return_inverse and return_counts parameters behave the same as for
numpy.unique."""


def test_docstring_signature_and_defaults():
    assert run_distinct.__doc__ == DOC
    assert run_distinct.__defaults__ == (False, False, False, None, False)
    assert str(inspect.signature(run_distinct)) == (
        "(array, return_index=False, return_inverse=False, return_counts=False, order=None, presorted=False)")
    assert run_distinct.__module__ == "norvale.cython.run_distinct"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "run_distinct() takes at least 1 positional argument (0 given)"),
        ((1,) * 7, {}, "run_distinct() takes at most 6 positional arguments (7 given)"),
        ((np.arange(2),), {"sorted": True}, "run_distinct() got an unexpected keyword argument 'sorted'"),
        ((np.arange(2),), {"array": 1}, "run_distinct() got multiple values for keyword argument 'array'"),
    ],
    ids=["none", "seven", "unknown keyword", "repeated"],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        run_distinct(*args, **kwargs)


def test_keywords_bind_like_positions():
    array = np.array([1, 1, 3])
    by_position = run_distinct(array, True, True, True, None, True)
    by_keyword = run_distinct(presorted=True, return_counts=True, array=array, return_inverse=True,
                              return_index=True)
    for a, b in zip(by_position, by_keyword):
        np.testing.assert_array_equal(a, b)


def test_numpy_attributes_looked_up_anew_on_every_call():
    with preserved_namespace(vars(rd)) as namespace:
        recorder = namespace["np"] = StandInNumpy()
        for _ in range(2):
            run_distinct(np.array([[1, 2], [1, 2]]), presorted=True, return_inverse=True, return_counts=True)
        # diff, inverse, index, counts
        call = ["frombuffer", "uint8", "prod", "empty", "empty", "intp", "empty", "intp", "zeros", "intp"]
        assert recorder.looked_up == call * 2


def test_missing_np_is_a_name_error():
    with preserved_namespace(vars(rd)) as namespace:
        del namespace["np"]
        with pytest.raises(NameError, match=re.escape("name 'np' is not defined")):
            run_distinct(np.arange(2), presorted=True)


def test_views_and_arguments_are_released():
    array = np.arange(10)
    order = np.arange(10, dtype=np.intp)
    before = sys.getrefcount(array), sys.getrefcount(order)
    for _ in range(5):
        run_distinct(array, order=order, **ALL_FLAGS)
        with pytest.raises(ValueError):
            run_distinct(array, order=order[:5])
    assert (sys.getrefcount(array), sys.getrefcount(order)) == before
    owner = np.arange(10)
    run_distinct(owner, presorted=True)
    owner.resize(20, refcheck=False)  # fails if a buffer export were still held
