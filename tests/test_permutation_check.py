"""The permutation check behind permute_rows, each marking loop on its own.

permute_rows takes the fastest marking loop the processor has; through the test-only kernel
module the portable loop is held to the same answers on the same machine.
"""

import numpy as np
import pytest

kernels = pytest.importorskip("norvale_test_kernels")


def first_bad(indices):
    """The first position whose entry is out of range or repeats an earlier one, else -1."""
    n, seen = len(indices), set()
    for position, value in enumerate(indices.tolist()):
        if not 0 <= value < n or value in seen:
            return position
        seen.add(value)
    return -1


def rng(*key):
    return np.random.default_rng([20261210, *key])


def with_entry(n, position, value, seed=0):
    indices = rng(n, seed).permutation(n)
    indices[position] = value
    return indices


# Sizes around the word of 32 marks and the power of two that entries are cut to.
CASES = {
    "empty": np.array([], dtype=np.intp),
    "one": np.array([0]),
    "one out of range": np.array([1]),
    "pair swapped": np.array([1, 0]),
    "pair repeated": np.array([1, 1]),
    "33 entries": rng(1).permutation(33),
    "64 entries": rng(2).permutation(64),
    "100000 entries": rng(3).permutation(100_000),
    # n .. reach: in range of the marks but not of the rows.
    "n itself": with_entry(33, 5, 33),
    "just below reach": with_entry(33, 20, 63),
    "reach + 1": with_entry(33, 20, 64),
    "above 2^32": with_entry(1000, 999, 2**32 + 7),
    "negative": with_entry(1000, 3, -1),
    "most negative": with_entry(1000, 500, -2**63),
    "top of the mark bits": with_entry(1000, 700, 2**63 - 1),
    "repeat in the mark words": with_entry(1000, 2, 17),
    "repeat at the end": with_entry(1000, 999, 0),
    "large entry in the mark words": with_entry(100_000, 1, 2**40),
}


@pytest.mark.parametrize("portable", [True, False], ids=["portable", "this processor"])
@pytest.mark.parametrize("indices", CASES.values(), ids=CASES.keys())
def test_check_finds_the_first_bad_entry_and_keeps_indices(indices, portable):
    indices = np.ascontiguousarray(indices, dtype=np.intp)
    kept = indices.copy()
    assert kernels.check_permutation(indices, portable) == first_bad(kept)
    np.testing.assert_array_equal(indices, kept)
