"""tail_guid keys in a PostgreSQL primary-key index, against uuid4 and UUIDv7 keys.

Run by `make bench-postgres`, not by report.py: it starts a throwaway cluster (scripts/
throwaway_postgres.py) for each server configuration, or uses the server of --dsn. For each key
maker it loads N keys into `id uuid PRIMARY KEY` by binary COPY in batches (one transaction a
batch; keys are made batch by batch, between the loads, so they carry the loading run's seconds)
and measures rows/s of the COPYs, the index size, pgstatindex's leaf density and fragmentation,
the index blocks read again from outside the buffer pool (pg_statio_user_indexes, less one read
for each page the index grew by), the WAL written (pg_current_wal_lsn before and after) and the
share of keys above all earlier keys. Loads run round-robin over the key makers, --repeats times;
the tables give medians (rows/s also the range). The configurations: the server's defaults (an
index that fits in the buffer pool), and one whose buffer pool and checkpoint spacing are small
against the index, as a table much larger than memory under steady inserts sees them. Then one
throttled run makes keys at --rate a second, inserted one by one as they are made, and
reads back the index order. Markdown goes to stdout, progress to stderr.
"""

from __future__ import annotations

import argparse
import signal
import statistics
import sys
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import psycopg
import uuid_utils

import norvale.cython.tail_guid as tail_guid_module

sys.path.append(str(Path(__file__).resolve().parents[1] / "scripts"))
import throwaway_postgres  # noqa: E402

TABLE = "norvale_bench_keys"
INDEX = f"{TABLE}_pkey"
COPY_HEADER = b"PGCOPY\n\xff\r\n\x00" + bytes(8)  # signature, flags, header extension length
COPY_FIELD = b"\x00\x01\x00\x00\x00\x10"  # one field a row, 16 bytes long
COPY_TRAILER = b"\xff\xff"
# Nothing but the loads writes WAL or reads the index while they run.
CLUSTER_SETTINGS = {"autovacuum": "off"}
CONFIGURATIONS = {
    "default": ("defaults (shared_buffers 128MB, max_wal_size 1GB)", {}),
    "small": ("shared_buffers 16MB, max_wal_size 64MB", {"shared_buffers": "16MB", "max_wal_size": "64MB"}),
}
# The C runtime's second can trail the wall clock by a tick: "a second earlier" gets this margin.
SECOND_WITH_MARGIN = 1.005


@dataclass(frozen=True)
class KeyMaker:
    name: str
    make: Callable[[], object]  # a key with .bytes


KEY_MAKERS = (
    KeyMaker("tail_guid", tail_guid_module.tail_guid),
    KeyMaker("uuid.uuid4", uuid.uuid4),
    KeyMaker("UUIDv7 (uuid_utils.uuid7)", uuid_utils.uuid7),
)


@dataclass
class Load:
    rows_per_second: float
    index_mb: float
    leaf_density: float | None
    leaf_fragmentation: float | None
    above_all_earlier: float
    index_blocks_reread: int
    wal_mb: float


def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def copy_buffer(key_bytes: list[bytes]) -> bytes:
    return COPY_HEADER + b"".join(COPY_FIELD + key for key in key_bytes) + COPY_TRAILER


def try_statement(connection: psycopg.Connection, statement: str) -> bool:
    """Runs a statement that needs rights or an extension the server may lack; False if refused."""
    try:
        connection.execute(statement)
        return True
    except psycopg.Error as refused:
        progress(f"  ({statement}: {refused.diag.message_primary or refused})")
        return False


def flush_statistics(connection: psycopg.Connection) -> None:
    # A backend sends its counters before it reports ready for the next statement, at most once a
    # second unless forced (PostgreSQL 15 and later); older servers get a pause instead.
    try:
        connection.execute("SELECT pg_stat_force_next_flush()")
    except psycopg.errors.UndefinedFunction:
        time.sleep(1.0)
    connection.execute("SELECT 1")


def load_keys(connection: psycopg.Connection, maker: KeyMaker, rows: int, batch: int,
              with_pgstattuple: bool) -> Load:
    connection.execute(f"DROP TABLE IF EXISTS {TABLE}")
    connection.execute(f"CREATE TABLE {TABLE} (id uuid PRIMARY KEY)")
    try_statement(connection, "CHECKPOINT")  # every load starts with clean buffers to write
    start_lsn = connection.execute("SELECT pg_current_wal_lsn()").fetchone()[0]
    copy_seconds = 0.0
    highest = -1
    above = 0
    made = 0
    while made < rows:
        keys = [maker.make().bytes for _ in range(min(batch, rows - made))]
        made += len(keys)
        for key in keys:
            value = int.from_bytes(key, "big")
            if value > highest:
                highest = value
                above += 1
        data = copy_buffer(keys)
        started = time.perf_counter()
        with connection.cursor().copy(f"COPY {TABLE} (id) FROM STDIN (FORMAT BINARY)") as copy:
            copy.write(data)
        copy_seconds += time.perf_counter() - started
    wal_bytes = connection.execute("SELECT pg_wal_lsn_diff(pg_current_wal_lsn(), %s)", (start_lsn,)).fetchone()[0]
    flush_statistics(connection)
    blocks_read = connection.execute(
        "SELECT idx_blks_read FROM pg_statio_user_indexes WHERE indexrelid = %s::regclass", (INDEX,)).fetchone()[0]
    index_bytes, block_size = connection.execute(
        "SELECT pg_relation_size(%s::regclass), current_setting('block_size')::integer", (INDEX,)).fetchone()
    density = fragmentation = None
    if with_pgstattuple:
        density, fragmentation = connection.execute(
            "SELECT avg_leaf_density, leaf_fragmentation FROM pgstatindex(%s)", (INDEX,)).fetchone()
    connection.execute(f"DROP TABLE {TABLE}")
    return Load(rows / copy_seconds, index_bytes / 2**20, density, fragmentation, above / rows,
                # A page the index grows by counts as one read when it is made.
                int(blocks_read) - index_bytes // block_size, float(wal_bytes) / 2**20)


def throttled_run(connection: psycopg.Connection, rate: float,
                  seconds: float) -> list[tuple[str, dict[str, float | None]]]:
    """Makes one key of each maker per tick and inserts each as made; returns order measures."""
    count = int(rate * seconds)
    tables = [f"{TABLE}_{index}" for index in range(len(KEY_MAKERS))]
    for table in tables:
        connection.execute(f"DROP TABLE IF EXISTS {table}")
        connection.execute(f"CREATE TABLE {table} (id uuid PRIMARY KEY, made integer NOT NULL)")
    made_at = []
    start = time.perf_counter()
    for tick in range(count):
        pause = start + tick / rate - time.perf_counter()
        if pause > 0:
            time.sleep(pause)
        made_at.append(time.perf_counter())
        for table, maker in zip(tables, KEY_MAKERS):
            connection.execute(f"INSERT INTO {table} (id, made) VALUES (%s, %s)",
                               (uuid.UUID(bytes=maker.make().bytes), tick))
    results = []
    for table, maker in zip(tables, KEY_MAKERS):
        index_order = [row[0] for row in connection.execute(f"SELECT made FROM {table} ORDER BY id")]
        connection.execute(f"DROP TABLE {table}")
        rank = [0] * count
        for position, tick in enumerate(index_order):
            rank[tick] = position
        results.append((maker.name, order_measures(rank, made_at)))
    return results


def order_measures(rank: list[int], made_at: list[float]) -> dict[str, float | None]:
    """Shares of keys (by index rank) above all earlier keys, above every key made a second or more
    before, and above the key made just before."""
    count = len(rank)
    above_all = 0
    highest = -1
    for position in rank:
        above_all += position > highest
        highest = max(highest, position)
    above_second = checked_second = 0
    highest_a_second_before = -1
    behind = 0  # keys made a second or more before tick are rank[:behind]
    for tick in range(count):
        while made_at[tick] - made_at[behind] >= SECOND_WITH_MARGIN:
            highest_a_second_before = max(highest_a_second_before, rank[behind])
            behind += 1
        if behind:
            checked_second += 1
            above_second += rank[tick] > highest_a_second_before
    above_previous = sum(1 for tick in range(1, count) if rank[tick] > rank[tick - 1])
    return {
        "above all earlier keys": above_all / count,
        "above every key made >= 1 s before": above_second / checked_second if checked_second else None,
        "above the key made just before": above_previous / max(count - 1, 1),
    }


def percent(share: float | None, digits: int = 1) -> str:
    return "n/a" if share is None else f"{100 * share:.{digits}f}%"


def median_of(loads: list[Load], field: str) -> float | None:
    values = [getattr(load, field) for load in loads]
    return None if None in values else statistics.median(values)


def thousands(value: float) -> str:
    return f"{value / 1000:.0f}k"


def load_table(results: list[tuple[str, str, list[Load]]]) -> list[str]:
    lines = [
        "| key maker | server settings | rows/s (median, range) | index MB | leaf density | leaf fragmentation "
        "| new key above all earlier keys | index blocks re-read | WAL MB |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for settings, name, loads in results:
        speeds = [load.rows_per_second for load in loads]
        density, fragmentation = median_of(loads, "leaf_density"), median_of(loads, "leaf_fragmentation")
        above = median_of(loads, "above_all_earlier")
        lines.append(
            f"| {name} | {settings} | {thousands(statistics.median(speeds))} "
            f"({thousands(min(speeds))}–{thousands(max(speeds))}) | {median_of(loads, 'index_mb'):.1f} "
            f"| {'n/a' if density is None else f'{density:.1f}%'} "
            f"| {'n/a' if fragmentation is None else f'{fragmentation:.1f}%'} "
            f"| {percent(above, 3 if above < 0.01 else 1)} "
            f"| {median_of(loads, 'index_blocks_reread'):,.0f} | {median_of(loads, 'wal_mb'):.0f} |"
        )
    return lines


def throttled_table(results: list[tuple[str, dict[str, float | None]]]) -> list[str]:
    measures = list(results[0][1])
    lines = ["| key maker | " + " | ".join(measures) + " |", "|---" * (len(measures) + 1) + "|"]
    for name, values in results:
        lines.append(f"| {name} | " + " | ".join(percent(values[measure]) for measure in measures) + " |")
    return lines


def run_loads(connection: psycopg.Connection, settings: str, args: argparse.Namespace,
              results: list[tuple[str, str, list[Load]]]) -> None:
    with_pgstattuple = try_statement(connection, "CREATE EXTENSION IF NOT EXISTS pgstattuple")
    per_maker: dict[str, list[Load]] = {maker.name: [] for maker in KEY_MAKERS}
    for repeat in range(args.repeats):
        for maker in KEY_MAKERS:
            load = load_keys(connection, maker, args.rows, args.batch, with_pgstattuple)
            per_maker[maker.name].append(load)
            progress(f"  {settings}, round {repeat + 1}: {maker.name}: {load.rows_per_second:,.0f} rows/s, "
                     f"{load.index_mb:.1f} MB, {load.index_blocks_reread:,} blocks re-read, {load.wal_mb:.0f} MB WAL")
    results += [(settings, name, loads) for name, loads in per_maker.items()]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000, help="keys per load (default 10^6)")
    parser.add_argument("--batch", type=int, default=10_000, help="keys per COPY (default 10^4)")
    parser.add_argument("--repeats", type=int, default=3, help="loads per key maker and configuration (default 3)")
    parser.add_argument("--configurations", default=",".join(CONFIGURATIONS),
                        help="throwaway cluster configurations, comma-separated, of: " + ", ".join(
                            f"{name} ({text})" for name, (text, _) in CONFIGURATIONS.items()))
    parser.add_argument("--rate", type=float, default=100.0, help="keys a second in the throttled run (default 100)")
    parser.add_argument("--rate-seconds", type=float, default=5.0, help="length of the throttled run (default 5)")
    parser.add_argument("--dsn", help="use this server (tables " + TABLE + "*) instead of throwaway clusters")
    parser.add_argument("--bindir", help="folder of the server binaries (default: the newest installed)")
    args = parser.parse_args(argv)
    # A terminated run still stops its cluster (the with-blocks unwind).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    results: list[tuple[str, str, list[Load]]] = []
    throttled = []
    started = time.perf_counter()
    if args.dsn:
        with psycopg.connect(args.dsn, autocommit=True) as connection:
            server = connection.execute("SHOW server_version").fetchone()[0]
            settings = "shared_buffers {}, max_wal_size {}".format(
                *(connection.execute(f"SHOW {name}").fetchone()[0] for name in ("shared_buffers", "max_wal_size")))
            run_loads(connection, settings, args, results)
            throttled = throttled_run(connection, args.rate, args.rate_seconds)
        where = f"the server of --dsn (PostgreSQL {server})"
    else:
        for index, name in enumerate(args.configurations.split(",")):
            if name not in CONFIGURATIONS:
                parser.error(f"unknown configuration {name!r}")
            text, settings = CONFIGURATIONS[name]
            with throwaway_postgres.ThrowawayCluster.start(settings={**CLUSTER_SETTINGS, **settings},
                                                           bindir=args.bindir) as cluster:
                progress(f"cluster {cluster.version} in {cluster.folder}: {text}")
                with psycopg.connect(cluster.dsn, autocommit=True) as connection:
                    server = connection.execute("SHOW server_version").fetchone()[0]
                    run_loads(connection, text, args, results)
                    if index == 0:
                        throttled = throttled_run(connection, args.rate, args.rate_seconds)
        where = f"throwaway clusters (PostgreSQL {server}, autovacuum off, otherwise default settings)"

    print(f"{args.rows:,} keys a load into `id uuid PRIMARY KEY` by binary COPY of {args.batch:,} keys a "
          f"transaction, on {where}; {args.repeats} loads per key maker and configuration, round-robin; "
          f"medians. Index blocks re-read: read from outside the buffer pool, less the pages the index "
          f"grew by. WAL: table and index.")
    print()
    print("\n".join(load_table(results)))
    print()
    print(f"Throttled: {args.rate:g} keys a second for {args.rate_seconds:g} s, each inserted as made; "
          "share of keys that the index places")
    print()
    print("\n".join(throttled_table(throttled)))
    progress(f"done in {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
