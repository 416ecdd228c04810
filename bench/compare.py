"""quillane beside the FAISS indexes a user would pick instead, on the same data in one run.

Run with `make compare` (it builds the wheel and a benchmark environment with
faiss-cpu==1.13.2). Everything is single-threaded. Writes bench/results/compare.md and
bench/results/compare.png.
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import argparse
import pathlib
import platform
import sys
import time

import faiss
import numpy as np
import quillane
from threadpoolctl import threadpool_info

RESULTS = pathlib.Path(__file__).parent / "results"


def clustered(n: int, dim: int, seed: int) -> np.ndarray:
    """The demo's data set: unit vectors around 64 random centres."""
    sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "examples"))
    from demo import clustered_data

    return clustered_data(n, dim, seed)


def gaussian(n: int, dim: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, dim), dtype=np.float32)


def recall_at(found: list[np.ndarray], truth: np.ndarray, k: int) -> float:
    hits = sum(len(set(f[:k].tolist()) & set(t[:k].tolist())) for f, t in zip(found, truth))
    return hits / (len(found) * k)


def time_queries(search, queries: np.ndarray) -> tuple[float, list[np.ndarray]]:
    found = []
    started = time.perf_counter()
    for q in queries:
        found.append(search(q))
    return (time.perf_counter() - started) / len(queries), found


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def streaming_bandwidth() -> float:
    """Single-core sequential read bandwidth, bytes per second (best of five sums of 1 GiB)."""
    buf = np.ones(2**28, dtype=np.float32)
    best = min(_timed(buf.sum) for _ in range(5))
    return buf.nbytes / best


def _timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def run_quillane(base, queries, bits, k):
    dim = base.shape[1]
    t0 = time.perf_counter()
    index = quillane.VectorIndex(dim, bits=bits)
    build = time.perf_counter() - t0
    rss_before = rss_bytes()
    t0 = time.perf_counter()
    for i, v in enumerate(base):
        index.add(i, v)
    add = time.perf_counter() - t0
    rss_growth = rss_bytes() - rss_before
    per_query, found = time_queries(lambda q: index.search(q, k)[0], queries)
    size = quillane.TurboQuantizer(dim, bits=bits).code_size_bytes
    return dict(method=f"quillane {bits}-bit", bytes=size, build=build, add=add,
                search=per_query, found=found, rss_per_entry=rss_growth / len(base))


def run_faiss(name, index, base, queries, k, train_n):
    t0 = time.perf_counter()
    if not index.is_trained:
        index.train(base[:train_n])
    build = time.perf_counter() - t0
    t0 = time.perf_counter()
    index.add(base)
    add = time.perf_counter() - t0
    per_query, found = time_queries(lambda q: index.search(q[None], k)[1][0], queries)
    size = index.sa_code_size() if hasattr(index, "sa_code_size") else 4 * base.shape[1]
    return dict(method=name, bytes=size, build=build, add=add, search=per_query, found=found)


def faiss_indexes(dim: int):
    ip = faiss.METRIC_INNER_PRODUCT
    yield "FAISS IndexFlatIP", faiss.IndexFlatIP(dim)
    yield "FAISS SQ 8-bit", faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_8bit, ip)
    yield "FAISS SQ 4-bit", faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_4bit, ip)
    yield f"FAISS PQ {dim // 8}x8", faiss.IndexPQ(dim, dim // 8, 8, ip)
    if hasattr(faiss, "IndexRaBitQ"):
        yield "FAISS RaBitQ", faiss.IndexRaBitQ(dim, ip)


def per_entry_reference_seconds(base, query, n_small: int) -> float:
    """The search as the binding's first form ran it: parse and score entry by entry
    (rotating the query for every entry), then a stable sort of all scores."""
    q = quillane.TurboQuantizer(base.shape[1])
    codes = [q.encode(v) for v in base[:n_small]]
    t0 = time.perf_counter()
    scores = [q.inner_product(c, query) for c in codes]
    sorted(range(len(scores)), key=lambda i: -scores[i])
    return time.perf_counter() - t0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=50)
    parser.add_argument("--train", type=int, default=20_000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--datasets", nargs="*", default=["clustered-256", "gaussian-768", "gaussian-1536"])
    args = parser.parse_args()
    faiss.omp_set_num_threads(1)

    bandwidth = streaming_bandwidth()
    rows = []
    targets = []
    for dataset in args.datasets:
        kind, dim_text = dataset.split("-")
        dim = int(dim_text)
        make = clustered if kind == "clustered" else gaussian
        data = make(args.n + args.queries, dim, seed=11)
        queries, base = data[: args.queries], np.ascontiguousarray(data[args.queries:])
        truth = np.argsort(-(queries @ base.T), axis=1, kind="stable")[:, : args.k]
        results = []
        for bits in (1, 2, 4, 8):
            results.append(run_quillane(base, queries, bits, args.k))
            print(dataset, results[-1]["method"], f"{results[-1]['search'] * 1e3:.1f} ms", flush=True)
        for name, index in faiss_indexes(dim):
            results.append(run_faiss(name, index, base, queries, args.k, args.train))
            print(dataset, name, f"{results[-1]['search'] * 1e3:.1f} ms", flush=True)
        for r in results:
            r["recall"] = recall_at(r["found"], truth, args.k)
            r["dataset"] = dataset
            rows.append(r)
        if dataset == "gaussian-768":
            q4 = next(r for r in results if r["method"] == "quillane 4-bit")
            flat = next(r for r in results if r["method"] == "FAISS IndexFlatIP")
            floor = args.n * q4["bytes"] / bandwidth
            n_small = 1000
            reference = per_entry_reference_seconds(base, queries[0], n_small) * args.n / n_small
            targets = [
                ("search / FAISS IndexFlatIP (target <= 1.5)", f"{q4['search'] / flat['search']:.2f}"),
                ("search / memory floor (target <= 2)", f"{q4['search'] / floor:.2f}"),
                ("per-entry algorithm (through today's inner_product) / search; the plain "
                 "loops' ratio is bench_search's", f"{reference / q4['search']:.0f}"),
                ("resident bytes per entry over 100,000 adds (target <= code + 16 = "
                 f"{q4['bytes'] + 16})", f"{q4['rss_per_entry']:.0f}"),
                ("quillane 4-bit search per query", f"{q4['search'] * 1e3:.1f} ms"),
                ("FAISS IndexFlatIP search per query", f"{flat['search'] * 1e3:.1f} ms"),
                ("memory floor (code bytes / streaming bandwidth)", f"{floor * 1e3:.1f} ms"),
                ("per-entry algorithm, extrapolated from n = 1000", f"{reference:.1f} s"),
                ("single-core streaming read bandwidth", f"{bandwidth / 1e9:.1f} GB/s"),
            ]
    write_report(rows, targets, args)
    plot(rows)


def write_report(rows, targets, args) -> None:
    RESULTS.mkdir(exist_ok=True)
    blas = ", ".join(f"{i.get('internal_api')} {i.get('version')} ({i.get('architecture')})"
                     for i in threadpool_info())
    lines = [
        f"# quillane beside FAISS {faiss.__version__}",
        "",
        f"n = {args.n:,} vectors, {args.queries} queries one at a time, top {args.k}, one thread; "
        f"CPython {platform.python_version()}, NumPy {np.__version__}; BLAS: {blas or 'none loaded'}.",
        "",
        "| data | method | bytes/vector | build/train s | add s | search ms/query | recall@10 |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        lines.append(f"| {r['dataset']} | {r['method']} | {r['bytes']} | {r['build']:.2f} | "
                     f"{r['add']:.2f} | {r['search'] * 1e3:.1f} | {r['recall']:.3f} |")
    if targets:
        lines += ["", "## Search targets (gaussian-768, quillane 4-bit)", "", "| measure | value |", "|---|---:|"]
        lines += [f"| {name} | {value} |" for name, value in targets]
    (RESULTS / "compare.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


def plot(rows) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5))
    for dataset in dict.fromkeys(r["dataset"] for r in rows):
        for family, marker in (("quillane", "o"), ("FAISS", "s")):
            sel = [r for r in rows if r["dataset"] == dataset and r["method"].startswith(family)]
            xs = [r["bytes"] for r in sel]
            axes[0].scatter(xs, [r["recall"] for r in sel], marker=marker, label=f"{family} {dataset}")
            axes[1].scatter(xs, [r["search"] * 1e3 for r in sel], marker=marker, label=f"{family} {dataset}")
    for ax, label in ((axes[0], "recall@10"), (axes[1], "search ms per query")):
        ax.set_xscale("log")
        ax.set_xlabel("bytes per vector")
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.3)
    axes[1].set_yscale("log")
    axes[0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(RESULTS / "compare.png", dpi=110)


if __name__ == "__main__":
    main()
