"""IvfIndex 8-bit beside FAISS IndexIVFFlat on GloVe, a few probe counts, one thread; names
the processor, so that each processor family keeps its own table (not part of `make test`).

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE build/env-bench/bin/python bench/ivf_glove_probes.py

Writes bench/results/ivf-glove-probes-<vendor>-<family>-<model>.md.
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import pathlib
import subprocess
import sys
import time

import faiss
import numpy as np

import quillane

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from embeddings import glove_vectors, held_out  # noqa: E402
from graph import exact_top10, processor, recall  # noqa: E402

RESULTS = pathlib.Path(__file__).parent / "results"
PROBES = [8, 16, 32, 40, 48, 64]


def best_rate(call, queries: np.ndarray, repeats: int = 3) -> tuple[np.ndarray, float]:
    best = 0.0
    for _ in range(repeats):
        start = time.perf_counter()
        ids = call(queries)
        best = max(best, len(queries) / (time.perf_counter() - start))
    return ids, best


def main() -> None:
    queries, base = held_out(glove_vectors(), 1000)
    truth = exact_top10(base, queries)
    where = processor()
    print(f"glove {len(base)} x 50, 1024 lists, 1,000 queries in one call, one thread, on {where}", flush=True)
    rows = []
    index = quillane.IvfIndex(50, 1024, bits=8, metric="cosine")
    index.train(base, threads=1)
    index.add_batch(np.arange(len(base)), base, threads=1)
    for p in PROBES:
        ids, rate = best_rate(lambda q: index.search_batch(q, 10, probes=p, threads=1)[0], queries)
        rows.append(("IvfIndex 8-bit", p, recall(ids, truth), rate))
        print(rows[-1], flush=True)
    faiss.omp_set_num_threads(1)
    flat = faiss.IndexIVFFlat(faiss.IndexFlatIP(50), 50, 1024, faiss.METRIC_INNER_PRODUCT)
    flat.train(base)
    flat.add(base)
    for p in PROBES:
        flat.nprobe = p
        ids, rate = best_rate(lambda q: flat.search(q, 10)[1], queries)
        rows.append(("FAISS IndexIVFFlat", p, recall(ids, truth), rate))
        print(rows[-1], flush=True)
    out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
    tag = "-".join(fields.get(k, "?").strip().lower() for k in ("Vendor ID", "CPU family", "Model"))
    lines = [f"# IvfIndex beside FAISS IndexIVFFlat, GloVe, on {where}", "",
             "399,000 x 50, cosine, 1024 lists each trained by its own library, 1,000 held-out queries in one call, "
             "one thread, best of three; `bench/ivf_glove_probes.py`.", "",
             "| method | probes | recall@10 | queries/s |", "|---|---:|---:|---:|"]
    lines += [f"| {name} | {p} | {r:.3f} | {rate:.0f} |" for name, p, r, rate in rows]
    (RESULTS / f"ivf-glove-probes-{tag}.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
