"""Building a sharded index: one shard per chunk of rows, encoded on the worker that holds
the rows (an inverted file's centroids trained once, in one task), then the manifest."""
from __future__ import annotations

import json
import operator
import os
from pathlib import Path
from typing import Any

import numpy as np

from .manifest import FAMILIES, FORMAT, MANIFEST, _building, _header, _new_index, _write_durably
from .search import ShardedIndex

def _build_shard(rows: np.ndarray, ids: np.ndarray | None, first_row: int, family: str,
                 parameters: dict[str, Any], path: str, centroids: np.ndarray | None = None) -> dict[str, Any]:
    """On a worker: one shard from the rows it holds (an inverted-file shard against the
    centroids every shard shares)."""
    from distributed import secede

    rows = np.ascontiguousarray(rows, dtype=np.float32)
    if ids is None:
        ids = np.arange(first_row, first_row + len(rows), dtype=np.uint64)
    index = _new_index(family, parameters)
    if centroids is not None:
        index.set_centroids(centroids)
    index.add_batch(ids, rows, threads=1)  # the worker's thread is the unit of parallelism
    # The save mostly waits on the disk: meanwhile the worker's thread encodes the next
    # shard. The task still ends only once its file is on disk, so a lost worker's shards
    # are rebuilt as before.
    secede()
    index.save(path)
    return {"file": os.path.basename(path), "first_row": first_row, "rows": len(rows),
            "checksums": _header(path)[0]}


def _build_shard_from_npy(npy: str, first_row: int, family: str, parameters: dict[str, Any],
                          path: str, centroids: np.ndarray | None = None) -> dict[str, Any]:
    return _build_shard(np.load(npy, mmap_mode="r"), None, first_row, family, parameters, path, centroids)


def _train(sample: np.ndarray, parameters: dict[str, Any], iterations: int) -> np.ndarray:
    """In one task: the centroids every inverted-file shard is built against."""
    index = _new_index("ivf", parameters)
    index.train(np.ascontiguousarray(sample, dtype=np.float32), iterations=iterations, threads=1)
    centroids: np.ndarray = index.centroids
    return centroids


def _rows_of_npy(paths: list[str], starts: list[int], rows: np.ndarray) -> np.ndarray:
    """In one task: the given global rows of a list of .npy files, in order."""
    parts = []
    for i, path in enumerate(paths):
        mine = rows[(rows >= starts[i]) & (rows < starts[i + 1])] - starts[i]
        if len(mine):
            parts.append(np.load(path, mmap_mode="r")[mine])
    return np.concatenate(parts)


def build(vectors: Any, directory: str | os.PathLike[str], *, family: str = "compact",
          bits: int = 4, seed: int = 42, projections: int | None = None, ids: Any = None,
          lists: int | None = None, iterations: int = 10, metric: str = "ip", degree: int | None = None,
          client: Any = None) -> ShardedIndex:
    """Encode every row into one shard per chunk, on the workers holding the rows.

    `vectors`: a Dask array of shape (n, dim) with known chunk sizes, chunked by rows, or a
    list of .npy files of rows of one dim (each memory-mapped on a worker). ids: the global
    row numbers unless given (a NumPy or Dask array of n non-negative integers, only with
    a Dask array of vectors). family="ivf" needs `lists`: the centroids are trained once,
    in one task, on at most 256 rows per list chosen by the seed, and every shard is built
    against them. family="graph": one GraphIndex per shard of `degree` (default 32) edges per
    vertex, built on one thread of its worker (so the same rows and chunks give the same
    files at any worker count). metric: "ip", "cosine" or "l2", for every family but
    two-stage.
    """
    import dask.array as da
    from distributed import default_client

    if family not in FAMILIES:
        raise ValueError(f"family must be one of {sorted(FAMILIES)}, got {family!r}")
    client = client or default_client()
    out = Path(directory).resolve()
    out.mkdir(parents=True, exist_ok=True)
    if isinstance(vectors, (list, tuple)):
        if ids is not None:
            raise ValueError("ids can be given with a Dask array of vectors, not with .npy files")
        shapes = [np.load(p, mmap_mode="r").shape for p in vectors]
        for npy, shape in zip(vectors, shapes):
            if len(shape) != 2 or shape[1] != shapes[0][1]:
                raise ValueError(f"{npy}: expected rows of the first file's dimension, got shape {shape}")
        dim = shapes[0][1] if shapes else 0
        starts = np.cumsum([0] + [s[0] for s in shapes])
    else:
        vectors = da.asarray(vectors)
        if vectors.ndim != 2:
            raise ValueError(f"vectors must be two-dimensional, got shape {vectors.shape}")
        if np.isnan(vectors.shape[0]):
            raise ValueError("vectors must have known chunk sizes (see dask.array.Array.compute_chunk_sizes)")
        vectors = vectors.rechunk({1: -1})
        dim = vectors.shape[1]
        starts = np.cumsum((0,) + vectors.chunks[0])
        if ids is not None and np.shape(ids) != (vectors.shape[0],):
            raise ValueError(f"ids must hold one id per row, shape ({vectors.shape[0]},), got {np.shape(ids)}")
    parameters: dict[str, Any] = {"dim": int(dim), "bits": int(bits), "seed": int(seed), "projections": 0}
    if family == "two-stage":
        if metric != "ip":
            raise ValueError(f"metric {metric!r} applies to the compact, inverted-file and graph families, not two-stage")
        parameters["projections"] = int(projections if projections is not None else max(1, dim // 4))
    else:
        parameters["metric"] = metric
    if degree is not None and family != "graph":
        raise ValueError(f"degree applies to the graph family, not to family {family!r}")
    if family == "graph":
        del parameters["projections"]
        parameters["degree"] = operator.index(32 if degree is None else degree)
    if family == "ivf":
        if lists is None:
            raise ValueError("family 'ivf' needs lists (the number of centroids)")
        del parameters["projections"]
        parameters["lists"] = operator.index(lists)
        if starts[-1] < parameters["lists"]:
            raise ValueError(f"{int(starts[-1])} rows cannot train {parameters['lists']} lists: "
                             "give at least as many rows as lists")
    _new_index(family, parameters)  # the constructor's errors, before any work
    with _building(out):
        centroids = None
        if family == "ivf":
            centroids = _centroids(vectors, starts, parameters, iterations, client)
        return _build(vectors, ids, starts, out, family, parameters, client, centroids)


def _centroids(vectors: Any, starts: np.ndarray, parameters: dict[str, Any], iterations: int, client: Any) -> Any:
    """The shared centroids, trained in one task on a seeded sample of the rows; a future
    that every shard's task receives."""
    import dask

    n, cap = int(starts[-1]), 256 * parameters["lists"]
    rows = np.arange(n) if n <= cap else np.sort(np.random.default_rng(parameters["seed"]).choice(n, cap, replace=False))
    if isinstance(vectors, (list, tuple)):
        sample = dask.delayed(_rows_of_npy)([str(Path(p).resolve()) for p in vectors], [int(s) for s in starts], rows)
    else:
        sample = vectors[rows]
    return client.compute(dask.delayed(_train)(sample, parameters, iterations))


def _build(vectors: Any, ids: Any, starts: np.ndarray, out: Path, family: str, parameters: dict[str, Any],
           client: Any, centroids: Any = None) -> ShardedIndex:
    import dask
    import dask.array as da

    jobs = []
    if isinstance(vectors, (list, tuple)):
        for i, npy in enumerate(vectors):
            jobs.append(dask.delayed(_build_shard_from_npy)(
                str(Path(npy).resolve()), int(starts[i]), family, parameters, str(out / f"shard-{i:05d}.qli"),
                centroids))
    else:
        blocks = vectors.to_delayed()[:, 0]
        id_blocks: list[Any] = [None] * len(blocks)
        if ids is not None:
            id_blocks = list(da.asarray(ids).rechunk((vectors.chunks[0],)).to_delayed())
        for i, block in enumerate(blocks):
            jobs.append(dask.delayed(_build_shard)(
                block, id_blocks[i], int(starts[i]), family, parameters, str(out / f"shard-{i:05d}.qli"),
                centroids))
    shards = list(client.compute(jobs, sync=True))
    manifest = {"format": FORMAT, "family": family, "parameters": parameters, "rows": int(starts[-1]),
                "shards": shards}
    _write_durably(out / MANIFEST, json.dumps(manifest, indent=1) + "\n")
    return ShardedIndex(str(out), family, parameters, shards)
