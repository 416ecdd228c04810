"""GraphIndex filtered search beside hnswlib's filter function, on GloVe (not part of `make test`).

Allow sets of 50%, 10%, 1% and 0.1% of the entries drawn at random, and one correlated
set (the 1% of entries nearest a far point); recall@10 against the exact filtered top 10
(cosine) and queries per second, one query per call for both (hnswlib's filter is a Python
function of the label), over a sweep of ef; GraphIndex also with the queries in one
search_batch call (the allowed ids converted once), and, once per set, a CompactIndex of
the same codes scoring every allowed entry (one query per call). Run in the benchmark
environment of `make compare-graph`:

    build/env-bench/bin/python bench/graph_filter.py
"""
from __future__ import annotations

import pathlib
import sys
import time

import hnswlib
import numpy as np

import quillane

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from embeddings import glove_vectors, held_out  # noqa: E402
from graph import processor  # noqa: E402
from ivf import recall  # noqa: E402

EFS = (16, 32, 64, 128, 256)


def peer_search(hnsw: hnswlib.Index, q: np.ndarray, allowed: np.ndarray) -> np.ndarray:
    """hnswlib's filtered top 10, or -1 for the places it cannot fill (it raises then)."""
    try:
        return hnsw.knn_query(q[None, :], k=10, filter=lambda label: bool(allowed[label]))[0][0].astype(np.int64)
    except RuntimeError:
        return np.full(10, -1, np.int64)


def main() -> None:
    queries, base = held_out(glove_vectors(), 1000)
    queries = queries[:200]
    n, dim = base.shape
    print(f"glove {n} x {dim}, {len(queries)} queries one per call, on {processor()}", flush=True)
    graph = quillane.GraphIndex(dim, degree=32, bits=8, metric="cosine")
    graph.add_batch(np.arange(n), base, threads=2)
    hnsw = hnswlib.Index(space="cosine", dim=dim)
    hnsw.init_index(max_elements=n, M=16, ef_construction=200, random_seed=1)
    hnsw.set_num_threads(2)
    hnsw.add_items(base, np.arange(n))
    hnsw.set_num_threads(1)
    rng = np.random.default_rng(5)
    far = -base[rng.integers(n)]
    sets = {f"{share:.1%} random": np.sort(rng.choice(n, int(n * share), replace=False))
            for share in (0.5, 0.1, 0.01, 0.001)}
    sets["1% nearest a far point"] = np.sort(np.argsort(-(base @ far))[: n // 100])
    flat = quillane.CompactIndex(dim, 8, metric="cosine")
    flat.add_batch(np.arange(n), base)
    for name, allow in sets.items():
        scores = queries @ base[allow].T
        truth = allow[np.argsort(-scores, axis=1, kind="stable")[:, :10]]
        allowed = np.zeros(n, bool)
        allowed[allow] = True
        start = time.perf_counter()
        every = np.stack([flat.search(q, 10, allow=allow)[0] for q in queries])
        print(f"{name:24s} every allowed entry scored (CompactIndex 8-bit): {recall(every, truth):.3f} at "
              f"{len(queries) / (time.perf_counter() - start):7.0f} q/s", flush=True)
        for ef in EFS:
            start = time.perf_counter()
            ours = np.stack([graph.search(q, 10, ef=ef, allow=allow)[0] for q in queries])
            mine = len(queries) / (time.perf_counter() - start)
            start = time.perf_counter()
            graph.search_batch(queries, 10, ef=ef, allow=allow, threads=1)
            batched = len(queries) / (time.perf_counter() - start)
            hnsw.set_ef(ef)
            start = time.perf_counter()
            theirs = np.stack([peer_search(hnsw, q, allowed) for q in queries])
            peer = len(queries) / (time.perf_counter() - start)
            print(f"{name:24s} ef {ef:4d}  GraphIndex 8-bit {recall(ours, truth):.3f} at {mine:7.0f} q/s "
                  f"({batched:7.0f} batched)   hnswlib M=16 {recall(theirs, truth):.3f} at {peer:7.0f} q/s", flush=True)


if __name__ == "__main__":
    main()
