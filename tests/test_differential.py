"""Differential tests: our functions against oracles written elsewhere.

numpy.isin for the membership functions, numpy.unique for run_distinct, fancy indexing a[p]
for permute_rows, and a plain Python dedup of bytes objects for span_distinct. Inputs are
drawn by hypothesis, including strided and reversed views, NaN and signed zeros, empty arrays.
"""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from helpers import dotted

# Moderate counts keep CI quick, also under the sanitizer build.
EXAMPLES = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def module(name):
    return pytest.importorskip(dotted(name))


def elements_of(dtype):
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        # A small pool makes hits likely; NaN and both zeros are always in it.
        return st.sampled_from([0.0, -0.0, np.nan, 1.0, -1.5, 2.0, np.inf, -np.inf, 3.25])
    info = np.iinfo(dtype)
    pool = st.sampled_from([info.min, info.max, 0, 1])
    return st.one_of(pool, st.integers(max(info.min, -5), min(info.max, 5)),
                     st.integers(int(info.min), int(info.max)))


@st.composite
def vectors(draw, dtype):
    """A 1-D array of `dtype`: contiguous, or a strided or reversed view of a longer one."""
    base = draw(hnp.arrays(dtype, st.integers(0, 40), elements=elements_of(dtype)))
    step = draw(st.sampled_from([1, 1, 2, 3, -1, -2]))
    start = draw(st.integers(0, max(len(base) - 1, 0)))
    return base[start::step] if step > 0 else base[start::step] if len(base) else base


TYPED = {
    "member_mask_long": (np.int64, np.int64),
    "member_mask_schar": (np.int8, np.int8),
    "member_mask_ushort": (np.uint16, np.uint16),
    "member_mask_double": (np.float64, np.float64),
    "member_mask_long_in_ushort": (np.int64, np.uint16),
}


@pytest.mark.parametrize("name", TYPED)
@EXAMPLES
@given(data=st.data())
def test_typed_membership_matches_isin(name, data):
    function = getattr(module("member_mask"), name)
    left, right = TYPED[name]
    elements, test_elements = data.draw(vectors(left)), data.draw(vectors(right))
    expected = np.isin(elements, test_elements)
    result = function(elements, test_elements)
    assert result.dtype == np.bool_ and result.shape == elements.shape
    np.testing.assert_array_equal(result, expected)


SELECTABLE = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64, np.float32,
              np.float64]


@pytest.mark.parametrize("dtype", SELECTABLE, ids=lambda d: np.dtype(d).name)
@EXAMPLES
@given(data=st.data())
def test_generic_membership_matches_isin(dtype, data):
    member_mask = module("member_mask")
    if not hasattr(member_mask, "member_mask"):
        pytest.skip("the generic member_mask is not built yet")
    elements, test_elements = data.draw(vectors(dtype)), data.draw(vectors(dtype))
    np.testing.assert_array_equal(member_mask.member_mask(elements, test_elements), np.isin(elements, test_elements))


ENTRIES = {"char": np.int8, "short": np.int16, "int": np.int32, "long": np.int32, "long long": np.int64,
           "unsigned char": np.uint8, "unsigned short": np.uint16, "unsigned int": np.uint32,
           "unsigned long": np.uint32, "unsigned long long": np.uint64, "float": np.float32, "double": np.float64}


@pytest.mark.parametrize("key", ENTRIES)
@settings(max_examples=20, deadline=None)
@given(data=st.data())
def test_subscripted_entries_match_isin(key, data):
    member_mask = module("member_mask")
    if not hasattr(member_mask, "member_mask"):
        pytest.skip("the generic member_mask is not built yet")
    dtype = ENTRIES[key]
    elements, test_elements = data.draw(vectors(dtype)), data.draw(vectors(dtype))
    np.testing.assert_array_equal(member_mask.member_mask[key](elements, test_elements),
                                  np.isin(elements, test_elements))


# run_distinct compares raw bytes, numpy.unique compares values: integers (and bool) make both agree.
DISTINCT_DTYPES = [np.int8, np.uint16, np.int32, np.int64, np.bool_]


@st.composite
def row_arrays(draw):
    dtype = draw(st.sampled_from(DISTINCT_DTYPES))
    trailing = draw(st.sampled_from([(), (), (1,), (2,), (3,), (2, 2)]))
    rows = draw(st.integers(1, 30))
    values = st.booleans() if dtype is np.bool_ else st.integers(0, 3)
    return draw(hnp.arrays(dtype, (rows, *trailing), elements=values))


def lexicographic_order(array):
    flat = array.reshape(len(array), -1)
    if flat.shape[1] == 0:
        return np.arange(len(array))
    return np.lexsort(flat.T[::-1])


def check_against_unique(array, result, flags):
    unique, index, inverse, counts = np.unique(array, return_index=True, return_inverse=True, return_counts=True,
                                               axis=0)
    parts = list(result)
    distinct = parts.pop(0)
    np.testing.assert_array_equal(distinct, unique)
    assert distinct.dtype == array.dtype
    if flags["return_index"]:
        ours = parts.pop(0)
        # Which member of a run is reported is ours to choose; it must be a member of that run.
        np.testing.assert_array_equal(array[ours], unique)
    if flags["return_inverse"]:
        np.testing.assert_array_equal(parts.pop(0), inverse.reshape(-1))
    if flags["return_counts"]:
        np.testing.assert_array_equal(parts.pop(0), counts)
    assert not parts


FLAGS = st.fixed_dictionaries({name: st.booleans() for name in ("return_index", "return_inverse", "return_counts")})


@EXAMPLES
@given(array=row_arrays(), flags=FLAGS)
def test_run_distinct_presorted_matches_unique(array, flags):
    run_distinct = module("run_distinct").run_distinct
    ordered = array[lexicographic_order(array)]
    check_against_unique(ordered, run_distinct(ordered, presorted=True, **flags), flags)


@EXAMPLES
@given(array=row_arrays(), flags=FLAGS, presorted=st.booleans())
def test_run_distinct_with_order_matches_unique(array, flags, presorted):
    run_distinct = module("run_distinct").run_distinct
    order = lexicographic_order(array).astype(np.intp)
    check_against_unique(array, run_distinct(array, order=order, presorted=presorted, **flags), flags)


@EXAMPLES
@given(array=row_arrays(), step=st.sampled_from([2, 3]), start=st.integers(0, 2))
def test_run_distinct_on_row_step_views_matches_unique(array, step, start):
    run_distinct = module("run_distinct").run_distinct
    ordered = np.repeat(array[lexicographic_order(array)], step, axis=0)
    view = ordered[start::step]
    flags = dict(return_index=True, return_inverse=True, return_counts=True)
    check_against_unique(view.copy(), run_distinct(view, presorted=True, **flags), flags)


@EXAMPLES
@given(values=hnp.arrays(np.float64, st.integers(1, 30), elements=elements_of(np.float64)))
def test_run_distinct_compares_floats_by_their_bytes(values):
    # The same bytes are the same 64-bit pattern, so numpy.unique over the patterns is the oracle;
    # NaNs of one pattern are one row, 0.0 and -0.0 are two.
    run_distinct = module("run_distinct").run_distinct
    patterns = values.view(np.uint64)
    order = np.argsort(patterns, kind="stable").astype(np.intp)
    distinct, inverse, counts = run_distinct(values, return_inverse=True, return_counts=True, order=order)
    unique, unique_inverse, unique_counts = np.unique(patterns, return_inverse=True, return_counts=True)
    np.testing.assert_array_equal(distinct.view(np.uint64), unique)
    np.testing.assert_array_equal(inverse, unique_inverse)
    np.testing.assert_array_equal(counts, unique_counts)


def row_bytes(array):
    """Each row's bytes: rows are moved as raw bytes, so NaNs and signed zeros must survive."""
    return [np.ascontiguousarray(array[i]).tobytes() for i in range(len(array))]


@st.composite
def arrays_and_permutations(draw):
    dtype = draw(st.sampled_from([np.int8, np.int16, np.float32, np.float64, np.complex128, np.bool_]))
    trailing = draw(st.sampled_from([(), (1,), (3,), (2, 3), (0,)]))
    rows = draw(st.integers(0, 25))
    array = draw(hnp.arrays(dtype, (rows, *trailing)))
    permutation = np.array(draw(st.permutations(range(rows))), dtype=np.intp)
    return array, permutation


@EXAMPLES
@given(case=arrays_and_permutations())
def test_permute_rows_matches_fancy_indexing(case):
    permute_rows = module("permute_rows").permute_rows
    array, permutation = case
    expected = array[permutation]
    indices = permutation.copy()
    assert permute_rows(array, indices) is None
    assert row_bytes(array) == row_bytes(expected)
    np.testing.assert_array_equal(indices, np.arange(len(array)))


@EXAMPLES
@given(case=arrays_and_permutations(), step=st.sampled_from([1, 2, 3]), start=st.integers(0, 2))
def test_permute_rows_on_views_touches_only_their_rows(case, step, start):
    permute_rows = module("permute_rows").permute_rows
    rows, permutation = case
    base = np.repeat(rows, step, axis=0)
    base = np.concatenate([base, base[:start]]) if start else base
    view = base[start:start + step * len(rows):step]
    if len(view) != len(rows):
        return
    outside = np.ones(len(base), dtype=bool)
    outside[start:start + step * len(rows):step] = False
    before_outside = base[outside].copy()
    expected = view[permutation]
    permute_rows(view, permutation.copy())
    assert row_bytes(view) == row_bytes(expected)
    assert row_bytes(base[outside]) == row_bytes(before_outside)


@st.composite
def byte_ranges(draw):
    rows, columns = draw(st.integers(1, 6)), draw(st.integers(0, 8))
    # Few distinct byte values make equal sequences likely; 0 and 0xff test padding and order.
    src = draw(hnp.arrays(np.uint8, (rows, columns), elements=st.sampled_from([0, 1, 0x7F, 0x80, 0xFF])))
    count = draw(st.integers(1, 25))
    triples = []
    for _ in range(count):
        row = draw(st.integers(0, rows - 1))
        start = draw(st.integers(0, columns))
        end = draw(st.integers(start, columns))
        triples.append((row, start, end))
    return src, [np.array(column, dtype=np.intp) for column in zip(*triples)]


@EXAMPLES
@given(case=byte_ranges())
def test_span_distinct_matches_bytes_dedup(case):
    span_distinct = module("span_distinct").span_distinct
    src, (rows, starts, ends) = case
    sequences = [src[r, s:e].tobytes() for r, s, e in zip(rows, starts, ends)]
    # Python orders bytes by unsigned value, a proper prefix first: the order of the comparator.
    distinct = sorted(set(sequences))
    unique, inverse = span_distinct(src, rows, starts, ends)
    assert unique.dtype == np.uint8 and inverse.dtype == np.intp
    assert unique.shape == (len(distinct), src.shape[1])
    for g, sequence in enumerate(distinct):
        assert unique[g].tobytes() == sequence.ljust(src.shape[1], b"\0")
    assert inverse.tolist() == [distinct.index(sequence) for sequence in sequences]


def misaligned(values):
    """A copy of `values` at an odd address: legal NumPy memory (for example np.frombuffer at an
    offset), on which every element access must avoid assuming natural alignment."""
    values = np.ascontiguousarray(values)
    raw = np.zeros(values.nbytes + 1, np.uint8)
    out = raw[1:].view(values.dtype).reshape(values.shape)
    out[...] = values
    assert not out.flags.aligned or values.itemsize == 1
    return out


def misaligned_cases():
    ints, other = np.array([5, -1, 3, 5, 9], np.int64), np.array([5, 9, 0], np.int64)
    floats = np.array([0.5, -0.0, np.nan, 2.0])
    order = np.array([1, 2, 0, 3, 4], np.intp)
    rows = np.array([3, 1, 2, 1, 9], np.int64)
    src = np.frombuffer(b"abcabdabcxyz", np.uint8).reshape(3, 4)
    tables = (np.array([0, 1, 2, 0], np.intp), np.array([0, 0, 1, 0], np.intp), np.array([3, 3, 3, 3], np.intp))
    return [
        ("member_mask_long", "member_mask", lambda m: m.member_mask_long(misaligned(ints), misaligned(other)),
         lambda: np.isin(ints, other)),
        ("member_mask_double", "member_mask", lambda m: m.member_mask_double(misaligned(floats), misaligned(floats)),
         lambda: np.isin(floats, floats)),
        ("member_mask", "member_mask",
         lambda m: m.member_mask(misaligned(ints.astype(np.int32)), misaligned(other.astype(np.int32))),
         lambda: np.isin(ints, other)),
        ("run_distinct-presorted", "run_distinct",
         lambda m: m.run_distinct(misaligned(np.sort(rows)), False, True, True, presorted=True)[1:],
         lambda: np.unique(np.sort(rows), return_inverse=True, return_counts=True)[1:]),
        ("run_distinct-order", "run_distinct",
         lambda m: m.run_distinct(rows, return_inverse=True, order=misaligned(np.argsort(rows, kind="stable")))[1],
         lambda: np.unique(rows, return_inverse=True)[1]),
        ("permute_rows", "permute_rows",
         lambda m: (lambda a: (m.permute_rows(a, misaligned(order)), a)[1])(misaligned(rows)),
         lambda: rows[order]),
        ("span_distinct", "span_distinct", lambda m: m.span_distinct(src, *map(misaligned, tables))[1],
         lambda: np.array([0, 1, 2, 0])),
    ]


@pytest.mark.parametrize("name, module_name, ours, oracle", misaligned_cases(), ids=[c[0] for c in misaligned_cases()])
def test_misaligned_inputs_agree_with_the_oracle(name, module_name, ours, oracle):
    result, expected = ours(module(module_name)), oracle()
    for got, want in zip(result if isinstance(result, tuple) else (result,),
                         expected if isinstance(expected, tuple) else (expected,), strict=True):
        np.testing.assert_array_equal(got, want)
