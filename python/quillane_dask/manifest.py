"""The manifest and what it names: the families and their integers, a shard file's header,
the manifest's checks, its durable writing, and the directory's lock
(docs/sharded-manifest.md)."""
from __future__ import annotations

import contextlib
import fcntl
import functools
import os
import re
import struct
import uuid
from pathlib import Path
from typing import Any, Iterator

import quillane

MANIFEST = "manifest.json"
FORMAT = 1
FAMILIES: dict[str, Any] = {"compact": quillane.CompactIndex, "two-stage": quillane.VectorIndex,
                             "ivf": quillane.IvfIndex, "graph": quillane.GraphIndex}
# The integers of each family's quantizer, and the compact families' metric, as the manifest
# lists them.
PARAMETERS = {"compact": ["bits", "dim", "metric", "projections", "seed"],
              "two-stage": ["bits", "dim", "projections", "seed"], "ivf": ["bits", "dim", "lists", "metric", "seed"],
              "graph": ["bits", "degree", "dim", "metric", "seed"]}
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
    if family == "graph":
        return quillane.GraphIndex(parameters["dim"], degree=parameters["degree"], bits=parameters["bits"],
                                   seed=parameters["seed"], metric=parameters["metric"])
    return quillane.VectorIndex(parameters["dim"], parameters["bits"], parameters["projections"],
                                parameters["seed"])


@functools.lru_cache(maxsize=8)
def _empty_index(family: str, *parameters: tuple[str, int]) -> Any:
    """An empty index of these integers, kept: its search checks arguments and returns."""
    return _new_index(family, dict(parameters))


FAMILY_TAGS = {"two-stage": 1, "compact": 2, "ivf": 3, "graph": 4}
# What each family keeps in the header's third integer (offset 24).
THIRD_INTEGER = {"two-stage": "projections", "compact": "projections", "ivf": "lists", "graph": "degree"}


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
    integers: dict[str, Any] = {"family": tag, "dim": dim, "bits": bits, "seed": seed,
                                THIRD_INTEGER.get(tag, "projections"): projections}
    if tag != "two-stage":
        # Format version 2 holds the metric in summary word 1; version 1 is inner product.
        version, word = struct.unpack_from("<H", head, 8)[0], struct.unpack_from("<I", head, 52)[0]
        integers["metric"] = METRICS[word] if version == 2 and word < len(METRICS) else "ip"
    return "%08x%08x" % struct.unpack_from("<II", head, 56), integers


MAX_ROWS = 2**63 - 1  # len() must hold the total


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
