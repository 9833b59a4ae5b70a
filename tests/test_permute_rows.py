"""permute_rows: rows reordered in place along the cycles of a permutation."""

import inspect
import re
import sys
import types

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

pr = load("permute_rows")
permute_rows = pr.permute_rows


def rng(*key):
    return np.random.default_rng([20240611, *key])


def assert_reorders(array, indices):
    """permute_rows(array, indices) against array[indices] taken before the call."""
    expected = np.asarray(array)[indices]
    assert permute_rows(array, indices) is None
    np.testing.assert_array_equal(np.asarray(array), expected)
    np.testing.assert_array_equal(indices, np.arange(len(indices)))


ROW_SHAPES = {
    "1 byte": ((51,), np.uint8),
    "2 bytes": ((51,), np.int16),
    "4 bytes": ((51,), np.float32),
    "8 bytes": ((51,), np.int64),
    "16 bytes": ((51,), np.complex128),
    "32 bytes": ((51, 4), np.int64),
    "64 bytes": ((51, 8), np.float64),
    "128 bytes": ((51, 16), np.float64),
    "3 bytes": ((51, 3), np.uint8),
    "5 bytes": ((51, 5), np.uint8),
    "6 bytes": ((51, 3), np.int16),
    "7 bytes": ((51, 7), np.uint8),
    "9 bytes": ((51, 9), np.uint8),
    "12 bytes": ((51, 3), np.float32),
    "24 bytes": ((51, 3), np.int64),
    "40 bytes": ((51, 5), np.int64),
    "127 bytes": ((51, 127), np.uint8),
    "200 bytes": ((51, 5, 5), np.int64),
}


@pytest.mark.parametrize("shape, dtype", ROW_SHAPES.values(), ids=ROW_SHAPES.keys())
def test_random_permutations_match_gather(shape, dtype):
    array = rng(shape[0]).integers(0, 1 << 30, shape).astype(dtype)
    for seed in range(3):
        assert_reorders(array, rng(seed).permutation(shape[0]))


@pytest.mark.parametrize("n", [1, 2, 3, 17, 1000, 100_000], ids=lambda n: f"n={n}")
def test_sizes_from_one_row_to_many_chains(n):
    assert_reorders(np.arange(n, dtype=np.int64) * 3, rng(n).permutation(n))


@pytest.mark.parametrize(
    "make_indices",
    [
        lambda n: np.arange(n),
        lambda n: np.roll(np.arange(n), 1),
        lambda n: np.arange(n)[::-1].copy(),
        lambda n: np.arange(n).reshape(-1, 2)[:, ::-1].ravel().copy(),
        lambda n: np.concatenate([rng(1).permutation(n // 2), n // 2 + rng(2).permutation(n - n // 2)]),
    ],
    ids=["identity", "one long cycle", "reversal", "pairs swapped", "two blocks"],
)
def test_cycle_structures(make_indices):
    array = np.arange(4000, dtype=np.int64).reshape(2000, 2)
    assert_reorders(array, make_indices(2000))


def test_worked_example():
    array = np.array(["A0", "A1", "A2"])
    indices = np.array([2, 0, 1], dtype=np.intp)
    assert permute_rows(array, indices) is None
    assert array.tolist() == ["A2", "A0", "A1"]
    assert indices.tolist() == [0, 1, 2]


def test_swap():
    array = np.array([[1.5, 2.5], [3.5, 4.5]])
    indices = np.array([1, 0], dtype=np.intp)
    permute_rows(array, indices)
    np.testing.assert_array_equal(array, [[3.5, 4.5], [1.5, 2.5]])
    assert indices.tolist() == [0, 1]


def test_rows_move_as_bytes():
    bits = np.array([0x7FF8000000000001, 0x8000000000000000, 0], dtype=np.uint64)
    array = bits.view(np.float64).copy()
    permute_rows(array, np.array([1, 2, 0], dtype=np.intp))
    assert array.view(np.uint64).tolist() == [0x8000000000000000, 0, 0x7FF8000000000001]


def test_no_rows_returns_none():
    array = np.empty((0, 3))
    assert permute_rows(array, np.empty(0, dtype=np.intp)) is None
    assert array.shape == (0, 3)


def test_rows_of_zero_bytes():
    array = np.empty((4, 0))
    indices = np.array([3, 2, 1, 0], dtype=np.intp)
    assert permute_rows(array, indices) is None
    assert indices.tolist() == [0, 1, 2, 3]


@pytest.mark.parametrize(
    "view, untouched",
    [
        (lambda b: b[1:], [0]),
        (lambda b: b[::2], list(range(1, 12, 2))),
        (lambda b: b[2:11:3], [0, 1, 3, 4, 6, 7, 9, 10, 11]),
    ],
    ids=["starts inside base", "row step", "start and step"],
)
def test_views_reorder_only_their_own_rows(view, untouched):
    base = np.arange(24, dtype=np.int32).reshape(12, 2)
    kept = base.copy()
    array = view(base)
    assert_reorders(array, rng(len(array)).permutation(len(array)))
    np.testing.assert_array_equal(base[untouched], kept[untouched])


def test_part_of_each_row():
    base = np.arange(12).reshape(4, 3)
    array = base[:, 1:]
    assert_reorders(array, np.array([3, 1, 0, 2], dtype=np.intp))
    np.testing.assert_array_equal(base[:, 0], [0, 3, 6, 9])


def test_read_only_view_of_writable_memory_is_reordered():
    owner = np.arange(5)
    view = owner[:]
    view.flags.writeable = False
    permute_rows(view, np.array([4, 3, 2, 1, 0], dtype=np.intp))
    assert owner.tolist() == [4, 3, 2, 1, 0]


def test_dtypes_without_buffer_export_move_as_bytes():
    array = np.array(["2020-01-01", "2021-01-01", "2022-01-01"], dtype="datetime64[D]")
    assert_reorders(array, np.array([2, 0, 1], dtype=np.intp))


# ---- Refusals: nothing changes ------------------------------------------------------------------


def column_major():
    return np.asfortranarray(np.arange(6).reshape(3, 2))


def read_only_owner():
    array = np.arange(3)
    array.flags.writeable = False
    return array


def read_only_indices():
    indices = np.array([2, 1, 0], dtype=np.intp)
    indices.flags.writeable = False
    return indices


def ints(*values):
    return np.array(values, dtype=np.intp)


PERMUTATION = "indices must be a permutation of 0 .. n-1 for n = 3 rows, but "

REFUSALS = {
    "column-major rows": (column_major, lambda: ints(2, 1, 0), ValueError, "Subarrays must be C-contiguous"),
    "not an array": (object, lambda: ints(0), AttributeError, "'object' object has no attribute 'ndim'"),
    "reversed": (lambda: np.arange(3)[::-1], lambda: ints(2, 1, 0), OverflowError,
                 "can't convert negative value to size_t"),
    "zero dimensions": (lambda: np.array(5), lambda: ints(0), IndexError, "tuple index out of range"),
    "read-only owner": (read_only_owner, lambda: ints(2, 1, 0), ValueError, "buffer source array is read-only"),
    "read-only bytes": (lambda: np.frombuffer(b"abc", np.uint8), lambda: ints(2, 1, 0), ValueError,
                        "buffer source array is read-only"),
    "indices of int32": (lambda: np.arange(3), lambda: np.array([2, 1, 0], dtype=np.int32), ValueError,
                         "Buffer dtype mismatch, expected 'intp_t' but got 'int'"),
    "indices with a step": (lambda: np.arange(3), lambda: ints(2, 9, 1, 9, 0, 9)[::2], ValueError,
                            "ndarray is not C-contiguous"),
    "read-only indices": (lambda: np.arange(3), read_only_indices, ValueError, "read-only"),
    "too few indices": (lambda: np.arange(3), lambda: ints(1, 0), ValueError,
                        "indices must have one entry per row: it has 2, array has 3 rows"),
    "too many indices": (lambda: np.arange(3), lambda: ints(1, 0, 2, 3), ValueError,
                         "indices must have one entry per row: it has 4, array has 3 rows"),
    "index too large": (lambda: np.arange(3), lambda: ints(1, 3, 0), ValueError,
                        PERMUTATION + "indices[1] = 3 is out of range"),
    "negative index": (lambda: np.arange(3), lambda: ints(1, 0, -1), ValueError,
                       PERMUTATION + "indices[2] = -1 is out of range"),
    "huge index": (lambda: np.arange(3), lambda: ints(1, 2**62, 0), ValueError,
                   PERMUTATION + f"indices[1] = {2**62} is out of range"),
    "most negative index": (lambda: np.arange(3), lambda: ints(1, 0, -2**63), ValueError,
                            PERMUTATION + f"indices[2] = {-2**63} is out of range"),
    # [1, 1, 0] would chain 0 <- 1 <- 1 forever; [0, 2, 2] never returns to 1.
    "repeat in a cycle": (lambda: np.arange(3), lambda: ints(1, 1, 0), ValueError,
                          PERMUTATION + "indices[1] = 1 repeats an earlier entry"),
    "repeat off a cycle": (lambda: np.arange(3), lambda: ints(0, 2, 2), ValueError,
                           PERMUTATION + "indices[2] = 2 repeats an earlier entry"),
}


@pytest.mark.parametrize("make_array, make_indices, error, message", REFUSALS.values(), ids=REFUSALS.keys())
def test_refusals_change_nothing(make_array, make_indices, error, message):
    array, indices = make_array(), make_indices()
    kept_array = np.array(array, copy=True) if isinstance(array, np.ndarray) else None
    kept_indices = indices.copy()
    with pytest.raises(error, match=re.escape(message)) as info:
        permute_rows(array, indices)
    assert traceback_function_names(info.value)[-1] == "norvale.cython.permute_rows.permute_rows"
    if kept_array is not None:
        np.testing.assert_array_equal(array, kept_array)
    np.testing.assert_array_equal(indices, kept_indices)


def test_late_repeat_restores_every_mark():
    n = 1000
    indices = rng(5).permutation(n)
    indices[-1] = indices[0]
    kept = indices.copy()
    array = np.arange(n)
    with pytest.raises(ValueError, match=re.escape(f"indices[{n - 1}] = {kept[0]} repeats an earlier entry")):
        permute_rows(array, indices)
    np.testing.assert_array_equal(indices, kept)
    np.testing.assert_array_equal(array, np.arange(n))


def test_indices_stored_in_the_rows_are_refused():
    memory = np.array([1, 0, 2, 3], dtype=np.intp)
    with pytest.raises(ValueError, match=re.escape("indices must not share memory with the rows of array")):
        permute_rows(memory, memory)
    with pytest.raises(ValueError, match=re.escape("indices must not share memory with the rows of array")):
        permute_rows(memory.view(np.int32).reshape(4, 2), memory)  # indices inside the rows' bytes
    assert memory.tolist() == [1, 0, 2, 3]


def test_single_column_fortran_array_is_accepted():
    array = np.asfortranarray(np.array([[1], [2], [3]]))
    permute_rows(array, ints(2, 0, 1))
    assert array.ravel().tolist() == [3, 1, 2]


# ---- Rows outside the memory of base ----------------------------------------------------------


@pytest.mark.parametrize("claiming", [small_base_array, long_stride_array], ids=["base too small", "stride too long"])
def test_rows_outside_base_are_refused(claiming):
    owner = np.arange(6)
    indices = np.arange(6)[::-1].copy()
    with pytest.raises(ValueError, match=re.escape("do not lie inside the buffer of array.base")):
        permute_rows(claiming(owner), indices)
    assert owner.tolist() == list(range(6))
    assert indices.tolist() == list(range(6))[::-1]


# ---- The function object and the module -------------------------------------------------------

DOC = """\
permute_rows(array, indices)

Reorder the first or only axis of 'array' into the order given by 'indices', without
consuming additional input-sized memory. Both arrays are modified in the process: the
indices cannot be reused afterwards!

:param array: (ndarray) Array to be reordered, ndim=1 or more. The elements of axis 0
                        must be either single values or C-contiguous arrays.

:param indices: (ndarray, np.intp, ndim=1) Desired order. Must be C-contiguous."""


def test_docstring_and_signature():
    assert permute_rows.__doc__ == DOC
    assert permute_rows.__defaults__ is None
    assert str(inspect.signature(permute_rows)) == "(array, indices)"
    assert permute_rows.__module__ == "norvale.cython.permute_rows"
    assert pr.np is np


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((np.arange(2),), {}, "permute_rows() takes exactly 2 positional arguments (1 given)"),
        ((1, 2, 3), {}, "permute_rows() takes exactly 2 positional arguments (3 given)"),
        ((np.arange(2), ints(0, 1)), {"order": 1}, "permute_rows() got an unexpected keyword argument 'order'"),
        ((np.arange(2), ints(0, 1)), {"array": 1}, "permute_rows() got multiple values for keyword argument 'array'"),
    ],
    ids=["one", "three", "unknown keyword", "repeated"],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        permute_rows(*args, **kwargs)


def test_keywords_bind_like_positions():
    array = np.array([5, 6, 7])
    permute_rows(indices=ints(2, 1, 0), array=array)
    assert array.tolist() == [7, 6, 5]


def test_numpy_attributes_looked_up_anew_on_every_call():
    with preserved_namespace(vars(pr)) as namespace:
        recorder = namespace["np"] = StandInNumpy()
        for _ in range(2):
            permute_rows(np.zeros((2, 2)), ints(1, 0))
        assert recorder.looked_up == ["frombuffer", "uint8", "prod", "empty", "uint8"] * 2


def test_a_replaced_prod_is_called():
    # NumPy's own prod is taken natively for plain arrays; any other must still be called.
    calls = []

    def prod(shape):
        calls.append(shape)
        return np.prod(shape)

    with preserved_namespace(vars(pr)) as namespace:
        namespace["np"] = types.SimpleNamespace(**{name: getattr(np, name) for name in ("frombuffer", "uint8", "empty")},
                                                prod=prod)
        array = np.arange(12).reshape(3, 2, 2)
        permute_rows(array, ints(2, 0, 1))
    assert calls == [(2, 2)]
    assert array[:, 0, 0].tolist() == [8, 0, 4]


def test_views_and_arguments_are_released():
    array = np.arange(10)
    indices = np.arange(10)
    before = sys.getrefcount(array), sys.getrefcount(indices)
    for _ in range(5):
        permute_rows(array, indices)
        with pytest.raises(ValueError):
            permute_rows(array, indices[:5])
    assert (sys.getrefcount(array), sys.getrefcount(indices)) == before
    array.resize(20, refcheck=False)  # fails while a buffer export is held
    indices.resize(20, refcheck=False)
