"""norvale.cython.span_distinct: distinct byte sequences among ranges of a 2D byte array, checked
against a plain Python oracle; its import-time binding to span_order and span_rank is checked in
fresh interpreters, since a module can be imported only once per process."""

import re
import subprocess
import sys
import textwrap
import traceback

import numpy as np
import pytest

import norvale.cython.span_distinct as module
from norvale.cython.span_distinct import span_distinct
from norvale.cython.span_rank import span_rank


def tables(triples):
    if not triples:
        return tuple(np.zeros(0, np.intp) for _ in range(3))
    return tuple(np.array(column, dtype=np.intp) for column in zip(*triples))


def sequences(src, triples):
    return [bytes(src[row, start:end]) for row, start, end in triples]


def oracle(src, triples):
    """Distinct sequences in ascending byte order, zero-padded to the width of src, and the inverse."""
    keys = sequences(src, triples)
    distinct = sorted(set(keys))
    row_of = {key: i for i, key in enumerate(distinct)}
    unique = np.zeros((len(distinct), src.shape[1]), np.uint8)
    for i, key in enumerate(distinct):
        unique[i, :len(key)] = np.frombuffer(key, np.uint8)
    return unique, np.array([row_of[key] for key in keys], np.intp)


def check(src, triples):
    unique, inverse = span_distinct(src, *tables(triples))
    expected_unique, expected_inverse = oracle(src, triples)
    np.testing.assert_array_equal(unique, expected_unique)
    np.testing.assert_array_equal(inverse, expected_inverse)
    return unique, inverse


def random_triples(rng, shape, count):
    rows, cols = shape
    triples = []
    for _ in range(count):
        start = int(rng.integers(0, cols + 1))
        triples.append((int(rng.integers(0, rows)), start, int(rng.integers(start, cols + 1))))
    return triples


@pytest.mark.parametrize("alphabet, shape, count", [
    (2, (5, 12), 200), (256, (40, 33), 2000), (3, (10, 64), 3000),
], ids=["binary", "bytes", "ternary"])
def test_matches_oracle_on_random_ranges(alphabet, shape, count):
    rng = np.random.default_rng(count)
    src = rng.integers(0, alphabet, size=shape, dtype=np.uint8)
    check(src, random_triples(rng, shape, count))


@pytest.mark.parametrize("view", [lambda a: a[:, ::2], lambda a: a[:, ::-1], lambda a: a[::-1].T],
                         ids=["every other column", "reversed columns", "transposed"])
def test_strided_source_is_read_through_its_strides(view):
    rng = np.random.default_rng(9)
    src = view(rng.integers(0, 3, size=(20, 20), dtype=np.uint8))
    check(src, random_triples(rng, src.shape, 300))


SRC = np.frombuffer(b"abcab\x00\x00\x00" b"xxabcab\x00" b"abcdefgh", np.uint8).reshape(3, 8)

# (description, ranges, expected number of rows)
CASES = [
    ("one range", [(0, 0, 3)], 1),
    ("equal bytes in different rows and columns", [(0, 0, 3), (1, 2, 5), (1, 5, 7), (0, 3, 5)], 2),
    ("all distinct", [(2, 0, 1), (0, 1, 2), (2, 7, 8), (1, 0, 1)], 4),
    ("whole rows", [(0, 0, 8), (1, 0, 8), (2, 0, 8), (2, 0, 8)], 3),
    ("empty ranges fall into one all-zero row", [(0, 2, 2), (2, 8, 8), (1, 0, 0), (2, 0, 1)], 2),
    ("trailing zero bytes make different sequences", [(0, 3, 5), (0, 3, 6), (0, 3, 7), (1, 5, 7)], 3),
]


@pytest.mark.parametrize("triples, rows", [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_edge_cases(triples, rows):
    unique, inverse = check(SRC, triples)
    assert unique.shape == (rows, 8)
    for k, key in enumerate(sequences(SRC, triples)):
        assert bytes(unique[inverse[k], :len(key)]) == key


def test_result_types_and_ownership():
    rows, starts, ends = tables([(0, 0, 3), (1, 2, 5)])
    result = span_distinct(SRC, rows, starts, ends)
    assert type(result) is tuple and len(result) == 2
    unique, inverse = result
    assert unique.dtype == np.uint8 and inverse.dtype == np.intp
    for array in result:
        assert not any(np.shares_memory(array, given) for given in (SRC, rows, starts, ends))


def test_zero_ranges():
    unique, inverse = span_distinct(SRC, *tables([]))
    assert unique.shape == (0, 8) and unique.dtype == np.uint8
    assert inverse.shape == (0,) and inverse.dtype == np.intp


def test_read_only_inputs_are_not_written():
    src = SRC.copy()
    rows, starts, ends = tables([(0, 0, 3), (1, 2, 5)])
    for array in (src, rows, starts, ends):
        array.flags.writeable = False
    check(src, [(0, 0, 3), (1, 2, 5)])


@pytest.mark.parametrize("function", [span_distinct, span_rank], ids=["span_distinct", "span_rank"])
@pytest.mark.parametrize("position, name", list(enumerate(["src", "src_indices", "starts", "ends"])),
                         ids=["src", "src_indices", "starts", "ends"])
def test_none_is_refused(function, position, name):
    args = [SRC, *tables([(0, 0, 1)])]
    args[position] = None
    with pytest.raises(TypeError, match=re.escape(f"Argument '{name}' must not be None")):
        function(*args)


@pytest.mark.parametrize("count", [3, 5])
def test_argument_count(count):
    message = f"span_distinct() takes exactly 4 positional arguments ({count} given)"
    with pytest.raises(TypeError, match=re.escape(message)) as caught:
        span_distinct(*([SRC] * count))
    names = [frame.name for frame in traceback.extract_tb(caught.tb)]
    assert "norvale.cython.span_distinct.span_distinct" in names


def test_ranges_outside_src_are_refused():
    rows, starts, ends = tables([(0, 0, 1), (0, 4, 9)])
    with pytest.raises(ValueError, match=re.escape("range 1 lies outside src: row 0, columns 4 to 9")):
        span_distinct(SRC, rows, starts, ends)


def test_docstring():
    assert span_distinct.__doc__ == (
        "span_distinct(const uint8_t[:, :] src, const intp_t[:] src_indices, const intp_t[:] starts, "
        "const intp_t[:] ends)\n\n"
        "Find unique sequences of bytes, given source ranges from a 2D byte array.\n\n"
        ":param src: Source array (uint8, ndim=2)\n"
        ":param src_indices: The row indices of 'src' from which to take each sequence.\n"
        ":param starts: Starting column indices of 'src' from which to take each sequence.\n"
        ":param ends: Ending column indices of 'src' from which to take each sequence.\n\n"
        ":return: Unique sequences, and indices into this array for each input sequence.")


def test_module_globals_in_order():
    names = [name for name in vars(module) if not name.startswith("__")]
    assert names == ["np", "span_rank", "span_distinct"]
    assert module.span_rank is span_rank


# ---- the order from span_rank -----------------------------------------------------------------


def test_span_rank_gets_read_only_buffers_over_the_arguments(monkeypatch):
    seen = []

    def recording_rank(*args, **kwargs):
        seen.append((args, kwargs))
        return span_rank(*args)

    monkeypatch.setattr(module, "span_rank", recording_rank)
    given = (SRC, *tables([(0, 0, 3), (1, 2, 5)]))
    span_distinct(*given)
    ((args, kwargs),) = seen
    assert kwargs == {} and len(args) == 4
    for buffer, array in zip(args, given):
        view = memoryview(buffer)
        assert view.readonly and view.shape == array.shape and view.strides == array.strides
        assert np.shares_memory(np.asarray(buffer), array)


def test_groups_are_numbered_in_order_of_appearance(monkeypatch):
    triples = [(0, 0, 3), (2, 0, 2), (1, 2, 5)]  # abc, ab, abc
    monkeypatch.setattr(module, "span_rank", lambda *args: np.array([0, 2, 1], np.intp))
    unique, inverse = span_distinct(SRC, *tables(triples))
    assert inverse.tolist() == [0, 1, 0]
    assert [bytes(row[:3]) for row in unique] == [b"abc", b"ab\x00"]


def read_only(order):
    order.flags.writeable = False
    return order


@pytest.mark.parametrize("order, error, message", [
    (lambda n: read_only(np.arange(n)), ValueError, "read-only"),
    (lambda n: np.arange(n, dtype=np.int32), ValueError, "Buffer dtype mismatch, expected 'intp_t' but got 'int'"),
    (lambda n: np.arange(2 * n)[::2], ValueError, "ndarray is not C-contiguous"),
    (lambda n: np.arange(n - 1), ValueError, "span_rank returned an order of 2 entries for 3 ranges"),
    (lambda n: np.array([0, 1, 1]), ValueError,
     "order must be a permutation of 0 .. n-1 for n = 3 ranges, but order[2] = 1 repeats an earlier entry"),
    (lambda n: np.array([0, 3, 1]), ValueError, "order[1] = 3 is out of range"),
    (lambda n: np.array([-1, 0, 1]), ValueError, "order[0] = -1 is out of range"),
], ids=["read-only", "int32", "strided", "too short", "repeated", "too large", "negative"])
def test_unusable_orders_are_refused(monkeypatch, order, error, message):
    monkeypatch.setattr(module, "span_rank", lambda *args: order(3))
    with pytest.raises(error, match=re.escape(message)):
        span_distinct(SRC, *tables([(0, 0, 3), (2, 0, 2), (1, 2, 5)]))


def test_longer_order_is_read_up_to_the_number_of_ranges(monkeypatch):
    monkeypatch.setattr(module, "span_rank", lambda *args: np.array([1, 0, 99], np.intp))
    unique, inverse = span_distinct(SRC, *tables([(0, 0, 3), (2, 0, 2)]))
    assert inverse.tolist() == [1, 0]


def test_ranges_are_checked_even_when_span_rank_does_not(monkeypatch):
    monkeypatch.setattr(module, "span_rank", lambda *args: np.arange(2))
    with pytest.raises(ValueError, match=re.escape("range 1 lies outside src: row 5")):
        span_distinct(SRC, *tables([(0, 0, 3), (5, 0, 2)]))


def test_span_rank_errors_pass_unchanged(monkeypatch):
    class RankError(Exception):
        pass

    def failing(*args):
        raise RankError("no order today")

    monkeypatch.setattr(module, "span_rank", failing)
    with pytest.raises(RankError, match="no order today"):
        span_distinct(SRC, *tables([(0, 0, 3)]))


@pytest.mark.parametrize("name", ["np", "span_rank"])
def test_globals_are_looked_up_at_each_call(monkeypatch, name):
    monkeypatch.delitem(vars(module), name)
    with pytest.raises(NameError, match=re.escape(f"name '{name}' is not defined")):
        span_distinct(SRC, *tables([(0, 0, 3)]))


# ---- import-time binding, in fresh interpreters -----------------------------------------------

PRELUDE = """
import ctypes, sys, traceback, types, warnings

def stand_in(**attributes):
    fake = types.ModuleType("norvale.cython.span_order")
    fake.__dict__.update(attributes)
    sys.modules["norvale.cython.span_order"] = fake

def capsule(name):
    make = ctypes.pythonapi.PyCapsule_New
    make.restype = ctypes.py_object
    make.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    keep.append(ctypes.create_string_buffer(name))
    return make(ctypes.addressof(keep[-1]), keep[-1], None)

keep = []

class Blocker:
    def __init__(self, name):
        self.name = name
    def find_spec(self, name, path=None, target=None):
        if name == self.name:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
"""

REPORT = """
try:
    import norvale.cython.span_distinct
except BaseException as error:
    names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
    print(type(error).__name__ + ": " + str(error))
    print("init entry" if "init norvale.cython.span_distinct" in names else "no init entry")
    print("span_order loaded" if "norvale.cython.span_order" in sys.modules else "span_order not loaded")
else:
    print("imported")
"""

# (description, set-up code, first line of the report)
IMPORT_CASES = [
    ("span_rank missing", "sys.meta_path.insert(0, Blocker('norvale.cython.span_rank'))",
     "ModuleNotFoundError: No module named 'norvale.cython.span_rank'"),
    ("span_rank without the function", "sys.modules['norvale.cython.span_rank'] = types.ModuleType('x')",
     "ImportError: cannot import name span_rank"),
    ("span_order missing", "sys.meta_path.insert(0, Blocker('norvale.cython.span_order'))",
     "ModuleNotFoundError: No module named 'norvale.cython.span_order'"),
    ("no byte_ranges_context", "stand_in()",
     "AttributeError: module 'norvale.cython.span_order' has no attribute 'byte_ranges_context'"),
    ("byte_ranges_context not a type", "stand_in(byte_ranges_context=5)",
     "TypeError: norvale.cython.span_order.byte_ranges_context is not a type object"),
    ("byte_ranges_context too small", "stand_in(byte_ranges_context=type('t', (), {'__slots__': ()}))",
     "ValueError: norvale.cython.span_order.byte_ranges_context size changed, may indicate binary "
     "incompatibility. Expected "),
    ("no __pyx_capi__", "import norvale.cython.span_order as real\n"
     "stand_in(byte_ranges_context=real.byte_ranges_context)",
     "AttributeError: module 'norvale.cython.span_order' has no attribute '__pyx_capi__'"),
    ("no comparator in __pyx_capi__", "import norvale.cython.span_order as real\n"
     "stand_in(byte_ranges_context=real.byte_ranges_context, __pyx_capi__={})",
     "ImportError: norvale.cython.span_order does not export expected C function span_order"),
    ("comparator of another signature", "import norvale.cython.span_order as real\n"
     "stand_in(byte_ranges_context=real.byte_ranges_context, __pyx_capi__={'span_order': capsule(b'int (void *)')})",
     "TypeError: C function norvale.cython.span_order.span_order has wrong signature "
     "(expected int (void const *, void const *, void *), got int (void *))"),
    ("larger type with warnings as errors", "import norvale.cython.span_order as real\n"
     "big = type('big', (), {'__slots__': tuple(f's{i}' for i in range(60))})\n"
     "stand_in(byte_ranges_context=big, __pyx_capi__=real.__pyx_capi__)\n"
     "warnings.simplefilter('error')",
     "RuntimeWarning: norvale.cython.span_order.byte_ranges_context size changed"),
    ("larger type warns only", "import norvale.cython.span_order as real\n"
     "big = type('big', (), {'__slots__': tuple(f's{i}' for i in range(60))})\n"
     "stand_in(byte_ranges_context=big, __pyx_capi__=real.__pyx_capi__)\n"
     "warnings.simplefilter('ignore')",
     "imported"),
]


@pytest.mark.parametrize("setup, first_line", [case[1:] for case in IMPORT_CASES],
                         ids=[case[0] for case in IMPORT_CASES])
def test_import_failures(setup, first_line):
    code = PRELUDE + textwrap.dedent(setup) + "\n" + REPORT
    run = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith(first_line), run.stdout
    if first_line != "imported":
        assert lines[1] == "init entry"
    if "span_rank" in first_line:
        # span_order is bound first, so it is loaded when span_rank fails.
        assert lines[2] == "span_order loaded"
