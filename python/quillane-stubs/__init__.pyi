"""Type information for the quillane extension module."""

import numpy as np
import numpy.typing as npt

__all__ = ["TurboQuantizer", "VectorIndex"]

class TurboQuantizer:
    """Two-stage vector quantization (Polar + QJL) with unbiased inner-product estimates."""

    def __new__(
        cls, dim: int, bits: int = 4, projections: int | None = None, seed: int = 42
    ) -> TurboQuantizer: ...
    def encode(self, vector: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
        """Encode a vector to compact bytes."""
    def decode(self, code: npt.NDArray[np.uint8]) -> npt.NDArray[np.float32]:
        """Decode a compressed code back to an approximate vector."""
    def inner_product(
        self, code: npt.NDArray[np.uint8], query: npt.NDArray[np.float32]
    ) -> float:
        """Estimate inner product between a compressed code and a query vector."""
    @property
    def dim(self) -> int:
        """Return the vector dimension."""
    @property
    def code_size_bytes(self) -> int:
        """Return the compressed code size in bytes (cached at construction)."""

class VectorIndex:
    """Stores vectors as compressed codes and searches by estimated inner product."""

    def __new__(
        cls, dim: int, bits: int = 4, projections: int | None = None, seed: int = 42
    ) -> VectorIndex: ...
    def add(self, id: int, vector: npt.NDArray[np.float32]) -> None:
        """Add a vector to the index."""
    def search(
        self, query: npt.NDArray[np.float32], top_k: int
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """Search for top-k nearest vectors by inner product."""
    def __len__(self) -> int: ...
