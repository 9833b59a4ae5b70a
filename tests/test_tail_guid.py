"""Ordered identifiers: bit layout, call counter, clock, the randbits conversion and the failures."""

import builtins
import copy
import importlib
import json
import inspect
import pickle
import re
import subprocess
import sys
import textwrap
import threading
import time
import types
import uuid
import warnings

import pytest

import fake_clock
import norvale.cython.tail_guid as tail_guid_module
from norvale.cython.tail_guid import tail_guid

RANDOM_MASK = (1 << 56) - 1
TRACEBACK_NAME = "norvale.cython.tail_guid.tail_guid"


def timestamp_of(key):
    return (key.int >> 64) & 0xFFFFFFFF


def counter_of(key):
    return (key.int >> 56) & 0x3F


def random_of(key):
    return key.int & RANDOM_MASK


def next_counter():
    return counter_of(tail_guid())


class FixedRandom:
    """Stand-in for the secrets module: randbits returns (or raises) a fixed result."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def randbits(self, k):
        self.calls.append(k)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.fixture
def use_random(monkeypatch):
    """Rebinds the module's `secrets` to a FixedRandom; monkeypatch puts the real one back."""

    def install(result):
        stand_in = FixedRandom(result)
        monkeypatch.setattr(tail_guid_module, "secrets", stand_in)
        return stand_in

    return install


def entry_below_test(excinfo):
    """Name of the traceback entry right below the test's own frame: the function that failed."""
    return excinfo.tb.tb_next.tb_frame.f_code.co_name


class StrictInt(int):
    pass


class WithInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class IndexOnly:
    def __index__(self):
        return 5


# ---------------------------------------------------------------------------------------------
# Layout


def test_layout_of_real_keys():
    keys = [tail_guid() for _ in range(200)]
    for key in keys:
        assert type(key) is uuid.UUID
        text = str(key)
        assert text.startswith("ffffffff-")
        assert text[19] in "0123"  # first digit of the low half: two zero bits, then the counter
        assert key.int >> 96 == 0xFFFFFFFF
        assert key.int & (0b11 << 62) == 0
        assert key.variant == uuid.RESERVED_NCS
    assert len({random_of(key) for key in keys}) > 1


def test_fixed_random_fills_the_low_56_bits(use_random):
    stand_in = use_random(0xA1B2C3D4E5F607)
    first, second = tail_guid(), tail_guid()
    assert stand_in.calls == [56, 56]
    for key in (first, second):
        assert random_of(key) == 0xA1B2C3D4E5F607
        assert key.hex.endswith("a1b2c3d4e5f607")
    assert counter_of(second) == (counter_of(first) + 1) % 64


def test_random_bits_are_ored_not_added(use_random):
    # A stand-in may return bits that overlap the counter: they are combined by OR.
    use_random((1 << 64) - 1)
    assert tail_guid().int & ((1 << 64) - 1) == (1 << 64) - 1
    use_random(1 << 56)
    key = tail_guid()
    assert key.int & ((1 << 64) - 1) == (counter_of(key) << 56) | (1 << 56)


def test_uuid_called_with_only_the_int_keyword(monkeypatch, use_random):
    use_random(0x42)
    calls = []
    sentinel = object()

    def fake_uuid(*args, **kwargs):
        calls.append((args, kwargs))
        return sentinel

    monkeypatch.setattr(tail_guid_module, "uuid", types.SimpleNamespace(UUID=fake_uuid))
    before = sys.getrefcount(sentinel)
    result = tail_guid()
    assert result is sentinel
    del result
    assert sys.getrefcount(sentinel) == before
    [(args, kwargs)] = calls
    assert args == ()
    assert list(kwargs) == ["int"]
    value = kwargs["int"]
    assert type(value) is int
    assert value >> 96 == 0xFFFFFFFF
    assert value & RANDOM_MASK == 0x42


# ---------------------------------------------------------------------------------------------
# The standard class built directly, and every way back to UUID(int=...)

INIT_CODE = uuid.UUID.__init__.__code__


def init_calls(make):
    """make() under a profiler: the number of calls of UUID.__init__ (its code, or a copy)."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_qualname == INIT_CODE.co_qualname:
            calls.append(frame)

    sys.setprofile(profile)
    try:
        make()
    finally:
        sys.setprofile(None)
    return len(calls)


def observables(key):
    return (type(key), key, hash(key), str(key), repr(key), key.int, key.bytes, key.is_safe,
            pickle.loads(pickle.dumps(key)), copy.copy(key), copy.deepcopy(key), key.__getstate__())


def test_direct_result_equals_the_called_one():
    key = tail_guid()
    assert init_calls(tail_guid) == 0
    made = uuid.UUID(int=key.int)
    assert observables(key) == observables(made)
    assert key.is_safe is uuid.SafeUUID.unknown
    with pytest.raises(TypeError, match="UUID objects are immutable"):
        key.int = 0


class SubUUID(uuid.UUID):
    __slots__ = ()


def with_class_attribute(name, value):
    def apply(monkeypatch):
        monkeypatch.setattr(uuid.UUID, name, value)
    return apply


def wrapped_init(self, *args, **kwargs):
    STANDARD_INIT(self, *args, **kwargs)


STANDARD_INIT = uuid.UUID.__init__


@pytest.mark.parametrize("change", [
    lambda mp: mp.setattr(tail_guid_module, "uuid", types.SimpleNamespace(UUID=SubUUID)),
    with_class_attribute("__init__", wrapped_init),
    with_class_attribute("__setattr__", lambda self, name, value: object.__setattr__(self, name, value)),
    lambda mp: mp.setattr(uuid.UUID.__init__, "__code__", INIT_CODE.replace()),
    lambda mp: mp.setattr(uuid.UUID.__init__, "__defaults__", tuple(list(uuid.UUID.__init__.__defaults__))),
], ids=["subclass", "__init__", "__setattr__", "__init__.__code__", "__init__.__defaults__"])
def test_any_change_gets_the_real_call(monkeypatch, change):
    change(monkeypatch)
    before = next_counter()
    assert init_calls(tail_guid) == 1
    key = tail_guid()
    assert counter_of(key) == (before + 2) % 64
    if type(key) is uuid.UUID:
        assert observables(key) == observables(uuid.UUID(int=key.int))
    monkeypatch.undo()
    # As it was again: made directly once more.
    assert init_calls(tail_guid) == 0


def test_a_new_of_its_own_gets_the_real_call(tmp_path):
    # In a process of its own: a class whose __new__ was set and deleted again is not the same
    # class for the interpreter either (it no longer takes constructor arguments).
    script = tmp_path / "own_new.py"
    script.write_text(textwrap.dedent("""
        import uuid
        from norvale.cython.tail_guid import tail_guid
        made = []
        def new(cls, *args, **kwargs):
            made.append(cls)
            return object.__new__(cls)
        uuid.UUID.__new__ = new
        key = tail_guid()
        print(made == [uuid.UUID], key == uuid.UUID(int=key.int))
    """))
    completed = subprocess.run([sys.executable, "-P", str(script)], capture_output=True, text=True, timeout=60)
    assert completed.stdout.split() == ["True", "True"], completed.stderr


def test_is_safe_default_is_read_at_each_call(monkeypatch):
    monkeypatch.setitem(uuid.UUID.__init__.__kwdefaults__, "is_safe", uuid.SafeUUID.safe)
    assert tail_guid().is_safe is uuid.SafeUUID.safe
    monkeypatch.undo()
    assert tail_guid().is_safe is uuid.SafeUUID.unknown


# ---------------------------------------------------------------------------------------------
# Random bits: never the same twice, in threads and forked children

FORKED = textwrap.dedent("""
    import json, multiprocessing, os, sys
    from norvale.cython.tail_guid import tail_guid

    def randoms(count):
        return [tail_guid().int & ((1 << 56) - 1) for _ in range(count)]

    def in_pool(count):
        return randoms(count)

    if __name__ == "__main__":
        randoms(3)  # the parent's pool holds bytes now, which no child may reuse
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            os.write(write, json.dumps(randoms(200)).encode())
            os._exit(0)
        os.close(write)
        data = b""
        while chunk := os.read(read, 65536):
            data += chunk
        os.waitpid(child, 0)
        forked = json.loads(data)
        parent = randoms(200)
        with multiprocessing.get_context("fork").Pool(3) as pool:
            pooled = pool.map(in_pool, [200] * 6)
        print(json.dumps({"parent": parent, "forked": forked, "pooled": pooled}))
""")


def test_forked_children_never_repeat_random_bits(tmp_path):
    script = tmp_path / "forked.py"
    script.write_text(FORKED)
    completed = subprocess.run([sys.executable, "-P", str(script)], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    result = json.loads(completed.stdout)
    every = result["parent"] + result["forked"] + [value for part in result["pooled"] for value in part]
    assert len(every) == 200 * 8
    assert len(set(every)) == len(every)


def test_threads_never_repeat_random_bits():
    values = [[] for _ in range(4)]
    barrier = threading.Barrier(4)

    def work(index):
        barrier.wait()
        values[index].extend(random_of(tail_guid()) for _ in range(5000))

    threads = [threading.Thread(target=work, args=(index,)) for index in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    every = [value for part in values for value in part]
    assert len(set(every)) == len(every) == 20000


# ---------------------------------------------------------------------------------------------
# Counter


def test_counter_runs_modulo_64():
    counters = [next_counter() for _ in range(65)]
    for previous, current in zip(counters, counters[1:]):
        assert current == (previous + 1) % 64
    assert counters[64] == counters[0]
    assert set(counters) == set(range(64))


def test_repeated_import_keeps_module_and_counter(monkeypatch):
    before = next_counter()
    monkeypatch.delitem(sys.modules, "norvale.cython.tail_guid")
    again = importlib.import_module("norvale.cython.tail_guid")
    assert again is tail_guid_module
    assert again.tail_guid is tail_guid
    assert next_counter() == (before + 1) % 64


# ---------------------------------------------------------------------------------------------
# Clock


def test_timestamp_is_unix_seconds():
    before = int(time.time())
    key = tail_guid()
    after = int(time.time())
    # The runtime's second counter may trail time.time() by a clock tick.
    assert before - 1 <= timestamp_of(key) <= after


def test_keys_of_a_later_second_sort_after(use_random):
    use_random(RANDOM_MASK)  # the largest random part for the earlier key
    earlier = tail_guid()
    use_random(0)  # the smallest for the later one
    deadline = time.monotonic() + 5
    later = tail_guid()
    while timestamp_of(later) == timestamp_of(earlier):
        assert time.monotonic() < deadline, "the clock did not advance"
        time.sleep(0.05)
        later = tail_guid()
    assert later > earlier
    assert later.bytes > earlier.bytes


@pytest.mark.parametrize(
    "seconds, field",
    [
        (0, 0),
        (1_700_000_000, 1_700_000_000),
        (2**31, 2**31),  # after 2038: needs the 64-bit clock
        (2**32 + 5, 5),  # after 2106 the field wraps
        (-1, 0xFFFFFFFF),  # a failed clock read
    ],
    ids=["epoch", "2023", "after-2038", "after-2106", "clock-failure"],
)
def test_timestamp_from_the_clock(fake_clock_library, seconds, field):
    code = "from norvale.cython.tail_guid import tail_guid; print(tail_guid().int)"
    value = int(fake_clock.run_python(fake_clock_library, seconds, code))
    assert value >> 96 == 0xFFFFFFFF
    assert (value >> 64) & 0xFFFFFFFF == field


# ---------------------------------------------------------------------------------------------
# The result of randbits, converted to an unsigned 64-bit value


@pytest.mark.parametrize(
    "result, expected",
    [
        (0x123456789ABCDE, 0x123456789ABCDE),
        (0, 0),
        (StrictInt(7), 7),
        (True, 1),
        (3.9, 3),
        (WithInt(0xBEEF), 0xBEEF),
    ],
    ids=["int", "zero", "int-subclass", "bool", "float-through-int", "object-with-int"],
)
def test_randbits_result_accepted(use_random, result, expected):
    use_random(result)
    assert random_of(tail_guid()) == expected


@pytest.mark.parametrize(
    "result, error, message",
    [
        (-1, OverflowError, "can't convert negative value to unsigned PY_LONG_LONG"),
        (WithInt(-3), OverflowError, "can't convert negative value to unsigned PY_LONG_LONG"),
        (1 << 64, OverflowError, "int too big to convert"),
        (object(), TypeError, "an integer is required"),
        ("5", TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (WithInt(1.5), TypeError, "__int__ returned non-int (type float)"),
        (WithInt(LookupError("from __int__")), LookupError, "from __int__"),
    ],
    ids=["negative", "negative-through-int", "too-large", "object", "str", "index-only", "int-returns-float",
         "int-raises"],
)
def test_randbits_result_rejected(use_random, result, error, message):
    before = next_counter()
    use_random(result)
    with pytest.raises(error, match=re.escape(message)) as excinfo:
        tail_guid()
    assert entry_below_test(excinfo) == TRACEBACK_NAME
    use_random(0)
    assert next_counter() == (before + 1) % 64


DEPRECATED_SUBCLASS = (
    "__int__ returned non-int (type StrictInt).  The ability to return an instance of a strict subclass of int "
    "is deprecated, and may be removed in a future version of Python."
)


def test_int_returning_int_subclass_warns_and_is_used(use_random):
    use_random(WithInt(StrictInt(9)))
    with pytest.warns(DeprecationWarning, match=re.escape(DEPRECATED_SUBCLASS)):
        key = tail_guid()
    assert random_of(key) == 9


def test_int_subclass_warning_as_error_fails_the_call(use_random):
    before = next_counter()
    use_random(WithInt(StrictInt(9)))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=re.escape(DEPRECATED_SUBCLASS)):
            tail_guid()
    use_random(0)
    assert next_counter() == (before + 1) % 64


def test_conversion_keeps_reference_counts(use_random):
    accepted, rejected = StrictInt(11), WithInt(-1)
    counts = sys.getrefcount(accepted), sys.getrefcount(rejected)
    stand_in = use_random(accepted)
    tail_guid()
    stand_in.result = rejected
    with pytest.raises(OverflowError):
        tail_guid()
    stand_in.result = 0
    assert (sys.getrefcount(accepted), sys.getrefcount(rejected)) == counts


# ---------------------------------------------------------------------------------------------
# Failures of the lookups and calls


def test_randbits_exception_propagates_unchanged(use_random):
    failure = RuntimeError("no entropy")
    before = next_counter()
    use_random(failure)
    with pytest.raises(RuntimeError) as excinfo:
        tail_guid()
    assert excinfo.value is failure
    assert entry_below_test(excinfo) == TRACEBACK_NAME
    use_random(0)
    assert next_counter() == (before + 1) % 64


@pytest.mark.parametrize(
    "stand_in, error, message",
    [
        (None, NameError, "name 'secrets' is not defined"),
        (types.SimpleNamespace(), AttributeError, "'types.SimpleNamespace' object has no attribute 'randbits'"),
    ],
    ids=["secrets-missing", "randbits-missing"],
)
def test_random_source_missing(monkeypatch, stand_in, error, message):
    before = next_counter()
    if stand_in is None:
        monkeypatch.delattr(tail_guid_module, "secrets")
    else:
        monkeypatch.setattr(tail_guid_module, "secrets", stand_in)
    with pytest.raises(error, match=re.escape(message)) as excinfo:
        tail_guid()
    assert entry_below_test(excinfo) == TRACEBACK_NAME
    monkeypatch.undo()
    assert next_counter() == (before + 1) % 64


def test_secrets_found_in_builtins(monkeypatch):
    stand_in = FixedRandom(0x77)
    monkeypatch.delattr(tail_guid_module, "secrets")
    monkeypatch.setattr(builtins, "secrets", stand_in, raising=False)
    assert random_of(tail_guid()) == 0x77
    assert stand_in.calls == [56]


def failing_uuid(*args, **kwargs):
    raise ValueError("rejected by UUID")


@pytest.mark.parametrize(
    "stand_in, error, message",
    [
        (None, NameError, "name 'uuid' is not defined"),
        (types.SimpleNamespace(), AttributeError, "'types.SimpleNamespace' object has no attribute 'UUID'"),
        (types.SimpleNamespace(UUID=failing_uuid), ValueError, "rejected by UUID"),
    ],
    ids=["uuid-missing", "UUID-missing", "UUID-raises"],
)
def test_uuid_failures_still_advance_the_counter(monkeypatch, use_random, stand_in, error, message):
    before = next_counter()
    random_source = use_random(0)
    if stand_in is None:
        monkeypatch.delattr(tail_guid_module, "uuid")
    else:
        monkeypatch.setattr(tail_guid_module, "uuid", stand_in)
    with pytest.raises(error, match=re.escape(message)) as excinfo:
        tail_guid()
    assert entry_below_test(excinfo) == TRACEBACK_NAME
    assert random_source.calls == [56]  # the random bits come first
    monkeypatch.undo()
    assert next_counter() == (before + 2) % 64


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "tail_guid() takes no arguments (1 given)"),
        ((1, 2), {}, "tail_guid() takes no arguments (2 given)"),
        ((), {"int": 1}, "tail_guid() takes no keyword arguments"),
        ((1,), {"int": 1}, "tail_guid() takes no keyword arguments"),
    ],
    ids=["one-positional", "two-positional", "keyword", "keyword-checked-first"],
)
def test_arguments_rejected_without_advancing(args, kwargs, message):
    before = next_counter()
    with pytest.raises(TypeError, match=re.escape(message)) as excinfo:
        tail_guid(*args, **kwargs)
    assert entry_below_test(excinfo) == TRACEBACK_NAME
    assert next_counter() == (before + 1) % 64


# ---------------------------------------------------------------------------------------------
# The module and its function


DOCSTRING = (
    "tail_guid()\n"
    "\n"
    "Generates a UUID with a prefix of 32 ones and a following timestamp.\n"
    "The purpose is to have UUIDs that are always appended at the end of the DB index.\n"
    "WARNING: Does not follow the actual UUID definition (version/variant not set) but PostgreSQL does not care"
)


def test_module_and_function_attributes():
    assert tail_guid_module.__doc__ is None
    public = {name for name in vars(tail_guid_module) if not name.startswith("__")}
    assert public == {"tail_guid", "secrets", "uuid"}
    assert tail_guid_module.secrets is sys.modules["secrets"]
    assert tail_guid_module.uuid is uuid
    assert tail_guid.__doc__ == DOCSTRING
    assert tail_guid.__module__ == "norvale.cython.tail_guid"
    assert tail_guid.__code__.co_argcount == 0
    assert tail_guid.__code__.co_varnames == ("prefix", "timestamp", "uuid_upper", "random_value", "uuid_lower")
    assert str(inspect.signature(tail_guid)) == "()"
    assert pickle.loads(pickle.dumps(tail_guid)) is tail_guid


def test_imports_without_numpy():
    code = textwrap.dedent(
        """
        import sys
        sys.modules["numpy"] = None  # any import of numpy now raises ModuleNotFoundError
        try:
            import numpy
        except ModuleNotFoundError:
            pass
        else:
            raise SystemExit("numpy is still importable")
        from norvale.cython.tail_guid import tail_guid
        print(tail_guid())
        assert sys.modules["numpy"] is None
        """
    )
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ffffffff-")
