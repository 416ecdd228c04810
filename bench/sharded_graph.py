"""Sharded GraphIndex build on a local Dask cluster: two worker processes against one, each
holding its chunks before timing.

Run with `make compare-sharded-graph`. n = 64,000 random vectors of dim 768 (float32,
generated on the workers), shards of 8,000 rows, degree 32, 8 bits, cosine; each worker
builds its shards on one thread. The two clusters are timed in turn, --repeats times each;
the best of each side is reported with each pair's ratio. Then 256 queries (top 10,
ef 64) on both, and the merged answer is checked against each shard's GraphIndex searched
here and merged. Writes bench/results/sharded-graph.md.
"""
from __future__ import annotations

import argparse
import pathlib
import shutil
import sys
import tempfile
import time
from collections import Counter

import dask.array as da
import numpy as np
import quillane
import quillane_dask
from distributed import Client, LocalCluster, futures_of, wait

RESULTS = pathlib.Path(__file__).parent / "results"
sys.path.insert(0, str(pathlib.Path(__file__).parent))
from graph import processor  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=64_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--chunk", type=int, default=8_000)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    lines: list[str] = []

    def say(text: str) -> None:
        print(text, flush=True)
        lines.append(text)

    root = pathlib.Path(args.dir) / "quillane-sharded-graph-bench"
    queries = np.random.default_rng(7).standard_normal((256, args.dim), dtype=np.float32)
    options = {"family": "graph", "degree": 32, "bits": 8, "metric": "cosine"}
    clusters, clients, held_rows, placement = [], [], [], []
    for workers in (1, 2):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                               memory_limit=0)
        client = Client(cluster, set_as_default=False)
        client.wait_for_workers(workers)
        source = da.random.RandomState(1).standard_normal((args.n, args.dim), chunks=(args.chunk, args.dim))
        with client.as_current():  # two clients: wait on this one's
            vectors = client.persist(source.astype(np.float32))
            wait(vectors)
            client.rebalance(vectors)  # the chunks shared out, as a cluster would hold them
            placement.append(sorted(Counter(w[0] for w in client.who_has(futures_of(vectors)).values()).values()))
        clusters.append(cluster)
        clients.append(client)
        held_rows.append(vectors)
    times: list[list[float]] = [[], []]
    try:
        for _ in range(args.repeats):
            for side in (0, 1):  # in turn, so that both see the same moments of this shared machine
                directory = root / f"workers-{side + 1}"
                shutil.rmtree(directory, ignore_errors=True)
                start = time.perf_counter()
                sharded = quillane_dask.build(held_rows[side], directory, client=clients[side], **options)
                times[side].append(time.perf_counter() - start)
        answers, searches = [], []
        for side in (0, 1):
            sharded = quillane_dask.ShardedIndex.open(root / f"workers-{side + 1}")
            sharded.search_batch(queries[:1], 10, client=clients[side])  # every shard mapped
            start = time.perf_counter()
            answers.append(sharded.search_batch(queries, 10, ef=64, client=clients[side]))
            searches.append(time.perf_counter() - start)
        shards = [quillane.GraphIndex.load(root / "workers-2" / s["file"]) for s in sharded.shards]
        want = quillane_dask.merge([g.search_batch(queries, 10, ef=64) for g in shards], 10)
        same = all(np.array_equal(a[0], want[0]) and a[1].tobytes() == want[1].tobytes() for a in answers)
        files_equal = all((root / "workers-1" / s["file"]).read_bytes() == (root / "workers-2" / s["file"]).read_bytes()
                          for s in sharded.shards)
    finally:
        for client, cluster in zip(clients, clusters):
            client.close()
            cluster.close()
        shutil.rmtree(root, ignore_errors=True)
    one, two = min(times[0]), min(times[1])
    say(f"processor: {processor()}; n = {args.n:,}, dim {args.dim}, GraphIndex degree 32, 8 bits, cosine, "
        f"shards of {args.chunk:,} rows; chunks per worker: {placement[0]} and {placement[1]}")
    say(f"  build (shards saved included), best of {args.repeats}: 1 worker {one:.1f} s = {args.n / one:,.0f} rows/s; "
        f"2 workers {two:.1f} s = {args.n / two:,.0f} rows/s ({one / two:.2f}x)")
    say("    each pair's ratio: " + ", ".join(f"{a / b:.2f}x" for a, b in zip(*times)))
    say(f"  search_batch of 256 queries, ef 64: 1 worker {searches[0] * 1e3:.0f} ms, 2 workers "
        f"{searches[1] * 1e3:.0f} ms ({searches[0] / searches[1]:.2f}x)")
    say(f"  the shard files are the same from 1 and 2 workers: {files_equal}; the merged answers equal each "
        f"shard's GraphIndex searched and merged: {same}")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "sharded-graph.md").write_text("```\n" + "\n".join(lines) + "\n```\n")


if __name__ == "__main__":
    main()
