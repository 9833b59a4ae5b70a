"""Calls of every public function as a user writes them, with the types a checker must infer.

``mypy --strict`` checks this file against the shipped stubs (make typecheck), and the same
target runs it, so the calls it accepts are shown to work. The calls marked
``# type: ignore[...]`` are ones the stubs must reject (under --strict an ignore that is no
longer needed is itself an error); they run inside ``rejected()``, which checks that they
fail at run time too.
"""

import contextlib
import copy
import uuid
from collections.abc import Iterator
from typing import assert_type

import numpy as np
import numpy.typing as npt

import norvale.cython
from norvale.cython import member_mask, permute_rows, run_distinct, span_distinct, span_order
from norvale.cython import span_rank, tail_guid

Mask = npt.NDArray[np.bool_]
Intp = npt.NDArray[np.intp]


@contextlib.contextmanager
def rejected() -> Iterator[None]:
    try:
        yield
    except (TypeError, ValueError, AttributeError):
        return
    raise AssertionError("a call the stubs reject was accepted at run time")


def check_member_mask() -> None:
    a64 = np.array([1, 2, 3, 70000], dtype=np.int64)
    b64 = np.array([2, 70000], dtype=np.int64)
    u16 = np.array([2, 3], dtype=np.uint16)
    i8 = np.array([-128, 127], dtype=np.int8)
    f64 = np.array([0.5, -0.0], dtype=np.float64)

    assert_type(member_mask.member_mask_long(a64, b64), Mask)
    assert_type(member_mask.member_mask_long(elements=a64, test_elements=None), Mask)
    assert_type(member_mask.member_mask_schar(i8, i8), Mask)
    assert_type(member_mask.member_mask_ushort(u16, u16), Mask)
    assert_type(member_mask.member_mask_double(f64, np.array([0.0])), Mask)
    assert_type(member_mask.member_mask_long_in_ushort(a64, u16), Mask)
    assert member_mask.member_mask_long(a64, b64).tolist() == [False, True, False, True]

    # The generic function: the entry follows the element type, or a subscript names it.
    f32 = np.array([1.5], dtype=np.float32)
    assert_type(member_mask.member_mask(a64, b64), Mask)
    assert_type(member_mask.member_mask(f32, None), Mask)
    assert_type(member_mask.member_mask(None, None), Mask)
    assert_type(member_mask.member_mask["unsigned short"](u16, u16), Mask)
    assert_type(member_mask.member_mask[float](f32, f32), Mask)
    assert_type(member_mask.member_mask["char"](np.array([True]), i8), Mask)
    entries = member_mask.member_mask.__signatures__
    assert_type(list(entries), list[str])
    assert_type(entries["double"](f64, f64), Mask)
    for function in member_mask.exports:
        assert_type(function(None, None), Mask)
    assert member_mask.np is np

    # Wrong element types; an inline astype() would be inferred from the expected type instead.
    i32 = a64.astype(np.int32)
    with rejected():
        member_mask.member_mask_long(i32, b64)  # type: ignore[arg-type]
    with rejected():
        member_mask.member_mask_long_in_ushort(a64, b64)  # type: ignore[arg-type]
    with rejected():
        member_mask.member_mask["unsigned short"](a64, a64)  # type: ignore[arg-type]
    with rejected():
        member_mask.member_mask[float](f64, f64)  # type: ignore[arg-type]
    with rejected():
        member_mask.member_mask(a64, u16)  # type: ignore[type-var]


def check_run_distinct() -> None:
    rows = np.array([[1, 1], [1, 1], [2, 0]], dtype=np.int32)
    order = np.argsort(np.array([3, 1, 2]))
    unsorted = np.array([30, 10, 20], dtype=np.int64)

    assert_type(run_distinct.run_distinct(rows, presorted=True), tuple[npt.NDArray[np.int32]])
    (distinct,) = run_distinct.run_distinct(rows, presorted=True)
    assert distinct.tolist() == [[1, 1], [2, 0]]

    index_only = run_distinct.run_distinct(rows, return_index=True, presorted=True)
    assert_type(index_only, tuple[npt.NDArray[np.int32], Intp])
    inverse_only = run_distinct.run_distinct(rows, return_inverse=True, presorted=True)
    assert_type(inverse_only, tuple[npt.NDArray[np.int32], Intp])
    counts_only = run_distinct.run_distinct(rows, return_counts=True, presorted=True)
    assert_type(counts_only, tuple[npt.NDArray[np.int32], Intp])
    assert counts_only[1].tolist() == [2, 1]
    two = run_distinct.run_distinct(rows, return_index=True, return_counts=True, presorted=True)
    assert_type(two, tuple[npt.NDArray[np.int32], Intp, Intp])
    two = run_distinct.run_distinct(rows, return_inverse=True, return_counts=True, presorted=True)
    assert_type(two, tuple[npt.NDArray[np.int32], Intp, Intp])
    everything = run_distinct.run_distinct(rows, True, True, True, None, True)
    assert_type(everything, tuple[npt.NDArray[np.int32], Intp, Intp, Intp])
    positional = run_distinct.run_distinct(rows, False, True, presorted=True)
    assert_type(positional, tuple[npt.NDArray[np.int32], Intp])

    by_order = run_distinct.run_distinct(unsorted, return_inverse=True, order=order)
    assert_type(by_order, tuple[npt.NDArray[np.int64], Intp])
    assert by_order[0].tolist() == [10, 20, 30]

    flag: bool = len(rows) > 2
    some = run_distinct.run_distinct(rows, return_index=flag, presorted=True)
    assert_type(some, tuple[npt.NDArray[np.int32], *tuple[Intp, ...]])
    assert len(some) == 2

    with rejected():
        run_distinct.run_distinct([1, 2], presorted=True)  # type: ignore[call-overload]


def check_permute_rows() -> None:
    array = np.array([[0, 0], [1, 1], [2, 2]], dtype=np.float64)
    indices = np.array([2, 0, 1], dtype=np.intp)
    assert_type(permute_rows.permute_rows(array, indices), None)
    assert array[:, 0].tolist() == [2.0, 0.0, 1.0]

    with rejected():
        permute_rows.permute_rows(array, [2, 0, 1])  # type: ignore[arg-type]


def check_spans() -> None:
    src = np.frombuffer(b"abcabd", dtype=np.uint8).reshape(2, 3).copy()
    rows = np.array([0, 1, 1], dtype=np.intp)
    starts = np.array([0, 0, 0], dtype=np.intp)
    ends = np.array([3, 3, 2], dtype=np.intp)

    assert_type(span_rank.span_rank(src, rows, starts, ends), Intp)
    assert span_distinct.span_rank is span_rank.span_rank
    unique, inverse = span_distinct.span_distinct(src, rows, starts, ends)
    assert_type(unique, npt.NDArray[np.uint8])
    assert_type(inverse, Intp)
    assert inverse.tolist() == [1, 2, 0]

    context = span_order.byte_ranges_context(src, rows, starts, ends)
    assert_type(context, span_order.byte_ranges_context)
    unpickle, (cls, checksum, state) = context.__reduce__()
    assert_type(checksum, int)
    again = unpickle(cls, checksum, state)
    assert_type(again, span_order.byte_ranges_context)
    again.__setstate__(state)
    assert_type(copy.copy(context), span_order.byte_ranges_context)
    empty = span_order.__pyx_unpickle_byte_ranges_context(span_order.byte_ranges_context, checksum, None)
    assert_type(empty, span_order.byte_ranges_context)
    assert list(span_order.__pyx_capi__) == ["span_order"]

    signed = src.astype(np.int8)
    with rejected():
        span_distinct.span_distinct(signed, rows, starts, ends)  # type: ignore[arg-type]


def check_tail_guid() -> None:
    first = tail_guid.tail_guid()
    assert_type(first, uuid.UUID)
    assert first.int >> 96 == 0xFFFFFFFF
    assert tail_guid.uuid is uuid

    with rejected():
        tail_guid.tail_guid(1)  # type: ignore[call-arg]


def check_package() -> None:
    assert_type(norvale.cython.__version__, str)
    assert norvale.cython.__version__.count(".") >= 1


if __name__ == "__main__":
    check_member_mask()
    check_run_distinct()
    check_permute_rows()
    check_spans()
    check_tail_guid()
    check_package()
    print("usage.py: every call ran")
