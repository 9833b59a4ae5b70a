"""norvale.cython.span_order: the byte_ranges_context type, its pickling support, and the native
comparator published in __pyx_capi__ (called here through ctypes, so the lock stays held)."""

import copy
import ctypes
import gc
import pickle
import re
import sys
import traceback

import numpy as np
import pytest

import norvale.cython.span_order as span_order

Context = span_order.byte_ranges_context
unpickle = span_order.__pyx_unpickle_byte_ranges_context
SIGNATURE = "int (void const *, void const *, void *)"
CHECKSUM = 0x6B2856C

_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]

_COMPARATOR = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.py_object)
_compare = _COMPARATOR(_capsule_pointer(span_order.__pyx_capi__["span_order"], SIGNATURE.encode()))


def compare(ctx, i, j):
    a, b = ctypes.c_ssize_t(i), ctypes.c_ssize_t(j)
    return _compare(ctypes.addressof(a), ctypes.addressof(b), ctx)


def oracle(x: bytes, y: bytes) -> int:
    """The comparator's documented result for two byte strings."""
    for p, q in zip(x, y):
        if p != q:
            return -1 if p < q else 1
    return len(x) - len(y)


def make_context(src, triples):
    rows, starts, ends = (np.array(column, dtype=np.intp) for column in zip(*triples))
    return Context(src, rows, starts, ends)


def range_bytes(src, triple):
    row, start, end = triple
    return bytes(src[row, start:end])


SRC = np.frombuffer(b"abcab\x00\x7f\x80" b"xxabcabc" b"abcd\x00\x00\x00\x00", np.uint8).reshape(3, 8)

# (description, range i, range j, expected result); ranges are (row, start, end).
ORDER_CASES = [
    ("equal in different rows", (0, 0, 3), (1, 2, 5), 0),
    ("equal at different columns", (1, 2, 5), (1, 5, 8), 0),
    ("range with itself", (0, 1, 6), (0, 1, 6), 0),
    ("0x80 after 0x7f", (0, 7, 8), (0, 6, 7), 1),
    ("0x7f before 0x80", (0, 6, 7), (0, 7, 8), -1),
    ("2-byte prefix of 3-byte range", (0, 0, 2), (1, 2, 5), -1),
    ("1-byte prefix of 4-byte range", (0, 0, 1), (2, 0, 4), -3),
    ("4-byte range after its 1-byte prefix", (2, 0, 4), (0, 3, 4), 3),
    ("trailing zero byte makes it longer", (0, 3, 5), (0, 3, 6), -1),
    ("two empty ranges", (0, 2, 2), (1, 8, 8), 0),
    ("empty before non-empty", (0, 0, 0), (2, 0, 5), -5),
    ("first difference gives +1 whatever the lengths", (2, 0, 8), (0, 0, 4), 1),
    ("first difference gives -1 whatever the lengths", (0, 0, 5), (2, 0, 4), -1),
]


@pytest.mark.parametrize("first, second, expected", [case[1:] for case in ORDER_CASES],
                         ids=[case[0] for case in ORDER_CASES])
def test_comparator_orders_ranges(first, second, expected):
    ctx = make_context(SRC, [first, second])
    assert compare(ctx, 0, 1) == expected
    assert oracle(range_bytes(SRC, first), range_bytes(SRC, second)) == expected


def test_comparator_reads_index_pointers_into_any_intp_array():
    ctx = make_context(SRC, [(0, 0, 2), (1, 2, 5)])
    order = np.array([1, 0], dtype=np.intp)
    address = order.ctypes.data
    assert _compare(address, address + order.itemsize, ctx) == 1


@pytest.fixture(params=["contiguous", "every other column", "reversed columns", "reversed rows"])
def random_source(request):
    rng = np.random.default_rng(7)
    base = rng.integers(0, 3, size=(6, 24), dtype=np.uint8)  # few values: many equal prefixes
    return {
        "contiguous": base,
        "every other column": base[:, ::2],
        "reversed columns": base[:, ::-1],
        "reversed rows": base[::-1],
    }[request.param]


def test_comparator_matches_oracle_through_strides(random_source):
    rng = np.random.default_rng(11)
    rows, cols = random_source.shape
    triples = []
    for _ in range(60):
        start = int(rng.integers(0, cols + 1))
        triples.append((int(rng.integers(0, rows)), start, int(rng.integers(start, cols + 1))))
    ctx = make_context(random_source, triples)
    for i in range(len(triples)):
        for j in range(len(triples)):
            expected = oracle(range_bytes(random_source, triples[i]), range_bytes(random_source, triples[j]))
            assert compare(ctx, i, j) == expected, (triples[i], triples[j])


@pytest.fixture
def unraisable(monkeypatch):
    caught = []
    monkeypatch.setattr(sys, "unraisablehook", caught.append)
    return caught


def uninitialised():
    return Context.__new__(Context)


# (description, context factory, index i, expected type, expected message)
FAULT_CASES = [
    ("context of another type", dict, 0, TypeError,
     "Cannot convert dict to norvale.cython.span_order.byte_ranges_context"),
    ("None for the context", lambda: None, 0, ValueError, "span_order needs a byte_ranges_context, not None"),
    ("instance without views", uninitialised, 0, ValueError,
     "the byte_ranges_context holds no view in its field 'src'"),
    ("field bound from None", lambda: Context(SRC, np.zeros(2, np.intp), None, np.zeros(2, np.intp)), 0,
     ValueError, "the byte_ranges_context holds no view in its field 'starts'"),
    ("index beyond the tables", lambda: make_context(SRC, [(0, 0, 1), (0, 0, 1)]), 2, ValueError,
     "range 2 is beyond the range tables: src_indices, starts and ends have 2, 2 and 2 entries"),
    ("negative index", lambda: make_context(SRC, [(0, 0, 1), (0, 0, 1)]), -1, ValueError,
     "range -1 is beyond the range tables"),
    ("row outside src", lambda: make_context(SRC, [(3, 0, 1), (0, 0, 1)]), 0, ValueError,
     "range 0 lies outside src: row 3, columns 0 to 1, src shape (3, 8)"),
    ("end past the last column", lambda: make_context(SRC, [(0, 4, 9), (0, 0, 1)]), 0, ValueError,
     "range 0 lies outside src: row 0, columns 4 to 9, src shape (3, 8)"),
    ("end before start", lambda: make_context(SRC, [(0, 4, 3), (0, 0, 1)]), 0, ValueError,
     "range 0 lies outside src: row 0, columns 4 to 3"),
]


@pytest.mark.parametrize("factory, index, error, message", [case[1:] for case in FAULT_CASES],
                         ids=[case[0] for case in FAULT_CASES])
def test_comparator_reports_faults_as_unraisable_and_returns_zero(factory, index, error, message, unraisable,
                                                                  capsys):
    ctx = factory()
    before = sys.getrefcount(ctx)
    assert compare(ctx, index, 1) == 0
    assert sys.getrefcount(ctx) == before
    (report,) = unraisable
    assert report.exc_type is error
    assert message in str(report.exc_value)
    assert report.object == "norvale.cython.span_order.span_order"
    names = [frame.name for frame in traceback.extract_tb(report.exc_traceback)]
    assert "norvale.cython.span_order.span_order" in names
    # Printed with its traceback before it is reported.
    printed = capsys.readouterr().err
    assert "Traceback (most recent call last)" in printed
    assert f"{error.__name__}: " in printed and message in printed


def test_comparator_keeps_reference_count_of_context():
    ctx = make_context(SRC, [(0, 0, 3), (1, 2, 5)])
    before = sys.getrefcount(ctx)
    for _ in range(100):
        compare(ctx, 0, 1)
    assert sys.getrefcount(ctx) == before


def test_capi_exports_comparator_capsule():
    assert list(span_order.__pyx_capi__) == ["span_order"]
    assert _capsule_name(span_order.__pyx_capi__["span_order"]) == SIGNATURE.encode()


# ---- the type ---------------------------------------------------------------------------------


def test_type_identity():
    assert Context.__module__ == "norvale.cython.span_order"
    assert Context.__qualname__ == "byte_ranges_context"
    assert repr(Context) == "<class 'norvale.cython.span_order.byte_ranges_context'>"
    assert Context.__doc__ == (
        "byte_ranges_context(const uint8_t[:, :] src, const intp_t[:] src_indices, const intp_t[:] starts, "
        "const intp_t[:] ends)"
    )
    assert Context.__bases__ == (object,)
    assert Context.__reduce_ex__ is object.__reduce_ex__
    assert {"__reduce__", "__setstate__"} <= set(vars(Context))


def test_type_cannot_be_subclassed():
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("sub", (Context,), {})


def test_instances_have_no_attributes_dict_or_gc():
    ctx = make_context(SRC, [(0, 0, 1)])
    with pytest.raises(AttributeError):
        ctx.extra = 1
    with pytest.raises(AttributeError):
        ctx.src  # noqa: B018 - the fields are not visible from Python
    assert not hasattr(ctx, "__dict__")
    assert not gc.is_tracked(ctx)


@pytest.mark.parametrize("args, kwargs, message", [
    ((SRC,) * 3, {}, "__init__() takes exactly 4 positional arguments (3 given)"),
    ((SRC,) * 5, {}, "__init__() takes exactly 4 positional arguments (5 given)"),
    ((SRC,), {"src": SRC}, "__init__() got multiple values for keyword argument 'src'"),
    ((SRC, None, None, None), {"stop": 1}, "__init__() got an unexpected keyword argument 'stop'"),
], ids=["three", "five", "repeated keyword", "unknown keyword"])
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)) as caught:
        Context(*args, **kwargs)
    names = [frame.name for frame in traceback.extract_tb(caught.tb)]
    assert "norvale.cython.span_order.byte_ranges_context.__init__" in names


def test_constructor_takes_keywords_in_any_order():
    rows, starts, ends = (np.array(v, np.intp) for v in ([0, 1], [0, 2], [3, 4]))
    ctx = Context(ends=ends, starts=starts, src=SRC, src_indices=rows)
    assert compare(ctx, 0, 1) == oracle(b"abc", b"ab")


@pytest.mark.parametrize("position, bad, message", [
    (0, np.zeros((2, 2)), "Buffer dtype mismatch, expected 'const uint8_t' but got 'double'"),
    (0, np.zeros(4, np.uint8), "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (2, np.zeros(2, np.int32), "Buffer dtype mismatch, expected 'const intp_t' but got 'int'"),
    (3, np.zeros(2, np.uint64), "Buffer dtype mismatch, expected 'const intp_t' but got 'unsigned long'"),
], ids=["float src", "1-d src", "int32 starts", "uint64 ends"])
def test_failed_rebinding_keeps_previous_views(position, bad, message):
    ctx = make_context(SRC, [(0, 0, 3), (1, 2, 4)])
    fresh = [SRC, np.array([0, 1], np.intp), np.array([0, 2], np.intp), np.array([3, 5], np.intp)]
    fresh[position] = bad
    with pytest.raises(ValueError, match=re.escape(message)):
        ctx.__init__(*fresh)
    assert compare(ctx, 0, 1) == 1  # still "abc" against "ab"


def test_rebinding_replaces_views():
    ctx = make_context(SRC, [(0, 0, 3), (1, 2, 4)])
    other = np.zeros((1, 4), np.uint8)
    assert ctx.__init__(other, np.zeros(2, np.intp), np.zeros(2, np.intp), np.array([4, 4], np.intp)) is None
    assert compare(ctx, 0, 1) == 0


def test_context_holds_exporter_buffer_until_destroyed():
    exporter = memoryview(bytearray(b"abcdefgh")).cast("B", (2, 4))
    table = np.zeros(1, np.intp)
    ctx = Context(exporter, table, table, table)
    with pytest.raises(BufferError):
        exporter.release()
    del ctx
    exporter.release()


# ---- pickling and copying ---------------------------------------------------------------------


@pytest.fixture
def bound():
    src = np.arange(24, dtype=np.uint8).reshape(4, 6)[:, ::2]
    rows = np.array([0, 3, 1], np.intp)
    starts = np.array([0, 1, 2, 99], np.intp)[:3]
    ends = np.array([3, 2, 3], np.intp)[::-1].copy()
    return src, rows, starts, ends, Context(src, rows, starts, ends)


def test_reduce_gives_unpickle_call_with_state_in_field_name_order(bound):
    src, rows, starts, ends, ctx = bound
    function, (cls, checksum, state) = ctx.__reduce__()
    assert function is unpickle and cls is Context and checksum == 112362860
    assert len(state) == 4
    for buffer, array in zip(state, (ends, src, rows, starts)):
        view = memoryview(buffer)
        assert view.readonly
        assert (view.ndim, view.shape, view.strides) == (array.ndim, array.shape, array.strides)
        assert view.format == ("B" if array.dtype == np.uint8 else np.dtype(np.intp).char)
        assert np.shares_memory(np.asarray(buffer), array)
        np.testing.assert_array_equal(np.asarray(buffer), array)


def test_reduce_looks_the_unpickle_function_up_at_each_call(bound, monkeypatch):
    marker = object()
    monkeypatch.setattr(span_order, "__pyx_unpickle_byte_ranges_context", marker)
    assert bound[-1].__reduce__()[0] is marker


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "__reduce__() takes no arguments (1 given)"),
    ((), {"protocol": 2}, "__reduce__() takes no keyword arguments"),
], ids=["positional", "keyword"])
def test_reduce_takes_no_arguments(bound, args, kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        bound[-1].__reduce__(*args, **kwargs)


def test_unpickled_context_orders_like_the_original(bound):
    ctx = bound[-1]
    function, args = ctx.__reduce__()
    twin = function(*args)
    assert type(twin) is Context and twin is not ctx
    pairs = [(i, j) for i in range(3) for j in range(3)]
    assert [compare(twin, i, j) for i, j in pairs] == [compare(ctx, i, j) for i, j in pairs]


@pytest.mark.parametrize("checksum", [0x6B2856C, 0xC961668, 0x9614869, 112362860.0],
                         ids=["current", "second", "third", "float via __int__"])
def test_unpickle_accepts_known_checksums(bound, checksum):
    state = bound[-1].__reduce__()[1][2]
    assert compare(unpickle(Context, checksum, state), 0, 1) == compare(bound[-1], 0, 1)


@pytest.mark.parametrize("checksum, shown", [(1, "0x1"), (-5, "0x-5")], ids=["other", "negative"])
def test_unpickle_refuses_other_checksums(checksum, shown):
    message = (f"Incompatible checksums ({shown} vs (0x6b2856c, 0xc961668, 0x9614869) = "
               "(ends, src, src_indices, starts))")
    with pytest.raises(pickle.PickleError, match=re.escape(message)) as caught:
        unpickle(Context, checksum, None)
    names = [frame.name for frame in traceback.extract_tb(caught.tb)]
    assert "norvale.cython.span_order.__pyx_unpickle_byte_ranges_context" in names


class IntReturnsText:
    def __int__(self):
        return "text"


class StateTuple(tuple):
    pass


@pytest.mark.parametrize("args, error, message", [
    ((Context, object(), None), TypeError, "an integer is required"),
    ((Context, IntReturnsText(), None), TypeError, "__int__ returned non-int (type str)"),
    ((Context, 2**70, None), OverflowError, "too large"),
    ((Context, CHECKSUM, StateTuple()), TypeError,
     "Argument '__pyx_state' has incorrect type (expected tuple, got StateTuple)"),
    ((Context, CHECKSUM, []), TypeError, "Argument '__pyx_state' has incorrect type (expected tuple, got list)"),
    ((int, CHECKSUM, None), TypeError, "is not a subtype of"),
    ((Context, CHECKSUM), TypeError,
     "__pyx_unpickle_byte_ranges_context() takes exactly 3 positional arguments (2 given)"),
], ids=["no __int__", "__int__ gives str", "overflow", "tuple subclass", "list", "other type", "two arguments"])
def test_unpickle_argument_errors(args, error, message):
    with pytest.raises(error, match=re.escape(message)):
        unpickle(*args)


def test_unpickle_without_state_gives_an_empty_instance():
    ctx = unpickle(__pyx_type=Context, __pyx_checksum=CHECKSUM, __pyx_state=None)
    assert type(ctx) is Context
    with pytest.raises(AttributeError, match=re.escape("Memoryview is not initialized")):
        ctx.__reduce__()


def test_unpickle_docstring():
    assert unpickle.__doc__ == "__pyx_unpickle_byte_ranges_context(__pyx_type, long __pyx_checksum, tuple __pyx_state)"


@pytest.mark.parametrize("state, error, message", [
    (None, TypeError, "cannot pass None into a C function argument that is declared 'not None'"),
    ([1, 2, 3, 4], TypeError, "Expected tuple, got list"),
    (StateTuple((1, 2, 3, 4)), TypeError, "Expected tuple, got StateTuple"),
    ((1, 2, 3), ValueError,
     "byte_ranges_context state must be a tuple of 4 items (ends, src, src_indices, starts), got 3"),
], ids=["None", "list", "tuple subclass", "three items"])
def test_setstate_argument_errors(bound, state, error, message):
    with pytest.raises(error, match=re.escape(message)):
        bound[-1].__setstate__(state)


def test_setstate_replaces_fields_one_by_one(bound):
    src, rows, starts, ends, ctx = bound
    new_ends, new_src = np.array([1, 1, 1], np.intp), np.zeros((2, 2), np.uint8)
    with pytest.raises(ValueError, match=re.escape("Buffer dtype mismatch, expected 'const intp_t' but got 'double'")):
        ctx.__setstate__((new_ends, new_src, np.zeros(3), starts))
    state = ctx.__reduce__()[1][2]
    assert np.shares_memory(np.asarray(state[0]), new_ends)
    assert np.shares_memory(np.asarray(state[1]), new_src)
    assert np.shares_memory(np.asarray(state[2]), rows)  # the failing element left its field alone


@pytest.mark.parametrize("extra, outcome", [(0, None), ({}, None), ({"a": 1}, AttributeError)],
                         ids=["false", "empty dict", "true"])
def test_setstate_fifth_item_needs_an_instance_dict(bound, extra, outcome):
    src, rows, starts, ends, ctx = bound
    state = (ends, src, rows, starts, extra)
    if outcome is None:
        assert ctx.__setstate__(state) is None
    else:
        with pytest.raises(AttributeError, match="__dict__"):
            ctx.__setstate__(state)


def test_copy_shares_buffers(bound):
    src, rows, starts, ends, ctx = bound
    twin = copy.copy(ctx)
    assert type(twin) is Context and twin is not ctx
    assert np.shares_memory(np.asarray(twin.__reduce__()[1][2][1]), src)
    assert compare(twin, 0, 2) == compare(ctx, 0, 2)


@pytest.mark.parametrize("action", [pickle.dumps, copy.deepcopy], ids=["pickle", "deepcopy"])
def test_pickle_and_deepcopy_fail(bound, action):
    with pytest.raises(TypeError, match=re.escape("no default __reduce__ due to non-trivial __cinit__")):
        action(bound[-1])
