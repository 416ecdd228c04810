"""The vector-store features measured: removal, filtered search, memory after removal,
metrics' recall and exact re-ranking. One thread unless said; writes bench/results/store.md.

    python bench/store.py [--n 1000000] [--dim 768] [--quick]

Data: the demo's clustered generator (rows of unit length, made in chunks) at n x dim, and
the real token embeddings of bench/embeddings.py (30,522 x 384; the last 1,000 rows are the
queries). Memory is the process's anonymous resident memory (RssAnon), measured in a fresh
process for each index so that nothing else is counted.
"""
from __future__ import annotations

import os

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import argparse
import pathlib
import platform
import subprocess
import sys
import time

import numpy as np

import quillane

RESULTS = pathlib.Path(__file__).parent / "results"


def clustered(n: int, dim: int, seed: int = 1) -> np.ndarray:
    """Points around 64 centres, unit length, made 100,000 rows at a time."""
    centres = np.random.default_rng(seed).standard_normal((64, dim))
    out = np.empty((n, dim), np.float32)
    for start in range(0, n, 100_000):
        rng = np.random.default_rng([seed, start])
        m = min(100_000, n - start)
        points = centres[rng.integers(0, 64, m)] + 0.6 * rng.standard_normal((m, dim))
        out[start : start + m] = points / np.linalg.norm(points, axis=1, keepdims=True)
    return out


def timed_removal(index, one, rows: int, repeats: int) -> tuple[int, float, float, float, np.ndarray]:
    """Removes 1% of the ids 0..rows-1: how many went, the seconds it took, one search
    (`one`) per call before and after it, and the ids removed."""
    before = per_call(one, repeats)
    gone = np.random.default_rng(3).choice(rows, rows // 100, replace=False)
    start = time.perf_counter()
    removed = index.remove(gone)
    took = time.perf_counter() - start
    return removed, took, before, per_call(one, repeats), gone


def per_call(call, repeats: int) -> float:
    """Seconds per call: the median of `repeats` calls."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return float(np.median(times))


def exact_top10(base: np.ndarray, queries: np.ndarray) -> np.ndarray:
    return np.concatenate([np.argsort(-(queries[s : s + 100] @ base.T), axis=1, kind="stable")[:, :10]
                           for s in range(0, len(queries), 100)])


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return float(np.mean([len(set(f.tolist()) & set(t.tolist())) / 10 for f, t in zip(found, truth)]))


def rss_anon() -> int:
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("RssAnon:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no RssAnon")


def memory_child(kind: str, n: int, dim: int) -> None:
    """In a fresh process: the anonymous memory an index of n rows adds, fresh or after
    half of it was removed and added back."""
    x = clustered(n, dim)
    before = rss_anon()
    index = quillane.CompactIndex(dim, 4)
    ids = np.arange(n, dtype=np.uint64)
    if kind == "fresh":
        index.add_batch(ids, x, threads=2)
    else:
        index.add_batch(ids, x, threads=2)
        half = ids[::2]
        index.remove(half)
        index.add_batch(half, np.ascontiguousarray(x[::2]), threads=2)
    print(rss_anon() - before)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--quick", action="store_true", help="small sizes, to try the script")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.n, args.dim = 50_000, 128
    if args.memory_child:
        memory_child(args.memory_child, args.n, args.dim)
        return
    lines = [f"# Vector-store features, {platform.processor() or platform.machine()}, one thread unless said",
             "", f"Measured by `python bench/store.py --n {args.n} --dim {args.dim}` (median of repeated calls).", ""]

    def say(text: str = "") -> None:
        print(text, flush=True)
        lines.append(text)

    n, dim = args.n, args.dim
    print(f"generating {n:,} x {dim} ...", flush=True)
    x = clustered(n, dim)
    queries = clustered(64, dim, seed=2)
    ids = np.arange(n, dtype=np.uint64)
    index = quillane.CompactIndex(dim, 4)
    index.add_batch(ids, x, threads=2)
    one = lambda: index.search(queries[0], 10)  # noqa: E731
    batch = lambda: index.search_batch(queries, 10, threads=1)  # noqa: E731

    say(f"## Removal and filters: CompactIndex, 4 bits, {n:,} x {dim}")
    say()
    say("| measurement | result |")
    say("|---|---:|")
    removed, took, before, after, gone = timed_removal(index, one, n, 9)
    say(f"| remove of 1% ({removed:,} entries) | {took * 1e3:.1f} ms |")
    say(f"| one search before / after it | {before * 1e3:.2f} / {after * 1e3:.2f} ms ({after / before:.2f}x) |")
    index.add_batch(gone.astype(np.uint64), x[gone], threads=2)
    index.search(queries[0], 10, allow=np.array([0]))  # the id map, built once
    few = np.random.default_rng(4).choice(n, 10, replace=False)
    t_few = per_call(lambda: index.search(queries[0], 10, allow=few), 200)
    say(f"| search with allow of 10 ids | {t_few * 1e6:.1f} us per query |")

    def half_allowed(label: str, half: np.ndarray) -> None:
        """One query per call and a batch, filtered to `half` against unfiltered, in turn."""
        plain, plain_batch = per_call(one, 9), per_call(batch, 5)
        t_half, t_half_batch = per_call(lambda: index.search(queries[0], 10, allow=half), 9), \
            per_call(lambda: index.search_batch(queries, 10, allow=half, threads=1), 5)
        say(f"| {label}, one query per call | {t_half * 1e3:.2f} ms ({t_half / plain:.2f}x of {plain * 1e3:.2f} ms) |")
        say(f"| {label}, {len(queries)} queries per call | {t_half_batch / len(queries) * 1e3:.3f} ms per query "
            f"({t_half_batch / plain_batch:.2f}x of {plain_batch / len(queries) * 1e3:.3f} ms) |")

    half_allowed("allow of half the ids", np.arange(0, n, 2))
    del index
    # Ids that are not row numbers (random 63-bit ones) go through the id map's hash table.
    scattered = np.random.default_rng(5).integers(0, 2**63, n, dtype=np.uint64)
    index = quillane.CompactIndex(dim, 4)
    index.add_batch(scattered, x, threads=2)
    index.search(queries[0], 10, allow=scattered[:1])
    half_allowed("the same with random 63-bit ids", scattered[::2].copy())
    del index
    # The same on an inverted file of a tenth of the rows (trained on them), 16 probes.
    m = n // 10
    ivf = quillane.IvfIndex(dim, max(1, int(4 * m**0.5)), 4)
    ivf.train(x[:m], iterations=5)
    ivf.add_batch(ids[:m], x[:m], threads=2)
    ivf_one = lambda: ivf.search(queries[0], 10, probes=16)  # noqa: E731
    removed, took, before, after, _ = timed_removal(ivf, ivf_one, m, 21)
    say(f"| IvfIndex ({m:,} rows, {ivf.lists} lists, 16 probes): remove of 1% ({removed:,}) | {took * 1e3:.1f} ms |")
    say(f"| IvfIndex: one search before / after it | {before * 1e3:.3f} / {after * 1e3:.3f} ms ({after / before:.2f}x) |")
    every = lambda: ivf.search(queries[0], 10, probes=ivf.lists, allow=few[few < m])  # noqa: E731
    ivf.search(queries[0], 10, allow=np.array([0]))  # the id map, built once
    say(f"| IvfIndex: allow of {np.count_nonzero(few < m)} ids, every list probed | {per_call(every, 101) * 1e6:.1f} us per query |")
    half = ids[:m:2].copy()
    say(f"| IvfIndex: allow of half the ids | {per_call(lambda: ivf.search(queries[0], 10, probes=16, allow=half), 21) * 1e3:.3f} ms "
        f"({per_call(lambda: ivf.search(queries[0], 10, probes=16, allow=half), 21) / after:.2f}x) |")
    del ivf
    sizes = {}
    for kind in ("fresh", "readd"):
        out = subprocess.run([sys.executable, __file__, "--n", str(n), "--dim", str(dim), "--memory-child", kind],
                             check=True, capture_output=True, text=True).stdout
        sizes[kind] = int(out.split()[-1])
    say(f"| resident memory: half removed and added back / fresh | {sizes['readd'] / 2**20:,.0f} / "
        f"{sizes['fresh'] / 2**20:,.0f} MiB ({sizes['readd'] / sizes['fresh']:.3f}x) |")
    say()

    sys.path.insert(0, str(pathlib.Path(__file__).parent))
    from embeddings import minilm_tokens

    real = minilm_tokens()
    real /= np.linalg.norm(real, axis=1, keepdims=True)
    sets = {"real (30,522 x 384, normalised)": (real[:-1000], real[-1000:]),
            f"clustered ({min(n, 100_000):,} x {dim})": (x[: min(n, 100_000)], queries)}
    say("## Metrics on normalised data: recall@10 at 4 bits against the exact top 10")
    say()
    say("| data | ip | cosine | l2 |")
    say("|---|---:|---:|---:|")
    for name, (base, qs) in sets.items():
        truth = exact_top10(base, qs)
        row = []
        for metric in ("ip", "cosine", "l2"):
            ix = quillane.CompactIndex(base.shape[1], 4, metric=metric)
            ix.add_batch(np.arange(len(base)), base, threads=2)
            row.append(recall(ix.search_batch(qs, 10, threads=1)[0], truth))
        say(f"| {name} | " + " | ".join(f"{r:.4f}" for r in row) + " |")
    say()
    say("## Exact re-ranking: recall@10 and time of search_batch(..., rerank=vectors)")
    say()
    say("| data | bits | rerank_factor | recall@10 | ms per query (1,000 per call) | time vs none |")
    say("|---|---:|---:|---:|---:|---:|")
    for name, (base, qs) in sets.items():
        truth = exact_top10(base, qs)
        for bits in (2, 4):
            ix = quillane.CompactIndex(base.shape[1], bits)
            ix.add_batch(np.arange(len(base)), base, threads=2)
            plain = per_call(lambda: ix.search_batch(qs, 10, threads=1), 3)
            for factor in (None, 2, 4, 8, 16):
                kw = {} if factor is None else {"rerank": base, "rerank_factor": factor}
                found = ix.search_batch(qs, 10, threads=1, **kw)[0]
                t = plain if factor is None else per_call(lambda: ix.search_batch(qs, 10, threads=1, **kw), 3)
                say(f"| {name} | {bits} | {factor or 'none'} | {recall(found, truth):.4f} | {t / len(qs) * 1e3:.3f} | "
                    f"{t / plain:.2f}x |")
    RESULTS.mkdir(exist_ok=True)
    if not args.quick:
        (RESULTS / "store.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
