"""Threads, forks, interpreter exit and sizes: no starvation, no abort, no lost pool, no
wrapped size. Each case runs in seconds and stops by itself even when the fault is back."""
import multiprocessing
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from quillane import CompactIndex, CompactQuantizer, TurboQuantizer, VectorIndex

DIM = 32


def rows(n, seed=0):
    return np.random.default_rng(seed).standard_normal((n, DIM), dtype=np.float32)


def filled_index(n=3000):
    index = CompactIndex(DIM, 4, 1)
    index.add_batch(np.arange(n, dtype=np.uint64), rows(n))
    return index


def looping(call):
    """A thread that repeats call() until stopped; its count of finished calls."""
    stop, done = threading.Event(), [0]

    def loop():
        while not stop.is_set():
            call()
            done[0] += 1

    thread = threading.Thread(target=loop, daemon=True)
    thread.start()
    return stop, done, thread


@pytest.mark.parametrize("side", ["readers keep searching", "a writer keeps adding"])
def test_neither_readers_nor_writers_starve(side):
    index, queries, extra = filled_index(), rows(8, 1), rows(50, 2)
    loops = [looping(lambda: index.search_batch(queries, 10, threads=1)) for _ in range(2)]
    if side == "a writer keeps adding":
        loops.append(looping(lambda: index.add_batch(np.zeros(50, np.uint64), extra, threads=1)))
        waiting = lambda: index.search_batch(queries, 10)  # noqa: E731
    else:
        waiting = lambda: index.add_batch(np.zeros(50, np.uint64), extra)  # noqa: E731
    time.sleep(0.1)
    finished = threading.Event()
    call = threading.Thread(target=lambda: (waiting(), finished.set()), daemon=True)
    call.start()
    assert finished.wait(10), "the waiting call never got its hold"
    for stop, done, thread in loops:
        stop.set()
        thread.join(10)
        assert done[0] > 0


BATCH_CALLS = {
    "encode_batch": "q.encode_batch(x)",
    "decode_batch": "q.decode_batch(codes)",
    "inner_product_batch": "q.inner_product_batch(codes, x)",
    "add_batch": "index.add_batch(ids, x)",
    "search_batch": "index.search_batch(x, 5)",
}


@pytest.mark.parametrize("family", ["compact", "turbo"])
@pytest.mark.parametrize("method", sorted(BATCH_CALLS))
def test_interpreter_exit_with_threads_inside_batch_calls(family, method):
    make = ("CompactQuantizer(64, 4), CompactIndex(64, 4)" if family == "compact"
            else "TurboQuantizer(64, 4), VectorIndex(64, 4)")
    script = textwrap.dedent(f"""
        import threading, numpy as np
        from quillane import *
        q, index = {make}
        x = np.random.default_rng(0).standard_normal((400, 64), dtype=np.float32)
        codes, ids = q.encode_batch(x), np.arange(400, dtype=np.uint64)
        index.add_batch(ids, x)
        def loop():
            while True:
                {BATCH_CALLS[method]}
        for _ in range(2):
            threading.Thread(target=loop, daemon=True).start()
        import time; time.sleep(0.3)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    assert "FATAL" not in done.stderr


def threads_of_this_process():
    return len(os.listdir("/proc/self/task"))


def encode_in_child(_=None):
    q = CompactQuantizer(DIM, 4, 1)
    codes = q.encode_batch(rows(2000), threads=2)
    return codes.tobytes(), threads_of_this_process()


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="a pool needs two allowed cores")
@pytest.mark.parametrize("way", ["os.fork", "multiprocessing"])
def test_a_forked_child_gets_a_pool_of_its_own(way):
    want, _ = encode_in_child()  # the parent's pool exists before the fork
    if way == "multiprocessing":
        with multiprocessing.get_context("fork").Pool(1) as pool:
            codes, threads = pool.apply_async(encode_in_child).get(60)
        assert codes == want and threads >= 2
        return
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            codes, threads = encode_in_child()
            os.write(writer, bytes([codes == want, min(threads, 255)]))
        finally:
            os._exit(0)
    os.close(writer)
    verdict = os.read(reader, 2)
    os.waitpid(pid, 0)
    assert verdict[0] == 1 and verdict[1] >= 2, "the child's batch ran on its caller alone"


def huge(rows, width, dtype):
    """A C-contiguous view of `rows` rows over memory of one row: never to be read."""
    itemsize = np.dtype(dtype).itemsize
    return np.lib.stride_tricks.as_strided(np.zeros(width, dtype), shape=(rows, width),
                                           strides=(width * itemsize, itemsize))


def small_index(dim):
    index = CompactIndex(dim, 4)
    index.add_batch(np.arange(30, dtype=np.uint64), np.ones((30, dim), np.float32))
    return index


CODE_8 = CompactQuantizer(8, 8).code_size_bytes


@pytest.mark.parametrize("call", [
    # 17-byte codes: this many rows of them wrap to a 16-byte buffer.
    lambda: CompactQuantizer(1, 8).encode_batch(huge((2**64 + 16) // 17, 1, np.float32)),
    lambda: CompactQuantizer(8, 8).decode_batch(huge(2**58, CODE_8, np.uint8)),
    lambda: CompactQuantizer(8, 8).inner_product_batch(huge(2**40, CODE_8, np.uint8), huge(2**40, 8, np.float32)),
    lambda: small_index(8).search_batch(huge(2**57, 8, np.float32), 20),
], ids=["encode", "decode", "inner products", "search"])
def test_results_too_large_for_memory_raise_memory_error(call):
    with pytest.raises(MemoryError):
        call()
