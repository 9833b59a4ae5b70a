"""examples/dask_membership.py: membership over a chunked Dask array on a local cluster."""

import importlib.util
from pathlib import Path

import dask.array as da
import numpy as np
import pytest

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "dask_membership.py"


def load_example():
    # Loaded from its file and kept out of sys.modules, so its functions are pickled by value
    # and the worker processes need not import it.
    found = importlib.util.spec_from_file_location("dask_membership", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def example():
    return load_example()


@pytest.fixture(scope="module")
def client(example):
    with example.local_client() as client:
        assert len(client.scheduler_info()["workers"]) == 2
        yield client


EXTREMES = [np.iinfo(np.int64).min, -1, 0, np.iinfo(np.int64).max]


def read_only(values):
    values = np.array(values, dtype=np.int64)
    values.setflags(write=False)
    return values


@pytest.mark.parametrize(
    ("elements", "chunks", "test_elements"),
    [
        pytest.param(
            [5, -3, 5, 8, 0, 7, 7, 2, -3, 9] + EXTREMES, (3, 5, 2, 4), [7, -3, 9, 100] + EXTREMES[::3],
            id="duplicates-extremes-uneven-chunks",
        ),
        pytest.param(list(range(12)), 12, [3, 3, 11], id="one-chunk"),
        pytest.param(list(range(10)), 4, [], id="no-test-elements"),
        pytest.param(read_only(range(-6, 6)), 5, read_only([-6, 0, 5]), id="read-only-inputs"),
    ],
)
def test_matches_numpy_isin(example, client, elements, chunks, test_elements):
    values = np.asarray(elements, dtype=np.int64)
    tests = np.asarray(test_elements, dtype=np.int64)
    source = da.from_array(values, chunks=chunks)

    mask = example.chunked_member_mask(source, tests, client)

    assert mask.dtype == np.bool_
    assert mask.chunks == source.chunks
    np.testing.assert_array_equal(mask.compute(), np.isin(values, tests))


@pytest.mark.parametrize(
    "elements",
    [
        pytest.param(da.zeros(4, dtype=np.int32, chunks=2), id="int32"),
        pytest.param(da.zeros((2, 2), dtype=np.int64, chunks=1), id="two-dimensional"),
    ],
)
def test_refuses_what_member_mask_long_cannot_take(example, client, elements):
    with pytest.raises(ValueError, match="one-dimensional int64"):
        example.chunked_member_mask(elements, np.array([0], dtype=np.int64), client)
