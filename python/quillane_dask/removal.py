"""Removal from a sharded index: every changed shard written under a new name on a worker,
then the manifest replaced at once, then the old files retired (deleted once no search of
this process reads them)."""
from __future__ import annotations

import json
import os
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .manifest import FAMILIES, FORMAT, MANIFEST, ShardError, _building, _empty_index, _header, _write_durably
from .shards import _PINS, _open_shard

if TYPE_CHECKING:
    from .search import ShardedIndex

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



def remove(index: ShardedIndex, ids: np.ndarray, client: Any) -> int:
    """ShardedIndex.remove's work (see there)."""
    if index.family == "two-stage":
        raise ValueError("remove applies to the compact, inverted-file and graph families, not two-stage")
    ids = np.asarray(ids)
    _empty_index(index.family, *sorted(index.parameters.items())).remove(ids)  # the index's checks
    directory = Path(index.directory)
    with _building(directory):
        from distributed import default_client

        client = client or default_client()
        # Under the directory's lock, from the manifest as it stands: another process
        # may have removed entries since this object read it.
        current = type(index).open(directory)
        if current.family != index.family or current.parameters != index.parameters:
            raise ShardError(f"{directory / MANIFEST} now holds another index ({current.family}, "
                             f"{current.parameters}) than this one ({index.family}, {index.parameters})")
        index.shards = current.shards
        names = [f"shard-{i:05d}-{uuid.uuid4().hex[:8]}.qli" for i in range(len(index.shards))]
        results = client.gather([client.submit(
            _remove_from_shard, os.path.join(index.directory, shard["file"]), shard["checksums"], index.family,
            index.parameters, ids, str(directory / names[i]), pure=False) for i, shard in enumerate(index.shards)])
        if all(r is None for r in results):
            return 0
        shards, row, removed, replaced = [], 0, 0, []
        for shard, result in zip(index.shards, results):
            if result is not None:
                replaced.append(shard["file"])
                removed += result.pop("removed")
                shard = result
            shards.append({"file": shard["file"], "first_row": row, "rows": shard["rows"],
                           "checksums": shard["checksums"]})
            row += shard["rows"]
        manifest = {"format": FORMAT, "family": index.family, "parameters": index.parameters, "rows": row,
                    "shards": shards}
        _write_durably(directory / MANIFEST, json.dumps(manifest, indent=1) + "\n")
        with _PINS:
            index.shards = shards
            for name in replaced:
                _PINS.retire(str(directory / name))
    return removed
