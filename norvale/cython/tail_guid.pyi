import secrets as secrets
import uuid as uuid

__test__: dict[str, object]

def tail_guid() -> uuid.UUID:
    """A new UUID: 32 one bits, the Unix time in seconds, a call counter and random bits.

    Later identifiers sort after earlier ones, so they append at the end of a database index.
    """
