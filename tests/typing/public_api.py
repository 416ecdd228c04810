"""Every public call of quillane and quillane_dask, for mypy --strict (run by make test):
the stubs must accept what the runtime accepts (numpy integers where ints go, for one)."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

import quillane
import quillane_dask


def use_quantizers(x: npt.NDArray[np.float32], k: np.int64) -> None:
    for q in (quillane.CompactQuantizer(8, 4, 1), quillane.TurboQuantizer(8, 4, 2, 1)):
        code = q.encode(x[0])
        q.decode(code)
        q.inner_product(code, x[0])
        codes = q.encode_batch(x, threads=k)
        q.decode_batch(codes, threads=1)
        q.inner_product_batch(codes, x, threads=None)
        print(q.dim, q.code_size_bytes)
    compact = quillane.CompactQuantizer(8)
    print(compact.bits, compact.seed, quillane.__version__, quillane.NO_ID)


def use_indexes(x: npt.NDArray[np.float32], ids: npt.NDArray[np.uint64], k: np.int64) -> None:
    flat = quillane.VectorIndex(8, 4)
    flat.add(np.uint64(1), x[0])
    flat.add_batch(ids, x)
    flat.search(x[0], k)
    flat.search_batch(x, k, threads=2)
    compact = quillane.CompactIndex(8, 4, 42, metric="l2")
    ivf = quillane.IvfIndex(8, 2, 4, 42, metric="cosine")
    ivf.train(x, iterations=k, threads=1, verbose=False)
    quillane.IvfIndex(8, 2).set_centroids(x[:2])
    for index in (compact, ivf):
        index.add(k, x[0])
        index.add_batch(ids, x, threads=1)
        index.search(x[0], k, allow=ids)
        index.remove(ids)
        print(index.ids(), index.reconstruct(ids[:0]), 3 in index, len(index))
        print(index.dim, index.bits, index.seed, index.metric, index.code_size_bytes)
        data = index.to_bytes()
        index.save("index.qli")
        type(index).from_bytes(data, verify=True)
    compact.search_batch(x, k, allow=ids, rerank=x, rerank_factor=k, threads=None)
    ivf.search(x[0], k, probes=k)
    ivf.search_batch(x, k, probes=k, allow=ids, rerank=x, rerank_factor=2, threads=1)
    print(ivf.lists, ivf.trained, ivf.centroids, ivf.list_sizes())
    quillane.rerank(x, ids.reshape(1, -1), x, k, metric="ip", threads=1)
    quillane.CompactIndex.load("index.qli", mmap=True, verify=False)
    quillane.IvfIndex.load("index.qli")
    graph = quillane.GraphIndex(8, degree=k, bits=8, metric="cosine", seed=k)
    graph.add(k, x[0].astype(np.float64))
    graph.add_batch(ids, x, threads=k, verbose=True)
    graph.search(x[0], k, ef=k)
    graph.search_batch(x, k, ef=k, threads=1, rerank=x, rerank_factor=k)
    print(graph.ids(), graph.reconstruct(ids), 3 in graph, len(graph), graph.degree, graph.code_size_bytes)
    graph.save("graph.qli")
    quillane.GraphIndex.from_bytes(graph.to_bytes(), verify=False)
    quillane.GraphIndex.load("graph.qli", mmap=True, verify=True)


def use_dask(x: npt.NDArray[np.float32], ids: npt.NDArray[np.uint64], k: np.int64) -> None:
    sharded = quillane_dask.build([], "/tmp/never", family="compact", bits=4, seed=1, metric="ip")
    sharded = quillane_dask.ShardedIndex.open("/tmp/never")
    sharded.search_batch(x, k, allow=ids, rerank=x, rerank_factor=k, retries=1)
    sharded.remove(ids)
    print(sharded.ids(), sharded.contains(ids), sharded.reconstruct(ids), len(sharded), repr(sharded))
    quillane_dask.merge([(ids.reshape(1, -1), x[:1])], 3, ascending=True)
    print(quillane_dask.ShardError("x"))
