"""An ensemble's shards mapped over a Dask client and merged: the same
columns and ensemble hash as chain20.ensemble on one machine, bit for bit."""
import os
from typing import Any

from . import _chain20


def _shard(index: int, count: int, members: int, steps: int, options: dict[str, Any]) -> bytes:
    return _chain20.ensemble(members, steps, shard=(index, count), **options)["slice"]


def merge(parts: list[dict[str, Any] | bytes]) -> dict[str, Any]:
    """Joins an ensemble's shards, in any order, into the whole run's result,
    as chain20-batch --merge joins their outputs: each part (a shard's result,
    or its slice) proves its rows against its rows hash, the shards must be of
    one run and their members follow on, none missing or repeated; ValueError
    otherwise. The columns come from the checked slices, not from the parts'
    own columns."""
    return _chain20.merge_slices([part if isinstance(part, bytes) else part["slice"] for part in parts])


def ensemble(client: Any, members: int, steps: int, shards: int | None = None, **options: Any) -> dict[str, Any]:
    """Runs chain20.ensemble(members, steps, **options) as `shards` slices
    (default: one per worker), one task each on `client` (a
    distributed.Client), and merges them. A script given as a path is read
    here, so that the workers need only the package. Within one process the
    ensembles run one at a time (the engine plays their script on the
    program's one conductor chain): give each worker one thread, and each
    shard its cores through threads=."""
    if shards is None:
        shards = max(1, len(client.scheduler_info()["workers"]))
    if not 1 <= shards <= members:
        raise ValueError(f"shards: '{shards}' is not in 1 to {members}")
    events = options.get("events")
    if isinstance(events, os.PathLike) or (isinstance(events, str) and "\n" not in events and os.path.isfile(events)):
        with open(events, "rb") as script:
            options["events"] = script.read()
    futures = client.map(_shard, range(shards), count=shards, members=members, steps=steps, options=options)
    return merge(client.gather(futures))
