"""The generic member_mask: entry selection from the first argument, subscript, and its twelve entries."""

import array
import gc
import inspect
import pickle
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from helpers import load, traceback_function_names

DOTTED_FUNCTION = "norvale.cython.member_mask.member_mask"

# Table order, with the NumPy dtype each entry binds.
ENTRY_DTYPES = {
    "char": np.int8,
    "int": np.int32,
    "short": np.int16,
    "long": np.int32,
    "long long": np.int64,
    "unsigned char": np.uint8,
    "unsigned int": np.uint32,
    "unsigned short": np.uint16,
    "unsigned long": np.uint32,
    "unsigned long long": np.uint64,
    "float": np.float32,
    "double": np.float64,
}
KEYS = list(ENTRY_DTYPES)

NO_SIGNATURE = "No matching signature found"
NO_FIRST_ARGUMENT = "Expected at least 2 arguments, got 0"


@pytest.fixture
def generic(member_mask):
    return member_mask.member_mask


def selected_key(generic, first):
    """The entry a call picks for `first`, read from the entry's binding error for a second
    argument that no entry accepts (complex values)."""
    with pytest.raises(ValueError, match=r"^Buffer dtype mismatch, expected '") as raised:
        generic(first, np.zeros(1, np.complex128))
    return re.match(r"Buffer dtype mismatch, expected '([a-z ]+)'", str(raised.value)).group(1)


def int_array(values, dtype=np.int64):
    return np.array(values, dtype=dtype)


# ---- selection from the first argument ---------------------------------------------------------

@pytest.mark.parametrize("dtype, key", [
    (np.int8, "char"),
    (np.int16, "short"),
    (np.int32, "int"),
    (np.int64, "long long"),
    (np.uint8, "unsigned char"),
    (np.uint16, "unsigned short"),
    (np.uint32, "unsigned int"),
    (np.uint64, "unsigned long long"),
    (np.float32, "float"),
    (np.float64, "double"),
    (np.bool_, "char"),  # no dtype rule: the buffer trial binds it as one-byte items
], ids=lambda v: np.dtype(v).name if isinstance(v, type) else v)
def test_numpy_dtype_selects_entry(generic, dtype, key):
    assert selected_key(generic, np.zeros(3, dtype)) == key


@pytest.mark.parametrize("first", [
    np.zeros(3, np.float16),
    np.zeros(3, np.complex64),
    np.zeros(3, np.complex128),
    np.zeros(3, np.longdouble),
    np.zeros(3, object),
    np.zeros(3, "datetime64[s]"),
    np.zeros(3, "S3"),
    np.zeros((2, 2), np.int64),
    np.zeros((2, 2), np.uint8),
    np.zeros((), np.int64),
    [1, 2, 3],
    5,
    "abc",
    object(),
    # A wide-character array: 'u', deprecated from 3.13 on, where 'w' replaces it.
    array.array("w" if sys.version_info >= (3, 13) else "u", "ab"),
    memoryview(np.zeros((2, 3), np.int32)),
], ids=["float16", "complex64", "complex128", "longdouble", "object", "datetime64", "S3", "int64-2d",
        "uint8-2d", "int64-0d", "list", "int", "str", "object()", "array-u", "memoryview-2d"])
def test_unsupported_first_argument(generic, first):
    with pytest.raises(TypeError, match=f"^{NO_SIGNATURE}$") as raised:
        generic(first, np.zeros(1, np.int64))
    assert traceback_function_names(raised.value)[-1] == DOTTED_FUNCTION


@pytest.mark.parametrize("typecode, key", [
    ("b", "char"),
    ("B", "char"),  # "char" comes first and binds any one-byte item
    ("h", "short"),
    ("H", "unsigned short"),
    ("i", "int"),
    ("I", "unsigned int"),
    ("l", "long long"),  # C long is 8 bytes here; the "long" entry is 32-bit
    ("L", "unsigned long long"),
    ("q", "long long"),
    ("Q", "unsigned long long"),
    ("f", "float"),
    ("d", "double"),
])
def test_array_module_buffer_selects_entry(generic, typecode, key):
    assert selected_key(generic, array.array(typecode, [1, 2])) == key


@pytest.mark.parametrize("first, key", [
    (bytearray(b"ab"), "char"),
    (None, "char"),
    (np.zeros(4, np.int64)[::2], "long long"),
    (np.zeros(4, np.int64)[::-1], "long long"),
    (memoryview(np.zeros(3, np.uint16)), "unsigned short"),
], ids=["bytearray", "None", "strided", "reversed", "memoryview"])
def test_other_first_arguments_select_entry(generic, first, key):
    assert selected_key(generic, first) == key


def test_array_module_results(generic):
    assert generic(array.array("d", [1.0, 2.5, -0.0]), array.array("d", [2.5, 0.0])).tolist() == [
        False, True, True]
    assert generic(array.array("q", [1, 2, 3]), array.array("q", [3])).tolist() == [False, False, True]


def test_bool_array_compares_bytes(generic):
    result = generic(np.array([True, False, True]), np.array([True]))
    assert result.dtype == np.bool_ and result.tolist() == [True, False, True]


def test_none_first_argument(generic):
    result = generic(None, None)
    assert isinstance(result, np.ndarray) and result.dtype == np.bool_ and result.shape == (0,)


def test_second_argument_takes_no_part_in_selection(generic):
    with pytest.raises(ValueError, match=re.escape("Buffer dtype mismatch, expected 'int' but got 'long'")):
        generic(int_array([1, 2], np.int32), int_array([1, 2], np.int64))


@pytest.mark.parametrize("make_read_only", [
    lambda: _read_only(np.arange(3, dtype=np.int64)),
    lambda: _read_only(np.zeros(3, np.bool_)),
    lambda: b"abc",
], ids=["int64-array", "bool-array", "bytes"])
def test_read_only_first_argument_is_selected_then_refused(generic, make_read_only):
    first = make_read_only()
    with pytest.raises((ValueError, BufferError), match="read-only|not writable") as raised:
        generic(first, first)
    assert traceback_function_names(raised.value).count(DOTTED_FUNCTION) == 1


def _read_only(array_):
    array_.flags.writeable = False
    return array_


# ---- NumPy array subclasses: the selection reads the attributes ------------------------------

class ClaimsFloat32(np.ndarray):
    """int32 data whose dtype attribute says float32."""

    @property
    def dtype(self):
        return np.dtype(np.float32)


class Boom(Exception):
    pass


class RaisingAttribute(np.ndarray):
    failing = None

    def __getattribute__(self, name):
        if name == type(self).failing:
            raise Boom(name)
        return super().__getattribute__(name)


class FakeDtype:
    def __init__(self, itemsize, kind):
        self.itemsize, self.kind = itemsize, kind


class WithFakeDtype(np.ndarray):
    fake = None

    @property
    def dtype(self):
        return type(self).fake


def test_subclass_selects_by_its_dtype_attribute(generic):
    assert selected_key(generic, np.zeros(3, np.int16).view(type("Sub", (np.ndarray,), {}))) == "short"
    first = np.arange(3, dtype=np.int32).view(ClaimsFloat32)
    with pytest.raises(ValueError, match=re.escape("Buffer dtype mismatch, expected 'float' but got 'int'")):
        generic(first, np.zeros(1, np.float32))


@pytest.mark.parametrize("failing", ["dtype", "ndim"])
def test_attribute_errors_propagate(generic, failing):
    cls = type(f"Raising_{failing}", (RaisingAttribute,), {"failing": failing})
    with pytest.raises(Boom, match=failing) as raised:
        generic(np.zeros(3, np.int64).view(cls), None)
    assert traceback_function_names(raised.value)[-2:] == [DOTTED_FUNCTION, "__getattribute__"]


@pytest.mark.parametrize("fake, error", [
    (FakeDtype("8", "i"), TypeError),
    (FakeDtype(8, "ii"), ValueError),
    (FakeDtype(8, 105), TypeError),
], ids=["itemsize-str", "kind-two-chars", "kind-int"])
def test_unusable_dtype_attributes_raise(generic, fake, error):
    cls = type("Faked", (WithFakeDtype,), {"fake": fake})
    with pytest.raises(error):
        generic(np.zeros(3, np.int64).view(cls), None)


def test_fake_dtype_of_unlisted_kind_goes_to_buffer_trial(generic):
    # kind "b" has no dtype rule; the buffer trial then uses the item size the dtype gave.
    cls = type("Faked", (WithFakeDtype,), {"fake": FakeDtype(8, "b")})
    assert selected_key(generic, np.zeros(3, np.int64).view(cls)) == "long long"
    cls = type("Faked", (WithFakeDtype,), {"fake": FakeDtype(4, "b")})
    with pytest.raises(TypeError, match=f"^{NO_SIGNATURE}$"):
        generic(np.zeros(3, np.int64).view(cls), None)


@pytest.mark.parametrize("spoil", [
    "numpy.ndarray = 5",
    "sys.modules['numpy'] = None",
], ids=["not-a-type", "import-fails"])
def test_array_type_is_looked_up_once_at_first_selection(spoil):
    # In a fresh interpreter: with no array type at the first selection, uint8 arrays go to the
    # buffer trial, where "char" binds them first; restoring numpy afterwards changes nothing.
    script = textwrap.dedent(f"""
        import sys
        import numpy
        import norvale.cython.member_mask as m
        real_numpy, real_ndarray = numpy, numpy.ndarray
        {spoil}
        first = real_numpy.zeros(2, real_numpy.uint8)
        bad = real_numpy.zeros(1, real_numpy.complex128)
        def key():
            try:
                m.member_mask(first, bad)
            except ValueError as error:
                return str(error).split("'")[1]
        print(key())
        sys.modules['numpy'] = real_numpy
        real_numpy.ndarray = real_ndarray
        print(key())
    """)
    done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["char", "char"]


def test_array_type_kept_after_first_selection(generic, monkeypatch):
    generic(np.zeros(1, np.uint8), None)
    monkeypatch.setattr(np, "ndarray", 5)
    assert selected_key(generic, np.zeros(2, np.uint8)) == "unsigned char"


# ---- arguments -----------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    ((), {"elements": [1, 2, 3], "test_elements": [2]}),
    ((), {"test_elements": [2], "elements": [1, 2, 3]}),
    (([1, 2, 3],), {"test_elements": [2]}),
], ids=["both-keywords", "keywords-reversed", "second-keyword"])
def test_keyword_calls(generic, args, kwargs):
    args = tuple(int_array(a) for a in args)
    kwargs = {name: int_array(value) for name, value in kwargs.items()}
    assert generic(*args, **kwargs).tolist() == [False, True, False]


def test_keyword_name_compared_by_value(generic):
    # A keyword name built at run time is not the interned parameter name.
    name = "".join(["ele", "ments"])
    assert generic(**{name: int_array([1, 2]), "test_elements": int_array([2])}).tolist() == [False, True]


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, NO_FIRST_ARGUMENT),
    ((), {"test_elements": int_array([1])}, NO_FIRST_ARGUMENT),
    ((int_array([1]),), {}, "member_mask() takes exactly 2 positional arguments (1 given)"),
    ((int_array([1]),) * 3, {}, "member_mask() takes exactly 2 positional arguments (3 given)"),
    ((int_array([1]), int_array([1])), {"bogus": 1}, "member_mask() got an unexpected keyword argument 'bogus'"),
    ((int_array([1]),), {"elements": int_array([1])},
     "member_mask() got multiple values for keyword argument 'elements'"),
    ((), {"elements": [1]}, NO_SIGNATURE),
], ids=["nothing", "only-test-elements", "one", "three", "unexpected-keyword", "repeated-keyword",
        "keyword-list"])
def test_argument_errors(generic, args, kwargs, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$") as raised:
        generic(*args, **kwargs)
    assert traceback_function_names(raised.value).count(DOTTED_FUNCTION) == 1


def test_entry_count_error_names_member_mask(generic):
    with pytest.raises(TypeError, match=re.escape("member_mask() takes exactly 2 positional arguments (1 given)")):
        generic["unsigned short"](np.zeros(1, np.uint16))


def test_call_keeps_no_references(generic):
    elements, test_elements, stray = np.arange(5), np.arange(2), object()
    before = [sys.getrefcount(x) for x in (elements, test_elements, stray)]
    for _ in range(3):
        generic(elements, test_elements)
        generic(elements=elements, test_elements=test_elements)
        with pytest.raises(TypeError):
            generic(stray, test_elements)
    assert [sys.getrefcount(x) for x in (elements, test_elements, stray)] == before


def test_buffer_trial_releases_its_buffers(generic):
    from helpers import RecordingExporter

    one_dimensional = RecordingExporter(bytearray(b"abc"))
    assert generic(one_dimensional, bytearray(b"b")).tolist() == [False, True, False]
    two_dimensional = RecordingExporter(memoryview(bytearray(6)).cast("B", (2, 3)))
    with pytest.raises(TypeError, match=NO_SIGNATURE):
        generic(two_dimensional, None)
    assert one_dimensional.outstanding == 0 and two_dimensional.outstanding == 0


# ---- subscript and the signature table -------------------------------------------------------

def test_signatures_in_table_order(generic):
    signatures = generic.__signatures__
    assert type(signatures) is dict and list(signatures) == KEYS
    assert all(generic[key] is entry for key, entry in signatures.items())


def test_signatures_are_read_only(generic):
    with pytest.raises(AttributeError):
        generic.__signatures__ = {}
    generic.__signatures__.clear()
    assert list(generic.__signatures__) == KEYS


class Token:
    def __str__(self):
        return "unsigned short"


@pytest.mark.parametrize("key, expected", [
    ("unsigned short", "unsigned short"),
    (float, "float"),
    (int, "int"),
    (("int",), "int"),
    ((float,), "float"),
    (type("double", (), {}), "double"),
    (Token(), "unsigned short"),
    (("long long",), "long long"),
], ids=["str", "type-float", "type-int", "tuple-str", "tuple-type", "named-type", "str-of-object",
        "tuple-long-long"])
def test_subscript_selects_entry(generic, key, expected):
    assert generic[key] is generic.__signatures__[expected]


@pytest.mark.parametrize("key, text", [
    (("int", "short"), "int|short"),
    ((int, float), "int|float"),
    ("int64", "int64"),
    (np.uint16, "uint16"),
    ((), ""),
    (8, "8"),
], ids=["two-keys", "two-types", "int64", "numpy-type", "empty-tuple", "number"])
def test_subscript_unknown_key(generic, key, text):
    with pytest.raises(KeyError) as raised:
        generic[key]
    assert raised.value.args == (text,)


# ---- the entries -------------------------------------------------------------------------

def sample_values(dtype, rng):
    if np.issubdtype(dtype, np.floating):
        special = [np.nan, -0.0, 0.0, np.inf, -np.inf, 1.5, -1.5]
        values = np.concatenate([special, rng.integers(-20, 20, 40)]).astype(dtype)
    else:
        info = np.iinfo(dtype)
        special = np.array([info.min, info.max, 0, 1], dtype=dtype)
        values = np.concatenate([special, rng.integers(info.min, info.max, 8, dtype=dtype, endpoint=True),
                                 rng.integers(0, 20, 40).astype(dtype)])
    return values


@pytest.mark.parametrize("key", KEYS)
def test_entry_matches_numpy_isin(generic, key):
    dtype = ENTRY_DTYPES[key]
    rng = np.random.default_rng(len(key))
    elements = rng.permutation(sample_values(dtype, rng))
    test_elements = rng.permutation(sample_values(dtype, rng))[:30]
    expected = np.isin(elements, test_elements)
    for call in (generic[key], generic):
        result = call(elements, test_elements)
        assert result.dtype == np.bool_ and result.tolist() == expected.tolist()
        assert call(elements[::-3], test_elements[::2]).tolist() == np.isin(elements[::-3], test_elements[::2]).tolist()


@pytest.mark.parametrize("key", ["float", "double"])
def test_floating_point_rules(generic, key):
    dtype = ENTRY_DTYPES[key]
    assert generic[key](np.array([np.nan, -0.0, 0.0], dtype), np.array([np.nan, 0.0], dtype)).tolist() == [
        False, True, True]
    assert generic[key](np.array([0.0], dtype), np.array([-0.0], dtype)).tolist() == [True]


def test_char_entry_binds_any_one_byte_buffer(generic):
    char = generic["char"]
    assert char(np.array([255, 1], np.uint8), np.array([-1], np.int8)).tolist() == [True, False]
    assert char(bytearray(b"xyz"), np.frombuffer(bytearray(b"z"), np.uint8)).tolist() == [False, False, True]
    assert char(np.array([-128, 127], np.int8), np.array([127], np.int8)).tolist() == [False, True]
    assert char(np.array([True, False]), np.array([1], np.int8)).tolist() == [True, False]


@pytest.mark.parametrize("key, accepted, refused, message", [
    ("long", np.int32, np.int64, "Buffer dtype mismatch, expected 'long' but got 'long'"),
    ("unsigned long", np.uint32, np.uint64, "Buffer dtype mismatch, expected 'unsigned long' but got 'unsigned long'"),
    ("int", np.int32, np.uint32, "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"),
    ("float", np.float32, np.float64, "Buffer dtype mismatch, expected 'float' but got 'double'"),
    ("unsigned char", np.uint8, np.int8, "Buffer dtype mismatch, expected 'unsigned char' but got 'signed char'"),
], ids=["long-is-32-bit", "unsigned-long-is-32-bit", "int-signed", "float-is-32-bit", "unsigned-char"])
def test_entry_element_types(generic, key, accepted, refused, message):
    # C long is 8 bytes on this platform, so an int64 array exports format 'l', which the
    # 32-bit "long" entry refuses although both are called long.
    entry = generic[key]
    assert entry(np.array([1, 2], accepted), np.array([2], accepted)).tolist() == [False, True]
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        entry(np.array([1, 2], refused), np.array([2], accepted))
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        entry(np.array([1, 2], accepted), np.array([2], refused))


def test_entry_attributes(generic, member_mask):
    for key, entry in generic.__signatures__.items():
        assert entry.__qualname__ == f"member_mask[{key}[:],{key}[:]]"
        assert entry.__name__ == "member_mask"
        assert entry.__module__ == "norvale.cython.member_mask"
        assert entry.__doc__ == generic.__doc__
        assert entry.__code__.co_argcount == 2
        assert entry.__code__.co_varnames == ("elements", "test_elements")
        assert entry.__defaults__ is None
        assert str(inspect.signature(entry)) == "(elements, test_elements)"


def test_generic_attributes(generic, member_mask):
    assert generic.__name__ == generic.__qualname__ == "member_mask"
    assert generic.__module__ == "norvale.cython.member_mask"
    assert generic.__globals__ is vars(member_mask)
    assert generic.__code__.co_argcount == 2
    assert generic.__code__.co_varnames == (
        "elements", "test_elements", "test_set", "return_list_array", "return_list", "e")
    assert str(inspect.signature(generic)) == "(elements, test_elements)"
    assert isinstance(generic, type(member_mask.member_mask_long))
    assert type(generic) is not type(member_mask.member_mask_long)
    assert pickle.loads(pickle.dumps(generic)) is generic


def test_docstring(generic, member_mask):
    lines = generic.__doc__.split("\n")
    assert lines[:2] == ["member_mask(signatures, args, kwargs, defaults, _fused_sigindex={})", ""]
    typed_body = member_mask.member_mask_long.__doc__.split("\n")[2:]
    # The typed description, with a two-line note and a blank line after its first four lines.
    assert lines[2:6] == typed_body[:4]
    assert len(lines[6:8]) == 2 and all(lines[6:8]) and lines[8] == ""
    assert lines[9:] == typed_body[4:]


def test_signature_table_is_traversed(generic):
    referents = gc.get_referents(generic)
    assert any(isinstance(r, dict) and list(r) == KEYS for r in referents)


# ---- module ------------------------------------------------------------------------------

def test_module_binds_generic_between_double_and_long_in_ushort(member_mask):
    names = [name for name in vars(member_mask) if name.startswith("member_mask")]
    assert names == ["member_mask_long", "member_mask_schar", "member_mask_ushort", "member_mask_double",
                     "member_mask", "member_mask_long_in_ushort"]


def test_exports(member_mask):
    assert [f.__name__ for f in member_mask.exports] == [
        "member_mask_long", "member_mask_schar", "member_mask_double", "member_mask_long_in_ushort",
        "member_mask_ushort", "member_mask"]
    assert member_mask.exports[-1] is member_mask.member_mask


def test_same_table_after_reimport(generic):
    assert load("member_mask").member_mask is generic
