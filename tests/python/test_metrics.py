"""Metrics: cosine is inner product on unit vectors, l2 is derived from the inner-product
estimate and the exact squared norms, bit for bit; files and properties keep the metric."""
import numpy as np
import pytest

from quillane import CompactIndex, IvfIndex

DIM = 24


def unit(x):
    """Each row over its norm, summed in order in float64, as the library does."""
    x64 = x.astype(np.float64)
    return (x64 / np.sqrt(np.cumsum(x64 * x64, axis=1)[:, -1:])).astype(np.float32)


def squared_norms(x):
    x64 = x.astype(np.float64)
    return np.cumsum(x64 * x64, axis=1)[:, -1].astype(np.float32)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    x = (rng.standard_normal((600, DIM)) * rng.uniform(0.5, 3, (600, 1))).astype(np.float32)
    x[7] = x[2]  # a tie, kept in insertion order
    return x, rng.standard_normal((6, DIM)).astype(np.float32)


# Centroids of one length: then the nearest (l2's rule) is the one of highest inner product
# (ip's), so the three metrics share their lists and probes.
CENTROIDS = unit(np.random.default_rng(8).standard_normal((6, DIM)).astype(np.float32))


def build(cls, x, metric, bits=4):
    if cls is CompactIndex:
        index = CompactIndex(DIM, bits, seed=3, metric=metric)
    else:
        index = IvfIndex(DIM, 6, bits, seed=3, metric=metric)
        index.set_centroids(CENTROIDS)
    index.add_batch(np.arange(len(x), dtype=np.uint64) + 100, x)
    return index


def search(index, queries, k):
    extra = {"probes": 6} if isinstance(index, IvfIndex) else {}
    return index.search_batch(queries, k, **extra)


@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
@pytest.mark.parametrize("bits", [1, 4, 8])
def test_cosine_and_l2_follow_from_inner_products_bit_for_bit(data, cls, bits):
    x, queries = data
    n, k = len(x), 25
    # cosine: the inner-product index of the unit vectors, searched with unit queries.
    got = search(build(cls, x, "cosine", bits), queries, k)
    want = search(build(cls, unit(x), "ip", bits), unit(queries), k)
    assert np.array_equal(got[0], want[0]) and got[1].tobytes() == want[1].tobytes()
    # l2: every entry's estimate, turned into a distance and ranked ascending.
    ids, e = search(build(cls, x, "ip", bits), queries, n)
    x2, q2 = squared_norms(x), squared_norms(queries)
    l2 = build(cls, x, "l2", bits)
    got_ids, got_d = search(l2, queries, k)
    for row in range(len(queries)):
        d = ((x2[ids[row] - 100].astype(np.float64) + np.float64(q2[row])) - 2.0 * e[row].astype(np.float64)).astype(np.float32)
        order = sorted(range(n), key=lambda i: (d[i], ids[row][i]))[:k]
        assert np.array_equal(got_ids[row], ids[row][order])
        assert got_d[row].tobytes() == d[order].tobytes()
        one = l2.search(queries[row], k, **({"probes": 6} if cls is IvfIndex else {}))
        assert np.array_equal(one[0], got_ids[row]) and one[1].tobytes() == got_d[row].tobytes()


def test_an_l2_inverted_file_trains_on_and_assigns_to_the_nearest_centroid(data):
    x, _ = data
    index = IvfIndex(DIM, 6, 4, seed=3, metric="l2")
    index.train(x, iterations=4)
    c = index.centroids.astype(np.float64)
    nearest = np.argmin(((x.astype(np.float64)[:, None, :] - c[None]) ** 2).sum(-1), axis=1)
    index.add_batch(np.arange(len(x)), x)
    assert np.array_equal(index.list_sizes(), np.bincount(nearest, minlength=6))
    inner = IvfIndex(DIM, 6, 4, seed=3)  # ip: means rescaled to the rows' mean norm
    inner.train(x, iterations=4)
    assert not np.allclose(np.linalg.norm(inner.centroids, axis=1), np.linalg.norm(c, axis=1), rtol=0.05)


@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
@pytest.mark.parametrize("metric, version", [("ip", 1), ("cosine", 2), ("l2", 2)])
def test_files_keep_the_metric(data, tmp_path, cls, metric, version):
    x, queries = data
    index = build(cls, x, metric)
    image = index.to_bytes()
    assert int.from_bytes(image[8:10], "little") == version
    index.save(tmp_path / "i")
    for loaded in (cls.from_bytes(image), cls.load(tmp_path / "i"), cls.load(tmp_path / "i", mmap=True)):
        assert loaded.metric == metric and repr(loaded) == repr(index)
        assert search(loaded, queries, 9)[1].tobytes() == search(index, queries, 9)[1].tobytes()
    # An unknown metric in a version-2 header is refused (header checksum kept right).
    if version == 2:
        import zlib
        bad = bytearray(image)
        bad[52:56] = (7).to_bytes(4, "little")
        bad[60:64] = zlib.crc32(bytes(bad[:60])).to_bytes(4, "little")
        with pytest.raises(ValueError, match="unknown metric 7 in a version 2 file"):
            cls.from_bytes(bytes(bad))


@pytest.mark.parametrize("cls", [CompactIndex, IvfIndex])
def test_properties_reprs_and_refusals(data, cls):
    x, _ = data
    args = (DIM, 6) if cls is IvfIndex else (DIM,)
    index = cls(*args, 2, 9, metric="cosine")
    assert (index.dim, index.bits, index.seed, index.metric, index.code_size_bytes) == (DIM, 2, 9, "cosine", 22)
    assert "seed=9, metric='cosine'" in repr(index)
    assert cls(*args).metric == "ip"
    with pytest.raises(ValueError, match="^metric must be 'ip', 'cosine' or 'l2', got 'L2'$"):
        cls(*args, metric="L2")
    with pytest.raises(TypeError, match="^argument 'metric': expected str, got 'int'$"):
        cls(*args, metric=2)
    with pytest.raises(TypeError):
        cls(*args, 4, 42, "l2")  # keyword only
    zero = "a vector whose every value is zero has no direction: the cosine metric cannot store or search it"
    rows = x[:3].copy()
    rows[1] = 0
    if cls is IvfIndex:
        with pytest.raises(ValueError, match=f"^row 1: {zero}$"):
            index.train(np.concatenate([rows, x]))
        index.train(x, iterations=1)
    with pytest.raises(ValueError, match=f"^{zero}$"):
        index.add(1, rows[1])
    with pytest.raises(ValueError, match=f"^row 1: {zero}$"):
        index.add_batch(np.arange(3), rows)
    assert len(index) == 0
    index.add_batch(np.arange(3), x[:3])
    with pytest.raises(ValueError, match=f"^{zero}$"):
        index.search(rows[1], 2)
    with pytest.raises(ValueError, match=f"^row 1: {zero}$"):
        index.search_batch(rows, 2)
