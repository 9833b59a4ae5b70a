from typing import Literal, TypeVar, overload

import numpy
import numpy.typing as npt

np = numpy
__test__: dict[str, object]

_ScalarT = TypeVar("_ScalarT", bound=numpy.generic)

# The result is a tuple: the distinct rows, then the index, inverse and count arrays, each
# present only when its flag is true. With literal flags the tuple's length is known; a flag
# passed positionally after one left out, or a plain bool, takes the last overload.
@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[False] = False,
    return_inverse: Literal[False] = False,
    return_counts: Literal[False] = False,
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[False],
    return_inverse: Literal[False],
    return_counts: Literal[True],
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[False] = False,
    return_inverse: Literal[False] = False,
    *,
    return_counts: Literal[True],
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[False],
    return_inverse: Literal[True],
    return_counts: Literal[False] = False,
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[False] = False,
    *,
    return_inverse: Literal[True],
    return_counts: Literal[False] = False,
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[False],
    return_inverse: Literal[True],
    return_counts: Literal[True],
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[False] = False,
    *,
    return_inverse: Literal[True],
    return_counts: Literal[True],
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[True],
    return_inverse: Literal[False] = False,
    return_counts: Literal[False] = False,
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[True],
    return_inverse: Literal[False],
    return_counts: Literal[True],
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    *,
    return_index: Literal[True],
    return_counts: Literal[True],
    return_inverse: Literal[False] = False,
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[True],
    return_inverse: Literal[True],
    return_counts: Literal[False] = False,
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: Literal[True],
    return_inverse: Literal[True],
    return_counts: Literal[True],
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], npt.NDArray[numpy.intp], npt.NDArray[numpy.intp], npt.NDArray[numpy.intp]]: ...

@overload
def run_distinct(
    array: npt.NDArray[_ScalarT],
    return_index: bool = False,
    return_inverse: bool = False,
    return_counts: bool = False,
    order: npt.NDArray[numpy.intp] | None = None,
    presorted: bool = False,
) -> tuple[npt.NDArray[_ScalarT], *tuple[npt.NDArray[numpy.intp], ...]]: ...
