"""Argument binding and typed array views, seen through the typed membership functions."""

import ctypes
import inspect
import re

import numpy as np
import pytest

from helpers import RecordingExporter, RefusingExporter, load

mm = load("member_mask")

TYPED_FUNCTIONS = [
    "member_mask_long",
    "member_mask_schar",
    "member_mask_ushort",
    "member_mask_double",
    "member_mask_long_in_ushort",
]


def good_long():
    return np.arange(4, dtype=np.int64)


def read_only_int64():
    array = np.arange(3, dtype=np.int64)
    array.setflags(write=False)
    return array


def mismatch(expected, got):
    return f"Buffer dtype mismatch, expected '{expected}' but got {got}"


def bind_as(position, value):
    """Calls member_mask_long with `value` as the named argument and a valid array as the other."""
    if position == "elements":
        return mm.member_mask_long(value, good_long())
    return mm.member_mask_long(good_long(), value)


def vectorcall(function, args, kwnames):
    """Calls through the vectorcall protocol with keyword names the interpreter would not let through."""
    call = ctypes.PYFUNCTYPE(
        ctypes.py_object,
        ctypes.py_object,
        ctypes.POINTER(ctypes.py_object),
        ctypes.c_size_t,
        ctypes.py_object,
    )(("PyObject_Vectorcall", ctypes.pythonapi))
    items = (ctypes.py_object * len(args))(*args)
    return call(function, items, len(args) - len(kwnames), kwnames)


class StrSubclass(str):
    pass


class TestArguments:
    A = np.arange(3, dtype=np.int64)

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "takes exactly 2 positional arguments (0 given)"),
            ((A,), {}, "takes exactly 2 positional arguments (1 given)"),
            ((A, A, A), {}, "takes exactly 2 positional arguments (3 given)"),
            ((A, A, A), {"x": 1}, "takes exactly 2 positional arguments (3 given)"),
            ((), {"elements": A}, "takes exactly 2 positional arguments (1 given)"),
            ((), {"test_elements": A}, "takes exactly 2 positional arguments (0 given)"),
            ((A,), {"elements": A}, "got multiple values for keyword argument 'elements'"),
            ((A, A), {"test_elements": A}, "got multiple values for keyword argument 'test_elements'"),
            ((A,), {"test_elements": A, "elements": A}, "got multiple values for keyword argument 'elements'"),
            ((A, A), {"x": 1}, "got an unexpected keyword argument 'x'"),
            ((A,), {"x": 1}, "got an unexpected keyword argument 'x'"),
            ((), {"Elements": A, "test_elements": A}, "got an unexpected keyword argument 'Elements'"),
        ],
        ids=[
            "none",
            "one",
            "three",
            "three-and-keyword",
            "only-elements-keyword",
            "only-test-elements-keyword",
            "elements-twice",
            "test-elements-twice",
            "elements-twice-after-keyword",
            "unexpected-keyword",
            "unexpected-before-missing",
            "names-are-case-sensitive",
        ],
    )
    @pytest.mark.parametrize("name", TYPED_FUNCTIONS)
    def test_messages(self, name, args, kwargs, message):
        function = getattr(mm, name)
        with pytest.raises(TypeError, match="^" + re.escape(f"{name}() {message}") + "$"):
            function(*args, **kwargs)

    def test_non_string_keyword(self):
        with pytest.raises(TypeError, match=re.escape("member_mask_long() keywords must be strings")):
            vectorcall(mm.member_mask_long, (self.A, self.A), (1,))

    @pytest.mark.parametrize(
        "call",
        [
            lambda f, e, t: f(e, t),
            lambda f, e, t: f(e, test_elements=t),
            lambda f, e, t: f(elements=e, test_elements=t),
            lambda f, e, t: f(test_elements=t, elements=e),
            lambda f, e, t: f(**{StrSubclass("test_elements"): t, StrSubclass("elements"): e}),
            lambda f, e, t: f(**{"".join(["ele", "ments"]): e, "test_" + "elements".lower(): t}),
            lambda f, e, t: vectorcall(f, (t, e), ("test_elements", "elements")),
        ],
        ids=["positional", "mixed", "keywords", "keywords-reversed", "str-subclass", "built-names", "vectorcall"],
    )
    def test_keywords_bind_like_positional_arguments(self, call):
        elements = np.array([5, 1, 7, 1], dtype=np.int64)
        test_elements = np.array([1, 2, 7], dtype=np.int64)
        result = call(mm.member_mask_long, elements, test_elements)
        assert result.tolist() == [False, True, True, True]


# Arrays member_mask_long must refuse, with the description of what the buffer holds.
LONG_DTYPE_MISMATCHES = [
    ("int32", np.zeros(3, np.int32), "'int'"),
    ("uint64", np.zeros(3, np.uint64), "'unsigned long'"),
    ("ulonglong", np.zeros(3, np.ulonglong), "'unsigned long long'"),
    ("float64", np.zeros(3, np.float64), "'double'"),
    ("float32", np.zeros(3, np.float32), "'float'"),
    ("int16", np.zeros(3, np.int16), "'short'"),
    ("uint16", np.zeros(3, np.uint16), "'unsigned short'"),
    ("uint32", np.zeros(3, np.uint32), "'unsigned int'"),
    ("int8", np.zeros(3, np.int8), "'signed char'"),
    ("uint8", np.zeros(3, np.uint8), "'unsigned char'"),
    ("bool", np.zeros(3, np.bool_), "'bool'"),
    ("longdouble", np.zeros(3, np.longdouble), "'long double'"),
    ("complex64", np.zeros(3, np.complex64), "'complex float'"),
    ("complex128", np.zeros(3, np.complex128), "'complex double'"),
    ("clongdouble", np.zeros(3, np.clongdouble), "'complex long double'"),
    ("object", np.zeros(3, object), "Python object"),
    ("bytes8", np.zeros(3, "S8"), "a string"),
    ("memoryview-L", memoryview(bytearray(16)).cast("L"), "'unsigned long'"),
    ("memoryview-c", memoryview(bytearray(16)).cast("c"), "'char'"),
    ("memoryview-P", memoryview(bytearray(16)).cast("P"), "a pointer"),
    ("ctypes-uint16", (ctypes.c_uint16 * 3)(), "'unsigned short'"),
    ("ctypes-double", (ctypes.c_double * 3)(), "'double'"),
]


class TestViewBinding:
    @pytest.mark.parametrize("position", ["elements", "test_elements"])
    @pytest.mark.parametrize(
        "value, got", [case[1:] for case in LONG_DTYPE_MISMATCHES], ids=[case[0] for case in LONG_DTYPE_MISMATCHES]
    )
    def test_dtype_mismatch(self, position, value, got):
        with pytest.raises(ValueError, match="^" + re.escape(mismatch("int64_t", got)) + "$"):
            bind_as(position, value)

    @pytest.mark.parametrize(
        "name, elements, test_elements, message",
        [
            ("member_mask_schar", np.zeros(2, np.uint8), None, mismatch("signed char", "'unsigned char'")),
            ("member_mask_schar", None, np.zeros(2, np.bool_), mismatch("signed char", "'bool'")),
            ("member_mask_ushort", np.zeros(2, np.int16), None, mismatch("unsigned short", "'short'")),
            ("member_mask_ushort", None, np.zeros(2, np.uint32), mismatch("unsigned short", "'unsigned int'")),
            ("member_mask_double", np.zeros(2, np.float32), None, mismatch("double", "'float'")),
            ("member_mask_double", None, np.zeros(2, np.int64), mismatch("double", "'long'")),
            # Native long double is 16 bytes here, so it is not a double.
            ("member_mask_double", np.zeros(2, np.longdouble), None, mismatch("double", "'long double'")),
            ("member_mask_double", np.zeros(2, np.complex128), None, mismatch("double", "'complex double'")),
            ("member_mask_long_in_ushort", np.zeros(2, np.int32), None, mismatch("int64_t", "'int'")),
            ("member_mask_long_in_ushort", None, np.zeros(2, np.int64), mismatch("unsigned short", "'long'")),
            ("member_mask_long_in_ushort", np.zeros(2, np.uint16), None, mismatch("int64_t", "'unsigned short'")),
        ],
        ids=[
            "schar-uint8",
            "schar-bool",
            "ushort-int16",
            "ushort-uint32",
            "double-float32",
            "double-int64",
            "double-longdouble",
            "double-complex",
            "long-in-ushort-elements",
            "long-in-ushort-test-elements",
            "long-in-ushort-swapped",
        ],
    )
    def test_each_function_names_its_element_types(self, name, elements, test_elements, message):
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            getattr(mm, name)(elements, test_elements)

    def test_elements_is_bound_first(self):
        with pytest.raises(ValueError, match=re.escape(mismatch("int64_t", "'double'"))):
            mm.member_mask_long(np.zeros(2, np.float64), np.zeros(2, np.int32))

    @pytest.mark.parametrize("position", ["elements", "test_elements"])
    @pytest.mark.parametrize(
        "value, message",
        [
            (np.zeros(3, ">i8"), "Big-endian buffer not supported on little-endian compiler"),
            # The byte order is refused before the size is compared.
            (np.zeros(3, ">i4"), "Big-endian buffer not supported on little-endian compiler"),
            ((ctypes.c_int64.__ctype_be__ * 3)(), "Big-endian buffer not supported on little-endian compiler"),
            (np.zeros((2, 2), np.int64), "Buffer has wrong number of dimensions (expected 1, got 2)"),
            # Dimensions are checked before the element type.
            (np.zeros((2, 2), np.float64), "Buffer has wrong number of dimensions (expected 1, got 2)"),
            (np.array(5, np.int64), "Buffer has wrong number of dimensions (expected 1, got 0)"),
            (np.zeros((1, 1, 1), np.int64), "Buffer has wrong number of dimensions (expected 1, got 3)"),
            (memoryview(bytearray(32)).cast("q", [2, 2]), "Buffer has wrong number of dimensions (expected 1, got 2)"),
            (((ctypes.c_int64 * 2) * 2)(), "Buffer has wrong number of dimensions (expected 1, got 2)"),
            (np.zeros(3, np.float16), "Unexpected format string character: 'e'"),
            (memoryview(bytearray(16)).cast("n"), "Unexpected format string character: 'n'"),
            (memoryview(bytearray(16)).cast("N"), "Unexpected format string character: 'N'"),
        ],
        ids=[
            "big-endian-int64",
            "big-endian-int32",
            "big-endian-ctypes",
            "two-dimensions",
            "two-dimensions-float",
            "zero-dimensions",
            "three-dimensions",
            "memoryview-two-dimensions",
            "ctypes-two-dimensions",
            "half-float",
            "ssize_t",
            "size_t",
        ],
    )
    def test_shape_and_format_errors(self, position, value, message):
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            bind_as(position, value)

    def test_long_double_has_no_standard_size(self):
        # ctypes exports long double with standard sizes ('<g').
        message = "Python does not define a standard format string size for long double ('g').."
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            mm.member_mask_double((ctypes.c_longdouble * 3)(), None)

    class Pair(ctypes.Structure):
        _fields_ = [("a", ctypes.c_int32), ("b", ctypes.c_int32)]

    @pytest.mark.parametrize(
        "value",
        [
            (Pair * 3)(),
            np.zeros(3, [("a", "<i4"), ("b", "<i4")]),
            np.zeros(3, [("a", "<f8")]),
        ],
        ids=["ctypes-two-int-struct", "numpy-two-int-struct", "numpy-double-struct"],
    )
    def test_struct_not_matching_the_element_type(self, value):
        # Eight bytes each, but not one 64-bit integer.
        with pytest.raises(ValueError, match="^" + re.escape("Buffer dtype mismatch, expected 'int64_t' but got ")):
            mm.member_mask_long(value, None)

    @pytest.mark.parametrize(
        "source",
        [
            lambda: np.array([3, 1, 2], np.int64),
            lambda: np.array([3, 1, 2], np.longlong),
            lambda: (ctypes.c_int64 * 3)(3, 1, 2),
            lambda: memoryview(bytearray(np.array([3, 1, 2], np.int64).tobytes())).cast("q"),
            lambda: memoryview(bytearray(np.array([3, 1, 2], np.int64).tobytes())).cast("l"),
            lambda: RecordingExporter(np.array([3, 1, 2], np.int64)),
        ],
        ids=["numpy-long", "numpy-longlong", "ctypes-standard-q", "memoryview-q", "memoryview-l", "python-exporter"],
    )
    def test_any_signed_64_bit_buffer_binds(self, source):
        assert mm.member_mask_long(source(), source()).tolist() == [True] * 3
        assert mm.member_mask_long(source(), np.array([2], np.int64)).tolist() == [False, False, True]

    @pytest.mark.parametrize(
        "elements",
        [
            lambda: (ctypes.c_char * 3)(b"a", b"\x80", b"c"),
            lambda: memoryview(bytearray(b"a\x80c")).cast("b"),
            lambda: memoryview(bytearray(b"a\x80c")).cast("c"),
        ],
        ids=["ctypes-char", "memoryview-b", "memoryview-c"],
    )
    def test_char_buffers_bind_as_signed_char(self, elements):
        test_elements = np.array([ord("c"), -128], np.int8)
        assert mm.member_mask_schar(elements(), test_elements).tolist() == [False, True, True]

    @pytest.mark.parametrize("position", ["elements", "test_elements"])
    @pytest.mark.parametrize(
        "make, exception",
        [
            (read_only_int64, ValueError),
            (lambda: b"\x00" * 16, BufferError),
            (lambda: memoryview(b"\x00" * 16).cast("q"), BufferError),
        ],
        ids=["numpy", "bytes", "readonly-memoryview"],
    )
    def test_read_only_buffer_is_refused_by_the_exporter(self, position, make, exception):
        # The exporter's own refusal of a writable request; its wording is the exporter's.
        with pytest.raises(exception):
            bind_as(position, make())

    @pytest.mark.parametrize("position", ["elements", "test_elements"])
    def test_exporter_refusal_propagates_unchanged(self, position):
        class Refusal(Exception):
            pass

        refusal = Refusal("no buffer for you")
        with pytest.raises(Refusal) as excinfo:
            bind_as(position, RefusingExporter(refusal))
        assert excinfo.value is refusal

    @pytest.mark.parametrize("position", ["elements", "test_elements"])
    @pytest.mark.parametrize(
        "value, type_name", [([1, 2], "list"), (7, "int"), ("ab", "str")], ids=["list", "int", "str"]
    )
    def test_object_without_buffer(self, position, value, type_name):
        with pytest.raises(TypeError, match=re.escape(f"a bytes-like object is required, not '{type_name}'")):
            bind_as(position, value)

    def test_writable_strided_buffer_is_requested(self):
        elements = RecordingExporter(np.arange(4, dtype=np.int64))
        test_elements = RecordingExporter(np.arange(2, dtype=np.int64))
        mm.member_mask_long(elements, test_elements)
        assert elements.requested_flags == [inspect.BufferFlags.RECORDS]
        assert test_elements.requested_flags == [inspect.BufferFlags.RECORDS]

    def test_none_requests_no_buffer(self):
        assert mm.member_mask_long(None, None).shape == (0,)


class TestRelease:
    """Every buffer a call acquires is given back before the call returns, on every path."""

    @staticmethod
    def exporters():
        return RecordingExporter(np.arange(5, dtype=np.int64)), RecordingExporter(np.arange(3, dtype=np.int64))

    def test_success(self):
        elements, test_elements = self.exporters()
        for _ in range(3):
            mm.member_mask_long(elements, test_elements)
        assert (len(elements.requested_flags), len(test_elements.requested_flags)) == (3, 3)
        assert (elements.outstanding, test_elements.outstanding) == (0, 0)

    @pytest.mark.parametrize(
        "bad, exception",
        [
            (np.zeros(3, np.int32), ValueError),
            (np.zeros((2, 2), np.int64), ValueError),
            (np.zeros(3, ">i8"), ValueError),
            ([1, 2], TypeError),
        ],
        ids=["dtype", "dimensions", "byte-order", "no-buffer"],
    )
    def test_second_argument_fails_to_bind(self, bad, exception):
        elements, _ = self.exporters()
        with pytest.raises(exception):
            mm.member_mask_long(elements, bad)
        assert len(elements.requested_flags) == 1 and elements.outstanding == 0

    def test_first_argument_fails_before_the_second_is_acquired(self):
        _, test_elements = self.exporters()
        with pytest.raises(ValueError):
            mm.member_mask_long(np.zeros(3, np.float64), test_elements)
        assert test_elements.requested_flags == []

    def test_failure_after_binding(self, member_mask_globals):
        elements, test_elements = self.exporters()
        del member_mask_globals["np"]
        with pytest.raises(NameError):
            mm.member_mask_long(elements, test_elements)
        assert (elements.outstanding, test_elements.outstanding) == (0, 0)
        assert len(elements.requested_flags) == len(test_elements.requested_flags) == 1

    def test_argument_error_acquires_nothing(self):
        elements, test_elements = self.exporters()
        with pytest.raises(TypeError):
            mm.member_mask_long(elements, test_elements, elements)
        with pytest.raises(TypeError):
            mm.member_mask_long(elements, test_elements, x=1)
        assert elements.requested_flags == test_elements.requested_flags == []
