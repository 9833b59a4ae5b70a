"""The shared leak check: many calls of one function leave everything where it was.

Measured around a batch of calls, after a warm-up that fills every lazy cache (interned
names, traceback code objects, NumPy's small-buffer cache):
- the reference count of every argument (exact: a call holds no reference after it returns);
- sys.getallocatedblocks(), the interpreter's count of live memory blocks;
- tracemalloc's traced memory (allocations through the interpreter's allocators);
- glibc's bytes in use (mallinfo2), which also sees C++ `new` and plain malloc of the native code.
A leak of one small object per call shows as hundreds of blocks or kilobytes, far above the
tolerances, which only absorb the noise of the measuring itself.
"""

import ctypes
import ctypes.util
import gc
import sys
import tracemalloc
from dataclasses import dataclass

CALLS = 300
WARMUP = 30
BLOCK_TOLERANCE = 30
TRACED_TOLERANCE = 8 * 1024
MALLOC_TOLERANCE = 32 * 1024


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


def _find_mallinfo2():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []
    return mallinfo2


_mallinfo2 = _find_mallinfo2()


def malloc_in_use():
    """Bytes the C allocator has handed out and not taken back (0 where it cannot tell)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


@dataclass
class Usage:
    refcounts: list
    blocks: int
    traced: int
    malloc: int


def _measure(tracked):
    gc.collect()
    return Usage(
        refcounts=[sys.getrefcount(obj) for obj in tracked],
        blocks=sys.getallocatedblocks(),
        traced=tracemalloc.get_traced_memory()[0],
        malloc=malloc_in_use(),
    )


def _call_batch(function, args, kwargs, raises, count):
    for _ in range(count):
        try:
            function(*args, **kwargs)
        except Exception as error:  # noqa: BLE001 - checked just below
            if raises is None or not isinstance(error, raises):
                raise
            # The traceback refers to this frame; dropping it at once keeps the batch flat.
            error.__traceback__ = None
            del error
        else:
            if raises is not None:
                raise AssertionError(f"{function!r} did not raise {raises.__name__}")


def assert_no_leaks(function, args=(), kwargs=None, *, raises=None, calls=CALLS, warmup=WARMUP):
    """Calls function(*args, **kwargs) many times; each call must return, or raise `raises`."""
    kwargs = dict(kwargs or {})
    tracked = [*args, *kwargs.values()]
    started_tracing = not tracemalloc.is_tracing()
    if started_tracing:
        tracemalloc.start()
    try:
        _call_batch(function, args, kwargs, raises, warmup)
        before = _measure(tracked)
        _call_batch(function, args, kwargs, raises, calls)
        after = _measure(tracked)
    finally:
        if started_tracing:
            tracemalloc.stop()
    changed = [
        (index, type(obj).__name__, b, a)
        for index, (obj, b, a) in enumerate(zip(tracked, before.refcounts, after.refcounts))
        if a != b
    ]
    assert not changed, f"argument reference counts changed over {calls} calls (index, type, before, after): {changed}"
    assert after.blocks - before.blocks <= BLOCK_TOLERANCE, (
        f"{after.blocks - before.blocks} more allocated blocks after {calls} calls")
    assert after.traced - before.traced <= TRACED_TOLERANCE, (
        f"{after.traced - before.traced} more bytes traced by tracemalloc after {calls} calls")
    assert after.malloc - before.malloc <= MALLOC_TOLERANCE, (
        f"{after.malloc - before.malloc} more bytes in use by malloc after {calls} calls")
