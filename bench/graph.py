"""GraphIndex beside hnswlib and FAISS's graph indexes, on the same data in one run.

Run with `make compare-graph` (a benchmark environment with faiss-cpu==1.13.2, hnswlib and
matplotlib). Queries are held out; the ground truth is the exact top 10 by cosine. For
every method and setting: bytes per vector (saved file / n), build seconds at one and two
threads, recall@10, queries per second for all queries in one call and for one query per
call (the best of --repeats runs), all searches on one thread. Writes
bench/results/graph-<data>.md and .png.

    python bench/graph.py --data glove                     # 399,000 GloVe 50-d word vectors
    python bench/graph.py --data text --n 500000           # English lines, 384-d (bench/text_embeddings.py)
    python bench/graph.py --data clustered --n 200000 --dim 768
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import argparse
import importlib.metadata
import pathlib
import platform
import subprocess
import sys
import time

import faiss
import hnswlib
import numpy as np

import quillane

sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "examples"))
from demo import clustered_data  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from embeddings import glove_vectors, held_out  # noqa: E402
from text_embeddings import text_vectors  # noqa: E402
from ivf import exact_top10, recall, saved_bytes, timed  # noqa: E402

RESULTS = pathlib.Path(__file__).parent / "results"
EFS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384]


def lscpu() -> dict[str, str]:
    """lscpu's fields (empty where it cannot run)."""
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return {}
    return {key.strip(): value.strip() for key, value in (line.split(":", 1) for line in out.splitlines() if ":" in line)}


def processor() -> str:
    """lscpu's model name, vendor, family and model (a virtual machine may name only the brand)."""
    fields = lscpu()
    if not fields:
        return platform.processor() or "unknown"
    get = lambda key: fields.get(key, "?")  # noqa: E731
    return f"{get('Model name')} ({get('Vendor ID')}, family {get('CPU family')}, model {get('Model')})"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", choices=["clustered", "glove", "text"], default="glove")
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--single", type=int, default=200, help="queries timed one per call")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs per setting; the best is kept")
    parser.add_argument("--degree", type=int, default=32)
    parser.add_argument("--bits", default="8,4")
    parser.add_argument("--skip", default="", help="methods to leave out: hnswlib,faiss")
    parser.add_argument("--efs", default=",".join(map(str, EFS)), help="beam widths swept")
    parser.add_argument("--build-threads", default="1,2",
                        help="thread counts each build is timed at (FAISS builds at the last)")
    args = parser.parse_args()
    if args.data == "glove":
        queries, base = held_out(glove_vectors(), args.queries)
    elif args.data == "text":
        queries, base = held_out(text_vectors(args.n + args.queries), args.queries)
    else:
        queries, base = held_out(clustered_data(args.n + args.queries, args.dim, 3), args.queries, seed=None)
    n, dim = base.shape
    where = processor()
    print(f"{args.data} {n} x {dim}, {len(queries)} queries, on {where}", flush=True)
    truth = exact_top10(base, queries)
    rows, builds = [], []
    build_threads = [int(t) for t in args.build_threads.split(",")]
    efs = [int(ef) for ef in args.efs.split(",")]

    def sweep(name: str, per_vector: float, search, widths=efs) -> None:
        for ef in widths:
            ids, batch, one = timed(lambda q: search(q, ef), queries, args.single, args.repeats)
            rows.append((name, per_vector, ef, recall(ids, truth), batch, one))
            print(f"{name:28s} {per_vector:7.1f} B  ef {ef:4d}  recall {rows[-1][3]:.3f}  batch {batch:8.0f} q/s  "
                  f"one {one:7.0f} q/s", flush=True)

    for bits in [int(b) for b in args.bits.split(",")]:
        name = f"GraphIndex {bits}-bit d={args.degree}"
        seconds = []
        for threads in build_threads:
            graph = quillane.GraphIndex(dim, degree=args.degree, bits=bits, metric="cosine")
            start = time.perf_counter()
            graph.add_batch(np.arange(n), base, threads=threads)
            seconds.append(time.perf_counter() - start)
        builds.append((name, *build_times(build_threads, seconds)))
        print(f"{name}: build " + ", ".join(f"{s:.1f} s on {t} thread(s)" for t, s in zip(build_threads, seconds)),
              flush=True)
        per_vector = saved_bytes(graph.save) / n
        sweep(name, per_vector, lambda q, ef: graph.search_batch(q, 10, ef=ef, threads=1)[0])
        sweep(name + " rerank", per_vector,
              lambda q, ef: graph.search_batch(q, 10, ef=ef, threads=1, rerank=base, rerank_factor=4)[0],
              [ef for ef in efs if ef >= 32])
        del graph
    if "hnswlib" not in args.skip:
        seconds = []
        for threads in build_threads:
            hnsw = hnswlib.Index(space="cosine", dim=dim)
            hnsw.init_index(max_elements=n, M=16, ef_construction=200, random_seed=1)
            hnsw.set_num_threads(threads)
            start = time.perf_counter()
            hnsw.add_items(base, np.arange(n))
            seconds.append(time.perf_counter() - start)
        hnsw.set_num_threads(1)
        builds.append(("hnswlib M=16", *build_times(build_threads, seconds)))
        print("hnswlib: build " + ", ".join(f"{s:.1f} s on {t} thread(s)" for t, s in zip(build_threads, seconds)),
              flush=True)

        def hnsw_search(q: np.ndarray, ef: int) -> np.ndarray:
            hnsw.set_ef(max(ef, 10))
            return hnsw.knn_query(q, k=10)[0]

        sweep("hnswlib M=16", saved_bytes(hnsw.save_index) / n, hnsw_search)
        del hnsw
    if "faiss" not in args.skip:
        for name, make in (("FAISS HNSWFlat M=32", lambda: faiss.IndexHNSWFlat(dim, 32, faiss.METRIC_INNER_PRODUCT)),
                           ("FAISS HNSWSQ8 M=32", lambda: faiss.IndexHNSWSQ(dim, faiss.ScalarQuantizer.QT_8bit, 32,
                                                                            faiss.METRIC_INNER_PRODUCT))):
            index = make()
            index.hnsw.efConstruction = 200
            faiss.omp_set_num_threads(build_threads[-1])
            start = time.perf_counter()
            index.train(base)
            index.add(base)
            builds.append((name, *build_times(build_threads[-1:], [time.perf_counter() - start])))
            faiss.omp_set_num_threads(1)

            def faiss_search(q: np.ndarray, ef: int) -> np.ndarray:
                index.hnsw.efSearch = max(ef, 10)
                return index.search(q, 10)[1]

            sweep(name, saved_bytes(lambda p: faiss.write_index(index, p)) / n, faiss_search)
            del index
    write(args, where, n, dim, rows, builds)


def build_times(threads: list[int], seconds: list[float]) -> tuple[float, float]:
    """(one thread, two threads) seconds; NaN for a count not timed."""
    timed = dict(zip(threads, seconds))
    return timed.get(1, float("nan")), timed.get(2, float("nan"))


def cell(seconds: float) -> str:
    return "not timed" if np.isnan(seconds) else f"{seconds:.1f}"


def write(args, where: str, n: int, dim: int, rows, builds) -> None:
    stem = f"graph-{args.data}"
    lines = [f"# GraphIndex beside hnswlib {importlib.metadata.version('hnswlib')} and FAISS {faiss.__version__}", "",
             f"{args.data}, {n:,} x {dim}, cosine, {args.queries} held-out queries, top 10 against the exact top 10; "
             f"searches on one thread, each timing the best of {args.repeats} runs; processor: {where}; "
             f"`python bench/graph.py {' '.join(sys.argv[1:])}`.", "",
             "| method | build s, 1 thread | build s, 2 threads |", "|---|---:|---:|"]
    lines += [f"| {name} | {cell(one)} | {cell(two)} |" for name, one, two in builds]
    lines += ["", "| method | bytes/vector | ef | recall@10 | q/s, 1,000 in one call | q/s, one per call |",
              "|---|---:|---:|---:|---:|---:|"]
    lines += [f"| {name} | {b:.1f} | {ef} | {r:.3f} | {batch:.0f} | {one:.0f} |" for name, b, ef, r, batch, one in rows]
    (RESULTS / f"{stem}.md").write_text("\n".join(lines) + "\n")
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, ax = plt.subplots(figsize=(8, 5))
    for name in dict.fromkeys(r[0] for r in rows):
        mine = [r for r in rows if r[0] == name]
        ax.plot([r[3] for r in mine], [r[4] for r in mine], marker="o", label=f"{name} ({mine[0][1]:.0f} B)")
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries per second (1,000 in one call, one thread)")
    ax.set_yscale("log")
    ax.set_title(f"{args.data}, {n:,} x {dim}")
    ax.legend(fontsize=8)
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(RESULTS / f"{stem}.png", dpi=110)


if __name__ == "__main__":
    main()
