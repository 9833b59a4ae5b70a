"""What the tests share: the table of modules, how to reach them, and small stand-ins.

The suite runs against the installed package, never the source tree (the Makefile runs
pytest from tests/ with ``python -P``). Adding a module means adding its row to MODULES.
"""

import contextlib
import importlib
import types
from dataclasses import dataclass
from typing import Callable

PACKAGE = "norvale.cython"


@dataclass(frozen=True)
class Module:
    functions: tuple = ()          # its module-level functions, in definition order
    documented: bool = False       # the module definition carries a docstring
    numpy_at_exec: bool = False    # binds the NumPy C-API in its exec step
    np_call: Callable = None       # a call that reaches a function's first use of the global np


def _member_mask_long(module):
    import numpy as np  # on use: this file imports without NumPy

    return module.member_mask_long(np.arange(3), np.arange(2))


MODULES = {
    "member_mask": Module(
        functions=(
            "member_mask_long",
            "member_mask_schar",
            "member_mask_ushort",
            "member_mask_double",
            "member_mask_long_in_ushort",
        ),
        documented=True,
        numpy_at_exec=True,
        np_call=_member_mask_long,
    ),
    "run_distinct": Module(functions=("run_distinct",), numpy_at_exec=True),
    "permute_rows": Module(functions=("permute_rows",)),
    "span_order": Module(numpy_at_exec=True),
    "span_distinct": Module(functions=("span_distinct",), numpy_at_exec=True),
    "span_rank": Module(functions=("span_rank",), numpy_at_exec=True),
    "tail_guid": Module(functions=("tail_guid",)),
}

# (module, function) pairs, for tests that check every function object.
FUNCTIONS = tuple((module, function) for module, facts in MODULES.items() for function in facts.functions)


def dotted(module):
    return f"{PACKAGE}.{module}"


def load(module):
    return importlib.import_module(dotted(module))


def traceback_function_names(exc):
    """The code-object names of every traceback entry an exception carries, outermost first."""
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


@contextlib.contextmanager
def preserved_namespace(namespace):
    """Restores a dict's items and their insertion order, e.g. a module dict a test edits."""
    saved = dict(namespace)
    try:
        yield namespace
    finally:
        namespace.clear()
        namespace.update(saved)


class StandInNumpy(types.ModuleType):
    """Serves as a module's `np`: NumPy itself but for the attributes given as overrides, and
    records which attributes the calls look up."""

    def __init__(self, **overrides):
        super().__init__("stand_in_numpy")
        self._overrides = overrides
        self.looked_up = []

    def __getattr__(self, name):
        import numpy as np

        self.looked_up.append(name)
        if name in self._overrides:
            return self._overrides[name]
        return getattr(np, name)


class RecordingExporter:
    """A buffer exporter that records every request and release, serving a wrapped object's buffer."""

    def __init__(self, source):
        self.source = source
        self.requested_flags = []
        self.released = 0

    def __buffer__(self, flags):
        self.requested_flags.append(flags)
        return memoryview(self.source)

    def __release_buffer__(self, view):
        self.released += 1
        view.release()

    @property
    def outstanding(self):
        return len(self.requested_flags) - self.released


class RefusingExporter:
    """A buffer exporter that refuses every request with the given exception."""

    def __init__(self, refusal):
        self.refusal = refusal

    def __buffer__(self, flags):
        raise self.refusal


def _array_with(name, attributes):
    import numpy as np

    return type(name, (np.ndarray,), attributes)


def small_base_array(values):
    """`values` as an array that claims a base too small to hold its rows."""
    import numpy as np

    kind = _array_with("SmallBase", {"base": property(lambda self: bytearray(8))})
    return np.asarray(values).view(kind)


def long_stride_array(values):
    """`values` as an array that claims a stride leading past the end of its memory."""
    import numpy as np

    kind = _array_with("LongStride", {"strides": property(lambda self: (1 << 20,))})
    return np.asarray(values).view(kind)
