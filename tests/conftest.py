"""Shared helpers for the extension-module tests.

The suite runs against the installed package, never the source tree (the Makefile runs
pytest from tests/ with ``python -P``).
"""

import contextlib
import importlib
import types

import pytest

import fake_clock

PACKAGE = "norvale.cython"

# Every module the frame tests cover, with its module-level functions in definition order.
MODULE_FUNCTIONS = {
    "member_mask": (
        "member_mask_long",
        "member_mask_schar",
        "member_mask_ushort",
        "member_mask_double",
        "member_mask_long_in_ushort",
    ),
    "run_distinct": ("run_distinct",),
    "permute_rows": ("permute_rows",),
    "span_order": (),
    "span_distinct": ("span_distinct",),
    "span_rank": ("span_rank",),
    "tail_guid": ("tail_guid",),
}

MODULES = tuple(MODULE_FUNCTIONS)

# (module, function) pairs, for tests that check every function object.
FUNCTIONS = tuple(
    (module, function) for module, functions in MODULE_FUNCTIONS.items() for function in functions
)


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


class RecordingNumpy(types.ModuleType):
    """Stands in for np and records which attributes each call looks up."""

    def __init__(self):
        super().__init__("recording_numpy")
        self.looked_up = []

    def __getattr__(self, name):
        import numpy as np  # on use: this file imports without NumPy

        self.looked_up.append(name)
        return getattr(np, name)


@pytest.fixture
def member_mask():
    return load("member_mask")


@pytest.fixture
def member_mask_globals(member_mask):
    """The member_mask module dict, put back as it was after the test."""
    with preserved_namespace(vars(member_mask)) as namespace:
        yield namespace


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


@pytest.fixture(scope="session")
def fake_clock_library(tmp_path_factory):
    """A preloadable library whose time() reports FAKE_CLOCK_SECONDS (see fake_clock.py)."""
    library = fake_clock.build(tmp_path_factory.mktemp("fake_clock"))
    if library is None:
        pytest.skip("no C compiler to build the fake clock")
    return library
