"""IvfIndex resident memory per entry over n adds, each width in a fresh process.

The rows come in chunks (so that they never count), the centroids are given (training is
not measured here), and the growth of the resident set over the adds is divided by n.
In a fresh process, no memory freed earlier is reused, so the growth is the index's.

    python bench/ivf_memory.py [--n 1000000] [--dim 768] [--lists 4096] [--bits 1,2,4,8] [--chunk 100000]
"""
from __future__ import annotations

import argparse
import multiprocessing
import os

import numpy as np


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def grow(n: int, dim: int, lists: int, bits: int, chunk: int) -> float:
    import quillane

    rng = np.random.default_rng(bits)
    index = quillane.IvfIndex(dim, lists, bits=bits, seed=1)
    index.set_centroids(rng.standard_normal((lists, dim), dtype=np.float32))
    rows = rng.standard_normal((chunk, dim), dtype=np.float32)
    ids = np.arange(chunk, dtype=np.uint64)
    index.add_batch(ids[:1], rows[:1])  # the pool, the kernels and the first pages of every part
    before = resident()
    for start in range(0, n, chunk):
        here = min(chunk, n - start)
        rows = rng.standard_normal((here, dim), dtype=np.float32)
        index.add_batch(np.arange(start + 1, start + 1 + here, dtype=np.uint64), rows)
    return (resident() - before) / n


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--lists", type=int, default=4096)
    parser.add_argument("--bits", default="1,2,4,8")
    parser.add_argument("--chunk", type=int, default=100_000)
    args = parser.parse_args()
    print(f"{args.n} adds of dimension {args.dim} in chunks of {args.chunk}, {args.lists} lists, "
          "a fresh process per width", flush=True)
    context = multiprocessing.get_context("spawn")
    for bits in [int(b) for b in args.bits.split(",")]:
        with context.Pool(1) as pool:
            per_entry = pool.apply(grow, (args.n, args.dim, args.lists, bits, args.chunk))
        packed = -(-args.dim * bits // 8)
        print(f"{bits} bits: {per_entry:.1f} B per entry resident = packed codes {packed} + {per_entry - packed:.1f}",
              flush=True)


if __name__ == "__main__":
    main()
