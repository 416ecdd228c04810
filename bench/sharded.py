"""Sharded build and search on a local Dask cluster of two worker processes, against one
process running the same batch calls on one thread.

Run with `make compare-sharded`. n = 1,000,000 random vectors of dim 768 (float32,
generated on the workers, held in their memory before timing), compact 4 bits, shards
of 100,000 rows in --dir; 256 queries, top 10; each time the best of three, the two
sides timed in turn. Writes
bench/results/sharded.md.
"""
from __future__ import annotations

import argparse
import pathlib
import shutil
import tempfile
import time

import dask.array as da
import numpy as np
import quillane
import quillane_dask
from distributed import Client, LocalCluster

RESULTS = pathlib.Path(__file__).parent / "results"
REPEATS = 3  # every time is the best of three, on both sides


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--chunk", type=int, default=100_000)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    lines = []

    def say(text: str) -> None:
        print(text, flush=True)
        lines.append(text)

    directory = pathlib.Path(args.dir) / "quillane-sharded-bench"
    shutil.rmtree(directory, ignore_errors=True)
    queries = np.random.default_rng(7).standard_normal((256, args.dim), dtype=np.float32)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      memory_limit=0) as cluster, Client(cluster) as client:
        vectors = da.random.RandomState(1).standard_normal((args.n, args.dim), chunks=(args.chunk, args.dim)).astype(np.float32)
        vectors = client.persist(vectors)
        client.wait_for_workers(2)
        from distributed import wait

        wait(vectors)
        local = vectors.compute()

        def build_one() -> quillane.CompactIndex:
            one = quillane.CompactIndex(args.dim, 4)
            for first in range(0, args.n, args.chunk):
                one.add_batch(np.arange(first, min(args.n, first + args.chunk)), local[first:first + args.chunk],
                              threads=1)
            return one

        # The two sides run in turn, so that both see the same moments of this shared machine.
        build_cluster = search_cluster = build_single = search_single = float("inf")
        for _ in range(REPEATS):
            shutil.rmtree(directory, ignore_errors=True)
            start = time.perf_counter()
            sharded = quillane_dask.build(vectors, directory, bits=4)
            build_cluster = min(build_cluster, time.perf_counter() - start)
            start = time.perf_counter()
            one = build_one()
            build_single = min(build_single, time.perf_counter() - start)
        sharded.search_batch(queries[:1], 10)  # every shard mapped on a worker
        for _ in range(REPEATS):
            start = time.perf_counter()
            got = sharded.search_batch(queries, 10)
            search_cluster = min(search_cluster, time.perf_counter() - start)
            start = time.perf_counter()
            want = one.search_batch(queries, 10, threads=1)
            search_single = min(search_single, time.perf_counter() - start)
    same = bool((got[0] == want[0]).all() and got[1].tobytes() == want[1].tobytes())
    shutil.rmtree(directory, ignore_errors=True)
    say(f"n = {args.n:,}, dim {args.dim}, compact 4 bits, shards of {args.chunk:,} rows; 256 queries, top 10; "
        f"best of {REPEATS}, the two sides timed in turn")
    say(f"  build: one process (threads=1) {build_single:.2f} s = {args.n / build_single:,.0f} rows/s; "
        f"2 workers {build_cluster:.2f} s = {args.n / build_cluster:,.0f} rows/s ({build_single / build_cluster:.2f}x, "
        "shards saved to disk included)")
    say(f"  search_batch: one process {search_single * 1e3:.0f} ms; 2 workers {search_cluster * 1e3:.0f} ms "
        f"({search_single / search_cluster:.2f}x)")
    say(f"  the sharded answers equal one index's: {same}")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "sharded.md").write_text("```\n" + "\n".join(lines) + "\n```\n")


if __name__ == "__main__":
    main()
