"""Index files: save, load with and without verification, memory-mapped opening.

Run with `make compare-files` (or any environment with the wheel and NumPy). Builds a
compact 4-bit index of 1,000,000 random vectors of dim 768 (about 404 MB of records),
saves it into --dir (default: the system's temporary directory), and times the calls,
best of 3. Writes bench/results/files.md.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import tempfile
import time

import numpy as np
import quillane

RESULTS = pathlib.Path(__file__).parent / "results"


def best(fn, repeat: int = 3) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    index = quillane.CompactIndex(args.dim, 4)
    rng = np.random.default_rng(1)
    for first in range(0, args.n, 100_000):
        rows = min(100_000, args.n - first)
        index.add_batch(np.arange(first, first + rows), rng.standard_normal((rows, args.dim), dtype=np.float32))
    path = pathlib.Path(args.dir) / "quillane-bench.qli"
    lines = []

    def say(text: str) -> None:
        print(text, flush=True)
        lines.append(text)

    try:
        save = best(lambda: index.save(path))
        size = path.stat().st_size
        say(f"compact 4-bit index, n = {args.n:,}, dim {args.dim}: file {size / 1e6:.1f} MB in {args.dir}")
        say(f"  save (write, fsync, rename, fsync dir): {save * 1e3:.1f} ms = {size / save / 1e6:.0f} MB/s")
        mapped = best(lambda: quillane.CompactIndex.load(path, mmap=True, verify=False))
        say(f"  load(mmap=True, verify=False): {mapped * 1e3:.2f} ms")
        verified_map = best(lambda: quillane.CompactIndex.load(path, mmap=True))
        say(f"  load(mmap=True, verify=True): {verified_map * 1e3:.1f} ms = {size / verified_map / 1e9:.2f} GB/s")
        copied = best(lambda: quillane.CompactIndex.load(path))
        say(f"  load(mmap=False, verify=True): {copied * 1e3:.1f} ms = {size / copied / 1e9:.2f} GB/s")
        trusted = best(lambda: quillane.CompactIndex.load(path, verify=False))
        say(f"  load(mmap=False, verify=False): {trusted * 1e3:.1f} ms = {size / trusted / 1e9:.2f} GB/s")
        queries = rng.standard_normal((16, args.dim), dtype=np.float32)
        m = quillane.CompactIndex.load(path, mmap=True)
        a, b = index.search_batch(queries, 10), m.search_batch(queries, 10)
        say(f"  mapped search_batch equals the in-memory one: {bool((a[0] == b[0]).all() and a[1].tobytes() == b[1].tobytes())}")
    finally:
        path.unlink(missing_ok=True)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "files.md").write_text("```\n" + "\n".join(lines) + "\n```\n")


if __name__ == "__main__":
    main()
