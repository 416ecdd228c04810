"""Sharded build and search on a local Dask cluster of two worker processes, against one
process running the same batch calls on one thread.

Run with `make compare-sharded`. n = 1,000,000 random vectors of dim 768 (float32,
generated on the workers, held in their memory before timing), compact 4 bits, shards
of 100,000 rows in --dir; 256 queries, top 10; each time the best of five, the two
sides timed in turn (each pair's ratio is listed too). Writes
bench/results/sharded.md.
"""
from __future__ import annotations

import argparse
from collections import Counter
import pathlib
import shutil
import tempfile
import time

import dask.array as da
import numpy as np
import quillane
import quillane_dask
from distributed import Client, LocalCluster, futures_of

RESULTS = pathlib.Path(__file__).parent / "results"
REPEATS = 5  # every time is the best of five, on both sides


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
        source = da.random.RandomState(1).standard_normal((args.n, args.dim), chunks=(args.chunk, args.dim)).astype(np.float32)
        vectors = client.persist(source)
        client.wait_for_workers(2)
        from distributed import wait

        wait(vectors)
        client.rebalance(vectors)  # half the chunks on each worker, as a cluster would hold them
        held = Counter(workers[0] for workers in client.who_has(futures_of(vectors)).values())
        # The same rows for the one process, made here: computing `vectors` through the
        # cluster would gather every chunk onto one worker first.
        local = source.compute(scheduler="threads")

        def build_one() -> quillane.CompactIndex:
            one = quillane.CompactIndex(args.dim, 4)
            for first in range(0, args.n, args.chunk):
                one.add_batch(np.arange(first, min(args.n, first + args.chunk)), local[first:first + args.chunk],
                              threads=1)
            return one

        # The two sides run in turn, so that both see the same moments of this shared machine.
        builds: list[tuple[float, float]] = []  # (one process, cluster) seconds, in pairs
        searches: list[tuple[float, float]] = []
        saves: list[float] = []
        for _ in range(REPEATS):
            shutil.rmtree(directory, ignore_errors=True)
            start = time.perf_counter()
            sharded = quillane_dask.build(vectors, directory, bits=4)
            cluster_time = time.perf_counter() - start
            start = time.perf_counter()
            one = build_one()
            builds.append((time.perf_counter() - start, cluster_time))
            start = time.perf_counter()
            one.save(directory / "one-process.qli")  # context: what saving costs the one process
            saves.append(time.perf_counter() - start)
        sharded.search_batch(queries[:1], 10)  # every shard mapped on a worker
        for _ in range(REPEATS):
            start = time.perf_counter()
            got = sharded.search_batch(queries, 10)
            cluster_time = time.perf_counter() - start
            start = time.perf_counter()
            want = one.search_batch(queries, 10, threads=1)
            searches.append((time.perf_counter() - start, cluster_time))
    build_single, build_cluster = (min(t) for t in zip(*builds))
    search_single, search_cluster = (min(t) for t in zip(*searches))
    same = bool((got[0] == want[0]).all() and got[1].tobytes() == want[1].tobytes())
    shutil.rmtree(directory, ignore_errors=True)
    say(f"n = {args.n:,}, dim {args.dim}, compact 4 bits, shards of {args.chunk:,} rows; 256 queries, top 10; "
        f"best of {REPEATS}, the two sides timed in turn; chunks per worker: {sorted(held.values())}")
    say(f"  build: one process (threads=1) {build_single:.2f} s = {args.n / build_single:,.0f} rows/s; "
        f"2 workers {build_cluster:.2f} s = {args.n / build_cluster:,.0f} rows/s ({build_single / build_cluster:.2f}x, "
        "shards saved to disk included)")
    say("    each pair's ratio: " + ", ".join(f"{a / b:.2f}x" for a, b in builds))
    say(f"    for context, the one process saving its index too: {build_single + min(saves):.2f} s "
        f"({(build_single + min(saves)) / build_cluster:.2f}x; its save alone {min(saves):.2f} s)")
    say(f"  search_batch: one process {search_single * 1e3:.0f} ms; 2 workers {search_cluster * 1e3:.0f} ms "
        f"({search_single / search_cluster:.2f}x)")
    say("    each pair's ratio: " + ", ".join(f"{a / b:.2f}x" for a, b in searches))
    say(f"  the sharded answers equal one index's: {same}")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "sharded.md").write_text("```\n" + "\n".join(lines) + "\n```\n")


if __name__ == "__main__":
    main()
