"""CompactIndex and IvfIndex as a store: removal, filtered search, retrieval, exact re-ranking."""
import numpy as np
import pytest

import quillane
from quillane import CompactIndex, CompactQuantizer, IvfIndex

DIM = 16


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    x = rng.standard_normal((900, DIM)).astype(np.float32)
    x[5] = x[1]  # a tie
    ids = (np.arange(900, dtype=np.uint64) * 7) % 850  # some ids stored twice
    return x, ids, rng.standard_normal((5, DIM)).astype(np.float32)


def build(cls, x, ids, metric="ip", centroids=None):
    if cls is CompactIndex:
        index = CompactIndex(DIM, 4, 3, metric=metric)
    else:
        index = IvfIndex(DIM, 5, 4, 3, metric=metric)
        index.train(x, iterations=2) if centroids is None else index.set_centroids(centroids)
    index.add_batch(ids, x)
    return index


def search(index, queries, k, **kw):
    if isinstance(index, IvfIndex):
        kw.setdefault("probes", 3)
    return index.search_batch(queries, k, **kw)


@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
@pytest.mark.parametrize("metric", ["ip", "l2"])
def test_removal_leaves_a_fresh_index_of_the_rest(data, tmp_path, cls, metric):
    x, ids, queries = data
    index = build(cls, x, ids, metric)
    gone = np.array([0, 7, 7, 14, 849, 10**6])  # 0, 7 and 14 are stored twice; 10**6 never
    keep = ~np.isin(ids, gone)
    assert index.remove(gone) == np.count_nonzero(~keep) == 7
    assert index.remove(gone) == 0 and len(index) == np.count_nonzero(keep)
    assert np.array_equal(index.ids(), ids[keep]) and 7 not in index and 8 in index
    fresh = build(cls, x[keep], ids[keep], metric, getattr(index, "centroids", None))
    assert index.to_bytes() == fresh.to_bytes()
    for k in (1, 30):
        got, want = search(index, queries, k), search(fresh, queries, k)
        assert np.array_equal(got[0], want[0]) and got[1].tobytes() == want[1].tobytes()
    index.add_batch(ids[~keep], x[~keep])  # added back, at the end
    assert len(index) == len(x) and 7 in index
    index.save(tmp_path / "i")
    mapped = cls.load(tmp_path / "i", mmap=True)
    with pytest.raises(ValueError, match="memory-mapped from a file and read-only"):
        mapped.remove(gone)
    assert len(mapped) == len(x)


@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
@pytest.mark.parametrize("metric", ["ip", "l2"])
@pytest.mark.parametrize("allowed", [[], [3, 10**6], [0, 1, 2, 3, 4, 5, 6, 8, 9], "half", "all"])
def test_filtered_search_is_the_full_ranking_restricted(data, cls, metric, allowed):
    x, ids, queries = data
    index = build(cls, x, ids, metric)
    named = {"half": np.arange(0, 850, 2), "all": np.arange(850)}
    allow = named[allowed] if isinstance(allowed, str) else np.array(allowed, dtype=np.int64)
    full = search(index, queries, len(x))
    for threads in (1, 2):
        got = search(index, queries, 40, allow=allow, threads=threads)
        assert got[0].shape == (len(queries), 40)
        for row in range(len(queries)):
            mask = np.isin(full[0][row], allow)
            want_ids, want_scores = full[0][row][mask][:40], full[1][row][mask][:40]
            n = len(want_ids)
            assert np.array_equal(got[0][row][:n], want_ids)
            assert got[1][row][:n].tobytes() == want_scores.tobytes()
            assert np.all(got[0][row][n:] == quillane.NO_ID) and np.all(np.isnan(got[1][row][n:]))
    one = index.search(queries[0], 40, allow=allow, **({"probes": 3} if cls is IvfIndex else {}))
    assert np.array_equal(one[0], got[0][0]) and one[1].tobytes() == got[1][0].tobytes()


@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
def test_reconstruct_decodes_each_ids_first_entry(data, cls):
    x, ids, _ = data
    index = build(cls, x, ids)
    got = index.reconstruct(np.array([14, 3, 14]))
    assert got.shape == (3, DIM) and got.dtype == np.float32
    first = int(np.flatnonzero(ids == 14)[0])
    if cls is CompactIndex:
        q = CompactQuantizer(DIM, 4, 3)
        assert got[0].tobytes() == q.decode(q.encode(x[first])).tobytes()
    assert np.corrcoef(got[0], x[first])[0, 1] > 0.95 and np.array_equal(got[0], got[2])
    with pytest.raises(KeyError) as info:
        index.reconstruct(np.array([3, 10**6]))
    assert info.value.args == (10**6,)
    assert index.reconstruct(np.array([], dtype=np.uint64)).shape == (0, DIM)
    assert ("x" in index, -1 in index, 2**64 in index, 3 in index) == (False, False, False, True)


def exact(metric, x, q):
    """The library's exact scores: float64 products summed in order."""
    x64, q64 = x.astype(np.float64), q.astype(np.float64)
    if metric == "l2":
        return np.cumsum((x64 - q64) ** 2, axis=1)[:, -1].astype(np.float32)
    dot = np.cumsum(x64 * q64, axis=1)[:, -1]
    if metric == "ip":
        return dot.astype(np.float32)
    norms = np.sqrt(np.cumsum(x64 * x64, axis=1)[:, -1]) * np.sqrt(np.cumsum(q64 * q64)[-1])
    return (dot / norms).astype(np.float32)


@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
@pytest.mark.parametrize("metric", ["ip", "cosine", "l2"])
def test_rerank_orders_the_candidates_by_the_exact_metric(data, cls, metric):
    x, _, queries = data
    ids = np.arange(len(x), dtype=np.uint64)
    index = build(cls, x, ids, metric)
    candidates = search(index, queries, 12 * 3)[0]
    got = search(index, queries, 12, rerank=x, rerank_factor=3, threads=2)
    for row, q in enumerate(queries):
        s = exact(metric, x[candidates[row]], q)
        order = np.argsort(s if metric == "l2" else -s, kind="stable")[:12]
        assert np.array_equal(got[0][row], candidates[row][order]) and got[1][row].tobytes() == s[order].tobytes()
    for bad, error, message in [
        ({"rerank": x[:100]}, ValueError, "has no row in the rerank vectors, which have 100 rows"),
        ({"rerank": x[:, :3].copy()}, ValueError, "argument 'rerank'"),
        ({"rerank": x, "rerank_factor": 0}, ValueError, "rerank_factor must be at least 1, got 0"),
        ({"allow": {1: 2}}, TypeError, "argument 'allow'"),
    ]:
        with pytest.raises(error, match=message):
            search(index, queries, 12, **bad)


@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
def test_the_padding_id_is_never_stored(data, cls):
    x, ids, _ = data
    index = build(cls, x, ids)
    with pytest.raises(ValueError, match=r"\.add\(\): id 18446744073709551615 is quillane.NO_ID"):
        index.add(quillane.NO_ID, x[0])
    with pytest.raises(ValueError, match=r"\.add_batch\(\): row 1: id 18446744073709551615"):
        index.add_batch(np.array([1, quillane.NO_ID], dtype=np.uint64), x[:2])
    assert len(index) == len(x)


@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
def test_ids_may_be_any_sequence_of_integers_or_one_integer(data, cls):
    x = data[0][:40]
    index = build(cls, x, list(range(40)))
    assert index.ids().tolist() == list(range(40))
    assert index.remove(3) == 1 and index.remove((4, 5)) == 2 and index.remove(range(6, 8)) == 2
    assert index.remove([]) == 0 and len(index) == 35
    assert index.reconstruct(9).shape == (1, DIM) and index.reconstruct([9, 10]).shape == (2, DIM)
    ids, _ = search(index, x[:1], 3, allow=[10, 11])
    assert set(ids[0].tolist()) <= {10, 11, quillane.NO_ID}
    with pytest.raises(TypeError, match="expected a numpy array of integer ids, or a sequence of integers, got 'dict'"):
        index.remove({1: 2})
    with pytest.raises(TypeError, match="expected an integer dtype .* got float64"):
        index.remove([1.5])
