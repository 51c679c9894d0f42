"""An ensemble's shards mapped over a Dask client and merged: the same
columns and ensemble hash as chain20.ensemble on one machine, bit for bit."""
import os
from typing import Any

import numpy as np

from . import _chain20

# Keys of a shard's result that are not per-member or per-row columns.
_WHOLE_RUN = ("run", "ensemble_hash")


def _shard(index: int, count: int, members: int, steps: int, options: dict[str, Any]) -> dict[str, Any]:
    return _chain20.ensemble(members, steps, shard=(index, count), **options)


def merge(parts: list[dict[str, Any]]) -> dict[str, Any]:
    """Joins the results of an ensemble's shards, given in shard order, into
    the whole run's: the shards must be of one run and their members must
    follow on, none missing or repeated."""
    runs = {part["run"] for part in parts}
    if len(runs) != 1:
        raise ValueError("the shards are not of one run: " + " | ".join(sorted(runs)))
    whole: dict[str, Any] = {"run": parts[0]["run"]}
    for name in parts[0]:
        if name not in _WHOLE_RUN:
            whole[name] = np.concatenate([part[name] for part in parts])
    members = np.unique(whole["member"])
    if not np.array_equal(members, np.arange(members.size)) or np.any(np.diff(whole["member"]) < 0):
        raise ValueError("the shards' members do not follow on from 0")
    whole["ensemble_hash"] = _chain20.ensemble_hash(whole["state_hash"])
    return whole


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
