"""Arrays followed by guard bytes, and a stand-in for a module's `np` that makes its results so.

A pass that writes past the end of such an array changes its guard bytes, which
`Guards.broken()` reports; reads past it are caught by the sanitizer build (`make sanitize`),
since the guard area is short and the allocation ends right after it.
"""

import math

import numpy as np

from helpers import StandInNumpy

GUARD_BYTES = 64
PATTERN = 0xA5


class Guards:
    """Makes guarded arrays and tells whether every guard is still intact."""

    def __init__(self):
        self._blocks = []

    def array(self, shape, dtype, fill=None):
        dtype = np.dtype(dtype)
        shape = (shape,) if isinstance(shape, int) else tuple(shape)
        size = math.prod(shape) * dtype.itemsize
        raw = np.empty(size + GUARD_BYTES, np.uint8)
        raw[size:] = PATTERN
        array = raw[:size].view(dtype).reshape(shape)
        if fill is not None:
            array[...] = fill
        self._blocks.append((raw, size))
        return array

    def like(self, values, dtype=None):
        values = np.asarray(values, dtype)
        array = self.array(values.shape, values.dtype)
        array[...] = values
        return array

    def broken(self):
        """The guarded arrays written past their end."""
        return [raw[:size] for raw, size in self._blocks if (raw[size:] != PATTERN).any()]


def guarding_numpy(guards, on_empty=None, on_zeros=None):
    """An `np` whose empty and zeros make guarded arrays, after the given callbacks ran."""

    def make(fill, callback):
        def allocate(shape, dtype=float):
            if callback is not None:
                made = callback(shape, np.dtype(dtype))
                if made is not None:
                    return made
            return guards.array(shape, dtype, fill)
        return allocate

    return StandInNumpy(empty=make(None, on_empty), zeros=make(0, on_zeros))
