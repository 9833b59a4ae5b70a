"""tail_guid against the standard library's UUID makers and time-ordered UUID packages from PyPI."""

from __future__ import annotations

import uuid
from typing import Any

import norvale.cython.tail_guid as tail_guid_module
from timing import Contender, Group, TimingPlan, compare

# Optional anchors (the bench extra installs them): time-ordered UUIDv7 generators.
try:
    import uuid_utils
    import uuid_utils.compat
except ImportError:
    uuid_utils = None
try:
    import uuid6
except ImportError:
    uuid6 = None


def is_128_bit_identifier(ours: Any, anchor: Any) -> bool:
    # Outputs are random, so agreement means: both give one 16-byte identifier, ours a uuid.UUID.
    return type(ours) is uuid.UUID and len(anchor.bytes) == 16


def anchors() -> tuple[list[Contender], list[str]]:
    found = [Contender("uuid.uuid4", uuid.uuid4), Contender("uuid.uuid1", uuid.uuid1)]
    missing = []
    if uuid_utils is not None:
        found.append(Contender("uuid_utils.compat.uuid7 (uuid.UUID)", uuid_utils.compat.uuid7))
        found.append(Contender("uuid_utils.uuid7 (own UUID type)", uuid_utils.uuid7))
    else:
        missing.append("uuid-utils")
    if uuid6 is not None:
        found.append(Contender("uuid6.uuid7", uuid6.uuid7))
    else:
        missing.append("uuid6")
    return found, missing


def run(plan: TimingPlan) -> list[Group]:
    contenders, missing = anchors()
    group = Group(
        title="tail_guid: one ordered key per call",
        notes=[
            "All contenders run in one process, one identifier per call; uuid.uuid1's node lookup "
            "is done by the checking call before timing.",
            "uuid_utils.compat.uuid7 returns a standard uuid.UUID like tail_guid; uuid_utils.uuid7 "
            "returns the package's own UUID type, which skips building a uuid.UUID.",
        ],
    )
    if missing:
        group.notes.append("Not installed, so not timed: " + ", ".join(missing) + ".")
    ours = Contender("tail_guid", tail_guid_module.tail_guid)
    group.cases.append(compare("tail_guid()", "1 key", ours, contenders, plan, agree=is_128_bit_identifier))
    return [group]
