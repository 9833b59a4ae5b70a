"""Fixtures shared by the test files; what they share besides is in helpers.py."""

import pytest

import fake_clock
from helpers import load, preserved_namespace


@pytest.fixture
def member_mask():
    return load("member_mask")


@pytest.fixture
def member_mask_globals(member_mask):
    """The member_mask module dict, put back as it was after the test."""
    with preserved_namespace(vars(member_mask)) as namespace:
        yield namespace


@pytest.fixture(scope="session")
def fake_clock_library(tmp_path_factory):
    """A preloadable library whose time() reports FAKE_CLOCK_SECONDS (see fake_clock.py)."""
    library = fake_clock.build(tmp_path_factory.mktemp("fake_clock"))
    if library is None:
        pytest.skip("no C compiler to build the fake clock")
    return library
