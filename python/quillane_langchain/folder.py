"""The folder save_local writes: an index file under a new name each time and a documents
file naming it and its checksums, replaced at once (docs/langchain-store.md)."""
from __future__ import annotations

import json
import os
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, Any

from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings

import quillane

if TYPE_CHECKING:
    from .store import QuillaneVectorStore

DOCUMENTS_FORMAT = 1


def save(store: QuillaneVectorStore, folder_path: str | os.PathLike[str], index_name: str) -> None:
    """QuillaneVectorStore.save_local's work (see there)."""
    folder = Path(folder_path)
    folder.mkdir(parents=True, exist_ok=True)
    with store._lock:
        index_file = None
        if store._index is not None:
            index_file = f"{index_name}.{uuid.uuid4().hex[:12]}.qli"
            store._index.save(folder / index_file)
        record = {
            "format": DOCUMENTS_FORMAT,
            "index_file": index_file,
            "index_class": type(store._index).__name__ if store._index is not None else None,
            "checksums": _checksums(folder / index_file) if index_file else None,
            "options": {"bits": store._bits, "metric": store._metric, "seed": store._seed, "probes": store._probes,
                        "ef": store._ef},
            "next_key": store._next_key,
            "documents": [[key, doc.id, doc.page_content, doc.metadata] for key, doc in store._documents.items()],
        }
        try:
            for doc in store._documents.values():
                _refuse_keys_json_changes(doc.metadata)
            text = json.dumps(record)
        except (TypeError, ValueError) as e:
            if index_file:
                (folder / index_file).unlink(missing_ok=True)
            raise TypeError(f"a document's metadata cannot be saved as JSON: {e}") from None
        target = folder / f"{index_name}.json"
        previous = _index_file_of(target)
        _write_durably(target, text)
        if previous and previous != index_file:
            (folder / previous).unlink(missing_ok=True)


def load(cls: type[QuillaneVectorStore], folder_path: str | os.PathLike[str], embeddings: Embeddings,
         index_name: str) -> QuillaneVectorStore:
    """QuillaneVectorStore.load_local's work (see there)."""
    folder = Path(folder_path)
    target = folder / f"{index_name}.json"
    try:
        record = json.loads(target.read_text())
        options = record["options"]
        store = cls(embeddings, bits=options["bits"], metric=options["metric"], seed=options["seed"],
                    probes=options["probes"], ef=options.get("ef", 64))  # files before graphs: no ef
        documents, index_file = record["documents"], record["index_file"]
        next_key = record["next_key"]
        valid = record["format"] == DOCUMENTS_FORMAT and isinstance(documents, list) and \
            type(next_key) is int and 0 <= next_key < 2**64
    except (OSError, ValueError, KeyError, TypeError) as e:
        if isinstance(e, FileNotFoundError):
            raise
        raise ValueError(f"{target} is not a quillane_langchain documents file ({e!r})") from None
    if not valid:
        raise ValueError(f"{target} is not a quillane_langchain documents file of format {DOCUMENTS_FORMAT}")
    if index_file is not None:
        path = folder / index_file
        if not path.is_file() or _checksums(path) != record["checksums"]:
            raise ValueError(f"{target} does not belong to the index file {path}: it is missing or was changed")
        if record["index_class"] in ("IvfIndex", "CompactIndex", "GraphIndex"):
            store._index = getattr(quillane, record["index_class"]).load(path)
        else:
            raise ValueError(f"{target} names an unknown index class {record['index_class']!r}")
    try:
        for key, string_id, text, metadata in documents:
            if type(key) is not int or not 0 <= key < next_key or not isinstance(string_id, str) or \
                    not isinstance(text, str) or not isinstance(metadata, dict):
                raise ValueError("each document is [key (an int below next_key), id (str), text (str), "
                                 f"metadata (an object)], got {[key, string_id, text, metadata]!r:.200}")
            store._documents[key] = Document(page_content=text, metadata=metadata, id=string_id)
            store._keys[string_id] = key
    except (TypeError, ValueError) as e:
        raise ValueError(f"{target} holds a malformed document ({e!r})") from None
    stored = store._index.ids().tolist() if store._index is not None else []
    if sorted(stored) != sorted(store._documents) or len(store._keys) != len(store._documents):
        raise ValueError(f"{target} does not hold the documents of the index file {index_file}")
    store._next_key = next_key
    return store


def _refuse_keys_json_changes(value: Any) -> None:
    """TypeError for a mapping key that JSON would turn into a string (1 comes back as
    "1", and a filter on it stops matching), at any depth of the metadata."""
    if isinstance(value, dict):
        for key, item in value.items():
            if not isinstance(key, str):
                raise TypeError(f"metadata keys must be strings, got {key!r} ({type(key).__name__}): JSON would "
                                f"bring it back as {json.dumps(str(key))}")
            _refuse_keys_json_changes(item)
    elif isinstance(value, (list, tuple)):
        for item in value:
            _refuse_keys_json_changes(item)


def _checksums(path: Path) -> str:
    """An index file's body and header CRC-32s: its bytes 56 to 63, in hex."""
    with open(path, "rb") as f:
        head = f.read(64)
    return head[56:64].hex()


def _index_file_of(documents_file: Path) -> str | None:
    try:
        name = json.loads(documents_file.read_text()).get("index_file")
        return name if isinstance(name, str) and name == os.path.basename(name) else None
    except (OSError, ValueError, AttributeError):
        return None


def _write_durably(path: Path, text: str) -> None:
    """Write, flush to disk, rename, flush the directory: the file is the old one or the
    whole new one, never torn."""
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
