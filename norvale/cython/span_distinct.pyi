import numpy
import numpy.typing as npt

from norvale.cython.span_rank import span_rank as span_rank

np = numpy
__test__: dict[str, object]

def span_distinct(
    src: npt.NDArray[numpy.uint8],
    src_indices: npt.NDArray[numpy.intp],
    starts: npt.NDArray[numpy.intp],
    ends: npt.NDArray[numpy.intp],
) -> tuple[npt.NDArray[numpy.uint8], npt.NDArray[numpy.intp]]:
    """The distinct byte ranges src[src_indices[k], starts[k]:ends[k]] and the inverse mapping.

    Returns (unique, inverse): the distinct sequences as the zero-padded rows of a 2-d uint8
    array, in ascending order, and for every range the number of its row.
    """
