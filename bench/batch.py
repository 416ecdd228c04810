"""The batch calls beside FAISS on the same data in one run, and their thread scaling.

Run with `make compare-batch` (the benchmark environment of `make compare`). n = 100,000
Gaussian vectors of dim 768, 64 queries, top 10. FAISS runs on one thread; quillane at
one thread and then at two. Writes bench/results/batch.md.
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import argparse
import pathlib
import time

import faiss
import numpy as np
import quillane

RESULTS = pathlib.Path(__file__).parent / "results"


def timed(fn, repeat: int = 3) -> float:
    """The best of `repeat` runs, in seconds (this machine is shared and noisy)."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def alternated(fns, repeat: int = 5) -> list[float]:
    """The best of `repeat` runs of each function, the functions run in turn so that all see
    the same moments of this shared machine."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def resident() -> tuple[int, int]:
    """(current, peak) resident bytes of this process."""
    fields = dict(line.split(":", 1) for line in open("/proc/self/status"))
    return (int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024)


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--queries", type=int, default=64)
    parser.add_argument("--turbo-n", type=int, default=100_000, help="rows for VectorIndex")
    args = parser.parse_args()
    faiss.omp_set_num_threads(1)
    rng = np.random.default_rng(5)
    base = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    ids = np.arange(args.n, dtype=np.uint64)
    k, lines = 10, []

    def say(text: str) -> None:
        print(text, flush=True)
        lines.append(text)

    say(f"n = {args.n:,}, dim {args.dim}, {args.queries} queries, top {k}; times are the best of 3 (5 where run in turn "
        "with FAISS or with another thread count); ms per query")
    flat = faiss.IndexFlatIP(args.dim)
    flat.add(base)
    flat_batch = timed(lambda: flat.search(queries, k)) / args.queries
    sq4 = faiss.IndexScalarQuantizer(args.dim, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
    sq4.train(base[:20_000])
    sq4.add(base)
    sq4_batch = timed(lambda: sq4.search(queries, k)) / args.queries
    say(f"FAISS IndexFlatIP batched: {flat_batch * 1e3:.3f}; QT_4bit batched: {sq4_batch * 1e3:.3f}")

    # Every width, batched, one thread, in turn with IndexFlatIP.
    say("\nCompactIndex search_batch per width, ms per query (one thread; IndexFlatIP in turn):")
    for bits in range(1, 9):
        wide = quillane.CompactIndex(args.dim, bits)
        wide.add_batch(ids, base, threads=2)
        mine, flat_here = (t / args.queries for t in alternated([
            lambda: wide.search_batch(queries, k, threads=1), lambda: flat.search(queries, k)]))
        say(f"  {bits} bits: {mine * 1e3:.3f} ({mine / flat_here:.2f}x IndexFlatIP's {flat_here * 1e3:.3f})")
        del wide

    for name, make, n in (
        ("CompactIndex 4-bit", lambda: quillane.CompactIndex(args.dim, 4), args.n),
        ("VectorIndex 4-bit", lambda: quillane.VectorIndex(args.dim, 4), args.turbo_n),
    ):
        index = make()
        before, _ = resident()
        reset_peak()
        start = time.perf_counter()
        index.add_batch(ids[:n], base[:n], threads=1)
        add1 = time.perf_counter() - start
        _, peak = resident()
        record = index.search_batch(queries[:1], 1)  # warm
        del record
        code = {"CompactIndex 4-bit": quillane.CompactQuantizer(args.dim, 4),
                "VectorIndex 4-bit": quillane.TurboQuantizer(args.dim, 4)}[name]
        codes_bytes = n * code.code_size_bytes
        add_rows = min(n, 20_000)
        # One and two threads run in turn, so that both see the same moments of the machine.
        fresh = iter([make() for _ in range(10)])  # built beforehand: only add_batch is timed

        def add(threads: int) -> None:
            next(fresh).add_batch(ids[:add_rows], base[:add_rows], threads=threads)

        enc = base[:add_rows]
        add1_small, add2 = alternated([lambda: add(1), lambda: add(2)])
        enc1, enc2 = alternated([lambda: code.encode_batch(enc, threads=1), lambda: code.encode_batch(enc, threads=2)])
        # One and two threads in turn with each other, each right after the other: in turn
        # with FAISS as well, the two-thread search always came right after FAISS's scan
        # had evicted the index from the shared cache, and the one-thread search never did.
        s1_here, s2 = (t / args.queries for t in alternated([
            lambda: index.search_batch(queries, k, threads=1), lambda: index.search_batch(queries, k, threads=2)]))
        s1, flat_here, sq4_here = (t / args.queries for t in alternated([
            lambda: index.search_batch(queries, k, threads=1), lambda: flat.search(queries, k),
            lambda: sq4.search(queries, k)]))
        single = timed(lambda: [index.search(q, k) for q in queries], 1) / args.queries
        say(f"\n{name} (n = {n:,})")
        say(f"  add_batch, one thread: {n / add1:,.0f} vectors/s; resident growth during it "
            f"{(peak - before) / 2**20:.1f} MiB for {codes_bytes / 2**20:.1f} MiB of codes + {n * 8 / 2**20:.1f} MiB of ids")
        say(f"  add_batch 2 threads / 1: {add1_small / add2:.2f}x ({add_rows:,} rows)")
        say(f"  encode_batch 2 threads / 1: {enc1 / enc2:.2f}x ({add_rows:,} rows)")
        say(f"  search_batch one thread: {s1_here * 1e3:.3f}; 2 threads: {s2 * 1e3:.3f} ({s1_here / s2:.2f}x)")
        say(f"  one-query search calls: {single * 1e3:.3f} (batch gives {single / s1:.2f}x the throughput)")
        say(f"  search_batch / FAISS FlatIP batched: {s1 / flat_here:.2f}; / QT_4bit batched: {s1 / sq4_here:.2f} "
            f"(run in turn with them, best of 5 each: {s1 * 1e3:.3f}, FAISS {flat_here * 1e3:.3f} and "
            f"{sq4_here * 1e3:.3f})")
    add_rows = min(args.n, args.turbo_n, 20_000)
    compacts = iter([quillane.CompactIndex(args.dim, 4) for _ in range(5)])  # built beforehand: only add_batch is timed
    vectors = iter([quillane.VectorIndex(args.dim, 4) for _ in range(5)])
    compact_add, vector_add = alternated([
        lambda: next(compacts).add_batch(ids[:add_rows], base[:add_rows], threads=1),
        lambda: next(vectors).add_batch(ids[:add_rows], base[:add_rows], threads=1)])
    say(f"\nCompactIndex add_batch / VectorIndex add_batch, vectors per second, one thread: "
        f"{vector_add / compact_add:.1f}x ({add_rows:,} rows each, run in turn, best of 5 each: "
        f"{add_rows / compact_add:,.0f} and {add_rows / vector_add:,.0f} vectors/s)")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "batch.md").write_text("```\n" + "\n".join(lines) + "\n```\n")


if __name__ == "__main__":
    main()
