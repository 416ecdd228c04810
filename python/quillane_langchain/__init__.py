"""quillane as a LangChain vector store.

    from langchain_core.embeddings import DeterministicFakeEmbedding
    from quillane_langchain import QuillaneVectorStore

    store = QuillaneVectorStore(DeterministicFakeEmbedding(size=64))
    store.add_texts(["a cat", "a dog"], metadatas=[{"kind": "cat"}, {"kind": "dog"}])
    store.similarity_search("cat", k=1, filter={"kind": "cat"})
    store.save_local("my-store")
    store = QuillaneVectorStore.load_local("my-store", DeterministicFakeEmbedding(size=64))

The vectors live in a quillane index (a CompactIndex, or an IvfIndex given trained), each
under an integer key of its own; the texts, metadata and string ids live beside it in
this store. Re-adding a string id replaces its document. A metadata filter (a dict of
required values, or a function of the metadata) becomes the index's allow-list, so a
filtered search ranks exactly the matching documents. save_local writes the index file
under a new name, then the documents file (which names that index file and its
checksums) by a temporary file renamed over the old one, then removes the old index file:
a crash leaves the old pair or the new one.
"""
from __future__ import annotations

import json
import math
import os
import threading
import uuid
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any, Literal, cast

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

import quillane

__all__ = ["QuillaneVectorStore"]

Filter = dict[str, Any] | Callable[[dict[str, Any]], bool]
DOCUMENTS_FORMAT = 1


class QuillaneVectorStore(VectorStore):
    """A LangChain vector store over a quillane index.

    Args:
        embedding: The embeddings model for texts and queries.
        bits: Bits per coordinate of the codes (1 to 8): 8 ranks almost as float32 does,
            4 takes half the memory at a small loss of recall.
        metric: "cosine" (default: most text embeddings are compared so), "ip" or "l2".
        index: None (a CompactIndex made at the first add, when the dimension is known),
            or an empty CompactIndex or trained IvfIndex to store the vectors in (its own
            bits and metric then hold).
        probes: The lists an IvfIndex searches per query.
        seed: The seed of the CompactIndex made here.
    """

    def __init__(self, embedding: Embeddings, *, bits: int = 8, metric: str = "cosine",
                 index: quillane.CompactIndex | quillane.IvfIndex | None = None, probes: int = 8,
                 seed: int = 42) -> None:
        if index is not None:
            if not isinstance(index, (quillane.CompactIndex, quillane.IvfIndex)):
                raise TypeError(f"index must be a quillane.CompactIndex or IvfIndex, got {type(index).__name__}")
            if len(index) != 0:
                raise ValueError(f"index must be empty, it holds {len(index)} entries")
            if isinstance(index, quillane.IvfIndex) and not index.trained:
                raise ValueError("an IvfIndex must be trained before it stores documents")
        elif metric not in ("cosine", "ip", "l2"):
            raise ValueError(f"metric must be 'cosine', 'ip' or 'l2', got {metric!r}")
        self._embedding = embedding
        self._bits, self._metric, self._seed, self._probes = bits, metric, seed, probes
        self._index = index
        self._documents: dict[int, Document] = {}  # key -> document (its id set)
        self._keys: dict[str, int] = {}  # string id -> key
        self._next_key = 0
        self._lock = threading.RLock()

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def index(self) -> quillane.CompactIndex | quillane.IvfIndex | None:
        """The quillane index holding the vectors (None until the first add)."""
        return self._index

    def __len__(self) -> int:
        return len(self._documents)

    # Adding and removing

    def add_texts(self, texts: Iterable[str], metadatas: list[dict[str, Any]] | None = None, *,
                  ids: list[str] | None = None, **kwargs: Any) -> list[str]:
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"{len(metadatas)} metadatas for {len(texts)} texts")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"{len(ids)} ids for {len(texts)} texts")
        documents = [Document(page_content=text, metadata=dict(metadatas[i]) if metadatas else {},
                              id=ids[i] if ids else None) for i, text in enumerate(texts)]
        return self.add_documents(documents)

    def add_documents(self, documents: list[Document], **kwargs: Any) -> list[str]:
        """Embed and store the documents; ids (kwarg, else each document's own, else a new
        UUID) that are already stored replace their documents. All or nothing."""
        ids: list[str | None] | None = kwargs.get("ids")
        if ids is not None and len(ids) != len(documents):
            raise ValueError(f"{len(ids)} ids for {len(documents)} documents")
        # An id given is the id kept, even "": only a missing one (None) gets a new UUID.
        chosen = [str(_first_given(ids[i] if ids is not None else None, doc.id, uuid.uuid4()))
                  for i, doc in enumerate(documents)]
        if not documents:
            return []
        vectors = np.asarray(self._embedding.embed_documents([d.page_content for d in documents]), dtype=np.float32)
        with self._lock:
            index = self._index_for(vectors.shape[1])
            keys = np.arange(self._next_key, self._next_key + len(documents), dtype=np.uint64)
            index.add_batch(keys, np.ascontiguousarray(vectors))  # raises before anything changes
            self._next_key += len(documents)
            replaced = []
            for key, string_id, doc in zip(keys.tolist(), chosen, documents):
                if string_id in self._keys:
                    replaced.append(self._keys.pop(string_id))
                    self._documents.pop(replaced[-1], None)
                self._keys[string_id] = key
                self._documents[key] = Document(page_content=doc.page_content, metadata=dict(doc.metadata),
                                                id=string_id)
            # Replaced documents (also those of an id given twice in one call) leave the index.
            if replaced:
                index.remove(np.asarray(replaced, dtype=np.uint64))
        return chosen

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool:
        """Remove the documents of these ids (missing ones are ignored); None removes all."""
        with self._lock:
            if ids is None:
                ids = list(self._keys)
            keys = [self._keys.pop(i) for i in ids if i in self._keys]
            for key in keys:
                del self._documents[key]
            if keys and self._index is not None:
                self._index.remove(np.asarray(keys, dtype=np.uint64))
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        with self._lock:
            return [self._copy(self._documents[self._keys[i]]) for i in ids if i in self._keys]

    # Searching

    def similarity_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, **kwargs)]

    def similarity_search_with_score(self, query: str, k: int = 4, **kwargs: Any) -> list[tuple[Document, float]]:
        """The k best documents with their scores: the estimated cosine or inner product
        (higher is closer), or the estimated squared distance under l2 (lower is closer)."""
        return self.similarity_search_with_score_by_vector(self._embedding.embed_query(query), k, **kwargs)

    def similarity_search_by_vector(self, embedding: list[float], k: int = 4, **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, **kwargs)]

    def similarity_search_with_score_by_vector(self, embedding: list[float], k: int = 4, *,
                                               filter: Filter | None = None, **kwargs: Any
                                               ) -> list[tuple[Document, float]]:
        with self._lock:
            keys, scores = self._search(embedding, k, filter)
            return [(self._copy(self._documents[key]), score) for key, score in zip(keys, scores)]

    def max_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20, lambda_mult: float = 0.5,
                                      **kwargs: Any) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(self._embedding.embed_query(query), k, fetch_k,
                                                            lambda_mult, **kwargs)

    def max_marginal_relevance_search_by_vector(self, embedding: list[float], k: int = 4, fetch_k: int = 20,
                                                lambda_mult: float = 0.5, *, filter: Filter | None = None,
                                                **kwargs: Any) -> list[Document]:
        """MMR over the fetch_k best documents, their vectors decoded from the index."""
        with self._lock:
            keys, _ = self._search(embedding, fetch_k, filter)
            if not keys:
                return []
            assert self._index is not None
            vectors = self._index.reconstruct(np.asarray(keys, dtype=np.uint64))
            chosen = maximal_marginal_relevance(np.asarray(embedding, dtype=np.float32), list(vectors),
                                                lambda_mult=lambda_mult, k=k)
            return [self._copy(self._documents[keys[i]]) for i in chosen]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        """Scores to relevance in [0, 1], for embeddings of unit length."""
        if self.metric == "l2":
            return lambda d: 1.0 - math.sqrt(max(d, 0.0)) / math.sqrt(2.0)
        return lambda s: (1.0 + s) / 2.0

    @property
    def metric(self) -> str:
        return self._index.metric if self._index is not None else self._metric

    @classmethod
    def from_texts(cls, texts: list[str], embedding: Embeddings, metadatas: list[dict[str, Any]] | None = None, *,
                   ids: list[str] | None = None, **kwargs: Any) -> QuillaneVectorStore:
        store = cls(embedding, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    # Saving and loading

    def save_local(self, folder_path: str | os.PathLike[str], index_name: str = "index") -> None:
        """Write the index file and the documents file into the folder, the pair replaced
        at once (see the module's docstring)."""
        folder = Path(folder_path)
        folder.mkdir(parents=True, exist_ok=True)
        with self._lock:
            index_file = None
            if self._index is not None:
                index_file = f"{index_name}.{uuid.uuid4().hex[:12]}.qli"
                self._index.save(folder / index_file)
            record = {
                "format": DOCUMENTS_FORMAT,
                "index_file": index_file,
                "index_class": type(self._index).__name__ if self._index is not None else None,
                "checksums": _checksums(folder / index_file) if index_file else None,
                "options": {"bits": self._bits, "metric": self._metric, "seed": self._seed, "probes": self._probes},
                "next_key": self._next_key,
                "documents": [[key, doc.id, doc.page_content, doc.metadata] for key, doc in self._documents.items()],
            }
            try:
                for doc in self._documents.values():
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

    @classmethod
    def load_local(cls, folder_path: str | os.PathLike[str], embeddings: Embeddings, index_name: str = "index",
                   **kwargs: Any) -> QuillaneVectorStore:
        """The store save_local wrote; a documents file that is damaged or does not belong
        to its index file raises ValueError."""
        folder = Path(folder_path)
        target = folder / f"{index_name}.json"
        try:
            record = json.loads(target.read_text())
            options = record["options"]
            store = cls(embeddings, bits=options["bits"], metric=options["metric"], seed=options["seed"],
                        probes=options["probes"])
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
            if record["index_class"] == "IvfIndex":
                store._index = quillane.IvfIndex.load(path)
            elif record["index_class"] == "CompactIndex":
                store._index = quillane.CompactIndex.load(path)
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

    # Helpers

    def _index_for(self, dim: int) -> quillane.CompactIndex | quillane.IvfIndex:
        if self._index is None:
            metric = cast(Literal["ip", "cosine", "l2"], self._metric)  # checked by the constructor
            self._index = quillane.CompactIndex(dim, self._bits, self._seed, metric=metric)
        elif self._index.dim != dim:
            raise ValueError(f"embeddings of dimension {dim} for an index of dimension {self._index.dim}")
        return self._index

    def _allowed(self, filter: Filter) -> np.ndarray:
        match: Callable[[dict[str, Any]], bool]
        if callable(filter):
            match = filter
        elif isinstance(filter, dict):
            wanted = filter
            match = lambda metadata: all(k in metadata and metadata[k] == v for k, v in wanted.items())  # noqa: E731
        else:
            raise TypeError(f"filter must be a dict of metadata values or a function of the metadata, got {type(filter).__name__}")
        return np.asarray([key for key, doc in self._documents.items() if match(doc.metadata)], dtype=np.uint64)

    def _search(self, embedding: list[float], k: int, filter: Filter | None) -> tuple[list[int], list[float]]:
        if self._index is None or not self._documents or k <= 0:
            return [], []
        query = np.asarray(embedding, dtype=np.float32)
        extra: dict[str, Any] = {}
        if filter is not None:
            extra["allow"] = self._allowed(filter)
        if isinstance(self._index, quillane.IvfIndex):
            extra["probes"] = self._probes
        ids, scores = self._index.search(query, k, **extra)
        keep = ids != quillane.NO_ID
        return ids[keep].tolist(), scores[keep].tolist()

    @staticmethod
    def _copy(doc: Document) -> Document:
        return Document(page_content=doc.page_content, metadata=dict(doc.metadata), id=doc.id)


def _first_given(*candidates: object) -> object:
    return next(c for c in candidates if c is not None)


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
