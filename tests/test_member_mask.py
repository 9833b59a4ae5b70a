"""The typed membership functions of member_mask, checked against numpy.isin."""

import sys
import threading

import numpy
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from helpers import load

mm = load("member_mask")

# Function name -> (dtype of elements, dtype of test_elements).
DTYPES = {
    "member_mask_long": (np.int64, np.int64),
    "member_mask_schar": (np.int8, np.int8),
    "member_mask_ushort": (np.uint16, np.uint16),
    "member_mask_double": (np.float64, np.float64),
    "member_mask_long_in_ushort": (np.int64, np.uint16),
}
NAMES = list(DTYPES)

SIGNATURES = {
    "member_mask_long": "member_mask_long(int64_t[:] elements, int64_t[:] test_elements)",
    "member_mask_schar": "member_mask_schar(signed char[:] elements, signed char[:] test_elements)",
    "member_mask_ushort": "member_mask_ushort(unsigned short[:] elements, unsigned short[:] test_elements)",
    "member_mask_double": "member_mask_double(double[:] elements, double[:] test_elements)",
    "member_mask_long_in_ushort": "member_mask_long_in_ushort(int64_t[:] elements, unsigned short[:] test_elements)",
}
DOC_BODY = "\n".join(
    [
        "Check which elements in the first vector are found in the second vector.",
        "",
        "Internally the second vector is converted into an unordered set to speed up the process.",
        "",
        ":param elements - numbers to be checked igf they are in test_elements",
        ":param test_elements - numbers that the numbers elements are test against",
        ":return: (ndarray[bool]) - boolean array indicating which numbers in the elements array are",
        "also in the test_elements array (True: present; False: not present)",
    ]
)


def random_inputs(name, n, m, seed=0):
    """Elements and test elements drawn from overlapping ranges, so that there are hits and misses."""
    rng = np.random.default_rng(seed)
    elements_dtype, test_dtype = DTYPES[name]
    span = max(2 * m, 4)
    if test_dtype == np.int8:
        low, high = -128, 128
    elif test_dtype == np.uint16:
        low, high = 0, min(2 * span, 65536)
    else:
        low, high = -span, span
    test_elements = rng.integers(low, high, m)
    # Elements reach a little past the test range where their type allows it.
    if elements_dtype == np.float64:
        return (rng.integers(low - 8, high + 8, n) / 4), (test_elements / 4)
    limits = np.iinfo(elements_dtype)
    elements = rng.integers(max(low - 8, limits.min), min(high + 8, limits.max + 1), n)
    return elements.astype(elements_dtype), test_elements.astype(test_dtype)


def check(name, elements, test_elements):
    result = getattr(mm, name)(elements, test_elements)
    expected = np.isin(np.asarray(elements), np.asarray(test_elements))
    assert result.dtype == np.bool_ and result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)
    return result


@pytest.mark.parametrize(
    "n, m",
    [(0, 0), (0, 5), (5, 0), (1, 1), (1, 3), (17, 4), (1000, 100), (300_000, 40_000)],
    ids=lambda size: str(size),
)
@pytest.mark.parametrize("name", NAMES)
def test_agrees_with_isin(name, n, m):
    check(name, *random_inputs(name, n, m, seed=n + m))


def vectors(dtype, elements=None):
    return hnp.arrays(dtype, hnp.array_shapes(min_dims=1, max_dims=1, min_side=0, max_side=40), elements=elements)


PROPERTY_CASES = {
    "member_mask_long": (vectors(np.int64), vectors(np.int64)),
    "member_mask_schar": (vectors(np.int8), vectors(np.int8)),
    "member_mask_ushort": (vectors(np.uint16), vectors(np.uint16)),
    "member_mask_double": (vectors(np.float64), vectors(np.float64)),
    "member_mask_long_in_ushort": (
        vectors(np.int64, st.integers(-3, 65540) | st.integers(-(2**63), 2**63 - 1)),
        vectors(np.uint16),
    ),
}


@pytest.mark.parametrize("name", NAMES)
@settings(deadline=None, max_examples=150)
@given(data=st.data())
def test_property_agrees_with_isin(name, data):
    elements_strategy, test_strategy = PROPERTY_CASES[name]
    test_elements = data.draw(test_strategy)
    # Elements partly taken from the test elements, so that hits occur.
    elements = data.draw(elements_strategy)
    if test_elements.size and elements.size:
        picks = data.draw(st.lists(st.integers(0, test_elements.size - 1), max_size=elements.size))
        elements[: len(picks)] = test_elements[picks]
    check(name, elements, test_elements)


@pytest.mark.parametrize(
    "name, elements, test_elements, expected",
    [
        ("member_mask_double", [np.nan], [np.nan], [False]),
        ("member_mask_double", [np.nan, 1.0, np.nan], [np.nan] * 1000 + [1.0], [False, True, False]),
        ("member_mask_double", [-0.0], [0.0], [True]),
        ("member_mask_double", [0.0], [-0.0], [True]),
        ("member_mask_double", [np.inf, -np.inf, 5e-324], [-np.inf, 5e-324], [False, True, True]),
        ("member_mask_double", [0.1 + 0.2], [0.3], [False]),
        ("member_mask_long_in_ushort", [-1, 0, 65535, 65536], [0, 65535], [False, True, True, False]),
        # No truncation to 16 bits before probing.
        ("member_mask_long_in_ushort", [65536 + 7, 2**32 + 7, -65536 + 7, 7], [7], [False, False, False, True]),
        ("member_mask_long_in_ushort", [-(2**63), 2**63 - 1, 65535], [65535, 0], [False, False, True]),
        ("member_mask_schar", [-128, 127], [127], [False, True]),
        ("member_mask_schar", [-128, 127, -1], [-128], [True, False, False]),
        ("member_mask_ushort", [0, 65535, 32768], [65535, 32768], [False, True, True]),
        ("member_mask_long", [-(2**63), 2**63 - 1, 0, -1], [-(2**63), -1], [True, False, False, True]),
        # Duplicates on either side change nothing.
        ("member_mask_long", [3, 3, 4, 3, 4], [3, 3, 3, 9, 9], [True, True, False, True, False]),
        ("member_mask_ushort", [1, 2, 1, 2], [2] * 50, [False, True, False, True]),
        ("member_mask_long", [1, 2, 3], [], [False, False, False]),
        ("member_mask_double", [], [1.0, 2.0], []),
    ],
    ids=[
        "nan-never-found",
        "many-nans",
        "negative-zero-finds-zero",
        "zero-finds-negative-zero",
        "infinities-and-denormal",
        "exact-equality",
        "widening",
        "no-truncation",
        "int64-extremes-in-ushort",
        "schar-max",
        "schar-min",
        "ushort-extremes",
        "long-extremes",
        "duplicates",
        "duplicate-test-elements",
        "empty-test-elements",
        "empty-elements",
    ],
)
def test_edge_cases(name, elements, test_elements, expected):
    elements_dtype, test_dtype = DTYPES[name]
    result = getattr(mm, name)(np.array(elements, elements_dtype), np.array(test_elements, test_dtype))
    assert result.dtype == np.bool_
    assert result.tolist() == expected


@pytest.mark.parametrize("name", NAMES)
def test_none_is_an_empty_vector(name):
    elements, test_elements = random_inputs(name, 6, 3)
    function = getattr(mm, name)
    assert function(elements, None).tolist() == [False] * 6
    for result in (function(None, test_elements), function(None, None)):
        assert result.dtype == np.bool_ and result.shape == (0,)


STRIDED_VIEWS = {
    "every-second": lambda a: a[::2],
    "reversed": lambda a: a[::-1],
    "reversed-every-third": lambda a: a[::-3],
    "column": lambda a: np.ascontiguousarray(np.stack([a, a[::-1]], axis=1))[:, 1],
    "zero-stride": lambda a: np.lib.stride_tricks.as_strided(a[:1], shape=(len(a),), strides=(0,), writeable=True),
}


@pytest.mark.parametrize("view", list(STRIDED_VIEWS.values()), ids=list(STRIDED_VIEWS))
@pytest.mark.parametrize("name", NAMES)
def test_strided_views_give_the_contiguous_answer(name, view):
    elements, test_elements = random_inputs(name, 301, 40, seed=3)
    elements_view, test_view = view(elements), view(test_elements)
    result = check(name, elements_view, test_view)
    np.testing.assert_array_equal(
        result, getattr(mm, name)(np.ascontiguousarray(elements_view), np.ascontiguousarray(test_view))
    )


@pytest.mark.parametrize("name", NAMES)
def test_result_is_a_fresh_contiguous_array(name):
    elements, test_elements = random_inputs(name, 50, 10)
    function = getattr(mm, name)
    first, second = function(elements[::-2], test_elements), function(elements[::-2], test_elements)
    assert type(first) is np.ndarray and first.shape == (25,) and first.dtype == np.bool_
    assert first.flags.c_contiguous and first.flags.owndata and first.flags.writeable
    assert first is not second and not np.shares_memory(first, second)
    assert not np.shares_memory(first, elements) and not np.shares_memory(first, test_elements)


@pytest.mark.parametrize("position", [0, 1], ids=["elements", "test_elements"])
@pytest.mark.parametrize("name", NAMES)
def test_read_only_arrays_are_refused(name, position):
    arguments = list(random_inputs(name, 5, 3))
    arguments[position].setflags(write=False)
    with pytest.raises(ValueError):
        getattr(mm, name)(*arguments)


class TestModuleNames:
    def test_np_is_numpy(self):
        assert mm.np is numpy

    @staticmethod
    def generic():
        # The generic function, once the module has it, ends the list and is bound before member_mask_long_in_ushort.
        return ["member_mask"] if hasattr(mm, "member_mask") else []

    def test_exports(self):
        order = [
            "member_mask_long",
            "member_mask_schar",
            "member_mask_double",
            "member_mask_long_in_ushort",
            "member_mask_ushort",
            *self.generic(),
        ]
        assert type(mm.exports) is list
        assert mm.exports == [getattr(mm, name) for name in order]

    def test_module_body_binding_order(self):
        body = ["np", *NAMES[:4], *self.generic(), NAMES[4], "exports"]
        assert [key for key in vars(mm) if key in body] == body

    @pytest.mark.parametrize("name", NAMES)
    def test_function_docstring(self, name):
        assert getattr(mm, name).__doc__ == SIGNATURES[name] + "\n\n" + DOC_BODY

    def test_module_docstring_names_what_it_replaces(self):
        assert "isin" in mm.__doc__ and "member_mask_ushort" in mm.__doc__


class SpyNumpy:
    """Stands in for the module global `np`, recording the attributes a call asks for."""

    def __init__(self, empty=np.empty):
        self.looked_up = []
        self.calls = []
        self._empty = empty

    def __getattr__(self, attribute):
        self.looked_up.append(attribute)
        if attribute == "empty":
            return self._recorded_empty
        return getattr(np, attribute)

    def _recorded_empty(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self._empty(*args, **kwargs)


class TestResultAllocation:
    def test_np_is_looked_up_at_each_call(self, member_mask_globals):
        spy = SpyNumpy()
        member_mask_globals["np"] = spy
        for _ in range(2):
            result = mm.member_mask_long(np.array([4, 5, 6], np.int64), np.array([5], np.int64))
            assert result.tolist() == [False, True, False]
        assert spy.looked_up == ["empty", "bool_"] * 2
        assert spy.calls == [((3,), {"dtype": np.bool_})] * 2
        assert type(spy.calls[0][0][0]) is int

    def test_allocation_failure_propagates_unchanged(self, member_mask_globals):
        failure = MemoryError("cannot allocate")

        def refuse(*args, **kwargs):
            raise failure

        member_mask_globals["np"] = SpyNumpy(empty=refuse)
        with pytest.raises(MemoryError) as excinfo:
            mm.member_mask_long(np.arange(3), np.arange(3))
        assert excinfo.value is failure

    def test_result_must_be_an_ndarray(self, member_mask_globals):
        member_mask_globals["np"] = SpyNumpy(empty=lambda n, dtype: [False] * n)
        with pytest.raises(TypeError):
            mm.member_mask_long(np.arange(3), np.arange(3))


@pytest.mark.parametrize("name", NAMES)
def test_argument_reference_counts_are_unchanged(name):
    function = getattr(mm, name)
    elements, test_elements = random_inputs(name, 40, 10)
    flat_test = np.zeros((2, 2), DTYPES[name][1])
    counts = lambda: [sys.getrefcount(a) for a in (elements, test_elements, flat_test)]  # noqa: E731
    before = counts()
    for _ in range(200):
        function(elements, test_elements)
        function(test_elements=test_elements, elements=elements)
        with pytest.raises(ValueError):
            function(elements, flat_test)
        with pytest.raises(TypeError):
            function(elements, test_elements, elements)
        with pytest.raises(TypeError):
            function(elements, elements=test_elements)
    assert counts() == before
    result = function(elements, test_elements)
    assert sys.getrefcount(result) == 2


def test_concurrent_calls_get_their_own_answers():
    cases = [
        (name, *random_inputs(name, 1_000_000, 100_000, seed=seed))
        for seed, name in enumerate(["member_mask_long", "member_mask_double", "member_mask_ushort", "member_mask_long_in_ushort"])
    ]
    expected = [np.isin(elements, test_elements) for _, elements, test_elements in cases]
    start = threading.Barrier(len(cases))
    results = [None] * len(cases)

    def work(index):
        name, elements, test_elements = cases[index]
        start.wait()
        results[index] = [getattr(mm, name)(elements, test_elements) for _ in range(3)]

    threads = [threading.Thread(target=work, args=(index,)) for index in range(len(cases))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for answers, want in zip(results, expected, strict=True):
        assert answers is not None
        for answer in answers:
            np.testing.assert_array_equal(answer, want)
