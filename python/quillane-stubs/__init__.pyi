"""Type information for the quillane extension module.

Every batch method takes threads=None (every core this process may run on) or a positive
number of threads, releases the interpreter lock while it computes, and gives results
identical to the one-at-a-time calls whatever the thread count.
"""

import os
from collections.abc import Sequence
from typing import Any, Literal, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["TurboQuantizer", "VectorIndex", "CompactQuantizer", "CompactIndex", "IvfIndex", "GraphIndex", "NO_ID", "rerank"]

__version__: str

_Metric = Literal["ip", "cosine", "l2"]

# What the compact classes and rerank take as vectors: any real floating dtype and any
# strides, converted once to C-contiguous float32 (the two-stage classes take float32 only).
_FloatArray = npt.NDArray[np.floating[Any]]
# Ids of the compact and graph classes: an integer array, or a sequence of integers.
_IdArray = npt.NDArray[np.integer] | Sequence[SupportsIndex]

NO_ID: int
"""2**64 - 1: the id of padding entries in CompactIndex and IvfIndex results, never stored."""

def rerank(
    queries: _FloatArray,
    candidates: npt.NDArray[np.uint64],
    vectors: _FloatArray,
    top_k: SupportsIndex,
    *,
    metric: _Metric = "ip",
    threads: SupportsIndex | None = None,
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
    """Each query's candidate ids ordered by the exact metric on rows of `vectors` (row i: id i)."""

@final
class TurboQuantizer:
    """Two-stage vector quantization (Polar + QJL) with unbiased inner-product estimates.

    Codes are 16 + 3 * dim + ceil(projections / 8) bytes at every bit width (1 to 16).
    """

    def __new__(
        cls, dim: SupportsIndex, bits: SupportsIndex = 4, projections: SupportsIndex | None = None, seed: SupportsIndex = 42
    ) -> TurboQuantizer:
        """A two-stage quantizer (polar codes and a sign sketch of the residual); (dim, bits, projections, seed) fix every code."""
    def encode(self, vector: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
        """Encode a vector to compact bytes."""
    def decode(self, code: npt.NDArray[np.uint8]) -> npt.NDArray[np.float32]:
        """Decode a compressed code back to an approximate vector."""
    def inner_product(
        self, code: npt.NDArray[np.uint8], query: npt.NDArray[np.float32]
    ) -> float:
        """Estimate inner product between a compressed code and a query vector."""
    def encode_batch(
        self, vectors: npt.NDArray[np.float32], *, threads: SupportsIndex | None = None
    ) -> npt.NDArray[np.uint8]:
        """Every row of a C-contiguous (n, dim) array encoded: (n, code_size_bytes), row i = encode(vectors[i])."""
    def decode_batch(
        self, codes: npt.NDArray[np.uint8], *, threads: SupportsIndex | None = None
    ) -> npt.NDArray[np.float32]:
        """Every row of an (n, code_size_bytes) array decoded: (n, dim), row i = decode(codes[i])."""
    def inner_product_batch(
        self,
        codes: npt.NDArray[np.uint8],
        queries: npt.NDArray[np.float32],
        *,
        threads: SupportsIndex | None = None,
    ) -> npt.NDArray[np.float32]:
        """(n, m) estimates: entry [i, j] = inner_product(codes[i], queries[j])."""
    @property
    def dim(self) -> int:
        """Return the vector dimension."""
    @property
    def code_size_bytes(self) -> int:
        """Return the compressed code size in bytes (cached at construction)."""

@final
class VectorIndex:
    """Stores vectors as compressed codes and searches by estimated inner product."""

    def __new__(
        cls, dim: SupportsIndex, bits: SupportsIndex = 4, projections: SupportsIndex | None = None, seed: SupportsIndex = 42
    ) -> VectorIndex:
        """An exhaustive index of two-stage codes, for codes stored in that format."""
    def add(self, id: SupportsIndex, vector: npt.NDArray[np.float32]) -> None:
        """Add a vector to the index."""
    def search(
        self, query: npt.NDArray[np.float32], top_k: SupportsIndex
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """Search for top-k nearest vectors by inner product."""
    def add_batch(
        self,
        ids: npt.NDArray[np.integer],
        vectors: npt.NDArray[np.float32],
        *,
        threads: SupportsIndex | None = None,
    ) -> None:
        """Add every row of an (n, dim) array under n ids, as n calls of add, all or nothing."""
    def search_batch(
        self, queries: npt.NDArray[np.float32], top_k: SupportsIndex, *, threads: SupportsIndex | None = None
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """(m, k) ids and scores, k = min(top_k, len(self)); row i = search(queries[i], top_k)."""
    def save(self, path: str | os.PathLike[str] | bytes) -> None:
        """Write the index file atomically (docs/index-file-format.md)."""
    def to_bytes(self) -> bytes:
        """The bytes of the index file that save writes."""
    @classmethod
    def load(
        cls, path: str | os.PathLike[str] | bytes, *, mmap: bool = False, verify: bool = True
    ) -> VectorIndex:
        """The index in a file; mmap=True scans it in place (read-only)."""
    @classmethod
    def from_bytes(cls, data: bytes | bytearray, *, verify: bool = True) -> VectorIndex:
        """The index in the bytes of an index file."""
    def __len__(self) -> int: ...

@final
class CompactQuantizer:
    """Compact codes: 16 + ceil(dim * bits / 8) bytes, the same bits on every machine.

    dim 1 to 65536, bits 1 to 8. Codes of another (dim, bits, seed) are refused.
    """

    def __new__(cls, dim: SupportsIndex, bits: SupportsIndex = 4, seed: SupportsIndex = 42) -> CompactQuantizer:
        """A compact quantizer of `dim`-dimensional vectors at `bits` bits per coordinate; (dim, bits, seed) fix every code."""
    def encode(self, vector: _FloatArray) -> npt.NDArray[np.uint8]:
        """Encode a float32 vector of length `dim` to a code of `code_size_bytes` bytes."""
    def decode(self, code: npt.NDArray[np.uint8]) -> npt.NDArray[np.float32]:
        """Decode a code of this quantizer to an approximate vector."""
    def inner_product(
        self, code: npt.NDArray[np.uint8], query: _FloatArray
    ) -> float:
        """Estimate the inner product of the encoded vector with a query."""
    def encode_batch(
        self, vectors: _FloatArray, *, threads: SupportsIndex | None = None
    ) -> npt.NDArray[np.uint8]:
        """Every row of a C-contiguous (n, dim) array encoded: (n, code_size_bytes), row i = encode(vectors[i])."""
    def decode_batch(
        self, codes: npt.NDArray[np.uint8], *, threads: SupportsIndex | None = None
    ) -> npt.NDArray[np.float32]:
        """Every row of an (n, code_size_bytes) array decoded: (n, dim), row i = decode(codes[i])."""
    def inner_product_batch(
        self,
        codes: npt.NDArray[np.uint8],
        queries: _FloatArray,
        *,
        threads: SupportsIndex | None = None,
    ) -> npt.NDArray[np.float32]:
        """(n, m) estimates: entry [i, j] = inner_product(codes[i], queries[j])."""
    @property
    def dim(self) -> int:
        """The vector dimension."""
    @property
    def bits(self) -> int:
        """Bits per coordinate (1 to 8)."""
    @property
    def seed(self) -> int:
        """The seed of the rotation."""
    @property
    def code_size_bytes(self) -> int:
        """Bytes per code: 16 + ceil(dim * bits / 8)."""

@final
class CompactIndex:
    """Exhaustive search over compact codes stored under 64-bit ids.

    metric: "ip" (estimated inner product, highest first), "cosine" (vectors and queries
    scaled to unit length first; zero vectors refused) or "l2" (estimated squared distance,
    smallest first); docs/metrics.md.
    """

    def __new__(cls, dim: SupportsIndex, bits: SupportsIndex = 4, seed: SupportsIndex = 42, *, metric: _Metric = "ip") -> CompactIndex:
        """An exhaustive index of compact codes, ranked by `metric`; (dim, bits, seed) fix every code."""
    def add(self, id: SupportsIndex, vector: _FloatArray) -> None:
        """Encode a vector and store its code under `id`."""
    def search(
        self,
        query: _FloatArray,
        top_k: SupportsIndex,
        *,
        allow: _IdArray | SupportsIndex | None = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The top_k entries by the metric's estimate, ties in insertion order; allow: only these ids
        (rows then padded with NO_ID and NaN)."""
    def add_batch(
        self,
        ids: _IdArray,
        vectors: _FloatArray,
        *,
        threads: SupportsIndex | None = None,
    ) -> None:
        """Add every row of an (n, dim) array under n ids, as n calls of add, all or nothing."""
    def search_batch(
        self,
        queries: _FloatArray,
        top_k: SupportsIndex,
        *,
        allow: _IdArray | SupportsIndex | None = None,
        rerank: _FloatArray | None = None,
        rerank_factor: SupportsIndex = 4,
        threads: SupportsIndex | None = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """(m, k) ids and scores, k = min(top_k, len(self)); row i = search(queries[i], top_k, allow=allow).
        rerank: (N, dim) original vectors, row i of id i: rerank_factor * top_k candidates ordered exactly."""
    def remove(self, ids: _IdArray | SupportsIndex) -> int:
        """Remove every entry stored under any of the ids; returns how many."""
    def ids(self) -> npt.NDArray[np.uint64]:
        """Every entry's id, in insertion order."""
    def reconstruct(self, ids: _IdArray | SupportsIndex) -> npt.NDArray[np.float32]:
        """(n, dim) decodings of each id's first entry; KeyError(id) for an id not stored."""
    def __contains__(self, id: object, /) -> bool: ...
    def save(self, path: str | os.PathLike[str] | bytes) -> None:
        """Write the index file atomically (docs/index-file-format.md)."""
    def to_bytes(self) -> bytes:
        """The bytes of the index file that save writes."""
    @classmethod
    def load(
        cls, path: str | os.PathLike[str] | bytes, *, mmap: bool = False, verify: bool = True
    ) -> CompactIndex:
        """The index in a file; mmap=True scans it in place (read-only)."""
    @classmethod
    def from_bytes(cls, data: bytes | bytearray, *, verify: bool = True) -> CompactIndex:
        """The index in the bytes of an index file."""
    @property
    def dim(self) -> int:
        """The vector dimension."""
    @property
    def bits(self) -> int:
        """Bits per coordinate of the codes (1 to 8)."""
    @property
    def seed(self) -> int:
        """The seed of the rotation (and of an inverted file's training)."""
    @property
    def metric(self) -> _Metric:
        """What search ranks by: 'ip', 'cosine' or 'l2'."""
    @property
    def mapped(self) -> bool:
        """Whether the index is a read-only view of a file loaded with mmap=True (no add, remove or train)."""
    @property
    def code_size_bytes(self) -> int:
        """Bytes of each entry's code: 16 + ceil(dim * bits / 8)."""
    def __len__(self) -> int: ...

@final
class IvfIndex:
    """Inverted-file search over compact residual codes; metric as for CompactIndex."""

    def __new__(
        cls, dim: SupportsIndex, lists: SupportsIndex, bits: SupportsIndex = 4, seed: SupportsIndex = 42, *, metric: _Metric = "ip"
    ) -> IvfIndex:
        """An inverted file of `lists` lists of compact codes; train it (or set_centroids) before adding."""
    def train(
        self,
        vectors: _FloatArray,
        *,
        iterations: SupportsIndex = 10,
        threads: SupportsIndex | None = None,
        verbose: bool = False,
    ) -> None:
        """k-means on (n, dim) rows, n >= lists (sampled above 256 rows per list); once."""
    def set_centroids(self, centroids: _FloatArray) -> None:
        """Use (lists, dim) centroids instead of training; once, instead of train."""
    def add(self, id: SupportsIndex, vector: _FloatArray) -> None:
        """Store a vector in the list of its nearest centroid, under `id` (not NO_ID)."""
    def add_batch(
        self,
        ids: _IdArray,
        vectors: _FloatArray,
        *,
        threads: SupportsIndex | None = None,
    ) -> None:
        """Add every row of an (n, dim) array under n ids, as n calls of add, all or nothing."""
    def search(
        self,
        query: _FloatArray,
        top_k: SupportsIndex,
        *,
        probes: SupportsIndex = 8,
        allow: _IdArray | SupportsIndex | None = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The top_k entries of the `probes` best lists (only allowed ids, if given); padded with NO_ID, NaN."""
    def search_batch(
        self,
        queries: _FloatArray,
        top_k: SupportsIndex,
        *,
        probes: SupportsIndex = 8,
        allow: _IdArray | SupportsIndex | None = None,
        rerank: _FloatArray | None = None,
        rerank_factor: SupportsIndex = 4,
        threads: SupportsIndex | None = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """(m, k) ids and scores, k = min(top_k, len(self)); row i = search(queries[i], ...); rerank as for CompactIndex."""
    def remove(self, ids: _IdArray | SupportsIndex) -> int:
        """Remove every entry stored under any of the ids; returns how many."""
    def ids(self) -> npt.NDArray[np.uint64]:
        """Every entry's id, in insertion order."""
    def reconstruct(self, ids: _IdArray | SupportsIndex) -> npt.NDArray[np.float32]:
        """(n, dim) decodings of each id's first entry; KeyError(id) for an id not stored."""
    def __contains__(self, id: object, /) -> bool: ...
    def list_sizes(self) -> npt.NDArray[np.uint64]:
        """The number of entries of each list."""
    def tune(
        self,
        queries: _FloatArray,
        *,
        target_recall: float = 0.95,
        top_k: SupportsIndex = 10,
        vectors: _FloatArray | None = None,
        threads: SupportsIndex | None = None,
    ) -> tuple[int | None, list[tuple[int, float, float]]]:
        """The smallest probes reaching target_recall on the sample queries (None if none tried does), and
        (probes, recall, queries per second) for every setting tried; the answers wanted are the exact
        top_k of `vectors` (row i: id i) when given, else the index's exhaustive ranking."""
    def save(self, path: str | os.PathLike[str] | bytes) -> None:
        """Write the index file atomically (docs/index-file-format.md)."""
    def to_bytes(self) -> bytes:
        """The bytes of the index file that save writes."""
    @classmethod
    def load(
        cls, path: str | os.PathLike[str] | bytes, *, mmap: bool = False, verify: bool = True
    ) -> IvfIndex:
        """The index in a file; mmap=True searches its lists in place (read-only)."""
    @classmethod
    def from_bytes(cls, data: bytes | bytearray, *, verify: bool = True) -> IvfIndex:
        """The index in the bytes of an index file."""
    @property
    def dim(self) -> int:
        """The vector dimension."""
    @property
    def bits(self) -> int:
        """Bits per coordinate of the codes (1 to 8)."""
    @property
    def seed(self) -> int:
        """The seed of the rotation (and of an inverted file's training)."""
    @property
    def metric(self) -> _Metric:
        """What search ranks by: 'ip', 'cosine' or 'l2'."""
    @property
    def mapped(self) -> bool:
        """Whether the index is a read-only view of a file loaded with mmap=True (no add, remove or train)."""
    @property
    def code_size_bytes(self) -> int:
        """Bytes of each entry's residual code: 16 + ceil(dim * bits / 8)."""
    @property
    def lists(self) -> int:
        """The number of lists (centroids)."""
    @property
    def trained(self) -> bool:
        """Whether train (or set_centroids) has run."""
    @property
    def centroids(self) -> npt.NDArray[np.float32] | None:
        """A copy of the (lists, dim) centroids, or None before training."""
    def __len__(self) -> int: ...

@final
class GraphIndex:
    """A navigable graph over compact codes: each entry a code and a vertex with up to
    `degree` edges to near entries, chosen while adding; a search walks the graph."""

    def __new__(
        cls,
        dim: SupportsIndex,
        *,
        degree: SupportsIndex = 32,
        bits: SupportsIndex = 8,
        metric: _Metric = "ip",
        seed: SupportsIndex = 42,
    ) -> GraphIndex:
        """A graph over compact codes, each vertex keeping up to `degree` neighbours chosen from the vectors as they are added."""
    @property
    def dim(self) -> int:
        """The vector dimension."""
    @property
    def bits(self) -> int:
        """Bits per coordinate of the codes (1 to 8)."""
    @property
    def seed(self) -> int:
        """The seed of the rotation (and of an inverted file's training)."""
    @property
    def metric(self) -> _Metric:
        """What search ranks by: 'ip', 'cosine' or 'l2'."""
    @property
    def mapped(self) -> bool:
        """Whether the index is a read-only view of a file loaded with mmap=True (no add, remove or train)."""
    @property
    def degree(self) -> int:
        """The most neighbours a vertex keeps."""
    @property
    def code_size_bytes(self) -> int:
        """Bytes of each entry's code: 16 + ceil(dim * bits / 8) (plus 4 * degree for the edges)."""
    def add(self, id: SupportsIndex, vector: _FloatArray) -> None:
        """Store a vector under `id` and link it into the graph."""
    def add_batch(
        self,
        ids: _IdArray,
        vectors: _FloatArray,
        *,
        threads: SupportsIndex | None = None,
        verbose: bool = False,
    ) -> None:
        """Store and link every row, all or nothing; the same index at any thread count."""
    def search(
        self,
        query: _FloatArray,
        top_k: SupportsIndex,
        *,
        ef: SupportsIndex = 64,
        allow: _IdArray | SupportsIndex | None = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The top_k entries a walk keeping max(ef, top_k) vertices finds (only allowed ids, if given)."""
    def search_batch(
        self,
        queries: _FloatArray,
        top_k: SupportsIndex,
        *,
        ef: SupportsIndex = 64,
        threads: SupportsIndex | None = None,
        rerank: _FloatArray | None = None,
        rerank_factor: SupportsIndex = 4,
        allow: _IdArray | SupportsIndex | None = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """search for every row; rerank as for CompactIndex.search_batch."""
    def tune(
        self,
        queries: _FloatArray,
        *,
        target_recall: float = 0.95,
        top_k: SupportsIndex = 10,
        vectors: _FloatArray | None = None,
        threads: SupportsIndex | None = None,
    ) -> tuple[int | None, list[tuple[int, float, float]]]:
        """The smallest ef reaching target_recall on the sample queries (None if none tried does), and
        (ef, recall, queries per second) for every setting tried; the answers wanted are the exact
        top_k of `vectors` (row i: id i) when given, else the index's exhaustive ranking."""
    def remove(self, ids: _IdArray | SupportsIndex) -> int:
        """Remove every entry stored under any of the ids, the graph linked again around them; returns how many."""
    def ids(self) -> npt.NDArray[np.uint64]:
        """The id of every entry, in insertion order."""
    def reconstruct(self, ids: _IdArray | SupportsIndex) -> npt.NDArray[np.float32]:
        """The decoding of each id's first entry."""
    def save(self, path: str | os.PathLike[str] | bytes) -> None:
        """Write the index to a file, atomically (docs/index-file-format.md, family 4)."""
    def to_bytes(self) -> bytes:
        """The bytes of the index file that save writes."""
    @classmethod
    def load(
        cls, path: str | os.PathLike[str] | bytes, *, mmap: bool = False, verify: bool = True
    ) -> GraphIndex:
        """The index in a file; mmap=True walks it in place (read-only)."""
    @classmethod
    def from_bytes(cls, data: bytes | bytearray, *, verify: bool = True) -> GraphIndex:
        """The index in the bytes of an index file."""
    def __contains__(self, id: object, /) -> bool: ...
    def __len__(self) -> int: ...
