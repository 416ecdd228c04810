"""On the workers: each shard mapped once and kept, searched and read there; in every
process, the shard files its searches are reading (pinned against removal)."""
from __future__ import annotations

import os
import threading
from pathlib import Path
from typing import Any

import numpy as np

from .manifest import FAMILIES, ShardError, _header

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
                  queries: np.ndarray, top_k: int, walk: dict[str, int],
                  allow: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """On a worker: one shard's top-k for every query (the shard stays mapped); `walk`
    holds an inverted file's probes or a graph's ef."""
    index = _open_shard(path, checksums, family, parameters)
    extra: dict[str, Any] = dict(walk) if allow is None else {"allow": allow, **walk}
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
