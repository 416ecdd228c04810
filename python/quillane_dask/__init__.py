"""Sharded quillane indexes on a Dask cluster.

A quantizer is fixed by a few integers, so every worker rebuilds the same one: building
sends each worker only integers and file names, and each worker encodes the rows it
already holds into an index shard saved in the index-file format. Searching sends the
queries to every shard; each worker maps its shards once (``load(mmap=True)``) and
keeps them; the per-shard top-k lists merge into exactly the answer of one index
holding every row (ties in global row order).

    import dask.array as da
    import quillane_dask
    from distributed import Client

    client = Client(...)
    vectors = da.from_array(...)            # (n, dim) float32, chunked by rows
    index = quillane_dask.build(vectors, "/shared/my-index", bits=4)
    ids, scores = index.search_batch(queries, 10)
    index = quillane_dask.ShardedIndex.open("/shared/my-index")   # later, elsewhere

The package's modules: `building` (build), `manifest` (families, the manifest's checks and
writing, the directory's lock), `search` (ShardedIndex, merge), `shards` (what workers
keep and run) and `removal`.
"""
from __future__ import annotations

from .building import build
from .manifest import ShardError
from .search import ShardedIndex
from .search import merge as merge  # public, as before (not in __all__)

__all__ = ["build", "ShardedIndex", "ShardError"]

# Named where users find them, as before the package had modules (reprs, pickles).
for _public in (build, ShardedIndex, ShardError, merge):
    _public.__module__ = __name__
