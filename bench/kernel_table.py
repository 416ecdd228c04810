"""The kernel table of one processor: each bit width's search beside FAISS's
IndexRaBitQFastScan, and two threads against one on a small batch (not part of `make test`).

50,000 x 768 Gaussian rows, top 10, one thread: CompactIndex at 1, 2, 4 and 8 bits and
IndexRaBitQFastScan (faiss-cpu 1.13.2), one query per call (50 queries) and 200 queries
in one call, each the best of --repeats runs, the indexes timed in turn; then
search_batch of 64 queries over 20,000 x 768 at 4 bits on one thread and on two. Writes
bench/results/kernels-<vendor>-<family>-<model>.md, one file per processor family, so that
the families' tables sit side by side. Run in the benchmark environment of `make compare`:

    build/env-bench/bin/python bench/kernel_table.py
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import argparse
import pathlib
import sys
import time

import faiss
import numpy as np

import quillane

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from graph import lscpu, processor  # noqa: E402

RESULTS = pathlib.Path(__file__).parent / "results"


def family_key() -> str:
    fields = lscpu()
    return "-".join(fields.get(key, "unknown").lower().replace(" ", "-") for key in ("Vendor ID", "CPU family", "Model"))


def seconds(run) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    faiss.omp_set_num_threads(1)
    rng = np.random.default_rng(0)
    n, dim = 50_000, 768
    rows = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((200, dim), dtype=np.float32)
    indexes = {}
    for bits in (1, 2, 4, 8):
        index = quillane.CompactIndex(dim, bits)
        index.add_batch(np.arange(n), rows)
        indexes[f"{bits}-bit"] = (lambda q, index=index: index.search(q, 10),
                                  lambda qs, index=index: index.search_batch(qs, 10, threads=1))
    peer = faiss.IndexRaBitQFastScan(dim, faiss.METRIC_INNER_PRODUCT)
    peer.train(rows)
    peer.add(rows)
    indexes["RaBitQFastScan"] = (lambda q: peer.search(q[None], 10), lambda qs: peer.search(qs, 10))
    one = {name: [] for name in indexes}
    batch = {name: [] for name in indexes}
    for _ in range(args.repeats):  # in turn, so that every index sees the same moments of the machine
        for name, (single, many) in indexes.items():
            one[name].append(seconds(lambda: [single(q) for q in queries[:50]]) / 50)
            batch[name].append(seconds(lambda: many(queries)) / len(queries))
    one = {name: min(t) for name, t in one.items()}
    batch = {name: min(t) for name, t in batch.items()}
    small = quillane.CompactIndex(dim, 4)
    small.add_batch(np.arange(20_000), rows[:20_000])
    threads = {t: [] for t in (1, 2)}
    # A batch takes about 15 ms: thirty rounds at least, as the machine's own swings are about
    # as large as the difference between one and two threads' best.
    for _ in range(max(args.repeats, 30)):
        for t in (1, 2):
            threads[t].append(seconds(lambda: small.search_batch(queries[:64], 10, threads=t)))
    lines = [f"# Kernel table: {processor()}", "",
             f"`python bench/kernel_table.py` (faiss-cpu {faiss.__version__}); 50,000 x 768 Gaussian rows, top 10, "
             f"one thread, best of {args.repeats}, the indexes timed in turn.", "",
             "| index | one query per call, ms | 200 in one call, ms per query |", "|---|---:|---:|"]
    lines += [f"| {name} | {one[name] * 1e3:.3f} | {batch[name] * 1e3:.3f} |" for name in indexes]
    r = "RaBitQFastScan"
    lines += ["", "| measure | ratio |", "|---|---:|",
              f"| 8-bit / 4-bit, one query | {one['8-bit'] / one['4-bit']:.2f} |",
              f"| 1-bit / {r}, one query | {one['1-bit'] / one[r]:.2f} |",
              f"| 1-bit / {r}, 200 queries in one call | {batch['1-bit'] / batch[r]:.2f} |",
              f"| 2-bit / {r}, one query | {one['2-bit'] / one[r]:.2f} |",
              f"| 4-bit, 64 queries over 20,000 x 768: one thread / two threads (best of {max(args.repeats, 30)}) | "
              f"{min(threads[1]) / min(threads[2]):.2f}x |"]
    text = "\n".join(lines) + "\n"
    print(text)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / f"kernels-{family_key()}.md").write_text(text)


if __name__ == "__main__":
    main()
