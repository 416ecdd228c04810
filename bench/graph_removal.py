"""GraphIndex removal beside hnswlib's mark_deleted (not part of `make test`).

A random 20% of a built index is removed and added again: recall@10 at fixed ef, and
resident bytes per vector, against a fresh build of the same rows; then the time to remove
1% of the entries, on one core. hnswlib (M=16, ef_construction 200) goes through the same
calls with mark_deleted and add_items(replace_deleted=True). With --only-timing, only a
graph is built and 1% of it removed on one core. Run in the benchmark environment of
`make compare-graph`:

    build/env-bench/bin/python bench/graph_removal.py
    build/env-bench/bin/python bench/graph_removal.py --data clustered --n 1000000 --dim 96 --only-timing
"""
from __future__ import annotations

import argparse
import gc
import os
import pathlib
import sys
import time

import hnswlib
import numpy as np

import quillane

sys.path.insert(0, str(pathlib.Path(__file__).parent))
sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "examples"))
from demo import clustered_data  # noqa: E402
from embeddings import glove_vectors, held_out  # noqa: E402
from graph import processor  # noqa: E402
from ivf import exact_top10, recall, resident  # noqa: E402

EFS = (32, 64, 128)



def remove_one_percent(graph: quillane.GraphIndex, n: int) -> None:
    """Removes a random 1% of rows 0..n-1 with the process on one core, and says how long it took."""
    one = np.sort(np.random.default_rng(2).choice(n, n // 100, replace=False))
    cores = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cores)})
    try:
        start = time.perf_counter()
        graph.remove(one)
        took = time.perf_counter() - start
    finally:
        os.sched_setaffinity(0, cores)
    print(f"GraphIndex: removed 1% ({len(one)}) in {took:.2f} s on one core", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", choices=["glove", "clustered"], default="glove")
    parser.add_argument("--n", type=int, default=1_000_000, help="rows of the clustered data")
    parser.add_argument("--dim", type=int, default=96, help="dimension of the clustered data")
    parser.add_argument("--only-timing", action="store_true")
    args = parser.parse_args()
    if args.data == "glove":
        queries, base = held_out(glove_vectors(), 1000)
    else:
        queries, base = held_out(clustered_data(args.n + 1000, args.dim, 3), 1000, seed=None)
    n, dim = base.shape
    ids = np.arange(n)
    if args.only_timing:
        print(f"{args.data} {n} x {dim}, on {processor()}", flush=True)
        graph = quillane.GraphIndex(dim, degree=32, bits=8, metric="cosine")
        start = time.perf_counter()
        graph.add_batch(ids, base, threads=2)
        print(f"GraphIndex 8-bit d=32: built in {time.perf_counter() - start:.0f} s on two threads", flush=True)
        remove_one_percent(graph, n)
        return
    truth = exact_top10(base, queries)
    gone = np.sort(np.random.default_rng(1).choice(n, n // 5, replace=False))
    print(f"{args.data} {n} x {dim}, remove and re-add {len(gone)}, on {processor()}", flush=True)

    def report(name: str, search, grown: int) -> None:
        cells = "  ".join(f"ef {ef}: {recall(search(ef), truth):.3f}" for ef in EFS)
        print(f"{name:34s} {cells}  resident {grown / n:6.1f} B/vector", flush=True)

    for label, churn in (("fresh", False), ("after 20% removed and re-added", True)):
        gc.collect()
        before = resident()
        graph = quillane.GraphIndex(dim, degree=32, bits=8, metric="cosine")
        graph.add_batch(ids, base, threads=2)
        if churn:
            start = time.perf_counter()
            graph.remove(gone)
            removed = time.perf_counter() - start
            graph.add_batch(gone, base[gone], threads=2)
            print(f"GraphIndex: removed {len(gone)} in {removed:.2f} s", flush=True)
        gc.collect()
        report(f"GraphIndex 8-bit d=32, {label}", lambda ef: graph.search_batch(queries, 10, ef=ef, threads=1)[0],
               resident() - before)
        if churn:
            remove_one_percent(graph, n)
        del graph
        gc.collect()
        before = resident()
        hnsw = hnswlib.Index(space="cosine", dim=dim)
        hnsw.init_index(max_elements=n, M=16, ef_construction=200, random_seed=1, allow_replace_deleted=True)
        hnsw.set_num_threads(2)
        hnsw.add_items(base, ids)
        if churn:
            start = time.perf_counter()
            for i in gone:
                hnsw.mark_deleted(int(i))
            removed = time.perf_counter() - start
            hnsw.add_items(base[gone], gone, replace_deleted=True)
            print(f"hnswlib: marked {len(gone)} deleted in {removed:.2f} s", flush=True)
        hnsw.set_num_threads(1)

        def hnsw_search(ef: int) -> np.ndarray:
            hnsw.set_ef(ef)
            return hnsw.knn_query(queries, k=10)[0]

        gc.collect()
        report(f"hnswlib M=16, {label}", hnsw_search, resident() - before)
        del hnsw


if __name__ == "__main__":
    main()
