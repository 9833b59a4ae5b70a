"""norvale.cython.span_rank: the stable sort order of byte ranges, checked against Python's sort
of the ranges' bytes (bytes compare as unsigned values, a proper prefix first)."""

import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvale.cython.span_rank import span_rank


def tables(triples):
    if not triples:
        return tuple(np.zeros(0, np.intp) for _ in range(3))
    return tuple(np.array(column, dtype=np.intp) for column in zip(*triples))


def expected_order(src, triples):
    keys = [bytes(src[row, start:end]) for row, start, end in triples]
    return sorted(range(len(keys)), key=keys.__getitem__)  # stable


def random_triples(rng, shape, count, max_length=None):
    rows, cols = shape
    triples = []
    for _ in range(count):
        start = int(rng.integers(0, cols + 1))
        longest = cols - start if max_length is None else min(cols - start, max_length)
        triples.append((int(rng.integers(0, rows)), start, start + int(rng.integers(0, longest + 1))))
    return triples


@pytest.mark.parametrize("alphabet, shape, count", [
    (2, (4, 40), 300),       # long runs of equal prefixes, ranges past 8, 16, 24 bytes
    (256, (50, 64), 3000),   # the radix path on the first 8 bytes
    (3, (8, 64), 5000),      # radix path with deep ties
    (256, (100, 64), 60000),  # split on the top byte first, then each bucket
], ids=["binary", "bytes", "ternary many", "bucketed"])
def test_order_matches_stable_sort_of_bytes(alphabet, shape, count):
    rng = np.random.default_rng(count)
    src = rng.integers(0, alphabet, size=shape, dtype=np.uint8)
    triples = random_triples(rng, shape, count)
    order = span_rank(src, *tables(triples))
    assert order.tolist() == expected_order(src, triples)


def test_many_copies_of_long_sequences_keep_input_order():
    # 10000 copies each of a few 40-byte rows: deep ties sorted by the radix path at every level.
    rng = np.random.default_rng(3)
    src = np.tile(rng.integers(0, 256, size=(1, 40), dtype=np.uint8), (4, 1))
    src[1, 39] = src[0, 39] ^ 1
    src[2, 20:] = 0
    triples = [(int(r), 0, int(e)) for r, e in zip(rng.integers(0, 4, 40000), rng.choice([39, 40], 40000))]
    order = span_rank(src, *tables(triples))
    assert order.tolist() == expected_order(src, triples)


@pytest.mark.parametrize("view", [
    lambda a: a[:, ::2], lambda a: a[:, ::-1], lambda a: a[::-1], lambda a: a.T,
], ids=["every other column", "reversed columns", "reversed rows", "transposed"])
def test_strided_sources(view):
    rng = np.random.default_rng(5)
    src = view(rng.integers(0, 3, size=(30, 30), dtype=np.uint8))
    triples = random_triples(rng, src.shape, 400)
    assert span_rank(src, *tables(triples)).tolist() == expected_order(src, triples)


def test_strided_tables():
    src = np.frombuffer(b"bbaacc", np.uint8).reshape(3, 2)
    rows = np.array([2, 9, 0, 9, 1], np.intp)[::2]
    starts = np.zeros((3, 2), np.intp)[:, 0]
    ends = np.full(3, 2, np.intp)
    assert span_rank(src, rows, starts, ends).tolist() == [2, 1, 0]


@settings(max_examples=200, deadline=None)
@given(st.data())
def test_order_property(data):
    rows = data.draw(st.integers(1, 4))
    cols = data.draw(st.integers(0, 20))
    flat = data.draw(st.lists(st.sampled_from([0, 1, 0x7F, 0x80, 0xFF]), min_size=rows * cols,
                              max_size=rows * cols))
    src = np.array(flat, np.uint8).reshape(rows, cols)
    triple = st.tuples(st.integers(0, rows - 1), st.integers(0, cols), st.integers(0, cols)).map(
        lambda t: (t[0], min(t[1], t[2]), max(t[1], t[2])))
    triples = data.draw(st.lists(triple, max_size=40))
    assert span_rank(src, *tables(triples)).tolist() == expected_order(src, triples)


def test_result_is_a_new_writable_contiguous_intp_array():
    src = np.zeros((2, 3), np.uint8)
    rows, starts, ends = tables([(0, 0, 1), (1, 0, 2)])
    order = span_rank(src, rows, starts, ends)
    assert order.dtype == np.intp and order.shape == (2,)
    assert order.flags.c_contiguous and order.flags.writeable and order.flags.owndata
    assert span_rank(src, *tables([])).shape == (0,)


def test_read_only_inputs_are_accepted():
    src = np.frombuffer(b"ba", np.uint8).reshape(2, 1)
    rows, starts, ends = tables([(0, 0, 1), (1, 0, 1)])
    for array in (rows, starts, ends):
        array.flags.writeable = False
    assert span_rank(src, rows, starts, ends).tolist() == [1, 0]


SRC = np.zeros((2, 4), np.uint8)


@pytest.mark.parametrize("triples, starts_length, message", [
    ([(0, 0, 1), (2, 0, 1)], None, "range 1 lies outside src: row 2, columns 0 to 1, src shape (2, 4)"),
    ([(-1, 0, 1)], None, "range 0 lies outside src: row -1"),
    ([(0, 0, 1), (0, -1, 1)], None, "range 1 lies outside src: row 0, columns -1 to 1"),
    ([(0, 3, 2)], None, "range 0 lies outside src: row 0, columns 3 to 2"),
    ([(0, 0, 5)], None, "range 0 lies outside src: row 0, columns 0 to 5, src shape (2, 4)"),
    ([(0, 0, 1)] * 3, 2, "range 2 is beyond the range tables: src_indices, starts and ends have 3, 2 and 3 entries"),
], ids=["row too large", "negative row", "negative start", "end before start", "end past columns",
        "short starts"])
def test_ranges_outside_src_are_refused(triples, starts_length, message):
    rows, starts, ends = tables(triples)
    if starts_length is not None:
        starts = starts[:starts_length]
    with pytest.raises(ValueError, match=re.escape(message)):
        span_rank(SRC, rows, starts, ends)


def test_argument_binding_messages():
    with pytest.raises(TypeError, match=re.escape("span_rank() takes exactly 4 positional arguments (3 given)")):
        span_rank(SRC, *tables([(0, 0, 1)])[:2])
    with pytest.raises(ValueError, match=re.escape("Buffer dtype mismatch, expected 'const intp_t' but got 'int'")):
        span_rank(SRC, np.zeros(1, np.int32), *tables([(0, 0, 1)])[1:])


def test_docstring_starts_with_signature():
    assert span_rank.__doc__.startswith(
        "span_rank(const uint8_t[:, :] src, const intp_t[:] src_indices, const intp_t[:] starts, "
        "const intp_t[:] ends)\n\n")
