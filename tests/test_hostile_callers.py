"""Checks that hold until the work: Python code that runs after a check, and other threads that
write the arguments while a pass runs without the interpreter lock, never make a function read
or write outside an array.

Every case ends in a clear exception or a result (possibly wrong where another thread wrote the
inputs); the guard bytes after every array the test made, results included, stay intact.
"""

import re
import sys
import threading

import numpy as np
import pytest

from helpers import StandInNumpy, load, preserved_namespace
from guards import Guards, guarding_numpy

mm = load("member_mask")
rd = load("run_distinct")
pr = load("permute_rows")
so = load("span_order")
sd = load("span_distinct")
sr = load("span_rank")


@pytest.fixture
def guards():
    made = Guards()
    yield made
    assert made.broken() == []


@pytest.fixture
def module_globals():
    """Puts back every module dict these tests edit."""
    with preserved_namespace(vars(mm)), preserved_namespace(vars(rd)), preserved_namespace(vars(pr)), \
            preserved_namespace(vars(sd)), preserved_namespace(vars(sr)):
        yield


class Flag:
    """A truth value whose test runs `effect` first."""

    def __init__(self, effect, value=True):
        self.effect, self.value = effect, value

    def __bool__(self):
        self.effect()
        return self.value


# ---- Python code after a check --------------------------------------------------------------
#
# Each case sets up its call with `guards`, runs it and returns what it must leave unchanged
# (or None). The table gives the exception and message it must end in.


MEMBERSHIP = {
    "member_mask_long": (mm.member_mask_long, np.int64, np.int64),
    "member_mask_schar": (mm.member_mask_schar, np.int8, np.int8),
    "member_mask_ushort": (mm.member_mask_ushort, np.uint16, np.uint16),
    "member_mask_double": (mm.member_mask_double, np.float64, np.float64),
    "member_mask_long_in_ushort": (mm.member_mask_long_in_ushort, np.int64, np.uint16),
    "member_mask['long long']": (mm.member_mask["long long"], np.int64, np.int64),
    "member_mask": (mm.member_mask, np.int32, np.int32),
}


def short_result(name):
    def case(guards):
        function, left, right = MEMBERSHIP[name]
        mm.np = guarding_numpy(guards, on_empty=lambda n, dtype: guards.array(n - 1, np.bool_))
        function(guards.like(np.arange(40) % 7, left), guards.like([1, 2, 3], right))
    return case


def result_over_elements(guards):
    elements = guards.like(np.arange(16), np.int64)
    mm.np = StandInNumpy(empty=lambda n, dtype: elements.view(np.bool_)[:n])
    mm.member_mask_long(elements, np.array([1, 2], np.int64))
    return elements


def order_rewritten_by(where):
    """5 rows; after order is bound, Python code sets order[2] = 7."""
    def case(guards):
        order = guards.like([4, 3, 2, 1, 0], np.intp)
        rewrite = lambda: order.__setitem__(2, 7)  # noqa: E731
        if where == "flag":
            rd.np = guarding_numpy(guards)
            rd.run_distinct(guards.like([5, 4, 3, 2, 1]), return_inverse=Flag(rewrite), order=order)
        else:
            def on_empty(n, dtype):
                if dtype == np.intp:
                    rewrite()
            rd.np = guarding_numpy(guards, on_empty=on_empty)
            rd.run_distinct(guards.like([5, 4, 3, 2, 1]), return_inverse=True, order=order)
    return case


def flags_set_after_the_neighbour_pass(by):
    """40 equal rows, one run; the kept flag array is then set to all ones."""
    def case(guards):
        kept = []

        def on_empty(n, dtype):
            if dtype == np.bool_:
                kept.append(guards.array(n, dtype))
                return kept[-1]

        def set_all():
            kept[0][:] = True

        rd.np = guarding_numpy(guards, on_empty=on_empty,
                               on_zeros=(lambda n, dtype: set_all()) if by == "zeros" else None)
        counts = True if by == "zeros" else Flag(set_all)
        rd.run_distinct(guards.like(np.ones(40, np.int64)), return_counts=counts, presorted=True)
    return case


def run_distinct_result_over(result, other):
    def case(guards):
        order = guards.like(np.arange(40), np.intp)
        diff = guards.array(40, np.bool_)

        def on_empty(n, dtype):
            if result == "diff_ndarray" and dtype == np.bool_:
                return order.view(np.bool_)[:n]
            if dtype == np.bool_:
                return diff
            if result == "index_ndarray" and dtype == np.intp and n != 40:
                return diff[: 8 * n].view(np.intp)

        def on_zeros(n, dtype):
            if result == "counts_ndarray":
                return diff[: 8 * n].view(np.intp)

        rd.np = guarding_numpy(guards, on_empty=on_empty, on_zeros=on_zeros)
        rd.run_distinct(guards.like(np.arange(40) // 8), return_counts=True, order=order)
        return order
    return case


def tmp_over(other):
    def case(guards):
        array = guards.like(np.arange(24, dtype=np.int64).reshape(8, 3))
        indices = guards.like(np.arange(8)[::-1], np.intp)
        memory = indices if other == "indices" else array
        pr.np = StandInNumpy(empty=lambda n, dtype: memory.reshape(-1).view(np.uint8)[:n])
        pr.permute_rows(array, indices)
        return array, indices
    return case


SRC = np.frombuffer(b"abcab-xyzab-abcab-", np.uint8).reshape(3, 6).copy()


class RewritingExporter:
    """Exports `source`; asking for its buffer first runs `effect`."""

    def __init__(self, source, effect):
        self.source, self.effect = source, effect

    def __buffer__(self, flags):
        self.effect()
        return memoryview(self.source)

    def __release_buffer__(self, view):
        view.release()


def starts_rewritten_by_exporter(function):
    def case(guards):
        rows, starts, ends = (guards.like(v, np.intp) for v in ([0, 1, 2], [0, 1, 2], [3, 4, 5]))
        function(SRC, rows, starts, RewritingExporter(ends, lambda: starts.__setitem__(1, 10**6)))
    return case


def span_order_kept_and(effect):
    """span_rank returns an order that the test keeps; `effect(order, src)` runs in np."""
    def case(guards):
        order = guards.like([0, 2, 1], np.intp)
        src = guards.like(SRC)
        rows, starts, ends = (guards.like(v, np.intp) for v in ([0, 1, 2], [0, 0, 0], [3, 3, 3]))
        sd.span_rank = lambda *args: order
        sd.np = effect(guards, order, src, ends)
        sd.span_distinct(src, rows, starts, ends)
    return case


def diff_over_order(guards, order, src, ends):
    return guarding_numpy(guards, on_empty=lambda n, dtype: order.view(np.bool_)[:n] if dtype == np.bool_ else None)


def order_rewritten_by_empty(guards, order, src, ends):
    def on_empty(n, dtype):
        if dtype == np.intp:
            order[1] = 10**6
    return guarding_numpy(guards, on_empty=on_empty)


def unique_over_src(guards, order, src, ends):
    return guarding_numpy(guards, on_zeros=lambda shape, dtype: src[: shape[0]])


def ends_rewritten_by_zeros(guards, order, src, ends):
    def on_zeros(shape, dtype):
        ends[0] = 10**6
    return guarding_numpy(guards, on_zeros=on_zeros)


def span_rank_result_is_an_input(guards):
    rows, starts, ends = (guards.like(v, np.intp) for v in ([0, 1, 2], [0, 0, 0], [3, 3, 3]))
    sr.np = StandInNumpy(empty=lambda n, dtype: rows)
    sr.span_rank(SRC, rows, starts, ends)


PERMUTATION_7 = "order must be a permutation of 0 .. n-1 for n = 5 rows, but order[2] = 7 is out of range"
ONE_PER_ELEMENT = "return_list_array must have 40 entries: it has 39"

CASES = [
    *[(f"{name}: np.empty returns a short result", short_result(name), ValueError, ONE_PER_ELEMENT)
      for name in MEMBERSHIP],
    ("member_mask: the result shares memory with elements", result_over_elements, ValueError,
     "return_list_array must not share memory with elements"),
    ("run_distinct: a flag's truth test rewrites order", order_rewritten_by("flag"), ValueError, PERMUTATION_7),
    ("run_distinct: the inverse's np.empty rewrites order", order_rewritten_by("empty"), ValueError, PERMUTATION_7),
    ("run_distinct: np.zeros sets every kept flag", flags_set_after_the_neighbour_pass("zeros"), RuntimeError,
     "diff_ndarray was changed while the call was using it"),
    ("run_distinct: return_counts' truth test sets every kept flag", flags_set_after_the_neighbour_pass("flag"),
     RuntimeError, "diff_ndarray was changed while the call was using it"),
    ("run_distinct: the flags share memory with order", run_distinct_result_over("diff_ndarray", "order"),
     ValueError, "diff_ndarray must not share memory with order"),
    ("run_distinct: the index shares memory with the flags", run_distinct_result_over("index_ndarray", "diff"),
     ValueError, "index_ndarray must not share memory with diff_ndarray"),
    ("run_distinct: the counts share memory with the flags", run_distinct_result_over("counts_ndarray", "diff"),
     ValueError, "counts_ndarray must not share memory with diff_ndarray"),
    ("permute_rows: tmp shares memory with indices", tmp_over("indices"), ValueError,
     "tmp must not share memory with indices"),
    ("permute_rows: tmp shares memory with the rows", tmp_over("array"), ValueError,
     "tmp must not share memory with the rows of array"),
    ("span_distinct: the exporter of ends rewrites starts", starts_rewritten_by_exporter(sd.span_distinct),
     ValueError, "range 1 lies outside src: row 1, columns 1000000 to 4"),
    ("span_rank: the exporter of ends rewrites starts", starts_rewritten_by_exporter(sr.span_rank),
     ValueError, "range 1 lies outside src: row 1, columns 1000000 to 4"),
    ("span_distinct: the flags share memory with order", span_order_kept_and(diff_over_order), ValueError,
     "diff_ndarray must not share memory with order"),
    ("span_distinct: the inverse's np.empty rewrites order", span_order_kept_and(order_rewritten_by_empty),
     ValueError, "order must be a permutation of 0 .. n-1 for n = 3 ranges, but order[1] = 1000000 is out of range"),
    ("span_distinct: the result shares memory with src", span_order_kept_and(unique_over_src), ValueError,
     "unique_ndarray must not share memory with src"),
    ("span_distinct: np.zeros moves a range out of src", span_order_kept_and(ends_rewritten_by_zeros), ValueError,
     "range 0 lies outside src: row 0, columns 0 to 1000000"),
    ("span_rank: its result is one of its inputs", span_rank_result_is_an_input, ValueError,
     "order_ndarray must not share memory with the inputs"),
]


@pytest.mark.parametrize("case, error, message", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_python_code_after_a_check(guards, module_globals, case, error, message):
    with pytest.raises(error, match=re.escape(message)):
        case(guards)


@pytest.mark.parametrize("case", ["tmp_over_indices", "tmp_over_rows"])
def test_refused_reorder_changes_nothing(guards, module_globals, case):
    array = guards.like(np.arange(24, dtype=np.int64).reshape(8, 3))
    indices = guards.like(np.arange(8)[::-1], np.intp)
    before = array.copy(), indices.copy()
    memory = indices if case == "tmp_over_indices" else array
    pr.np = StandInNumpy(empty=lambda n, dtype: memory.reshape(-1).view(np.uint8)[:n])
    with pytest.raises(ValueError, match="must not share memory"):
        pr.permute_rows(array, indices)
    np.testing.assert_array_equal(array, before[0])
    np.testing.assert_array_equal(indices, before[1])


@pytest.mark.parametrize("attribute", ["__new__", "__init__", "__reduce__", "anything"])
def test_context_type_is_immutable(attribute):
    # span_distinct makes its contexts through this type: nothing may replace how it does so.
    with pytest.raises(TypeError, match=re.escape(f"cannot set '{attribute}' attribute of immutable type")):
        setattr(so.byte_ranges_context, attribute, lambda *args: None)


# ---- Rows that hold object references --------------------------------------------------------


@pytest.mark.parametrize("array", [
    np.array(["ab", "ab"], object),
    np.array([(1, "x"), (1, "x")], [("n", np.int64), ("s", object)]),
    np.array([((1, "x"),)], [("outer", [("n", np.int64), ("s", object)])]),
    np.empty((0, 2), object),
], ids=["object", "object field", "nested object field", "no rows"])
def test_rows_holding_object_references_are_refused(array):
    with pytest.raises(TypeError, match="array holds object references, whose rows cannot be compared as bytes"):
        rd.run_distinct(array, presorted=True, return_counts=True)


def test_reordering_object_rows_keeps_every_reference_count():
    items = [object() for _ in range(50)]
    array = np.empty(50, object)
    array[:] = items
    before = [sys.getrefcount(item) for item in items]
    p = np.random.default_rng(3).permutation(50).astype(np.intp)
    expected = array[p]
    pr.permute_rows(array, p)
    assert all(a is b for a, b in zip(array, expected))
    del expected
    assert [sys.getrefcount(item) for item in items] == before


# ---- Another thread writing the arguments during a pass ---------------------------------------


class Scribbler:
    """Writes out-of-range and random values into `target` from its own thread until stopped."""

    def __init__(self, target, values):
        self.target, self.values = target, np.asarray(values, target.dtype)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        rng = np.random.default_rng(11)
        flat = self.target.reshape(-1)
        while not self.stop.is_set():
            places = rng.integers(0, flat.size, 64)
            flat[places] = rng.choice(self.values, 64)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def membership_scribbled(guards, width):
    # Narrow test values take the bitmap path, wide ones the hash set; the thread writes both.
    # Many test values, so that the thread finds them between the bitmap's range and its fill.
    test = guards.like(np.arange(0, 400_000, 2) if width == "narrow" else np.arange(200_000) * 2**40, np.int64)
    elements = guards.like(np.arange(100_000) % 4000, np.int64)
    mm.np = guarding_numpy(guards)
    return test, [-2**63, 2**63 - 1, -1, 10**9, 3], lambda: mm.member_mask_long(elements, test)


def order_scribbled(guards, flags):
    n = 300_000
    permutation = np.random.default_rng(1).permutation(n)
    order = guards.like(permutation, np.intp)
    array = guards.like(np.random.default_rng(2).integers(0, 100, (n, 2)))
    rd.np = guarding_numpy(guards)

    def call():
        order[:] = permutation
        return rd.run_distinct(array, order=order, **flags)
    return order, [-1, n, 2**62, 0, n - 1], call


def indices_scribbled(guards, row_bytes):
    n = 200_000 if row_bytes <= 64 else 20_000
    array = guards.array((n, row_bytes), np.uint8, 7)
    indices = guards.array(n, np.intp)
    pr.np = guarding_numpy(guards)

    def call():
        indices[:] = np.random.default_rng(4).permutation(n)
        return pr.permute_rows(array, indices)
    return indices, [-1, n, n + 3, 2**62, 0, 1], call


def tables_scribbled(guards, function, table):
    n = 200_000
    rng = np.random.default_rng(5)
    src = guards.array((500, 32), np.uint8, 1)
    sound = {"src_indices": rng.integers(0, 500, n), "starts": rng.integers(0, 16, n), "ends": rng.integers(16, 33, n)}
    tables = {name: guards.like(values, np.intp) for name, values in sound.items()}
    sd.np = sr.np = guarding_numpy(guards)

    def call():
        for name, values in sound.items():
            tables[name][:] = values
        return function(src, *tables.values())
    return tables[table], [-1, 33, 501, 2**62, 0], call


SCRIBBLED = {
    "member_mask bitmap, test values": lambda g: membership_scribbled(g, "narrow"),
    "member_mask hash set, test values": lambda g: membership_scribbled(g, "wide"),
    "run_distinct, order": lambda g: order_scribbled(g, {"return_inverse": True, "return_index": True}),
    "run_distinct, order, counts": lambda g: order_scribbled(g, {"return_counts": True}),
    "permute_rows 8-byte rows, indices": lambda g: indices_scribbled(g, 8),
    "permute_rows 24-byte rows, indices": lambda g: indices_scribbled(g, 24),
    "permute_rows 200-byte rows, indices": lambda g: indices_scribbled(g, 200),
    "span_rank, starts": lambda g: tables_scribbled(g, sr.span_rank, "starts"),
    "span_rank, ends": lambda g: tables_scribbled(g, sr.span_rank, "ends"),
    "span_distinct, src_indices": lambda g: tables_scribbled(g, sd.span_distinct, "src_indices"),
    "span_distinct, ends": lambda g: tables_scribbled(g, sd.span_distinct, "ends"),
}


@pytest.mark.parametrize("setup", SCRIBBLED.values(), ids=SCRIBBLED.keys())
def test_another_thread_writes_during_the_pass(guards, module_globals, fast_switching, setup):
    target, values, call = setup(guards)
    outcomes = set()
    with Scribbler(target, values):
        for _ in range(12):
            try:
                call()
                outcomes.add("result")
            except (ValueError, RuntimeError) as error:
                outcomes.add(type(error).__name__)
    assert outcomes <= {"result", "ValueError", "RuntimeError"}
