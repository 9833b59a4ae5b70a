from collections.abc import Buffer, Callable
from typing import final

import numpy
import numpy.typing as npt
from typing_extensions import CapsuleType

np = numpy
__test__: dict[str, object]

# Pickle state: read-only buffers over the fields, in the order ends, src, src_indices, starts.
_State = tuple[Buffer | None, Buffer | None, Buffer | None, Buffer | None]
_Unpickle = Callable[[type[byte_ranges_context], int, _State | None], byte_ranges_context]

@final
class byte_ranges_context:
    """Byte ranges src[src_indices[k], starts[k]:ends[k]] of a 2-d uint8 array, by index k."""

    def __init__(
        self,
        src: npt.NDArray[numpy.uint8] | None,
        src_indices: npt.NDArray[numpy.intp] | None,
        starts: npt.NDArray[numpy.intp] | None,
        ends: npt.NDArray[numpy.intp] | None,
    ) -> None: ...
    def __reduce__(self) -> tuple[_Unpickle, tuple[type[byte_ranges_context], int, _State]]: ...
    def __setstate__(self, __pyx_state: _State, /) -> None: ...

def __pyx_unpickle_byte_ranges_context(
    __pyx_type: type[byte_ranges_context], __pyx_checksum: int, __pyx_state: _State | None
) -> byte_ranges_context: ...

# Native functions for other extension modules: name -> capsule named by the C signature.
__pyx_capi__: dict[str, CapsuleType]
