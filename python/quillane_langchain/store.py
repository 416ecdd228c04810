"""QuillaneVectorStore: LangChain's VectorStore over a quillane index (see the package's
docstring)."""
from __future__ import annotations

import math
import os
import threading
import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal, cast

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

import quillane

from . import folder

Filter = dict[str, Any] | Callable[[dict[str, Any]], bool]
Index = quillane.CompactIndex | quillane.IvfIndex | quillane.GraphIndex


class QuillaneVectorStore(VectorStore):
    """A LangChain vector store over a quillane index.

    Args:
        embedding: The embeddings model for texts and queries.
        bits: Bits per coordinate of the codes (1 to 8): 8 ranks almost as float32 does,
            4 takes half the memory at a small loss of recall.
        metric: "cosine" (default: most text embeddings are compared so), "ip" or "l2".
        index: None (a CompactIndex made at the first add, when the dimension is known),
            or an empty CompactIndex, trained IvfIndex or GraphIndex to store the vectors
            in (its own bits and metric then hold). A GraphIndex answers large stores
            fastest at high recall; a CompactIndex scores every document exactly from its
            code.
        probes: The lists an IvfIndex searches per query.
        ef: The vertices a GraphIndex's walk keeps (at least k): wider finds more of the
            true nearest, slower.
        seed: The seed of the CompactIndex made here.
    """

    def __init__(self, embedding: Embeddings, *, bits: int = 8, metric: str = "cosine",
                 index: Index | None = None, probes: int = 8, seed: int = 42, ef: int = 64) -> None:
        if index is not None:
            if not isinstance(index, (quillane.CompactIndex, quillane.IvfIndex, quillane.GraphIndex)):
                raise TypeError(f"index must be a quillane.CompactIndex, IvfIndex or GraphIndex, "
                                f"got {type(index).__name__}")
            if len(index) != 0:
                raise ValueError(f"index must be empty, it holds {len(index)} entries")
            if isinstance(index, quillane.IvfIndex) and not index.trained:
                raise ValueError("an IvfIndex must be trained before it stores documents")
        elif metric not in ("cosine", "ip", "l2"):
            raise ValueError(f"metric must be 'cosine', 'ip' or 'l2', got {metric!r}")
        self._embedding = embedding
        self._bits, self._metric, self._seed, self._probes, self._ef = bits, metric, seed, probes, ef
        self._index = index
        self._documents: dict[int, Document] = {}  # key -> document (its id set)
        self._keys: dict[str, int] = {}  # string id -> key
        self._next_key = 0
        self._lock = threading.RLock()

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def index(self) -> Index | None:
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
        at once (see the package's docstring)."""
        folder.save(self, folder_path, index_name)

    @classmethod
    def load_local(cls, folder_path: str | os.PathLike[str], embeddings: Embeddings, index_name: str = "index",
                   **kwargs: Any) -> QuillaneVectorStore:
        """The store save_local wrote; a documents file that is damaged or does not belong
        to its index file raises ValueError."""
        return folder.load(cls, folder_path, embeddings, index_name)

    # Helpers

    def _index_for(self, dim: int) -> Index:
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
        if isinstance(self._index, quillane.GraphIndex):
            extra["ef"] = self._ef
        ids, scores = self._index.search(query, k, **extra)
        keep = ids != quillane.NO_ID
        return ids[keep].tolist(), scores[keep].tolist()

    @staticmethod
    def _copy(doc: Document) -> Document:
        return Document(page_content=doc.page_content, metadata=dict(doc.metadata), id=doc.id)



def _first_given(*candidates: object) -> object:
    return next(c for c in candidates if c is not None)
