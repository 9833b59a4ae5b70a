from collections.abc import Callable
from typing import Any, Literal, Protocol, TypeVar, overload, type_check_only

import numpy
import numpy.typing as npt

np = numpy
__test__: dict[str, object]

# Element types of the generic function's entries; an entry takes both vectors of one of them.
_MaskScalarT = TypeVar(
    "_MaskScalarT",
    numpy.int8,
    numpy.int16,
    numpy.int32,
    numpy.int64,
    numpy.uint8,
    numpy.uint16,
    numpy.uint32,
    numpy.uint64,
    numpy.float32,
    numpy.float64,
    numpy.bool_,
)
_ScalarT_contra = TypeVar("_ScalarT_contra", bound=numpy.generic, contravariant=True)

# A membership function: both vectors one-dimensional; None counts as an empty vector.
_MaskFunction = Callable[..., npt.NDArray[numpy.bool_]]

def member_mask_long(
    elements: npt.NDArray[numpy.int64] | None, test_elements: npt.NDArray[numpy.int64] | None
) -> npt.NDArray[numpy.bool_]:
    """Which elements of a 1-d int64 vector occur in another int64 vector."""

def member_mask_schar(
    elements: npt.NDArray[numpy.int8] | None, test_elements: npt.NDArray[numpy.int8] | None
) -> npt.NDArray[numpy.bool_]:
    """Which elements of a 1-d int8 vector occur in another int8 vector."""

def member_mask_ushort(
    elements: npt.NDArray[numpy.uint16] | None, test_elements: npt.NDArray[numpy.uint16] | None
) -> npt.NDArray[numpy.bool_]:
    """Which elements of a 1-d uint16 vector occur in another uint16 vector."""

def member_mask_double(
    elements: npt.NDArray[numpy.float64] | None, test_elements: npt.NDArray[numpy.float64] | None
) -> npt.NDArray[numpy.bool_]:
    """Which elements of a 1-d float64 vector occur in another (NaN is never found, -0.0 == 0.0)."""

def member_mask_long_in_ushort(
    elements: npt.NDArray[numpy.int64] | None, test_elements: npt.NDArray[numpy.uint16] | None
) -> npt.NDArray[numpy.bool_]:
    """Which elements of a 1-d int64 vector occur in a uint16 vector."""

@type_check_only
class _Entry(Protocol[_ScalarT_contra]):
    """One entry of the generic function: the membership test for one element type."""

    __name__: str
    __qualname__: str
    __module__: str
    def __call__(
        self,
        elements: npt.NDArray[_ScalarT_contra] | None,
        test_elements: npt.NDArray[_ScalarT_contra] | None,
    ) -> npt.NDArray[numpy.bool_]: ...

# Any one-byte element type binds to the "char" entry; "unsigned char" also takes bool.
_CharScalar = numpy.int8 | numpy.uint8 | numpy.bool_

@type_check_only
class _GenericMemberMask(Protocol):
    """The generic function: the entry is chosen from the element type of ``elements``."""

    __name__: str
    __qualname__: str
    __module__: str
    @property
    def __signatures__(self) -> dict[str, _Entry[Any]]: ...
    def __call__(
        self, elements: npt.NDArray[_MaskScalarT] | None, test_elements: npt.NDArray[_MaskScalarT] | None
    ) -> npt.NDArray[numpy.bool_]: ...
    @overload
    def __getitem__(self, key: Literal["char"]) -> _Entry[_CharScalar]: ...
    @overload
    def __getitem__(self, key: Literal["short"]) -> _Entry[numpy.int16]: ...
    @overload
    def __getitem__(self, key: Literal["int", "long"] | type[int]) -> _Entry[numpy.int32]: ...
    @overload
    def __getitem__(self, key: Literal["long long"]) -> _Entry[numpy.int64]: ...
    @overload
    def __getitem__(self, key: Literal["unsigned char"]) -> _Entry[numpy.uint8 | numpy.bool_]: ...
    @overload
    def __getitem__(self, key: Literal["unsigned short"]) -> _Entry[numpy.uint16]: ...
    @overload
    def __getitem__(self, key: Literal["unsigned int", "unsigned long"]) -> _Entry[numpy.uint32]: ...
    @overload
    def __getitem__(self, key: Literal["unsigned long long"]) -> _Entry[numpy.uint64]: ...
    @overload
    def __getitem__(self, key: Literal["float"] | type[float]) -> _Entry[numpy.float32]: ...
    @overload
    def __getitem__(self, key: Literal["double"]) -> _Entry[numpy.float64]: ...
    @overload
    def __getitem__(self, key: str | tuple[str]) -> _Entry[Any]: ...

member_mask: _GenericMemberMask

# The six functions, generic last (not in definition order).
exports: list[_MaskFunction]
