"""Bad-input fuzzing: random bad input must give a Python exception, never a crash or a hang.

Each batch runs in a child interpreter with a timeout, so a crash (or a sanitizer abort) or a
hang fails its test instead of taking the suite down. The child runs this same file:
`python -P test_fuzz.py <batch> <seed> <count>`. A batch fails when a call raises anything but
an ordinary exception, raises SystemError (a C-API misuse), or leaves a buffer exported.

The buffers come from the test-only exporter (tests/native), which hands out whatever format,
shape, strides and suboffsets it is given; the same exporter reaches the binding messages that
NumPy arrays never trigger (TestExporterBindings below).
"""

import array as std_array
import importlib
import random
import re
import subprocess
import sys

import numpy as np
import pytest

PACKAGE = "norvale.cython"
TIMEOUT = 120  # seconds per batch; a batch takes a few seconds, more under the sanitizers


def native(name):
    try:
        return importlib.import_module(f"{PACKAGE}.{name}")
    except ImportError:
        return None


class Failure(Exception):
    pass


def attempt(call, *args, **kwargs):
    """Calls; any ordinary exception is an acceptable answer to bad input, except SystemError."""
    try:
        call(*args, **kwargs)
    except SystemError as error:
        raise Failure(f"SystemError from {call!r}: {error}") from error
    except Exception:  # noqa: BLE001 - every clear exception is fine here
        pass


# --- batch: random format strings through the exporter into every kind of view --------------

FORMAT_TOKENS = ["", "@", "=", "<", ">", "!", "^", " ", "\t", "l", "q", "b", "B", "?", "c", "s", "p", "h", "H",
                 "i", "I", "L", "Q", "f", "d", "g", "Z", "O", "P", "x", "e", "n", "T{", "}", "{", "(", ")", ",",
                 ":a:", ":", "0", "1", "2", "3", "10", "999999", "99999999999999999999", "2(", "(2)", "(2,3)",
                 "T{l:x:}", "T{}", "\xe9"]


def random_format(rng):
    if rng.random() < 0.1:
        return None
    return "".join(rng.choice(FORMAT_TOKENS) for _ in range(rng.randint(1, 8)))


def random_exporter_fields(rng, ndim=None):
    ndim = rng.choice([0, 1, 1, 1, 2, 3]) if ndim is None else ndim
    itemsize = rng.choice([0, 1, 2, 4, 8, 16, 3])
    shape = [rng.randint(0, 4) for _ in range(ndim)]
    # The strides describe the memory honestly (non-negative, within it), unless the exporter
    # exports none, or suboffsets that the binding must refuse before it reads anything.
    strides, step = [], max(itemsize, 1)
    for extent in reversed(shape):
        strides.insert(0, step * rng.choice([1, 1, 2]))
        step = strides[0] * max(extent, 1)
    # An odd offset gives misaligned items, which are legal memory for a buffer.
    offset = rng.choice([0, 0, 0, 1, 3])
    return dict(
        data=step + offset,
        offset=offset,
        format=random_format(rng),
        # Without a shape CPython's own memoryview divides by the item size or reads through
        # NULL: the exporter gives one whenever there are axes (the frame's case is tested apart).
        shape=shape if ndim or rng.random() < 0.5 else None,
        strides=strides if rng.random() < 0.85 else None,
        suboffsets=None if rng.random() < 0.85 else [rng.choice([-1, -1, 0]) for _ in range(ndim)],
        itemsize=itemsize,
        readonly=rng.random() < 0.2,
        ndim=ndim,
    )


def format_targets():
    """(label, call taking one exporter) for each function that binds a view."""
    intp = np.arange(3, dtype=np.intp)
    targets = []
    member_mask = native("member_mask")
    if member_mask:
        for name in ("member_mask_long", "member_mask_schar", "member_mask_ushort", "member_mask_double",
                     "member_mask_long_in_ushort", "member_mask"):
            if hasattr(member_mask, name):
                function = getattr(member_mask, name)
                targets.append((name, lambda e, f=function: f(e, e)))
    run_distinct = native("run_distinct")
    if run_distinct:
        targets.append(("run_distinct order", lambda e: run_distinct.run_distinct(np.zeros(3), order=e)))
    permute_rows = native("permute_rows")
    if permute_rows:
        targets.append(("permute_rows indices", lambda e: permute_rows.permute_rows(np.zeros(3), e)))
    span_order = native("span_order")
    if span_order:
        targets.append(("byte_ranges_context src", lambda e: span_order.byte_ranges_context(e, intp, intp, intp)))
        targets.append(("byte_ranges_context table", lambda e: span_order.byte_ranges_context(
            np.zeros((3, 3), np.uint8), e, intp, intp)))
    span_distinct = native("span_distinct")
    if span_distinct:
        targets.append(("span_distinct src", lambda e: span_distinct.span_distinct(e, intp, intp, intp)))
        targets.append(("span_distinct ends", lambda e: span_distinct.span_distinct(
            np.zeros((3, 3), np.uint8), intp, intp, e)))
    return targets


def batch_formats(rng, count):
    exporter_type = importlib.import_module("norvale_test_exporter").Exporter
    targets = format_targets()
    for _ in range(count):
        fields = random_exporter_fields(rng)
        exporter = exporter_type(**fields)
        label, target = rng.choice(targets)
        # The last line before a crash names the case.
        print(f"{label}: Exporter(**{fields!r})", file=sys.stderr, flush=True)
        attempt(target, exporter)
        if exporter.exports:
            raise Failure(f"{label}: {exporter.exports} buffer(s) still exported after the call")


# --- batch: non-permutations for order and indices --------------------------------------------

def random_order(rng, n):
    length = max(0, n + rng.choice([0, 0, 0, -1, 1, 2]))
    low, high = rng.choice([(0, n - 1), (-3, n + 3), (-(2**62), 2**62)])
    values = [rng.randint(low, high) if high >= low else 0 for _ in range(length)]
    if rng.random() < 0.3 and length:  # a repeated entry
        values[rng.randrange(length)] = values[rng.randrange(length)]
    return np.array(values, dtype=np.intp)


def random_rows(rng, n):
    trailing = rng.choice([(), (2,), (0,)])
    return np.array([rng.randint(0, 3) for _ in range(n * int(np.prod(trailing)))],
                    dtype=np.int64).reshape((n, *trailing))


def batch_orders(rng, count):
    run_distinct, permute_rows = native("run_distinct"), native("permute_rows")
    for _ in range(count):
        n = rng.randint(0, 8)
        rows = random_rows(rng, n)
        if run_distinct:
            attempt(run_distinct.run_distinct, rows, rng.random() < 0.5, rng.random() < 0.5, rng.random() < 0.5,
                    order=random_order(rng, n))
        if permute_rows:
            attempt(permute_rows.permute_rows, rows, random_order(rng, n))


# --- batch: out-of-range and reversed byte ranges; orders from a replaced span_rank ----------------

def random_tables(rng, rows, columns):
    n = rng.randint(0, 6)
    far = 2**62

    def table(limit):
        length = max(0, n + rng.choice([0, 0, 0, -1, 1]))
        return np.array([rng.choice([rng.randint(0, max(limit, 0)), rng.randint(-2, limit + 2), -far, far])
                         for _ in range(length)], dtype=np.intp)

    return table(rows - 1), table(columns), table(columns)


def batch_ranges(rng, count):
    span_order, span_rank, span_distinct = native("span_order"), native("span_rank"), native("span_distinct")
    for _ in range(count):
        rows, columns = rng.randint(0, 4), rng.randint(0, 5)
        src = np.arange(rows * columns, dtype=np.uint8).reshape(rows, columns)
        if rng.random() < 0.2:
            src = src[:, ::-1]
        tables = random_tables(rng, rows, columns)
        if span_order:
            attempt(span_order.byte_ranges_context, src, *tables)
        if span_rank:
            attempt(span_rank.span_rank, src, *tables)
        if span_distinct:
            attempt(span_distinct.span_distinct, src, *tables)
            # Valid ranges, but an order from elsewhere that is not a permutation.
            n = rng.randint(1, 5)
            valid = (np.zeros(n, np.intp), np.zeros(n, np.intp), np.full(n, min(columns, 1), np.intp))
            namespace = vars(span_distinct)
            saved = namespace["span_rank"]
            namespace["span_rank"] = lambda *args, order=random_order(rng, n): order
            try:
                attempt(span_distinct.span_distinct, np.zeros((1, columns), np.uint8), *valid)
            finally:
                namespace["span_rank"] = saved


# --- batch: wrong types for every parameter ---------------------------------------------------

def odd_values():
    big_endian = np.arange(3, dtype=">i8")
    read_only = np.arange(3, dtype=np.intp)
    read_only.setflags(write=False)
    return [
        None, True, 0, -1, 2**70, 1.5, "text", b"bytes", bytearray(b"ab"), [1, 2], (0,), {}, object(), type,
        np.float64(1.0), np.array(3), np.zeros((2, 2)), np.zeros((2, 2, 2), np.uint8), np.zeros(0, np.intp),
        np.arange(3, dtype=np.intp), np.arange(3, dtype=np.int32), np.arange(3, dtype=np.uint8),
        np.arange(3.0), np.array(["a", "b"]), np.array([object(), 1]), np.arange(6, dtype=np.intp)[::-2],
        np.asfortranarray(np.zeros((3, 3), np.uint8)), big_endian, read_only, np.arange(4, dtype=np.complex64),
        np.zeros(3, dtype="datetime64[s]"), np.zeros(3, dtype=[("a", np.intp)]), memoryview(b"abc"),
        std_array.array("d", [1.0]), std_array.array("q", [1]), np.zeros((2, 0), np.uint8),
    ]


def valid_calls():
    """(function, valid positional arguments) for every public function that is built."""
    ints, intp = np.arange(4, dtype=np.int64), np.arange(3, dtype=np.intp)
    src = np.zeros((3, 3), np.uint8)
    typed = {
        "member_mask_long": (ints, ints),
        "member_mask_schar": (np.arange(3, dtype=np.int8),) * 2,
        "member_mask_ushort": (np.arange(3, dtype=np.uint16),) * 2,
        "member_mask_double": (np.arange(3.0),) * 2,
        "member_mask_long_in_ushort": (ints, np.arange(3, dtype=np.uint16)),
        "member_mask": (ints, ints),
    }
    calls = []
    member_mask = native("member_mask")
    for name, args in typed.items():
        if member_mask and hasattr(member_mask, name):
            calls.append((getattr(member_mask, name), args))
    for module_name, name, make_args in (
        ("run_distinct", "run_distinct", lambda: (ints, True, True, True, None, True)),
        ("permute_rows", "permute_rows", lambda: (np.arange(3), np.arange(3, dtype=np.intp))),
        ("span_order", "byte_ranges_context", lambda: (src, intp, intp, intp)),
        ("span_order", "__pyx_unpickle_byte_ranges_context", lambda: (None, 0x6B2856C, None)),
        ("span_rank", "span_rank", lambda: (src, intp, intp, intp)),
        ("span_distinct", "span_distinct", lambda: (src, intp, intp, intp)),
    ):
        module = native(module_name)
        if module and hasattr(module, name):
            args = make_args()
            if name == "__pyx_unpickle_byte_ranges_context":
                args = (module.byte_ranges_context, *args[1:])
            calls.append((getattr(module, name), args))
    return calls


def batch_types(rng, count):
    """Every parameter of every function in turn gets every odd value; then random mixtures."""
    calls = valid_calls()
    for function, args in calls:
        for position in range(len(args)):
            for value in odd_values():
                print(f"{function.__name__} argument {position} = {value!r}", file=sys.stderr, flush=True)
                attempt(function, *args[:position], value, *args[position + 1:])
    for _ in range(count):
        function, args = rng.choice(calls)
        arguments = [rng.choice(odd_values()) for _ in range(rng.choice([0, 1, 2, 3, 4, 4, 5, 6, 7]))]
        attempt(function, *arguments)


BATCHES = {"formats": batch_formats, "orders": batch_orders, "ranges": batch_ranges, "types": batch_types}


def run_batch(name, seed, count):
    rng = random.Random(seed)
    BATCHES[name](rng, count)


def run_child(*arguments, timeout=TIMEOUT):
    return subprocess.run([sys.executable, "-P", __file__, *map(str, arguments)], capture_output=True,
                          text=True, timeout=timeout)


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("batch", BATCHES)
def test_fuzz_batch(batch, seed):
    if batch == "formats":
        exporter_type()
    try:
        child = run_child(batch, seed, 1000)
    except subprocess.TimeoutExpired:
        pytest.fail(f"batch {batch} seed {seed} hung (no answer within {TIMEOUT} s)")
    assert child.returncode == 0, f"batch {batch} seed {seed} failed ({child.returncode}):\n{child.stderr[-4000:]}"


# --- the binding messages that only a hand-made exporter reaches --------------------------------

def exporter_type():
    return pytest.importorskip("norvale_test_exporter").Exporter


def int64_exporter(**fields):
    fields.setdefault("shape", (3,))
    fields.setdefault("strides", (8,))
    return exporter_type()(24, fields.pop("format", "q"), itemsize=fields.pop("itemsize", 8), **fields)


class TestExporterBindings:
    @pytest.fixture
    def member_mask_long(self):
        return pytest.importorskip(f"{PACKAGE}.member_mask").member_mask_long

    @pytest.mark.parametrize(
        "fields, message",
        [
            (dict(strides=None, suboffsets=(-1,)), "Buffer exposes suboffsets but no strides"),
            (dict(suboffsets=(0,)), "Buffer not compatible with direct access in dimension 0."),
            (dict(itemsize=4), "Item size of buffer (4 bytes) does not match size of 'int64_t' (8 bytes)"),
            (dict(format=None, itemsize=1), "Buffer dtype mismatch, expected 'int64_t' but got 'unsigned char'"),
            (dict(format=""), "Buffer dtype mismatch, expected 'int64_t' but got end"),
            (dict(format="qq"), "Buffer dtype mismatch, expected end but got 'long long'"),
            (dict(format="!q"), "Big-endian buffer not supported on little-endian compiler"),
            (dict(format="=g"), "Python does not define a standard format string size for long double ('g').."),
            (dict(format="y"), "Unexpected format string character: 'y'"),
            (dict(format="Tq"), "Buffer acquisition: Expected '{' after 'T'"),
            (dict(format="2(3)q"), "Cannot handle repeated arrays in format string"),
            (dict(format="(2"), "Unexpected end of format string, expected ')'"),
            (dict(format="(2;3)q"), "Expected a comma in format string, got ';'"),
            (dict(shape=(3, 1), strides=(8, 8)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
        ],
        ids=["suboffsets-without-strides", "indirect-axis", "item-size", "no-format", "empty-format",
             "two-items", "big-endian", "standard-long-double", "unknown-code", "struct-without-brace",
             "repeated-array", "open-shape", "shape-separator", "dimensions"],
    )
    def test_refused_with_message(self, member_mask_long, fields, message):
        exporter = int64_exporter(**fields)
        with pytest.raises(ValueError, match=re.escape(message)):
            member_mask_long(exporter, np.zeros(1, np.int64))
        assert exporter.exports == 0

    @pytest.mark.parametrize(
        "fields",
        [dict(suboffsets=(-1,)), dict(strides=None), dict(format="<q"), dict(format="T{q}"),
         dict(format=":name:q"), dict(format=" @ 1q"), dict()],
        ids=["direct-suboffsets", "no-strides", "standard-size", "struct", "named", "spaces-and-count", "plain"],
    )
    def test_accepted(self, member_mask_long, fields):
        exporter = int64_exporter(**fields)
        assert member_mask_long(exporter, np.zeros(1, np.int64)).tolist() == [True, True, True]
        assert exporter.exports == 0

    def test_read_only_refusal_propagates(self, member_mask_long):
        exporter = int64_exporter(readonly=True)
        with pytest.raises(BufferError, match="test exporter: buffer is read-only"):
            member_mask_long(exporter, np.zeros(1, np.int64))

    def test_lying_strides_fail_the_c_contiguity_check(self):
        permute_rows = pytest.importorskip(f"{PACKAGE}.permute_rows").permute_rows
        size = np.dtype(np.intp).itemsize
        exporter = exporter_type()(6 * size, "l", shape=(3,), strides=(2 * size,), itemsize=size)
        rows = np.arange(3)
        with pytest.raises(ValueError, match=re.escape("Buffer not C contiguous.")):
            permute_rows(rows, exporter)
        assert exporter.exports == 0 and rows.tolist() == [0, 1, 2]


def bind_in_child(exporter_arguments, timeout=15):
    """Binds an exporter's buffer as member_mask_long's first argument in a child interpreter."""
    code = (
        "import numpy as np, norvale_test_exporter as t, norvale.cython.member_mask as m\n"
        "try:\n"
        f"    m.member_mask_long(t.Exporter({exporter_arguments}), np.zeros(1, np.int64))\n"
        "except ValueError:\n"
        "    pass\n"
    )
    try:
        return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return "hung"


class TestHostileExporters:
    """Buffers whose format or layout is legal to write but costly or unusual to read."""

    @pytest.fixture(autouse=True)
    def needs_exporter(self):
        exporter_type()
        pytest.importorskip(f"{PACKAGE}.member_mask")

    def test_nested_struct_repeat_counts_do_not_hang(self):
        assert bind_in_child("24, '99999T{99999T{}}q', shape=(3,), strides=(8,), itemsize=8") == 0

    def test_deeply_nested_struct_is_refused(self):
        depth = 200_000
        assert bind_in_child(f"24, 'T{{' * {depth} + 'q' + '}}' * {depth}, shape=(3,), strides=(8,), "
                             "itemsize=8") == 0

    def test_buffer_without_shape(self):
        assert bind_in_child("24, 'q', shape=None, strides=None, itemsize=8, ndim=1") == 0


if __name__ == "__main__":
    batch_name, seed_text, count_text = sys.argv[1:4]
    try:
        run_batch(batch_name, int(seed_text), int(count_text))
    except Failure as failure:
        print(failure, file=sys.stderr)
        sys.exit(1)
