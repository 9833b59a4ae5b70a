"""The membership kernel behind member_mask, each processor variant on its own.

member_mask runs the fastest variant the processor has; through the test-only kernel module
every variant this machine runs is held to numpy.isin, on every set element type and on each
structure the kernel picks (bitmap, cuckoo table, flat table with and without read-ahead, flat
table on its own mapping), with keys chosen to collide, strided and misaligned inputs and
strided results, and on cases drawn by hypothesis across all of these.
"""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

kernels = pytest.importorskip("norvale_test_kernels")

VARIANTS = kernels.membership_variants()
THRESHOLDS = kernels.membership_thresholds()

# Kind -> (dtype of elements, dtype of test_elements); the set holds the elements' type.
KINDS = {
    "int8": (np.int8, np.int8),
    "uint8": (np.uint8, np.uint8),
    "int16": (np.int16, np.int16),
    "uint16": (np.uint16, np.uint16),
    "int32": (np.int32, np.int32),
    "uint32": (np.uint32, np.uint32),
    "int64": (np.int64, np.int64),
    "uint64": (np.uint64, np.uint64),
    "float32": (np.float32, np.float32),
    "float64": (np.float64, np.float64),
    "int64_in_uint16": (np.int64, np.uint16),
}
WIDE_KINDS = ["int32", "uint32", "int64", "uint64", "float32", "float64"]


def rng(*key):
    return np.random.default_rng([20240611, *key])


def mark(kind, elements, test_elements, variant, out_stride=1):
    """The kernel's answer and layout; checks that only the result positions were written."""
    raw, layout = kernels.mark_members(kind, elements, test_elements, variant, out_stride)
    written = np.frombuffer(raw, np.uint8)
    n, step = len(elements), abs(out_stride)
    positions = np.arange(n) * step
    if out_stride < 0:
        positions = positions[::-1]
    result = written[positions]
    assert np.isin(result, [0, 1]).all()
    assert (np.delete(written, positions) == 0xAA).all()
    return result.astype(bool), layout


def expected(kind, elements, test_elements):
    set_type = KINDS[kind][0]
    return np.isin(np.asarray(elements), np.asarray(test_elements).astype(set_type))


def check(kind, elements, test_elements, variant, out_stride=1):
    result, layout = mark(kind, elements, test_elements, variant, out_stride)
    np.testing.assert_array_equal(result, expected(kind, elements, test_elements))
    return layout


def wide_values(kind, count, seed):
    """`count` values spread over the whole type (floats: a wide normal spread)."""
    dtype = np.dtype(KINDS[kind][0])
    generator = rng(seed, count)
    if dtype.kind == "f":
        return (generator.standard_normal(count) * 1e6).astype(dtype)
    info = np.iinfo(dtype)
    return generator.integers(info.min, info.max, size=count, dtype=dtype, endpoint=True)


def past_cuckoo(kind):
    """More distinct wide values than a cuckoo table holds."""
    return THRESHOLDS[f"cuckoo_keys_{np.dtype(KINDS[kind][0]).itemsize}"] + 100


def half_found(kind, n, test_elements, seed):
    """n elements, about half drawn from the test elements and half from anywhere."""
    generator = rng(seed, n, 1)
    others = wide_values(kind, n, seed + 1).astype(KINDS[kind][0])
    if len(test_elements) == 0:
        return others
    picks = np.asarray(test_elements).astype(KINDS[kind][0])[generator.integers(0, len(test_elements), n)]
    return np.where(generator.random(n) < 0.5, picks, others)


@pytest.fixture(params=VARIANTS)
def variant(request):
    return request.param


# ---- Every kind against numpy.isin, on each structure -------------------------------------------

def narrow_case(kind, n, m, seed):
    """Test values from a range narrow enough for the bitmap; elements reach a little past it."""
    generator = rng(seed, n, m)
    test_dtype = np.dtype(KINDS[kind][1])
    info = np.iinfo(test_dtype)
    low = max(int(info.min), -3 * m) if info.min < 0 else 0
    high = min(int(info.max), low + 6 * m)
    test_elements = generator.integers(low, high, m, endpoint=True).astype(test_dtype)
    element_info = np.iinfo(KINDS[kind][0])
    elements = generator.integers(max(int(element_info.min), low - 50), min(int(element_info.max), high + 50), n,
                                  endpoint=True).astype(KINDS[kind][0])
    return elements, test_elements


@pytest.mark.parametrize("n, m", [(1, 1), (7, 3), (100, 100), (1000, 37), (5000, 2000)], ids=str)
@pytest.mark.parametrize("kind", [k for k in KINDS if not k.startswith("float")])
def test_narrow_integer_values_take_the_bitmap(kind, n, m, variant):
    elements, test_elements = narrow_case(kind, n, m, seed=3)
    assert check(kind, elements, test_elements, variant) == "bitmap"


@pytest.mark.parametrize(
    "n, m, layout",
    [(1, 2, "cuckoo"), (9, 5, "cuckoo"), (1000, 100, "cuckoo"), (3000, 3000, "cuckoo")],
    ids=str,
)
@pytest.mark.parametrize("kind", WIDE_KINDS)
def test_wide_values_take_a_cuckoo_table(kind, n, m, layout, variant):
    test_elements = wide_values(kind, m, seed=5)
    elements = half_found(kind, n, test_elements, seed=6)
    assert check(kind, elements, test_elements, variant) == layout


@pytest.mark.parametrize(
    "threshold, below, above",
    [("read_ahead_keys", "flat", "flat_read_ahead"), ("mapped_keys", "flat_read_ahead", "flat_mapped")],
    ids=["read-ahead", "own-mapping"],
)
@pytest.mark.parametrize("kind", ["uint32", "int64", "float64"])
def test_large_table_limits(kind, threshold, below, above, variant):
    """A flat table reads ahead of its lookups from one size on, and from a larger one has a
    mapping of its own (on huge pages where the system allows them)."""
    count = THRESHOLDS[f"{threshold}_{np.dtype(KINDS[kind][0]).itemsize}"]
    just_under = max(int(count * 0.85), past_cuckoo(kind))
    assert just_under < count
    for size, layout in [(just_under, below), (int(count * 1.15), above)]:
        test_elements = np.unique(wide_values(kind, size, seed=7))
        elements = half_found(kind, 50_000, test_elements, seed=8)
        assert check(kind, elements, test_elements, variant) == layout


# ---- Around each threshold ------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["int16", "int32", "int64", "uint64", "int64_in_uint16"])
@pytest.mark.parametrize("m", [100, 2000, 20_000])
def test_bitmap_range_limit(kind, m, variant):
    """A bitmap takes up to 64 bits per test value (at least 65536): a range one wider hashes. The
    bitmaps run from 2^16 to 2^21 bits."""
    test_dtype = np.dtype(KINDS[kind][1])
    limit = max(64 * m, 65536)
    for span, layouts in [(limit, {"bitmap"}), (limit + 1, {"cuckoo", "flat"})]:
        if span - 1 > np.iinfo(test_dtype).max - np.iinfo(test_dtype).min:
            continue  # a 16-bit type never exceeds the limit
        low = int(np.iinfo(test_dtype).min) if test_dtype.kind == "u" else -(span // 2)
        values = np.linspace(low, low + span - 1, m).round().astype(np.int64)
        test_elements = values.astype(test_dtype)
        elements = np.concatenate([values - 1, values, values + 1, [low - 5, low + span + 5]])
        info = np.iinfo(KINDS[kind][0])
        inside = (elements >= max(int(info.min), -(2**63))) & (elements <= min(int(info.max), 2**63 - 1))
        elements = elements[inside].astype(KINDS[kind][0])
        assert check(kind, elements, test_elements, variant) in layouts


@pytest.mark.parametrize("kind", ["int32", "int64", "uint64"])
def test_elements_just_past_the_range(kind, variant):
    """Offsets past the test range, up to and past the next power of two, find nothing."""
    low = {"int32": -7, "int64": -(2**40), "uint64": 2**63}[kind]
    test_elements = np.array([low, low + 40_000], np.dtype(KINDS[kind][0]))
    offsets = np.concatenate([np.arange(-40, 40), np.arange(39_980, 40_020), np.arange(65_500, 65_600), [2**31, 2**32]])
    info = np.iinfo(KINDS[kind][0])
    elements = np.array([low + int(o) for o in offsets if info.min <= low + int(o) <= info.max], KINDS[kind][0])
    assert check(kind, elements, test_elements, variant) == "bitmap"


@pytest.fixture(params=["int32", "uint32", "int64", "uint64"])
def held_range(request):
    """A kind, its test values (every third value of a range of 9000 whose start is no multiple of
    64) and the bitmap size above that range, 2^14 bits."""
    kind = request.param
    low = {"int32": -1001, "uint32": 2**20 + 5, "int64": -(2**40) + 3, "uint64": 2**63 + 7}[kind]
    test_elements = np.array([low + 3 * i for i in range(3000)], np.dtype(KINDS[kind][0]))
    return kind, test_elements, 2**14


def test_a_value_one_bitmap_away_from_a_test_value_is_absent(held_range, variant):
    """The bit of a value lies at the value modulo the bitmap size, so a value outside the range
    shares its bit with one inside: it is absent even in a block of elements that all but it lie
    inside, at either end of a block or alone in the tail."""
    kind, test_elements, held = held_range
    as_int = [int(t) for t in test_elements]
    inside = np.array([as_int[i % 3000] + (i % 3) for i in range(64 * 12)], test_elements.dtype)
    for slot in (0, 1, 63, 64, 200, 64 * 12 - 1):
        for shift in (held, -held, 2 * held):
            elements = inside.copy()
            elements[slot] = as_int[slot % 3000] + shift
            for n in (64 * 12, 64 * 12 - 1, slot + 1, 65):
                check(kind, elements[:n], test_elements, variant)


def test_the_range_ends_anywhere_in_the_test_values(held_range, variant):
    """The least and greatest test value, at each position of test values of every length up to
    three AVX2 vectors and a half, and at the ends and middle of longer ones (past four AVX-512
    vectors), bound the range: values just outside it are absent."""
    kind, test_elements, _ = held_range
    low, high = int(test_elements.min()), int(test_elements.max())
    elements = np.array([low - 1, low, high, high + 1], test_elements.dtype)
    for m in [*range(2, 29), 31, 32, 33, 47, 63, 64, 65, 95, 127, 128, 129, 150]:
        middle = test_elements[1 : m - 1]
        for at_low in range(0, m, 3) if m < 29 else sorted({0, 1, m // 3, m // 2 + 1, m - 2, m - 1}):
            for at_high in {0, m - 1, m // 2} - {at_low}:
                values = list(middle)
                positions = sorted([(at_low, low), (at_high, high)])
                for position, value in positions:
                    values.insert(position, value)
                assert check(kind, elements, np.array(values[:m], test_elements.dtype), variant) == "bitmap"


@pytest.mark.parametrize("kind", ["int16", "uint16"])
def test_many_16_bit_elements(kind, variant):
    """From some count of elements on, 16-bit values are looked up in a byte per value."""
    count = THRESHOLDS["byte_table_elements"]
    for n in (count - 1, count):
        elements, test_elements = narrow_case(kind, n, 900, seed=n)
        assert check(kind, elements, test_elements, variant) == "bitmap"
        check(kind, elements[::-2], test_elements, variant, out_stride=-3)


@pytest.mark.parametrize("kind", ["int64", "float32", "uint32"])
def test_cuckoo_table_limit(kind, variant):
    """Up to its capacity a cuckoo table; past it a flat table, back to cuckoo if few are distinct."""
    key_bytes = np.dtype(KINDS[kind][0]).itemsize
    capacity = THRESHOLDS[f"cuckoo_keys_{key_bytes}"]
    distinct = np.unique(wide_values(kind, 2 * capacity, seed=9))
    cases = [
        (distinct[: capacity - 10], "cuckoo"),
        (distinct[: capacity + 10], "flat"),
        # More test values than a cuckoo table holds: built flat, moved into one if few are
        # distinct.
        (np.tile(distinct[: capacity // 2 - 10], 3), "cuckoo"),
        (np.tile(distinct[: capacity // 2 + 10], 3), "flat"),
    ]
    for test_elements, layout in cases:
        elements = half_found(kind, 5000, test_elements, seed=10)
        assert check(kind, elements, test_elements, variant) == layout


# ---- Values the set must get right ----------------------------------------------------------

def extremes(kind):
    dtype = np.dtype(KINDS[kind][0])
    if dtype.kind == "f":
        info = np.finfo(dtype)
        return np.array([0.0, -0.0, 1.0, -1.0, np.inf, -np.inf, np.nan, info.max, info.min, info.tiny,
                         info.smallest_subnormal, -info.smallest_subnormal], dtype)
    info = np.iinfo(dtype)
    return np.array(sorted({info.min, info.min + 1, -1 if info.min < 0 else 2, 0, 1, info.max - 1, info.max}), dtype)


@pytest.mark.parametrize("kind", [k for k in KINDS if k != "int64_in_uint16"])
@pytest.mark.parametrize("spread", ["alone", "with wide values"])
def test_extreme_values(kind, spread, variant):
    """0 (the empty slot of a flat table), the type's ends, NaN, both zeros, infinities, denormals."""
    special = extremes(kind)
    padding = wide_values(kind, 300, seed=11) if spread == "with wide values" else special[:0]
    everything = np.concatenate([special, padding])
    for start in range(len(special)):
        # Each special value in the test values once, with and without the others.
        test_elements = np.concatenate([special[start : start + 1], padding])
        check(kind, everything, test_elements, variant)
    check(kind, everything, np.concatenate([special, padding]), variant)
    check(kind, everything, special[:0], variant)


def test_nan_is_never_found_and_zeros_are_equal(variant):
    for kind in ["float32", "float64"]:
        dtype = KINDS[kind][0]
        nans = np.array([np.nan, -np.nan, np.nan], dtype)
        assert not mark(kind, nans, nans, variant)[0].any()
        zeros = np.array([0.0, -0.0], dtype)
        for one_zero in (zeros[:1], zeros[1:]):
            assert mark(kind, zeros, one_zero, variant)[0].all()


def test_wider_elements_are_not_cut_to_the_test_type(variant):
    test_elements = np.array([0, 7, 65535], np.uint16)
    elements = np.array([7, 65536 + 7, 2**32 + 7, -65536 + 7, -1, 65535, 0, -(2**63), 2**63 - 1], np.int64)
    result, layout = mark("int64_in_uint16", elements, test_elements, variant)
    assert result.tolist() == [True, False, False, False, False, True, True, False, False]
    assert layout == "bitmap"


def colliding_keys(count, seed, top=None):
    """int64 keys whose hashes share their top 32 bits: one home bucket in any table, the same two
    buckets in a cuckoo table. With top 0 that is the bucket of the key 0."""
    inverse = pow(THRESHOLDS["hash_multiplier"], -1, 2**64)
    top = int(rng(seed).integers(0, 2**32)) if top is None else top
    low = rng(seed, 1).choice(2**32, size=count, replace=False)
    keys = [((top << 32 | int(x)) * inverse) % 2**64 for x in low]
    return np.array(keys, np.uint64).view(np.int64)


@pytest.mark.parametrize("count", [3, 8, 9, 40, 500])
def test_keys_that_collide(count, variant):
    """One long chain of full buckets: lookups that go on past the first two, and a cuckoo table
    that cannot place them."""
    keys = colliding_keys(2 * count, seed=count)
    test_elements, absent = keys[:count], keys[count:]
    padding = wide_values("int64", 2000, seed=12)
    for extra in (padding[:0], padding):
        tests = np.concatenate([test_elements, extra])
        elements = np.concatenate([keys, padding[::7], [0]])
        layout = check("int64", elements, tests, variant)
        # Two buckets of four hold 8 of them; more can only go into a flat table.
        if count > 8:
            assert layout == "flat"
        elif len(extra) == 0:
            assert layout == "cuckoo"
        assert not mark("int64", absent, tests, variant)[0].any()


def keys_homed_first(kind, count, buckets, seed):
    """`count` distinct values of the kind whose keys hash into bucket 0 of a flat table of up to
    `buckets` buckets: one chain of full buckets, reached from its start."""
    dtype = np.dtype(KINDS[kind][0])
    unsigned = np.dtype(f"u{dtype.itemsize}")
    multiplier = np.uint64(THRESHOLDS["hash_multiplier"])
    found = []
    generator = rng(seed, count)
    while sum(len(f) for f in found) < count:
        bits = generator.integers(1, np.iinfo(unsigned).max, size=2_000_000, dtype=unsigned, endpoint=True)
        with np.errstate(over="ignore"):
            tops = (bits.astype(np.uint64) * multiplier) >> np.uint64(32)
        values = bits[tops < np.uint64(2**32 // buckets)].view(dtype)
        if dtype.kind == "f":
            values = values[np.isfinite(values) & (values != 0)]
        found.append(values)
    return np.unique(np.concatenate(found))[:count]


@pytest.mark.parametrize("kind", ["uint32", "float32", "int64", "float64"])
@pytest.mark.parametrize("count", [7, 8, 9, 17, 40])
def test_chains_of_full_flat_buckets(kind, count, variant):
    """Keys in the last slot of a full bucket and past it, chains of one to five buckets, with
    8- and 4-byte keys; absent keys that meet the same full buckets; the key 0 among them."""
    padding = np.unique(wide_values(kind, 2 * past_cuckoo(kind), seed=22))
    buckets = 4 * len(padding) // (64 // np.dtype(KINDS[kind][0]).itemsize)  # at least the table's
    chain = keys_homed_first(kind, 2 * count, buckets, seed=count)
    present, absent = chain[:count], chain[count:]
    test_elements = np.concatenate([padding, present])
    elements = np.concatenate([np.repeat(chain, 3), padding[::5], np.zeros(5, padding.dtype)])
    elements = elements[rng(count, 2).permutation(len(elements))]
    assert check(kind, elements, test_elements, variant) in {"flat", "flat_read_ahead"}
    assert not mark(kind, absent, test_elements, variant)[0].any()
    check(kind, elements, np.concatenate([test_elements, [0]]).astype(padding.dtype), variant)


def test_zero_in_a_chain_of_full_buckets(variant):
    """The element 0 meets full buckets (no empty slot matches it): its answer is still the flag."""
    keys = colliding_keys(300, seed=1, top=0)
    chain_home_zero = np.concatenate([keys, wide_values("int64", 40_000, seed=13)])
    for test_elements in (chain_home_zero, np.concatenate([chain_home_zero, [0]])):
        elements = np.array([0, keys[0], keys[-1], 5], np.int64)
        check("int64", elements, test_elements, variant)


def test_duplicates(variant):
    values = wide_values("int64", 1000, seed=14)
    test_elements = np.repeat(values, 30)  # more test values than a cuckoo table holds
    elements = np.concatenate([values, values, wide_values("int64", 1000, seed=15)])
    assert check("int64", elements, test_elements, variant) == "cuckoo"


@pytest.mark.parametrize("kind", ["uint8", "int32", "float64", "int64_in_uint16"])
def test_empty_inputs(kind, variant):
    some = np.array([1, 2, 3]).astype(KINDS[kind][0])
    some_tests = np.array([2, 5]).astype(KINDS[kind][1])
    assert mark(kind, some[:0], some_tests, variant)[0].shape == (0,)
    assert not mark(kind, some, some_tests[:0], variant)[0].any()
    assert mark(kind, some[:0], some_tests[:0], variant)[0].shape == (0,)


# ---- Layouts of the inputs and of the result ------------------------------------------------

def misaligned(array, offset=1):
    """A copy of `array` whose items start `offset` bytes past an aligned address."""
    raw = bytearray(array.nbytes + offset)
    view = np.ndarray(array.shape, array.dtype, buffer=raw, offset=offset)
    view[...] = array
    return view


def every_third_reversed(array):
    """The values in reverse order, three items apart (a stride of -3 items)."""
    spread = np.zeros(3 * len(array), array.dtype)
    spread[::3] = array
    return spread[len(spread) - 3 :: -3] if len(array) else spread


LAYOUTS = {
    "contiguous": lambda a: a,
    "misaligned": misaligned,
    "every-second": lambda a: np.repeat(a, 2)[::2],
    "reversed": lambda a: a[::-1],
    "every-third-reversed": every_third_reversed,
    "misaligned-every-second": lambda a: misaligned(np.repeat(a, 2))[::2],
}

def wide_case(kind, m, seed):
    test_elements = wide_values(kind, m, seed)
    return half_found(kind, 3001, test_elements, seed + 1), test_elements


DATA_SHAPES = {
    "bitmap": lambda kind: narrow_case(kind, 3001, 500, seed=16),
    "cuckoo": lambda kind: wide_case(kind, 500, seed=17),
    "flat": lambda kind: wide_case(kind, past_cuckoo(kind), seed=19),
}


# Narrow types always take the bitmap; floating-point values never do.
SHAPED_KINDS = [
    *[("bitmap", kind) for kind in ["uint8", "int16", "uint16", "int32", "int64", "int64_in_uint16"]],
    *[(shape, kind) for shape in ["cuckoo", "flat"] for kind in ["int32", "int64", "float32", "float64"]],
]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape, kind", SHAPED_KINDS, ids=[f"{kind}-{shape}" for shape, kind in SHAPED_KINDS])
def test_strided_and_misaligned_inputs(kind, shape, layout, variant):
    elements, test_elements = DATA_SHAPES[shape](kind)
    assert check(kind, LAYOUTS[layout](elements), LAYOUTS[layout](test_elements), variant) == shape


def test_zero_stride_inputs(variant):
    one = np.array([42], np.int64)
    repeated = np.lib.stride_tricks.as_strided(one, shape=(1000,), strides=(0,))
    assert check("int64", repeated, repeated, variant) == "bitmap"
    wide = wide_values("int64", 5000, seed=21)
    assert check("int64", repeated, wide, variant) == "cuckoo"
    one_wide = np.lib.stride_tricks.as_strided(wide[:1], shape=(300,), strides=(0,))
    assert check("int64", wide, one_wide, variant) == "bitmap"


RESULT_CASES = [("bitmap", "uint8"), ("bitmap", "uint16"), ("bitmap", "int64"), ("cuckoo", "int64"), ("flat", "float64")]


@pytest.mark.parametrize("out_stride", [3, -1, -2], ids=lambda s: f"out-stride-{s}")
@pytest.mark.parametrize("shape, kind", RESULT_CASES, ids=[f"{kind}-{shape}" for shape, kind in RESULT_CASES])
def test_strided_results(kind, shape, out_stride, variant):
    elements, test_elements = DATA_SHAPES[shape](kind)
    check(kind, elements, test_elements, variant, out_stride)


# ---- Test values that change during the call ------------------------------------------------

def test_bitmap_refuses_bits_outside_the_range_it_found():
    before = np.array([10, 20, 30], np.int64)
    assert kernels.bitmap_refill(before, np.array([30, 10, 20], np.int64)) == "ok"
    for changed in ([10, 20, 31], [9, 20, 30], [10, -(2**63), 30], [10, 2**63 - 1, 30]):
        assert kernels.bitmap_refill(before, np.array(changed, np.int64)) == "input_changed"


# ---- Drawn cases: every variant against numpy.isin ---------------------------------------------

@st.composite
def drawn_case(draw, kind):
    """Elements and test values of the kind, drawn so that every structure comes up: test sets
    from one value to past a cuckoo table's capacity, from a narrow range or the whole type,
    with the type's extremes, 0 (and for floats NaN and both zeros) mixed in; elements half
    drawn from the test values, in any count up to a few blocks, with a stride."""
    generator = rng(draw(st.integers(0, 2**32 - 1)))
    element_type, test_type = (np.dtype(t) for t in KINDS[kind])
    sizes = [1, 3, 17, 300, 5000]
    m = draw(st.sampled_from(sizes + [past_cuckoo(kind) + 50] if element_type.itemsize >= 4 else sizes))
    if draw(st.booleans()) and test_type.kind != "f":
        info = np.iinfo(test_type)
        low = int(generator.integers(info.min, info.max, endpoint=True, dtype=test_type.type))
        span = draw(st.sampled_from([1, 64, 70 * m]))
        test = generator.integers(max(low - span, int(info.min)), min(low + span, int(info.max)), m, endpoint=True,
                                  dtype=test_type.type)
    else:
        test = wide_values(kind, m, int(generator.integers(2**31))).astype(test_type)
    specials = extremes(kind) if kind != "int64_in_uint16" else extremes("uint16")
    test[generator.random(m) < 0.05] = generator.choice(specials.astype(test_type))
    n = draw(st.integers(0, 2500))
    elements = np.where(generator.random(n) < 0.5, test.astype(element_type)[generator.integers(0, m, n)],
                        wide_values(kind, n, int(generator.integers(2**31))).astype(element_type))
    elements[generator.random(n) < 0.05] = generator.choice(extremes(kind))
    step = draw(st.sampled_from([1, 1, 2, -1, -3]))
    elements = np.repeat(elements, abs(step))[:: step]
    return elements, test, draw(st.sampled_from([1, 1, 2, -1]))


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("kind", KINDS)
@settings(max_examples=30, deadline=None)
@given(data=st.data())
def test_drawn_cases_match_isin(kind, variant, data):
    elements, test_elements, out_stride = data.draw(drawn_case(kind))
    check(kind, elements, test_elements, variant, out_stride)
