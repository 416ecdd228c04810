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
"""
from __future__ import annotations

import contextlib
import fcntl
import functools
import json
import operator
import os
import re
import struct
import threading
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator, Sequence, SupportsIndex

import numpy as np

import quillane

__all__ = ["build", "ShardedIndex", "ShardError"]

MANIFEST = "manifest.json"
FORMAT = 1
FAMILIES: dict[str, Any] = {"compact": quillane.CompactIndex, "two-stage": quillane.VectorIndex,
                             "ivf": quillane.IvfIndex}
# The integers of each family's quantizer, and the compact families' metric, as the manifest
# lists them.
PARAMETERS = {"compact": ["bits", "dim", "metric", "projections", "seed"],
              "two-stage": ["bits", "dim", "projections", "seed"], "ivf": ["bits", "dim", "lists", "metric", "seed"]}
METRICS = ("ip", "cosine", "l2")


class ShardError(ValueError):
    """A sharded index that cannot be used: a shard that is missing, damaged, changed or not
    of this index's quantizer, a manifest that is not valid, a build already running into
    the same directory, or a cluster with no worker to search on."""


def _new_index(family: str, parameters: dict[str, Any]) -> Any:
    if family == "compact":
        return quillane.CompactIndex(parameters["dim"], parameters["bits"], parameters["seed"],
                                     metric=parameters["metric"])
    if family == "ivf":
        return quillane.IvfIndex(parameters["dim"], parameters["lists"], parameters["bits"], parameters["seed"],
                                 metric=parameters["metric"])
    return quillane.VectorIndex(parameters["dim"], parameters["bits"], parameters["projections"],
                                parameters["seed"])


@functools.lru_cache(maxsize=8)
def _empty_index(family: str, *parameters: tuple[str, int]) -> Any:
    """An empty index of these integers, kept: its search checks arguments and returns."""
    return _new_index(family, dict(parameters))


FAMILY_TAGS = {"two-stage": 1, "compact": 2, "ivf": 3}


def _header(path: str) -> tuple[str, dict[str, Any]]:
    """A shard file's two CRC-32s (body, header) as hex, and its quantizer's integers
    (docs/index-file-format.md)."""
    with open(path, "rb") as f:
        head = f.read(64)
    if len(head) < 64:
        raise ShardError(f"shard {path}: too short to be an index file")
    family, bits = head[10], head[11]
    dim, projections, seed = struct.unpack_from("<QQQ", head, 16)
    tag = {v: k for k, v in FAMILY_TAGS.items()}.get(family, str(family))
    # An inverted-file header holds its list count where the others hold projections.
    integers: dict[str, Any] = {"family": tag, "dim": dim, "bits": bits, "seed": seed,
                                ("lists" if tag == "ivf" else "projections"): projections}
    if tag != "two-stage":
        # Format version 2 holds the metric in summary word 1; version 1 is inner product.
        version, word = struct.unpack_from("<H", head, 8)[0], struct.unpack_from("<I", head, 52)[0]
        integers["metric"] = METRICS[word] if version == 2 and word < len(METRICS) else "ip"
    return "%08x%08x" % struct.unpack_from("<II", head, 56), integers


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


# Each worker process keeps the shards it has mapped: path -> (checksums, file identity,
# index). The identity (device, inode, size, modification and change times) is compared
# on every search: a file replaced or written since it was mapped is verified again.
_OPEN_SHARDS: dict[str, tuple[str, tuple[int, ...], Any]] = {}


def _identity(path: str) -> tuple[int, ...]:
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def _open_shard(path: str, checksums: str, family: str, parameters: dict[str, Any]) -> Any:
    held = _OPEN_SHARDS.get(path)
    try:
        identity = _identity(path)
    except FileNotFoundError:
        _OPEN_SHARDS.pop(path, None)
        raise ShardError(f"shard {path} is missing") from None
    if held is not None and held[0] == checksums and held[1] == identity:
        return held[2]
    _OPEN_SHARDS.pop(path, None)
    found, integers = _header(path)
    if integers != {"family": family, **parameters}:
        raise ShardError(f"shard {path} was written by another quantizer ({integers}) than the "
                         f"manifest's ({ {'family': family, **parameters} })")
    if found != checksums:
        raise ShardError(f"shard {path} is not the one the manifest lists (its checksums differ)")
    try:
        # verify: the body checksum catches records rewritten under an unchanged header.
        index = FAMILIES[family].load(path, mmap=True, verify=True)
    except ValueError as e:
        raise ShardError(f"shard {path}: {e}") from None
    _OPEN_SHARDS[path] = (checksums, identity, index)
    return index


def _search_shard(path: str, checksums: str, family: str, parameters: dict[str, Any],
                  queries: np.ndarray, top_k: int, probes: int | None = None,
                  allow: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """On a worker: one shard's top-k for every query (the shard stays mapped)."""
    index = _open_shard(path, checksums, family, parameters)
    extra: dict[str, Any] = {} if allow is None else {"allow": allow}
    if probes is not None:
        extra["probes"] = probes
    found: tuple[np.ndarray, np.ndarray] = index.search_batch(queries, top_k, threads=1, **extra)
    return found


def _shard_task(path: str, checksums: str, family: str, parameters: dict[str, Any], call: str,
                ids: np.ndarray) -> Any:
    """On a worker: what one shard holds: its ids ("ids"), which of `ids` it holds
    ("contains"), or their decodings where it holds them ("reconstruct": rows, found)."""
    index = _open_shard(path, checksums, family, parameters)
    if call == "ids":
        return index.ids()
    held = np.isin(ids, index.ids())
    if call == "contains":
        return held
    rows = np.zeros((len(ids), parameters["dim"]), np.float32)
    if held.any():
        rows[held] = index.reconstruct(ids[held])
    return rows, held


def _remove_from_shard(path: str, checksums: str, family: str, parameters: dict[str, Any],
                       ids: np.ndarray, new_path: str) -> dict[str, Any] | None:
    """On a worker: the shard without the entries of `ids`, saved under a new name (the
    old file stays until the manifest no longer lists it); None when it holds none."""
    _open_shard(path, checksums, family, parameters)  # the checks a search makes
    index = FAMILIES[family].load(path, verify=True)
    removed = index.remove(ids)
    if removed == 0:
        return None
    index.save(new_path)
    return {"file": os.path.basename(new_path), "rows": len(index), "checksums": _header(new_path)[0],
            "removed": removed}


def merge(parts: Sequence[tuple[np.ndarray, np.ndarray]], top_k: int, *,
          ascending: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """The global top-k from per-shard top-k lists given in shard (= row) order.

    Within a shard, equal scores come in insertion order, and shards hold consecutive
    rows; so ordering by (NaN last, score descending, shard, rank in shard) is the order
    of one index holding every row (ascending: smallest first, as l2 distances rank).
    Padding (id NO_ID, a NaN score) goes after every entry, and pads the rows that have
    fewer than top_k entries.
    """
    nq = parts[0][0].shape[0]
    k = min(top_k, sum(p[0].shape[1] for p in parts))
    ids = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    shard = np.concatenate([np.full(p[0].shape[1], s) for s, p in enumerate(parts)])
    rank = np.concatenate([np.arange(p[0].shape[1]) for p in parts])
    out_ids = np.empty((nq, k), dtype=np.uint64)
    out_scores = np.empty((nq, k), dtype=np.float32)
    for q in range(nq):
        s = scores[q]
        nan = np.isnan(s)
        # Negating -0.0 and +0.0 gives equal keys: they tie, as in one index.
        padding = nan & (ids[q] == quillane.NO_ID)
        key = s.astype(np.float64) if ascending else -s.astype(np.float64)
        order = np.lexsort((rank, shard, np.where(nan, 0.0, key), nan, padding))[:k]
        out_ids[q], out_scores[q] = ids[q, order], s[order]
    return out_ids, out_scores


class _Pins:
    """The shard files that searches of this process are reading, and those a remove has
    retired meanwhile: a retired file is deleted when no search pins it any more. Used as
    a lock around taking a shard list and pinning it, and around swapping it."""

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._count: dict[str, int] = {}
        self._retired: set[str] = set()

    def __enter__(self) -> None:
        self._lock.acquire()

    def __exit__(self, *_: Any) -> None:
        self._lock.release()

    def pin(self, paths: list[str]) -> None:
        with self._lock:
            for path in paths:
                self._count[path] = self._count.get(path, 0) + 1

    def unpin(self, paths: list[str]) -> None:
        with self._lock:
            for path in paths:
                self._count[path] -= 1
                if self._count[path] == 0:
                    del self._count[path]
                    if path in self._retired:
                        self._retired.discard(path)
                        Path(path).unlink(missing_ok=True)

    def retire(self, path: str) -> None:
        with self._lock:
            if path in self._count:
                self._retired.add(path)
            else:
                Path(path).unlink(missing_ok=True)


_PINS = _Pins()

MAX_ROWS = 2**63 - 1  # len() must hold the total
# How many shard lists a search tries when removes keep replacing the one it read.
CURRENT_SHARD_ATTEMPTS = 4


def _is_count(value: Any) -> bool:
    return type(value) is int and 0 <= value <= MAX_ROWS


def _check_manifest(manifest: Any) -> None:
    """Raises on anything docs/sharded-manifest.md does not allow; shard files must be plain
    names inside the directory, each listed once. A compact or inverted-file manifest
    without a metric (written before there were others) is an inner-product one."""
    if not isinstance(manifest, dict):
        raise ValueError("not a JSON object")
    if type(manifest["format"]) is not int or manifest["format"] != FORMAT or manifest["family"] not in FAMILIES:
        raise ValueError("format or family")
    parameters = manifest["parameters"]
    if isinstance(parameters, dict) and manifest["family"] != "two-stage":
        parameters.setdefault("metric", "ip")
    if not isinstance(parameters, dict) or sorted(parameters) != PARAMETERS[manifest["family"]] or \
            not all(type(value) is int for key, value in parameters.items() if key != "metric") or \
            parameters.get("metric", "ip") not in METRICS:
        raise ValueError("parameters")
    if not isinstance(manifest["shards"], list):
        raise ValueError("shards")
    row, names = 0, set()  # shards hold consecutive rows in order: the merge's tie order relies on it
    for shard in manifest["shards"]:
        if not isinstance(shard, dict):
            raise ValueError("a shard that is not an object")
        name = shard["file"]
        if not isinstance(name, str) or name in ("", ".", "..") or name != os.path.basename(name):
            raise ValueError(f"shard file {name!r}")
        if name in names:
            raise ValueError(f"shard file {name!r} listed twice")
        names.add(name)
        if not _is_count(shard["first_row"]) or shard["first_row"] != row or not _is_count(shard["rows"]) or \
                not isinstance(shard["checksums"], str) or not re.fullmatch("[0-9a-f]{16}", shard["checksums"]):
            raise ValueError(f"shard {name!r}")
        row += shard["rows"]
    if row > MAX_ROWS or not _is_count(manifest["rows"]) or manifest["rows"] != row:
        raise ValueError("rows")


@dataclass
class ShardedIndex:
    """An index saved as shards in one directory that every worker can reach."""

    directory: str
    family: str
    parameters: dict[str, Any]
    shards: list[dict[str, Any]]

    @classmethod
    def open(cls, directory: str | os.PathLike[str]) -> ShardedIndex:
        path = Path(directory) / MANIFEST
        if path.is_dir():
            raise ShardError(f"{path} is not a quillane shard manifest of format {FORMAT} (it is a directory)")
        try:
            manifest = json.loads(path.read_text())
            _check_manifest(manifest)
        except (ValueError, KeyError, TypeError, RecursionError) as e:
            raise ShardError(f"{path} is not a quillane shard manifest of format {FORMAT} ({e!r})") from None
        return cls(str(Path(directory).resolve()), manifest["family"], manifest["parameters"], manifest["shards"])

    def __len__(self) -> int:
        return sum(s["rows"] for s in self.shards)

    def __repr__(self) -> str:
        return (f"ShardedIndex(directory={self.directory!r}, family={self.family!r}, parameters={self.parameters!r}, "
                f"rows={len(self)}, shards={len(self.shards)})")

    def search_batch(self, queries: np.ndarray, top_k: SupportsIndex, *, probes: SupportsIndex | None = None,
                     allow: np.ndarray | None = None, rerank: np.ndarray | None = None,
                     rerank_factor: SupportsIndex = 4,
                     client: Any = None, retries: int = 2) -> tuple[np.ndarray, np.ndarray]:
        """Row i: the top_k of one index holding every row, for queries[i].

        Each shard is searched on a worker (the same one each time when it is alive, so
        that its mapping is reused); a task whose worker dies is retried elsewhere up to
        `retries` times, and any failure raises: never a partial answer. probes (inverted
        files only, default 8): every shard opens the same lists, those of the centroids
        all its shards share, so the answer is that of one IvfIndex with those centroids.
        allow, rerank and rerank_factor (compact and inverted-file families) as for the
        index's own search_batch: every shard ranks only the allowed ids, and the merged
        rerank_factor * top_k candidates are re-ranked here by quillane.rerank.
        """
        from distributed import default_client

        # The module's own argument rules and messages, before any task is sent.
        store: dict[str, Any] = {}
        if allow is not None:
            store["allow"] = allow
        if rerank is not None:
            store.update(rerank=rerank, rerank_factor=rerank_factor)
        empty = _empty_index(self.family, *sorted(self.parameters.items()))
        if store and self.family == "two-stage":
            raise ValueError("allow and rerank apply to the compact and inverted-file families, not two-stage")
        if self.family == "ivf":
            probes = 8 if probes is None else probes
            empty.search_batch(queries, top_k, probes=probes, **store)
            probes = operator.index(probes)
        elif probes is not None:
            raise ValueError(f"probes applies to inverted-file indexes, not to family {self.family!r}")
        else:
            empty.search_batch(queries, top_k, **store)
        top_k = operator.index(top_k)
        client = client or default_client()

        def search(shards: list[dict[str, Any]]) -> tuple[np.ndarray, np.ndarray]:
            if not shards:
                return np.empty((len(queries), 0), np.uint64), np.empty((len(queries), 0), np.float32)
            # As one index clamps them: never more candidates than entries.
            total = sum(shard["rows"] for shard in shards)
            k = min(top_k, total)
            width = min(k * operator.index(rerank_factor), total) if rerank is not None else k
            workers = sorted(client.scheduler_info()["workers"])
            if not workers:
                raise ShardError(f"the cluster at {client.scheduler.address} has no workers to search {self.directory}")
            # The queries travel inside each task, so a retried task never waits on a dead
            # worker's copy of them.
            futures = []
            for i, shard in enumerate(shards):
                futures.append(client.submit(
                    _search_shard, os.path.join(self.directory, shard["file"]), shard["checksums"],
                    self.family, self.parameters, queries, width, probes, allow, pure=False, retries=retries,
                    workers=[workers[i % len(workers)]], allow_other_workers=True))
            metric = self.parameters.get("metric", "ip")
            merged = merge(client.gather(futures), width, ascending=metric == "l2")
            if rerank is None:
                return merged
            return quillane.rerank(queries, np.ascontiguousarray(merged[0]), rerank, top_k, metric=metric)

        found: tuple[np.ndarray, np.ndarray] = self._on_current_shards(search)
        return found

    def _on_current_shards(self, run: Any) -> Any:
        """run(shards) on this index's shard list, whole. In this process the list's files
        are pinned while run reads them: a remove swapping the list meanwhile deletes them
        only when the last search that uses them is done. A shard gone or changed all the
        same (a remove in another process replaced it) makes the manifest be read again,
        and run goes again on its new list."""
        for attempt in range(CURRENT_SHARD_ATTEMPTS):
            with _PINS:
                shards = self.shards  # a snapshot: remove replaces the list, never changes it
                paths = [os.path.join(self.directory, shard["file"]) for shard in shards]
                _PINS.pin(paths)
            try:
                return run(shards)
            except ShardError:
                if attempt + 1 == CURRENT_SHARD_ATTEMPTS:
                    raise
                try:
                    current = ShardedIndex.open(self.directory)
                except ShardError:
                    current = None
                if current is None or current.shards == shards or current.family != self.family or \
                        current.parameters != self.parameters:
                    raise
                with _PINS:
                    if self.shards is shards:
                        self.shards = current.shards
            finally:
                _PINS.unpin(paths)
        raise AssertionError("unreachable")

    def _each_shard(self, client: Any, function: Any, *args: Any) -> list[Any]:
        from distributed import default_client

        client = client or default_client()

        def each(shards: list[dict[str, Any]]) -> list[Any]:
            results: list[Any] = client.gather([client.submit(function, os.path.join(self.directory, shard["file"]),
                                                              shard["checksums"], self.family, self.parameters, *args,
                                                              pure=False) for shard in shards])
            return results

        found: list[Any] = self._on_current_shards(each)
        return found

    def ids(self, *, client: Any = None) -> np.ndarray:
        """Every stored id, in row order (uint64)."""
        parts = self._each_shard(client, _shard_task, "ids", np.empty(0, np.uint64))
        return np.concatenate(parts) if parts else np.empty(0, np.uint64)

    def contains(self, ids: np.ndarray, *, client: Any = None) -> np.ndarray:
        """For each id, whether some shard holds it (bool array)."""
        ids = np.asarray(ids, dtype=np.uint64)
        held: np.ndarray = np.logical_or.reduce([np.zeros(len(ids), bool)] +
                                                self._each_shard(client, _shard_task, "contains", ids))
        return held

    def reconstruct(self, ids: np.ndarray, *, client: Any = None) -> np.ndarray:
        """The decoding of each id's first stored entry, in row order, as one index gives
        it; KeyError(id) for an id no shard holds."""
        ids = np.asarray(ids, dtype=np.uint64)
        out = np.zeros((len(ids), self.parameters["dim"]), np.float32)
        found = np.zeros(len(ids), bool)
        for rows, held in self._each_shard(client, _shard_task, "reconstruct", ids):
            fresh = held & ~found
            out[fresh], found[fresh] = rows[fresh], True
        if not found.all():
            raise KeyError(int(ids[np.argmin(found)]))
        return out

    def remove(self, ids: np.ndarray, *, client: Any = None) -> int:
        """Remove every entry stored under any of `ids` from every shard, as one index's
        remove would; returns how many. Each changed shard is written under a new name,
        then the manifest is replaced at once, then the old files go: a crash leaves the
        old index or the new one, never a mixture."""
        if self.family == "two-stage":
            raise ValueError("remove applies to the compact and inverted-file families, not two-stage")
        ids = np.asarray(ids)
        _empty_index(self.family, *sorted(self.parameters.items())).remove(ids)  # the index's checks
        directory = Path(self.directory)
        with _building(directory):
            from distributed import default_client

            client = client or default_client()
            # Under the directory's lock, from the manifest as it stands: another process
            # may have removed entries since this object read it.
            current = ShardedIndex.open(directory)
            if current.family != self.family or current.parameters != self.parameters:
                raise ShardError(f"{directory / MANIFEST} now holds another index ({current.family}, "
                                 f"{current.parameters}) than this one ({self.family}, {self.parameters})")
            self.shards = current.shards
            names = [f"shard-{i:05d}-{uuid.uuid4().hex[:8]}.qli" for i in range(len(self.shards))]
            results = client.gather([client.submit(
                _remove_from_shard, os.path.join(self.directory, shard["file"]), shard["checksums"], self.family,
                self.parameters, ids, str(directory / names[i]), pure=False) for i, shard in enumerate(self.shards)])
            if all(r is None for r in results):
                return 0
            shards, row, removed, replaced = [], 0, 0, []
            for shard, result in zip(self.shards, results):
                if result is not None:
                    replaced.append(shard["file"])
                    removed += result.pop("removed")
                    shard = result
                shards.append({"file": shard["file"], "first_row": row, "rows": shard["rows"],
                               "checksums": shard["checksums"]})
                row += shard["rows"]
            manifest = {"format": FORMAT, "family": self.family, "parameters": self.parameters, "rows": row,
                        "shards": shards}
            _write_durably(directory / MANIFEST, json.dumps(manifest, indent=1) + "\n")
            with _PINS:
                self.shards = shards
                for name in replaced:
                    _PINS.retire(str(directory / name))
        return removed


def build(vectors: Any, directory: str | os.PathLike[str], *, family: str = "compact",
          bits: int = 4, seed: int = 42, projections: int | None = None, ids: Any = None,
          lists: int | None = None, iterations: int = 10, metric: str = "ip", client: Any = None) -> ShardedIndex:
    """Encode every row into one shard per chunk, on the workers holding the rows.

    `vectors`: a Dask array of shape (n, dim) with known chunk sizes, chunked by rows, or a
    list of .npy files of rows of one dim (each memory-mapped on a worker). ids: the global
    row numbers unless given (a NumPy or Dask array of n non-negative integers, only with
    a Dask array of vectors). family="ivf" needs `lists`: the centroids are trained once,
    in one task, on at most 256 rows per list chosen by the seed, and every shard is built
    against them. metric: "ip", "cosine" or "l2", for the compact and inverted-file families.
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
            raise ValueError(f"metric {metric!r} applies to the compact and inverted-file families, not two-stage")
        parameters["projections"] = int(projections if projections is not None else max(1, dim // 4))
    else:
        parameters["metric"] = metric
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


LOCK = ".quillane-build.lock"


@contextlib.contextmanager
def _building(directory: Path) -> Iterator[None]:
    """Holds the directory's build lock: a second build into it, from this process or any
    other on a filesystem with working locks, fails at once instead of mixing two builds'
    files. The lock ends with the build, or with its process."""
    path = directory / LOCK
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise ShardError(f"another build into {directory} is running (it holds {path})") from None
        # The lock file may have been removed by the build that held it, between our open
        # and our lock: then another build may hold a lock on a new file of that name.
        if not os.path.exists(path) or os.stat(path).st_ino != os.fstat(fd).st_ino:
            raise ShardError(f"another build into {directory} is running (it holds {path})")
        try:
            yield
        finally:
            os.unlink(path)
    finally:
        os.close(fd)


def _write_durably(path: Path, text: str) -> None:
    """Write, flush to disk, rename, flush the directory: after a crash the file is
    either the old one or the whole new one, never torn. The temporary name is this
    write's own."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}-{uuid.uuid4().hex[:12]}.tmp")
    try:
        with open(temporary, "w") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    directory = os.open(path.parent, os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)
