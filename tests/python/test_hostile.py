"""The store surfaces under hostile use: probes, ids, overflowing inputs, fork, mapped files,
float conversion and re-ranking input."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quillane
from quillane import CompactIndex, CompactQuantizer, IvfIndex

DIM = 16


@pytest.fixture(scope="module")
def data():
    return np.random.default_rng(7).standard_normal((400, DIM), dtype=np.float32)


def ivf(data, metric="ip", lists=8):
    index = IvfIndex(DIM, lists, bits=4, metric=metric)
    index.train(data)
    index.add_batch(np.arange(len(data)), data)
    return index


@pytest.mark.parametrize("probes", [0, 1, 3, 8, 10**9])
def test_a_batch_clamps_probes_as_one_search_does(data, probes):
    index = ivf(data)
    ids, scores = index.search_batch(data[:20], 5, probes=probes)
    for q in range(20):
        one = index.search(data[q], 5, probes=probes)
        assert ids[q].tolist() == one[0].tolist() and scores[q].tobytes() == one[1].tobytes()
    assert (ids != quillane.NO_ID).all()


@pytest.mark.parametrize("make", [lambda d: d, lambda d: np.int64(d), lambda d: np.uint64(d), lambda d: np.int8(d),
                                  lambda d: np.array(d)])
@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
def test_every_integer_operator_index_takes_is_looked_up(data, cls, make):
    index = ivf(data) if cls is IvfIndex else CompactIndex(DIM)
    if cls is CompactIndex:
        index.add_batch(np.arange(len(data)), data)
    assert make(3) in index and index.ids()[5] in index
    index.remove(np.array([100]))
    assert make(100) not in index
    assert 3.0 not in index and "3" not in index and -1 not in index and 2**64 not in index


# Inputs whose float32 arithmetic would overflow: refused at once, saying why, where the
# index would otherwise store what its reader refuses or rank stored entries as NaN.
@pytest.mark.parametrize("make, call, message", [
    (lambda d: CompactIndex(4, metric="l2"), lambda i, d: i.add(0, np.array([2e19, 0, 0, 0], np.float32)),
     "argument 'vector': its squared norm (4e+38) exceeds the float32 range"),
    (lambda d: CompactIndex(4, metric="l2"), lambda i, d: i.add_batch(np.arange(2), np.array([[1, 0, 0, 0], [0, 0, 3e19, 0]], np.float32)),
     "row 1: argument 'vectors': its squared norm (9e+38) exceeds the float32 range"),
    (lambda d: CompactIndex(4, metric="l2"), lambda i, d: i.search(np.array([2e19, 0, 0, 0], np.float32), 1),
     "argument 'query': its squared norm"),
    (lambda d: IvfIndex(DIM, 4), lambda i, d: i.train(d * np.float32(1e19)),
     "row 0: argument 'vectors': its norm ("),
    (lambda d: ivf(d), lambda i, d: i.add(0, d[0] * np.float32(1e20)), "argument 'vector': its norm ("),
    (lambda d: ivf(d, "l2"), lambda i, d: i.search_batch(d[:3] * np.float32(1e19), 2), "row 0: argument 'queries': its norm ("),
    (lambda d: IvfIndex(DIM, 4), lambda i, d: i.set_centroids(d[:4] * np.float32(1e19)), "row 0: argument 'centroids': its norm ("),
    (lambda d: CompactQuantizer(DIM), lambda q, d: q.encode(np.full(DIM, 3e38, np.float32)),
     "argument 'vector': its values are finite, but rotated they exceed the float32 range"),
    (lambda d: CompactIndex(DIM), lambda i, d: i.add_batch(np.arange(2), np.stack([d[0], np.full(DIM, 3e38, np.float32)])),
     "row 1: argument 'vectors': its values are finite, but rotated"),
])
def test_inputs_that_overflow_float32_are_refused_saying_why(data, make, call, message):
    target = make(data)
    before = len(target) if hasattr(target, "ids") else None
    with pytest.raises(ValueError) as info:
        call(target, data)
    assert message in str(info.value)
    if before is not None:
        assert len(target) == before


@pytest.mark.parametrize("cls, vector", [(CompactIndex, [1.8e19, 0, 0, 0]), (IvfIndex, [4e18, 0, 0, 0])])
def test_the_largest_accepted_vectors_round_trip_and_rank_first(cls, vector):
    index = cls(4, metric="l2") if cls is CompactIndex else IvfIndex(4, 1, metric="l2")
    x = np.array([vector, [1, 2, 3, 4]], np.float32)
    if cls is IvfIndex:
        index.train(x)
    index.add_batch(np.arange(2), x)
    again = cls.from_bytes(index.to_bytes())
    for searched in (index, again):
        ids, scores = searched.search(x[0], 2)
        assert ids[0] == 0 and not np.isnan(scores).any()


def test_an_id_stored_many_times_costs_linear_time():
    # Each lookup once walked every earlier copy: 400,000 copies took minutes.
    code = textwrap.dedent("""
        import numpy as np, quillane
        n = 400_000
        index = quillane.CompactIndex(4)
        index.add_batch(np.full(n, 5), np.ones((n, 4), np.float32))
        assert 5 in index and index.reconstruct(np.array([5])).shape == (1, 4)
        assert index.remove(np.full(n, 5)) == n and len(index) == 0
    """)
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


def test_a_child_of_fork_can_write_while_the_parent_searched():
    code = textwrap.dedent("""
        import os, threading, numpy as np, quillane
        index = quillane.CompactIndex(64)
        x = np.random.default_rng(0).standard_normal((20000, 64), dtype=np.float32)
        index.add_batch(np.arange(len(x)), x)
        stop = threading.Event()
        def search():
            while not stop.is_set():
                index.search_batch(x[:64], 10, threads=1)
        reader = threading.Thread(target=search)
        reader.start()
        for _ in range(20):
            pid = os.fork()
            if pid == 0:
                index.add(99999, x[0])
                os._exit(0 if 99999 in index else 1)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
        stop.set()
        reader.join()
    """)
    subprocess.run([sys.executable, "-W", "ignore", "-c", code], check=True, timeout=60)


@pytest.mark.parametrize("call, change", [
    (lambda i, d: i.train(d), "train it"),
    (lambda i, d: i.set_centroids(d[:4]), "set its centroids"),
    (lambda i, d: i.remove(np.arange(3)), "remove from it"),
    (lambda i, d: i.add_batch(np.arange(3), d[:3]), "add to it"),
])
def test_a_mapped_index_refuses_every_change(tmp_path, data, call, change):
    path = tmp_path / "untrained.qli"
    IvfIndex(DIM, 4).save(path)
    mapped = IvfIndex.load(path, mmap=True)
    with pytest.raises(ValueError, match=f"read-only; load it with mmap=False to {change}$"):
        call(mapped, data)
    assert not mapped.trained and len(mapped) == 0


@pytest.mark.parametrize("convert", [
    lambda x: x.astype(np.float64), lambda x: x.astype(np.float16).astype(np.float16),
    lambda x: np.asfortranarray(x), lambda x: np.repeat(x, 2, axis=-1)[..., ::2],
])
def test_float_arguments_of_any_floating_dtype_and_strides_are_converted_once(data, convert):
    given = convert(data[:20])
    exact = np.ascontiguousarray(given, dtype=np.float32)
    q = CompactQuantizer(DIM, bits=4)
    assert q.encode_batch(given).tobytes() == q.encode_batch(exact).tobytes()
    assert q.encode(given[3]).tobytes() == q.encode(exact[3]).tobytes()
    for index in (CompactIndex(DIM, 4), IvfIndex(DIM, 2, 4)):
        if isinstance(index, IvfIndex):
            index.train(given)
        index.add_batch(np.arange(20), given)
        found = index.search_batch(given, 3, rerank=given)
        assert all((a == b).all() for a, b in zip(found, index.search_batch(exact, 3, rerank=exact)))
        assert index.search(given[1], 3)[0].tolist() == index.search(exact[1], 3)[0].tolist()
    with pytest.raises(TypeError, match="expected dtype float32, got float64"):
        quillane.TurboQuantizer(DIM).encode_batch(data.astype(np.float64))


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((np.ones(4, np.float32), np.zeros((1, 1), np.uint64), np.ones((3, 4), np.float32), 1), {}, ValueError,
     "argument 'queries': expected shape (n, 4), got (4,)"),
    ((np.ones((1, 4), np.float32), np.zeros((1, 1), np.uint64), np.ones(4, np.float32), 1), {}, ValueError,
     "argument 'vectors': expected a two-dimensional array of shape (N, dim), dim >= 1, got shape (4,)"),
    ((np.ones((1, 4), np.float32), np.zeros((1, 1), np.uint64), np.ones((3, 4), np.float32), -1), {}, OverflowError,
     "argument 'top_k': expected an integer from 0"),
    ((np.ones((1, 4), np.float32), np.array([[0, 2]], np.uint64), np.array([[1, 0, 0, 0], [1, 1, 1, 1], [np.nan] * 4], np.float32), 1),
     {}, ValueError, "rerank(): the rerank vector of id 2 (its row 2) holds a value that is not finite"),
    ((np.ones((1, 4), np.float32), np.array([[0, 1]], np.uint64), np.array([[1, 0, 0, 0], [0] * 4], np.float32), 1),
     {"metric": "cosine"}, ValueError, "the rerank vector of id 1 (its row 1) is zero, which has no direction"),
    ((np.zeros((1, 4), np.float32), np.array([[0]], np.uint64), np.ones((1, 4), np.float32), 1),
     {"metric": "cosine"}, ValueError, "row 0: a vector whose every value is zero has no direction"),
    ((np.full((1, 4), np.inf, np.float32), np.array([[0]], np.uint64), np.ones((1, 4), np.float32), 1),
     {}, ValueError, "rerank(): row 0: argument 'queries': input contains non-finite values"),
])
def test_rerank_names_what_is_wrong_with_its_input(args, kwargs, error, message):
    with pytest.raises(error) as info:
        quillane.rerank(*args, **kwargs)
    assert message in str(info.value)
