"""chain20: the planar chain of rigid links, stepped by RK4 at 0.001 s, from Python.

Chain is one simulation as a value; ensemble runs many on chain20-batch's
engine; chain20.dask spreads an ensemble's shards over a Dask cluster. Each
gives chain20-batch's bits for the same options and script.
"""
from ._chain20 import Chain, ensemble, ensemble_hash

__all__ = ["Chain", "ensemble", "ensemble_hash"]
