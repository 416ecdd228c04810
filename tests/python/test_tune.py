"""tune(): the smallest probes (IvfIndex) or ef (GraphIndex) that reaches a target recall on
sample queries, against the index's exhaustive ranking or, given the vectors, the exact top k."""
import numpy as np
import pytest

from quillane import GraphIndex, IvfIndex

DIM = 16


def clustered(n, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((12, DIM)).astype(np.float32) * 3
    return (centres[rng.integers(0, 12, n)] + rng.standard_normal((n, DIM))).astype(np.float32)


X, QUERIES = clustered(3000, 0), clustered(60, 1)


def ivf():
    index = IvfIndex(DIM, 32, bits=8, metric="cosine")
    index.train(X)
    index.add_batch(np.arange(len(X)), X)
    return index, "probes", 32


def graph():
    index = GraphIndex(DIM, degree=12, bits=8, metric="cosine")
    index.add_batch(np.arange(len(X)), X)
    return index, "ef", len(X)


def recall(found, wanted):
    return np.mean([len(set(f) & set(w)) / len(w) for f, w in zip(found.tolist(), wanted.tolist())])


@pytest.mark.parametrize("make", [ivf, graph])
@pytest.mark.parametrize("exact", [False, True])
def test_the_setting_is_the_smallest_that_reaches_the_target(make, exact):
    index, name, most = make()
    unit = X / np.linalg.norm(X, axis=1, keepdims=True)
    q = QUERIES / np.linalg.norm(QUERIES, axis=1, keepdims=True)
    wanted = (np.argsort(-(q @ unit.T), axis=1, kind="stable")[:, :5] if exact
              else index.search_batch(QUERIES, 5, **{name: most})[0])
    chosen, rows = index.tune(QUERIES, target_recall=0.9, top_k=5, vectors=X if exact else None, threads=1)
    settings = [r[0] for r in rows]
    assert settings == sorted(set(settings)) and chosen in settings
    for setting, got, per_second in rows:
        assert got == pytest.approx(recall(index.search_batch(QUERIES, 5, **{name: setting})[0], wanted))
        assert (got >= 0.9) == (setting >= chosen) and per_second > 0


@pytest.mark.parametrize("make", [ivf, graph])
def test_an_unreachable_target_gives_none_after_the_recall_stops_growing(make):
    index, _, most = make()
    chosen, rows = index.tune(QUERIES, target_recall=1.0, top_k=10, vectors=X + 0.5)  # other vectors: never all
    assert chosen is None and rows[-1][0] <= most and rows[-1][1] <= rows[-3][1]


@pytest.mark.parametrize("call, error, message", [
    (lambda i: i.tune(QUERIES[:0]), ValueError, "tune(): give at least one query"),
    (lambda i: i.tune(QUERIES, top_k=0), ValueError, "tune(): top_k must be at least 1"),
    (lambda i: i.tune(QUERIES, target_recall=0), ValueError,
     "argument 'target_recall': expected a number above 0 and at most 1, got 0"),
    (lambda i: i.tune(QUERIES, target_recall=1.5), ValueError,
     "argument 'target_recall': expected a number above 0 and at most 1, got 1.5"),
    (lambda i: i.tune(QUERIES, target_recall="high"), TypeError,
     "argument 'target_recall': expected a real number, got 'str'"),
    (lambda i: i.tune(QUERIES, vectors=X[:10]), ValueError, "tune(): id 10 has no row in vectors"),
    (lambda i: (IvfIndex(DIM, 4) if isinstance(i, IvfIndex) else GraphIndex(DIM)).tune(QUERIES), ValueError, "tune(): the index is empty: add vectors before tuning it"),
])
def test_bad_requests_are_refused(call, error, message):
    for index in (ivf()[0], graph()[0]):
        with pytest.raises(error) as info:
            call(index)
        assert message in str(info.value)
