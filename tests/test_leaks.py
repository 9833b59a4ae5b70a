"""Leak checks for every public function: success paths and each kind of error path.

One table; each case names its module, builds its call from the imported module, and says
which exception every call must raise (None: must succeed). A case whose module is not built
yet is skipped.
"""

import copy
import ctypes
import pickle
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pytest

from helpers import RefusingExporter, dotted
from leakcheck import assert_no_leaks, malloc_in_use


@dataclass
class Case:
    id: str
    module: str
    build: Callable  # module -> (function, args, kwargs)
    raises: type | None = None


def call(name, *args, **kwargs):
    return lambda m: (getattr(m, name), args, kwargs)


def fresh(dtype, values):
    return np.array(values, dtype=dtype)


def read_only(array):
    array.setflags(write=False)
    return array


def ints(*values):
    return fresh(np.int64, values)


def intp(*values):
    return fresh(np.intp, values)


def u16(*values):
    return fresh(np.uint16, values)


class Untruthful:
    def __bool__(self):
        raise ZeroDivisionError


def column_major():
    return np.asfortranarray(np.arange(6, dtype=np.int64).reshape(3, 2))


def generic_entry(key, *args):
    return lambda m: (m.member_mask[key], args, {})


def exporter_call(name, format, **fields):
    """`name`(exporter, exporter) over a hand-made buffer of three 8-byte items."""
    def build(m):
        exporter_type = pytest.importorskip("norvale_test_exporter").Exporter
        exporter = exporter_type(24, format, shape=(3,), strides=(8,), itemsize=8, **fields)
        return getattr(m, name), (exporter, exporter), {}

    return build


def byte_rows():
    return np.frombuffer(b"abcabdabcxyz", dtype=np.uint8).reshape(3, 4).copy()


RANGES = (intp(0, 1, 2, 0), intp(0, 0, 1, 0), intp(3, 3, 3, 3))
CONTEXT_ARGS = (byte_rows(), *RANGES)


def context_method(method, *args):
    def build(m):
        context = m.byte_ranges_context(*CONTEXT_ARGS)
        return getattr(context, method), args, {}

    return build


def bound_context(m):
    return m.byte_ranges_context(*CONTEXT_ARGS)


TYPED = ["member_mask_long", "member_mask_schar", "member_mask_ushort", "member_mask_double",
         "member_mask_long_in_ushort"]
TYPED_INPUTS = {
    "member_mask_long": (np.int64, np.int64),
    "member_mask_schar": (np.int8, np.int8),
    "member_mask_ushort": (np.uint16, np.uint16),
    "member_mask_double": (np.float64, np.float64),
    "member_mask_long_in_ushort": (np.int64, np.uint16),
}


def typed_cases():
    for name in TYPED:
        left, right = TYPED_INPUTS[name]
        yield Case(f"{name}-success", "member_mask", call(name, fresh(left, range(50)), fresh(right, range(0, 60, 3))))
        yield Case(f"{name}-strided", "member_mask", call(name, fresh(left, range(40))[::-3], fresh(right, range(9))[::2]))
        yield Case(f"{name}-none", "member_mask", call(name, None, None))
        yield Case(f"{name}-keywords", "member_mask",
                   call(name, test_elements=fresh(right, [1]), elements=fresh(left, [1, 2])))
        yield Case(f"{name}-no-buffer", "member_mask", call(name, [1, 2], fresh(right, [1])), TypeError)
        yield Case(f"{name}-dtype-mismatch", "member_mask",
                   call(name, fresh(left, [1]), fresh(np.complex128, [1])), ValueError)
        yield Case(f"{name}-second-bad-after-first-bound", "member_mask",
                   call(name, fresh(left, [1]), fresh(np.float32, [1])), ValueError)
        yield Case(f"{name}-two-dimensions", "member_mask",
                   call(name, fresh(left, [[1]]), fresh(right, [1])), ValueError)
        yield Case(f"{name}-read-only", "member_mask",
                   call(name, fresh(left, [1]), read_only(fresh(right, [1]))), ValueError)
        yield Case(f"{name}-exporter-refuses", "member_mask",
                   call(name, fresh(left, [1]), RefusingExporter(BufferError("no"))), BufferError)
        yield Case(f"{name}-argument-count", "member_mask", call(name, fresh(left, [1])), TypeError)
        yield Case(f"{name}-unexpected-keyword", "member_mask",
                   call(name, fresh(left, [1]), fresh(right, [1]), other=object()), TypeError)


CASES = [
    *typed_cases(),
    # Buffers that bind, and buffers the format and layout checks refuse after acquiring them.
    Case("member_mask_long-exporter", "member_mask", exporter_call("member_mask_long", "q")),
    Case("member_mask_long-exporter-bad-format", "member_mask", exporter_call("member_mask_long", "T{q}d"),
         ValueError),
    Case("member_mask_long-exporter-indirect", "member_mask",
         exporter_call("member_mask_long", "q", suboffsets=(0,)), ValueError),
    Case("member_mask_long-exporter-read-only", "member_mask",
         exporter_call("member_mask_long", "q", readonly=True), BufferError),
    # The generic membership function and its subscripted entries.
    Case("member_mask-int64", "member_mask", call("member_mask", ints(1, 2, 3), ints(2))),
    Case("member_mask-float32", "member_mask",
         call("member_mask", fresh(np.float32, [1.5, np.nan]), fresh(np.float32, [1.5]))),
    Case("member_mask-buffer-trial", "member_mask", call("member_mask", fresh(bool, [1, 0]), fresh(bool, [1]))),
    Case("member_mask-bytearray", "member_mask", call("member_mask", bytearray(b"abc"), bytearray(b"b"))),
    Case("member_mask-entry", "member_mask", generic_entry("unsigned short", u16(1, 2), u16(2))),
    Case("member_mask-no-signature", "member_mask", call("member_mask", [1, 2], [1]), TypeError),
    Case("member_mask-no-signature-2d", "member_mask", call("member_mask", ints(1).reshape(1, 1), ints(1)), TypeError),
    Case("member_mask-no-arguments", "member_mask", call("member_mask"), TypeError),
    Case("member_mask-second-mismatch", "member_mask", call("member_mask", fresh(np.int32, [1]), ints(1)), ValueError),
    Case("member_mask-read-only", "member_mask", call("member_mask", read_only(ints(1)), ints(1)), ValueError),
    Case("member_mask-subscript-missing", "member_mask", lambda m: (m.member_mask.__getitem__, ("int64",), {}),
         KeyError),
    # run_distinct
    Case("run_distinct-presorted-all-flags", "run_distinct",
         call("run_distinct", ints(1, 1, 2, 3, 3, 3), True, True, True, presorted=True)),
    Case("run_distinct-order", "run_distinct",
         call("run_distinct", ints(3, 1, 3, 2), return_inverse=True, order=intp(1, 3, 0, 2))),
    Case("run_distinct-rows", "run_distinct",
         call("run_distinct", fresh(np.int32, [[1, 2], [1, 2], [1, 3]]), return_counts=True, presorted=True)),
    Case("run_distinct-no-mode", "run_distinct", call("run_distinct", ints(1, 2)), ValueError),
    Case("run_distinct-column-major", "run_distinct", call("run_distinct", column_major(), presorted=True),
         ValueError),
    Case("run_distinct-truth-test-raises", "run_distinct", call("run_distinct", ints(1), presorted=Untruthful()),
         ZeroDivisionError),
    Case("run_distinct-reversed", "run_distinct", call("run_distinct", ints(1, 2, 3)[::-1], presorted=True),
         OverflowError),
    Case("run_distinct-read-only-memory", "run_distinct",
         call("run_distinct", read_only(ints(1, 2)), presorted=True), ValueError),
    Case("run_distinct-order-dtype", "run_distinct",
         call("run_distinct", ints(1, 2), order=fresh(np.int32, [0, 1])), ValueError),
    Case("run_distinct-order-strided", "run_distinct",
         call("run_distinct", ints(1, 2), order=intp(0, 9, 1, 9)[::2]), ValueError),
    Case("run_distinct-not-an-array", "run_distinct", call("run_distinct", object(), presorted=True),
         AttributeError),
    Case("run_distinct-argument-count", "run_distinct", call("run_distinct"), TypeError),
    # permute_rows (after the first call the indices are the identity; every call still moves rows)
    Case("permute_rows-success", "permute_rows", call("permute_rows", ints(*range(20)), intp(*range(19, -1, -1)))),
    Case("permute_rows-rows", "permute_rows",
         call("permute_rows", fresh(np.int16, [[1, 2], [3, 4], [5, 6]]), intp(2, 0, 1))),
    Case("permute_rows-column-major", "permute_rows", call("permute_rows", column_major(), intp(0, 1, 2)),
         ValueError),
    Case("permute_rows-reversed", "permute_rows", call("permute_rows", ints(1, 2)[::-1], intp(1, 0)),
         OverflowError),
    Case("permute_rows-read-only-memory", "permute_rows", call("permute_rows", read_only(ints(1, 2)), intp(1, 0)),
         ValueError),
    Case("permute_rows-indices-dtype", "permute_rows",
         call("permute_rows", ints(1, 2), fresh(np.int32, [1, 0])), ValueError),
    Case("permute_rows-indices-read-only", "permute_rows",
         call("permute_rows", ints(1, 2), read_only(intp(1, 0))), ValueError),
    Case("permute_rows-indices-wrong-length", "permute_rows", call("permute_rows", ints(1, 2, 3), intp(1, 0)),
         ValueError),
    Case("permute_rows-argument-count", "permute_rows", call("permute_rows", ints(1)), TypeError),
    # span_order: the context type and its pickle support
    Case("span_order-construct", "span_order", call("byte_ranges_context", *CONTEXT_ARGS)),
    Case("span_order-construct-bad-src", "span_order",
         call("byte_ranges_context", ints(1, 2), *RANGES), ValueError),
    Case("span_order-construct-bad-table", "span_order",
         call("byte_ranges_context", byte_rows(), RANGES[0], fresh(np.int32, [0]), RANGES[2]), ValueError),
    Case("span_order-construct-count", "span_order", call("byte_ranges_context", byte_rows()), TypeError),
    Case("span_order-rebind", "span_order", context_method("__init__", *CONTEXT_ARGS)),
    Case("span_order-rebind-fails", "span_order", context_method("__init__", None, None, None, [1]), TypeError),
    Case("span_order-reduce", "span_order", context_method("__reduce__")),
    Case("span_order-setstate", "span_order",
         context_method("__setstate__", (RANGES[2], byte_rows(), RANGES[0], RANGES[1]))),
    Case("span_order-setstate-not-tuple", "span_order", context_method("__setstate__", [1]), TypeError),
    Case("span_order-copy", "span_order", lambda m: (copy.copy, (bound_context(m),), {})),
    Case("span_order-pickle-refused", "span_order", lambda m: (pickle.dumps, (bound_context(m),), {}), TypeError),
    Case("span_order-unpickle-checksum", "span_order",
         lambda m: (m.__pyx_unpickle_byte_ranges_context, (m.byte_ranges_context, 1, None), {}),
         pickle.PickleError),
    Case("span_order-unpickle-empty", "span_order",
         lambda m: (m.__pyx_unpickle_byte_ranges_context, (m.byte_ranges_context, 0x6B2856C, None), {})),
    # span_rank and span_distinct
    Case("span_rank-success", "span_rank", call("span_rank", *CONTEXT_ARGS)),
    Case("span_rank-bad-table", "span_rank", call("span_rank", byte_rows(), RANGES[0], RANGES[1], ints(1)),
         ValueError),
    Case("span_distinct-success", "span_distinct", call("span_distinct", *CONTEXT_ARGS)),
    Case("span_distinct-strided-src", "span_distinct",
         call("span_distinct", np.repeat(byte_rows(), 2, axis=0)[::2], *RANGES)),
    Case("span_distinct-bad-src", "span_distinct", call("span_distinct", fresh(np.int8, [[1]]), *RANGES),
         ValueError),
    Case("span_distinct-argument-count", "span_distinct", call("span_distinct", byte_rows(), *RANGES[:2]),
         TypeError),
    Case("span_distinct-exporter-refuses", "span_distinct",
         call("span_distinct", byte_rows(), RefusingExporter(BufferError("no")), *RANGES[1:]), BufferError),
    # tail_guid
    Case("tail_guid-success", "tail_guid", call("tail_guid")),
    Case("tail_guid-positional", "tail_guid", call("tail_guid", object()), TypeError),
    Case("tail_guid-keyword", "tail_guid", call("tail_guid", key=object()), TypeError),
]


@pytest.mark.parametrize("case", CASES, ids=[case.id for case in CASES])
def test_no_leaks(case):
    module = pytest.importorskip(dotted(case.module))
    function, args, kwargs = case.build(module)
    assert_no_leaks(function, args, kwargs, raises=case.raises)


def test_checker_catches_a_leaked_object():
    kept = []
    with pytest.raises(AssertionError, match="more (allocated blocks|bytes)"):
        assert_no_leaks(lambda: kept.append(bytearray(100)))


def test_checker_catches_native_memory_never_freed():
    if not malloc_in_use():
        pytest.skip("the C allocator reports no usage here (for example under a sanitizer)")
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    with pytest.raises(AssertionError, match="more bytes in use by malloc"):
        assert_no_leaks(libc.malloc, (1024,))


def test_checker_catches_a_kept_argument():
    kept = []
    with pytest.raises(AssertionError, match="reference counts changed"):
        assert_no_leaks(kept.append, (object(),))
