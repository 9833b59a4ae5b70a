from typing import Any

import numpy
import numpy.typing as npt

np = numpy
__test__: dict[str, object]

def permute_rows(array: npt.NDArray[Any], indices: npt.NDArray[numpy.intp]) -> None:
    """Reorder the rows (axis 0) of ``array`` in place so that row j holds old row indices[j].

    ``indices`` must be a C-contiguous, writable permutation of 0 .. len(array) - 1; it is consumed.
    """
