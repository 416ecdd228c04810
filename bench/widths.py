"""CompactIndex search at every bit width beside FAISS IndexRaBitQFastScan (1 bit), one thread.

    python bench/widths.py [--n 100000] [--dim 768]

Gaussian rows and queries (the hardest case for the first pass: every score is close to
every other). For each width: build, then one query per call and 64 queries per batch
call, each the best of 5 runs, the widths and FAISS timed in turn in the same run. Prints a
Markdown table (appended to bench/results/batch.md by hand when quoted).
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import argparse
import time

import faiss
import numpy as np

import quillane


def best(call, repeat: int = 5) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=768)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    base = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((64, args.dim), dtype=np.float32)
    single = queries[:20]
    faiss.omp_set_num_threads(1)
    rabitq = faiss.IndexRaBitQFastScan(args.dim, faiss.METRIC_INNER_PRODUCT)
    rabitq.train(base)
    rabitq.add(base)
    indexes = {}
    for bits in range(1, 9):
        index = quillane.CompactIndex(args.dim, bits, 42)
        index.add_batch(np.arange(args.n), base, threads=2)
        indexes[bits] = index
    rows = []
    for name, one, batch in [(f"quillane {b}-bit", lambda i=i: [i.search(q, 10) for q in single],
                              lambda i=i: i.search_batch(queries, 10, threads=1)) for b, i in indexes.items()] + [
            ("FAISS IndexRaBitQFastScan", lambda: [rabitq.search(q[None, :], 10) for q in single],
             lambda: rabitq.search(queries, 10))]:
        rows.append((name, best(one) / len(single) * 1e3, best(batch) / len(queries) * 1e3))
    print(f"n {args.n}, dim {args.dim}, top 10, one thread, faiss {faiss.__version__}")
    print("| index | one query per call, ms | 64 per batch, ms per query |")
    print("|---|---:|---:|")
    for name, one, batch in rows:
        print(f"| {name} | {one:.2f} | {batch:.3f} |")


if __name__ == "__main__":
    main()
