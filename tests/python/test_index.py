"""VectorIndex: storage, ranking, reprs, and agreement with TurboQuantizer."""
import numpy as np
import pytest

from quillane import TurboQuantizer, VectorIndex


def f32(*values):
    return np.array(values, dtype=np.float32)


def test_new_index_is_empty():
    ix = VectorIndex(8)
    assert len(ix) == 0 and not ix
    assert repr(ix) == "VectorIndex(size=0, dim=8)"
    assert not hasattr(ix, "dim") and not hasattr(ix, "encode")


@pytest.mark.parametrize("query", [np.zeros(3, dtype=np.float32), np.full(8, np.nan, dtype=np.float32)])
def test_search_of_empty_index_does_not_look_at_the_query(query):
    ids, scores = VectorIndex(8).search(query, 10)
    assert ids.dtype == np.uint64 and scores.dtype == np.float32
    assert len(ids) == 0 and len(scores) == 0


def test_duplicate_ids_are_separate_entries():
    ix = VectorIndex(8)
    v = np.linspace(0, 1, 8, dtype=np.float32)
    ix.add(5, v)
    ix.add(5, v)
    ids, scores = ix.search(v, 10)
    assert ids.tolist() == [5, 5]
    assert scores[0] == scores[1]
    assert repr(ix) == "VectorIndex(size=2, dim=8)"


def test_ties_keep_insertion_order_and_scores_descend():
    ix = VectorIndex(8)
    v = np.ones(8, dtype=np.float32)
    for i in (3, 1, 2):
        ix.add(i, v)
    assert ix.search(v, 3)[0].tolist() == [3, 1, 2]
    rng = np.random.default_rng(1)
    ix = VectorIndex(16)
    for i in range(50):
        ix.add(i, rng.standard_normal(16).astype(np.float32))
    ids, scores = ix.search(rng.standard_normal(16).astype(np.float32), 50)
    assert np.all(np.diff(scores) <= 0)
    assert sorted(ids.tolist()) == list(range(50))


@pytest.mark.parametrize("top_k, expected", [(0, 0), (1, 1), (3, 3), (8, 3), (2**64 - 1, 3)])
def test_top_k(top_k, expected):
    ix = VectorIndex(8)
    for i in range(3):
        ix.add(i, np.full(8, i + 1, dtype=np.float32))
    ids, scores = ix.search(np.ones(8, dtype=np.float32), top_k)
    assert len(ids) == len(scores) == expected


def test_negative_top_k_and_id_overflow():
    ix = VectorIndex(8)
    with pytest.raises(OverflowError):
        ix.add(-1, np.ones(8, dtype=np.float32))
    ix.add(2**64 - 1, np.ones(8, dtype=np.float32))
    with pytest.raises(OverflowError):
        ix.search(np.ones(8, dtype=np.float32), -1)
    ids, _ = ix.search(np.ones(8, dtype=np.float32), 1)
    assert ids.tolist() == [2**64 - 1]


def test_refused_add_stores_nothing():
    ix = VectorIndex(8)
    with pytest.raises(ValueError) as info:
        ix.add(1, np.ones(7, dtype=np.float32))
    assert str(info.value) == "dimension mismatch: quantizer expects 8, got 7"
    with pytest.raises(ValueError, match="index 2"):
        ix.add(1, f32(0, 0, np.nan, 0, 0, 0, 0, 0))
    with pytest.raises(TypeError):
        ix.add(1, np.ones(8))
    assert len(ix) == 0


def test_overflowing_vector_is_refused_and_index_stays_searchable(overflowing_vector):
    ix = VectorIndex(8, bits=1)
    ix.add(1, np.ones(8, dtype=np.float32))
    with pytest.raises(ValueError) as info:
        ix.add(2, overflowing_vector)
    assert str(info.value) == "deserialization failed: norm is infinite"
    assert len(ix) == 1
    assert ix.search(np.ones(8, dtype=np.float32), 5)[0].tolist() == [1]


def test_bad_query_on_non_empty_index():
    ix = VectorIndex(8)
    ix.add(1, np.ones(8, dtype=np.float32))
    with pytest.raises(ValueError) as info:
        ix.search(np.ones(7, dtype=np.float32), 1)
    assert str(info.value) == "dimension mismatch: quantizer expects 8, got 7"
    with pytest.raises(ValueError, match="non-finite values"):
        ix.search(f32(np.inf, 0, 0, 0, 0, 0, 0, 0), 1)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        ix.search(np.ones(16, dtype=np.float32)[::2], 1)


@pytest.mark.parametrize("dim, bits, projections, seed", [(8, 4, None, 42), (16, 1, 3, 0), (64, 8, 16, 7),
                                                           (130, 2, 33, 2**64 - 1), (256, 16, None, 5)])
def test_scores_equal_quantizer_inner_products_exactly(dim, bits, projections, seed):
    ix = VectorIndex(dim, bits, projections, seed)
    q = TurboQuantizer(dim, bits, projections, seed)
    rng = np.random.default_rng(dim)
    vectors = rng.standard_normal((40, dim)).astype(np.float32)
    vectors[3] = 0.0
    vectors[4] *= 1e-30
    for i, v in enumerate(vectors):
        ix.add(i, v)
    for query in (rng.standard_normal(dim).astype(np.float32), np.zeros(dim, dtype=np.float32)):
        ids, scores = ix.search(query, 40)
        expected = np.array([q.inner_product(q.encode(vectors[i]), query) for i in ids], dtype=np.float32)
        assert scores.view(np.uint32).tolist() == expected.view(np.uint32).tolist()


def test_overflowing_scores_rank_nan_last_in_insertion_order():
    ix = VectorIndex(8)
    rng = np.random.default_rng(0)
    for i in range(30):
        ix.add(i, (rng.standard_normal(8) * 3e18).astype(np.float32))
    ids, scores = ix.search((rng.standard_normal(8) * 1e20).astype(np.float32), 30)
    nan = np.isnan(scores)
    assert nan.any() and not nan.all()
    first_nan = int(np.argmax(nan))
    assert nan[first_nan:].all()
    assert np.all(np.diff(ids[first_nan:].astype(np.int64)) > 0)
    finite_part = scores[:first_nan]
    assert np.all(finite_part[:-1] >= finite_part[1:])


def test_docstrings():
    assert VectorIndex.__doc__.startswith("VectorIndex: approximate nearest neighbor search using Quillane compression.")
    assert VectorIndex.add.__doc__ == "Add a vector to the index."
    assert VectorIndex.search.__text_signature__ == "($self, query, top_k)"
    assert VectorIndex.search.__doc__.endswith("Tuple of (ids: numpy int64 array, scores: numpy float32 array)")
