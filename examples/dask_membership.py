"""Membership of a chunked Dask array in a small test vector, on a two-process local cluster.

member_mask_long needs only the chunk it is given and the test vector, so it maps over the
chunks of a Dask array as they are. The test vector is scattered to every worker once (the
tasks refer to it by key) instead of being pickled into each of them.

Run: python examples/dask_membership.py
"""

import contextlib
from collections.abc import Iterator

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt
from distributed import Client, LocalCluster

from norvale.cython.member_mask import member_mask_long


def _writable(block: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    # The membership functions ask for writable buffers (they only read them), while chunks of
    # read-only data, such as a memory map opened for reading, stay read-only on the workers.
    return block if block.flags.writeable else block.copy()


def _block_mask(block: npt.NDArray[np.int64], test_elements: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
    return member_mask_long(_writable(block), _writable(test_elements))


def chunked_member_mask(elements: da.Array, test_elements: npt.NDArray[np.int64], client: Client) -> da.Array:
    """A lazy boolean array, chunked like ``elements``: which elements occur in ``test_elements``."""
    if elements.ndim != 1 or elements.dtype != np.int64:
        raise ValueError("elements must be a one-dimensional int64 Dask array")
    [shared] = client.scatter([np.asarray(test_elements, dtype=np.int64)], broadcast=True)
    return elements.map_blocks(_block_mask, shared, dtype=np.bool_)


@contextlib.contextmanager
def local_client(workers: int = 2) -> Iterator[Client]:
    """A client of a local cluster of single-threaded worker processes, closed on exit."""
    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, Client(cluster) as client:
        yield client


def main() -> None:
    test_elements = np.random.default_rng(7).integers(0, 1_000_000, size=50_000, dtype=np.int64)
    with local_client() as client:
        # The elements are made on the workers, chunk by chunk, as data too large for one
        # machine would be loaded there.
        elements = da.random.default_rng(8).integers(0, 1_000_000, size=2_000_000, chunks=250_000)
        mask = chunked_member_mask(elements, test_elements, client)
        values, found = dask.compute(elements, mask)
    same = np.array_equal(found, np.isin(values, test_elements))
    print(
        f"{values.size} elements in {elements.numblocks[0]} chunks on 2 workers: "
        f"{int(found.sum())} found; same as numpy.isin: {same}"
    )


if __name__ == "__main__":
    main()
