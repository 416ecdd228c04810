"""Searching a sharded index: every shard on a worker, the per-shard top-k lists merged
exactly; ShardedIndex, what a manifest opens."""
from __future__ import annotations

import json
import operator
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Sequence, SupportsIndex

import numpy as np

import quillane

from . import removal
from .manifest import FORMAT, MANIFEST, ShardError, _check_manifest, _empty_index
from .shards import _PINS, _search_shard, _shard_task

# How many shard lists a search tries when removes keep replacing the one it read.
CURRENT_SHARD_ATTEMPTS = 4


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
                     ef: SupportsIndex | None = None, allow: np.ndarray | None = None, rerank: np.ndarray | None = None,
                     rerank_factor: SupportsIndex = 4,
                     client: Any = None, retries: int = 2) -> tuple[np.ndarray, np.ndarray]:
        """Row i: the top_k of one index holding every row, for queries[i].

        Each shard is searched on a worker (the same one each time when it is alive, so
        that its mapping is reused); a task whose worker dies is retried elsewhere up to
        `retries` times, and any failure raises: never a partial answer. probes (inverted
        files only, default 8): every shard opens the same lists, those of the centroids
        all its shards share, so the answer is that of one IvfIndex with those centroids.
        ef (graphs only, default 64): every shard's walk keeps max(ef, its top k) vertices;
        the answer is the merge of each shard's GraphIndex answer (the graphs differ from
        one graph of every row, so the answer may too). allow, rerank and rerank_factor (every
        family but two-stage) as for the index's own search_batch: every shard ranks only the
        allowed ids, and the merged rerank_factor * top_k candidates (each shard's best as
        many) are re-ranked here by quillane.rerank.
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
            raise ValueError("allow and rerank apply to the compact, inverted-file and graph families, not two-stage")
        if probes is not None and self.family != "ivf":
            raise ValueError(f"probes applies to inverted-file indexes, not to family {self.family!r}")
        if ef is not None and self.family != "graph":
            raise ValueError(f"ef applies to graph indexes, not to family {self.family!r}")
        walk: dict[str, Any] = {}  # what each shard's search is given beside top_k
        if self.family == "ivf":
            walk["probes"] = 8 if probes is None else probes
        if self.family == "graph":
            walk["ef"] = 64 if ef is None else ef
        empty.search_batch(queries, top_k, **walk, **store)  # the index's own checks and messages
        walk = {key: operator.index(value) for key, value in walk.items()}
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
                    self.family, self.parameters, queries, width, walk, allow, pure=False, retries=retries,
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
        return removal.remove(self, ids, client)
