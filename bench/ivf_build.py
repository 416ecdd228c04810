"""IvfIndex build time (train + add_batch) at one and two threads, beside FAISS IndexIVFFlat.

One run, the two sides in turn. Both train on a sample of at most 256 rows per list for
10 iterations (FAISS's defaults for IVF), so the work compared is the same.

    python bench/ivf_build.py [--n 65536] [--dim 768] [--lists 256] [--rounds 2]
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse
import pathlib
import sys
import time

import numpy as np

import quillane

sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "examples"))
from demo import clustered_data  # noqa: E402


def ours(x: np.ndarray, lists: int, threads: int) -> tuple[float, float, bytes]:
    index = quillane.IvfIndex(x.shape[1], lists, bits=4, seed=1)
    start = time.perf_counter()
    index.train(x, threads=threads)
    trained = time.perf_counter() - start
    start = time.perf_counter()
    index.add_batch(np.arange(len(x)), x, threads=threads)
    return trained, time.perf_counter() - start, index.centroids.tobytes()


def faiss_flat(x: np.ndarray, lists: int) -> tuple[float, float] | None:
    try:
        import faiss
    except ImportError:
        return None
    faiss.omp_set_num_threads(1)
    index = faiss.IndexIVFFlat(faiss.IndexFlatIP(x.shape[1]), x.shape[1], lists, faiss.METRIC_INNER_PRODUCT)
    start = time.perf_counter()
    index.train(x)
    trained = time.perf_counter() - start
    start = time.perf_counter()
    index.add(x)
    return trained, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=65536)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--lists", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    x = clustered_data(args.n, args.dim, 3)
    print(f"{args.n} x {args.dim}, {args.lists} lists, one run, sides in turn", flush=True)
    for r in range(args.rounds):
        t1, a1, c1 = ours(x, args.lists, 1)
        t2, a2, c2 = ours(x, args.lists, 2)
        assert c1 == c2, "centroids differ between thread counts"
        line = (f"round {r + 1}: IvfIndex 1 thread {t1:.2f} + {a1:.2f} s, 2 threads {t2:.2f} + {a2:.2f} s "
                f"({(t1 + a1) / (t2 + a2):.2f}x)")
        flat = faiss_flat(x, args.lists)
        if flat is not None:
            line += f"; FAISS IndexIVFFlat 1 thread {flat[0]:.2f} + {flat[1]:.2f} s (ours {(t1 + a1) / sum(flat):.2f}x its time)"
        print(line, flush=True)


if __name__ == "__main__":
    main()
