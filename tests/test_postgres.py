"""tail_guid keys in a real PostgreSQL `uuid` column: index order, order across seconds, round trip.

The session starts a throwaway cluster from the installed server binaries. Without them the tests
skip with the reason, unless NORVALE_REQUIRE_POSTGRES is set (CI sets it): then they fail.
"""

import functools
import os
import random
import sys
import textwrap
import uuid
from pathlib import Path

import psycopg
import pytest

import fake_clock
from norvale.cython.tail_guid import tail_guid

sys.path.append(str(Path(__file__).resolve().parents[1] / "scripts"))
import throwaway_postgres  # noqa: E402

REQUIRE_SERVER = "NORVALE_REQUIRE_POSTGRES"
RANDOM_MASK = (1 << 56) - 1
# Random parts for keys made in a child: None keeps the real random bits.
EXTREME_RANDOMS = (None, 0, RANDOM_MASK)
BIT_PATTERNS = (None, 0, RANDOM_MASK, 0xAA_AAAA_AAAA_AAAA, 0x55_5555_5555_5555)


@pytest.fixture(scope="session")
def postgres_cluster():
    try:
        cluster = throwaway_postgres.ThrowawayCluster.start(settings={"fsync": "off"})
    except throwaway_postgres.ServerNotFound as missing:
        if os.environ.get(REQUIRE_SERVER):
            pytest.fail(f"{missing} ({REQUIRE_SERVER} is set)")
        pytest.skip(str(missing))
    with cluster:
        yield cluster


@pytest.fixture
def keys_table(postgres_cluster):
    """A connection with an empty temporary table keys (id uuid PRIMARY KEY, label bigint)."""
    with psycopg.connect(postgres_cluster.dsn, autocommit=True) as connection:
        connection.execute("CREATE TEMPORARY TABLE keys (id uuid PRIMARY KEY, label bigint NOT NULL)")
        yield connection


def timestamp_of(key):
    return (key.int >> 64) & 0xFFFFFFFF


@functools.cache
def keys_at(library, seconds, randoms):
    """Keys made by a child whose clock reads `seconds`: for each random part 64 calls, so every
    counter value once."""
    code = textwrap.dedent(
        f"""
        import types
        import norvale.cython.tail_guid as module
        real = module.secrets
        for fixed in {list(randoms)!r}:
            module.secrets = real if fixed is None else types.SimpleNamespace(randbits=lambda bits: fixed)
            for _ in range(64):
                print(module.tail_guid().int)
        """
    )
    keys = [uuid.UUID(int=int(line)) for line in fake_clock.run_python(library, seconds, code).split()]
    assert {timestamp_of(key) for key in keys} == {seconds % 2**32}, "the fake clock was not used"
    return keys


def load(connection, labelled_keys):
    """Inserts (key, label) pairs in a shuffled order, so that insertion order proves nothing."""
    rows = list(labelled_keys)
    random.Random(20240501).shuffle(rows)
    with connection.cursor().copy("COPY keys (id, label) FROM STDIN") as copy:
        for row in rows:
            copy.write_row(row)


def test_order_by_id_is_the_order_of_bytes_and_int(keys_table, fake_clock_library):
    keys = [tail_guid() for _ in range(1000)]  # same second, counter wraps: random order within it
    for seconds in (0, 2**31 - 1, 2**31, 2**32 - 1):  # with and without the time field's top bit
        keys += keys_at(fake_clock_library, seconds, EXTREME_RANDOMS)
    keys += [uuid.uuid4() for _ in range(200)]  # other keys: below every tail_guid key
    load(keys_table, ((key, 0) for key in keys))
    in_database = [row[0] for row in keys_table.execute("SELECT id FROM keys ORDER BY id")]
    assert in_database == sorted(keys, key=lambda key: key.bytes)
    assert in_database == sorted(keys, key=lambda key: key.int)
    assert all(key.int >> 96 != 0xFFFFFFFF for key in in_database[:200])


@pytest.mark.parametrize(
    "earlier",
    [0, 1_700_000_000, 2**31 - 1, 2**32 - 2],
    ids=["epoch", "2023", "time-top-bit-flips", "last-second-before-wrap"],
)
def test_later_second_sorts_after_every_earlier_key(keys_table, fake_clock_library, earlier):
    # Each second has the largest (counter 63, random bits all ones) and the smallest lower half.
    load(keys_table, [(key, second) for second in (earlier, earlier + 1)
                      for key in keys_at(fake_clock_library, second, EXTREME_RANDOMS)])
    seconds_in_index_order = [row[0] for row in keys_table.execute("SELECT label FROM keys ORDER BY id")]
    assert seconds_in_index_order == sorted(seconds_in_index_order)
    assert set(seconds_in_index_order) == {earlier, earlier + 1}


@pytest.mark.parametrize(
    "placeholder, binary",
    [("%t", False), ("%b", True)],
    ids=["text-protocol", "binary-protocol"],
)
def test_round_trip_keeps_every_bit(keys_table, fake_clock_library, placeholder, binary):
    keys = [tail_guid() for _ in range(64)]
    for seconds in (0, 2**32 - 1):
        keys += keys_at(fake_clock_library, seconds, BIT_PATTERNS)
    with keys_table.cursor(binary=binary) as cursor:
        cursor.executemany(f"INSERT INTO keys (id, label) VALUES ({placeholder}, {placeholder})",
                           [(key, label) for label, key in enumerate(keys)])
        cursor.execute("SELECT id, id::text, label FROM keys ORDER BY label")
        rows = cursor.fetchall()
    assert [label for _, _, label in rows] == list(range(len(keys)))
    for (stored, text, _), key in zip(rows, keys):
        assert type(stored) is uuid.UUID
        assert stored.bytes == key.bytes
        assert text == str(key)
