import numpy
import numpy.typing as npt

np = numpy
__test__: dict[str, object]

def span_rank(
    src: npt.NDArray[numpy.uint8],
    src_indices: npt.NDArray[numpy.intp],
    starts: npt.NDArray[numpy.intp],
    ends: npt.NDArray[numpy.intp],
) -> npt.NDArray[numpy.intp]:
    """The order of the byte ranges src[src_indices[k], starts[k]:ends[k]], smallest first."""
