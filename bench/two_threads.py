"""Two threads beside two processes: CompactIndex.search_batch of 64 queries at 4 bits,
threads=1 and threads=2, and what two processes of a plain CPU loop gain on the same
machine, measured in turn (this host's steal moves single readings).

    python bench/two_threads.py [--n 100000] [--dim 768] [--rounds 5]
"""
from __future__ import annotations

import argparse
import multiprocessing
import time

import numpy as np

import quillane


def spin(seconds: float) -> int:
    """A plain CPU loop: integer work that stays in registers, for `seconds`."""
    count, end, x = 0, time.perf_counter() + seconds, 1
    while time.perf_counter() < end:
        for _ in range(10000):
            x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        count += 1
    return count


def processes_gain(seconds: float = 1.0) -> float:
    one = spin(seconds)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        both = sum(pool.map(spin, [seconds, seconds]))
    return both / one


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    base = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((64, args.dim), dtype=np.float32)
    index = quillane.CompactIndex(args.dim, 4, 42)
    index.add_batch(np.arange(args.n), base)
    print("| round | threads=1 ms | threads=2 ms | thread gain | two processes gain | ratio |")
    print("|---:|---:|---:|---:|---:|---:|")
    for r in range(args.rounds):
        times = {}
        for threads in (1, 2):
            best = float("inf")
            for _ in range(3):
                start = time.perf_counter()
                index.search_batch(queries, 10, threads=threads)
                best = min(best, time.perf_counter() - start)
            times[threads] = best
        gain = times[1] / times[2]
        processes = processes_gain()
        print(f"| {r + 1} | {times[1] * 1e3:.1f} | {times[2] * 1e3:.1f} | {gain:.2f}x | {processes:.2f}x | "
              f"{gain / processes:.2f} |", flush=True)


if __name__ == "__main__":
    main()
