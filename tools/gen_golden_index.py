"""Writes the golden index files of tests/data and the search results they must keep giving.

Usage: python tools/gen_golden_index.py OUTDIR
Writes OUTDIR/golden-compact.qli, OUTDIR/golden-two-stage.qli and
OUTDIR/golden-index-results.json. The vectors come from integer arithmetic, so every
machine and NumPy version builds the same indexes; tests/python/test_files.py checks
that this library still writes these files byte for byte and still reads the committed
ones with these results.
"""
from __future__ import annotations

import json
import sys
from pathlib import Path

import numpy as np

import quillane

INDEXES = {
    "golden-compact.qli": lambda: quillane.CompactIndex(16, 4, 7),
    "golden-two-stage.qli": lambda: quillane.VectorIndex(8, 4, 4, 7),
}


def vectors(n: int, dim: int, salt: int) -> np.ndarray:
    """Small integers over 8, from a fixed mixing of (row, column, salt); rows 3, 11, ... repeat row 0."""
    i = np.arange(n, dtype=np.int64)[:, None]
    j = np.arange(dim, dtype=np.int64)[None, :]
    h = (i * 7919 + j * 104729 + salt * 1299709) % 1000003
    x = ((h * h) % 257 - 128).astype(np.float32) / 8.0
    x[3::8] = x[0]
    return x


def build(name: str) -> tuple[object, np.ndarray]:
    index = INDEXES[name]()
    dim = 16 if "compact" in name else 8
    index.add_batch(np.arange(20, dtype=np.uint64) * 3 + 5, vectors(20, dim, 1))
    return index, vectors(4, dim, 2)


def results(index: object, queries: np.ndarray) -> list[dict]:
    ids, scores = index.search_batch(queries, 6)
    return [{"ids": row.tolist(), "score_bits": [f"{b:08x}" for b in s.view(np.uint32).tolist()]}
            for row, s in zip(ids, scores)]


def main() -> None:
    out = Path(sys.argv[1])
    expected = {}
    for name in INDEXES:
        index, queries = build(name)
        (out / name).write_bytes(index.to_bytes())
        expected[name] = results(index, queries)
    (out / "golden-index-results.json").write_text(json.dumps(expected, indent=1) + "\n")


if __name__ == "__main__":
    main()
