"""IvfIndex: training, refusals, exact ranking within the probed lists, padding, threads."""
import pathlib

import numpy as np
import pytest

import quillane
from quillane import CompactQuantizer, IvfIndex


def clustered(n, dim, seed=0, centres=8):
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centres, dim)).astype(np.float32) * 3
    return (c[np.arange(n) % centres] + rng.standard_normal((n, dim), dtype=np.float32)).astype(np.float32)


@pytest.fixture(scope="module")
def data():
    return clustered(1200, 24), clustered(9, 24, seed=1)


def trained(x, lists=10, bits=4, threads=None, **kw):
    index = IvfIndex(x.shape[1], lists, bits=bits, seed=3, **kw)
    index.train(x, iterations=4, threads=threads)
    return index


def test_introspection_and_repr(data):
    x, _ = data
    index = IvfIndex(24, 10, bits=2, seed=3)
    assert (index.dim, index.lists, index.bits, index.seed, index.trained, len(index)) == (24, 10, 2, 3, False, 0)
    assert index.centroids is None
    assert repr(index) == "IvfIndex(size=0, dim=24, lists=10, bits=2, seed=3, metric='ip', trained=False)"
    index.train(x, iterations=2)
    c = index.centroids
    assert c.shape == (10, 24) and c.dtype == np.float32
    c[:] = 0  # a copy
    assert np.any(index.centroids != 0)
    index.add_batch(np.arange(100), x[:100])
    assert index.list_sizes().dtype == np.uint64 and index.list_sizes().sum() == 100 == len(index)
    assert quillane.NO_ID == 2**64 - 1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda i, x: IvfIndex(24, 0), "IvfIndex(): lists must be between 1 and 4294967295, got 0"),
        (lambda i, x: i.add(1, x[0]), "IvfIndex.add(): the index is not trained: call train(vectors) first"),
        (lambda i, x: i.add_batch(np.array([1]), x[:1]), "IvfIndex.add_batch(): the index is not trained: call train(vectors) first"),
        (lambda i, x: i.train(x[:9]), "IvfIndex.train(): 9 rows cannot train 10 lists: give at least as many rows as lists"),
        (lambda i, x: (i.train(x), i.train(x)), "IvfIndex.train(): the index is already trained"),
        (lambda i, x: i.train(np.where(np.arange(24) == 5, np.inf, x).astype(np.float32)),
         "row 0: argument 'vectors': input contains non-finite values (NaN or Inf) at index 5"),
        (lambda i, x: (i.train(x), i.add(2**64 - 1, x[0])),
         "IvfIndex.add(): id 18446744073709551615 is quillane.NO_ID, which marks padding in search results and cannot be stored"),
        (lambda i, x: (i.train(x), i.add_batch(np.array([1, 2**64 - 1], dtype=np.uint64), x[:2])),
         "IvfIndex.add_batch(): row 1: id 18446744073709551615 is quillane.NO_ID, which marks padding in search results and cannot be stored"),
        (lambda i, x: (i.train(x), i.add(1, x[0, :5])), "argument 'vector': expected shape (24,), got (5,)"),
        (lambda i, x: (i.train(x), i.set_centroids(x[:10])), "IvfIndex.set_centroids(): the index is already trained"),
        (lambda i, x: i.set_centroids(x[:9]), "IvfIndex.set_centroids(): expected 10 centroids (one per list), got 9"),
    ],
)
def test_refusals_leave_the_index_unchanged(data, call, message):
    x, _ = data
    index = IvfIndex(24, 10)
    with pytest.raises(ValueError) as info:
        call(index, x)
    assert str(info.value) == message
    assert len(index) == 0


def test_training_is_the_same_at_any_thread_count_and_verbose_reports(data, capfd):
    x, _ = data
    one = trained(x, threads=1)
    two = IvfIndex(24, 10, bits=4, seed=3)
    two.train(x, iterations=4, threads=2, verbose=True)
    assert one.centroids.tobytes() == two.centroids.tobytes()
    err = capfd.readouterr().err.splitlines()
    assert len(err) == 4 and err[0].startswith("IvfIndex.train: iteration 1 of 4, objective ")
    assert capfd.readouterr().err == ""
    trained(x)  # not verbose: silent
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("bits", [1, 2, 4, 8])
@pytest.mark.parametrize("probes", [1, 3, 10])
def test_search_ranks_the_probed_lists_exactly(data, bits, probes):
    x, queries = data
    index = trained(x, bits=bits)
    ids = np.arange(len(x), dtype=np.uint64) * 7
    index.add_batch(ids, x, threads=2)
    centroids = index.centroids
    owner = np.argmax(x.astype(np.float64) @ centroids.T.astype(np.float64), axis=1)
    q = CompactQuantizer(24, bits=bits, seed=3)
    got_ids, got_scores = index.search_batch(queries, 15, probes=probes, threads=2)
    for row, query in enumerate(queries):
        one = index.search(query, 15, probes=probes)
        assert np.array_equal(one[0], got_ids[row]) and one[1].tobytes() == got_scores[row].tobytes()
        products = [float(np.dot(c.astype(np.float64), query.astype(np.float64))) for c in centroids]
        probed = sorted(range(10), key=lambda l: (-products[l], l))[:probes]
        expected = []
        for i in np.flatnonzero(np.isin(owner, probed)):
            code = q.encode(x[i] - centroids[owner[i]])
            expected.append((-np.float32(products[owner[i]] + q.inner_product(code, query)), i))
        expected.sort()
        k = min(15, len(expected))
        # Scores agree to float32 rounding of the centroid products; the order exactly
        # where the gaps are wider than that.
        assert np.allclose(got_scores[row][:k], [-s for s, _ in expected[:k]], rtol=1e-5)
        assert np.all(got_ids[row][k:] == quillane.NO_ID) and np.all(np.isnan(got_scores[row][k:]))


def test_batches_are_all_or_nothing_and_thread_independent(data):
    x, queries = data
    a, b = trained(x), trained(x)
    a.add_batch(np.arange(600), x[:600], threads=1)
    b.add_batch(np.arange(600), x[:600], threads=2)
    assert np.array_equal(a.list_sizes(), b.list_sizes())
    for probes in (2, 10):
        ra, rb = a.search_batch(queries, 20, probes=probes, threads=1), b.search_batch(queries, 20, probes=probes, threads=2)
        assert np.array_equal(ra[0], rb[0]) and ra[1].tobytes() == rb[1].tobytes()
    bad = x[:10].copy()
    bad[7, 3] = np.nan
    with pytest.raises(ValueError, match="^row 7: argument 'vectors': input contains non-finite values"):
        a.add_batch(np.arange(10), bad)
    assert len(a) == 600
    empty = trained(x)
    assert [r.shape for r in empty.search_batch(queries, 5)] == [(9, 0), (9, 0)]


def test_files_round_trip_byte_for_byte(data, tmp_path):
    import copy
    import pickle

    x, queries = data
    a, b = trained(x), trained(x)
    a.add_batch(np.arange(len(x)) * 3, x, threads=1)
    b.add_batch(np.arange(len(x)) * 3, x, threads=2)
    image = a.to_bytes()
    assert b.to_bytes() == image
    path = tmp_path / "ivf.qli"
    a.save(path)
    assert path.read_bytes() == image
    expected = a.search_batch(queries, 12, probes=4)
    copies = [IvfIndex.from_bytes(image), IvfIndex.load(path), IvfIndex.load(path, mmap=True),
              pickle.loads(pickle.dumps(a)), copy.deepcopy(a), IvfIndex.load(path, verify=False)]
    for c in copies:
        assert repr(c) == repr(a) and c.to_bytes() == image
        got = c.search_batch(queries, 12, probes=4)
        assert np.array_equal(got[0], expected[0]) and got[1].tobytes() == expected[1].tobytes()
    with pytest.raises(ValueError, match="read-only"):
        copies[2].add(1, x[0])
    # A loaded index adds as the index it was saved from does.
    copies[1].add_batch(np.array([5, 6]), x[:2])
    a.add_batch(np.array([5, 6]), x[:2])
    assert copies[1].to_bytes() == a.to_bytes()
    empty = IvfIndex(24, 10)
    assert IvfIndex.from_bytes(empty.to_bytes()).trained is False
    given = IvfIndex(24, 10, bits=4, seed=3)
    given.set_centroids(a.centroids)
    given.add_batch(np.arange(len(x)) * 3, x)
    given.add_batch(np.array([5, 6]), x[:2])
    assert given.to_bytes() == a.to_bytes()


@pytest.mark.parametrize("metric", ["ip", "l2"])
@pytest.mark.parametrize("how", ["bytes", "load", "mmap", "unverified"])
def test_files_with_whole_records_read_as_the_index_they_hold(metric, how, tmp_path):
    # Written before lists left out each code's constant front: the same index, read.
    path = pathlib.Path(__file__).parent.parent / "data" / f"ivf-whole-records-{metric}.qli"
    n, dim = 120, 12
    i, j = np.arange(n)[:, None], np.arange(dim)[None, :]
    rows = (((i * 7919 + j * 104729) % 1001) - 500).astype(np.float32) / 100
    fresh = IvfIndex(dim, 5, bits=3, seed=5, metric=metric)
    fresh.train(rows, iterations=4)
    fresh.add_batch(np.arange(n) * 3, rows)
    old = {"bytes": lambda: IvfIndex.from_bytes(path.read_bytes()), "load": lambda: IvfIndex.load(path),
           "mmap": lambda: IvfIndex.load(path, mmap=True), "unverified": lambda: IvfIndex.load(path, verify=False)}[how]()
    assert old.to_bytes() == fresh.to_bytes() and len(fresh.to_bytes()) < path.stat().st_size
    got, expected = old.search_batch(rows[:7], 9, probes=2), fresh.search_batch(rows[:7], 9, probes=2)
    assert np.array_equal(got[0], expected[0]) and got[1].tobytes() == expected[1].tobytes()


def _fix_header(image):
    import zlib

    image[60:64] = zlib.crc32(bytes(image[:60])).to_bytes(4, "little")
    return image


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda b: b[:-1], "truncated: "),
        (lambda b: b + b"\0", "1 bytes of trailing data after the index"),
        (lambda b: b[:-3] + b"\1" + b[-2:], "padding byte "),
        (lambda b: b[:-200] + bytes([b[-200] ^ 1]) + b[-199:], "body checksum mismatch"),
        (lambda b: _fix_header(bytearray(b[:24]) + (2**32).to_bytes(8, "little") + b[32:]), "list count 4294967296"),
        (lambda b: _fix_header(bytearray(b[:40]) + (10**9).to_bytes(8, "little") + b[48:]), "do not fit in"),
        (lambda b: _fix_header(bytearray(b[:40]) + (2**32).to_bytes(8, "little") + b[48:]), "above 4294967295 entries"),
        (lambda b: _fix_header(bytearray(b[:48]) + (2).to_bytes(4, "little") + b[52:]), "training words"),
    ],
)
def test_damaged_files_are_refused(data, damage, message):
    x, _ = data
    index = trained(x)
    index.add_batch(np.arange(100), x[:100])
    with pytest.raises(ValueError, match=message):
        IvfIndex.from_bytes(bytes(damage(index.to_bytes())))
    with pytest.raises(ValueError, match="holds an inverted-file index"):
        quillane.CompactIndex.from_bytes(index.to_bytes())
    with pytest.raises(ValueError, match=r"holds a compact index \(CompactIndex\), not an inverted-file \(IvfIndex\) index$"):
        IvfIndex.from_bytes(quillane.CompactIndex(24).to_bytes())


def test_lists_that_do_not_hold_their_records_are_refused_unverified(data):
    x, _ = data
    index = trained(x)
    index.add_batch(np.arange(100), x[:100])
    image = bytearray(index.to_bytes())
    starts = 64 + 10 * 24 * 4  # the centroids, then the lists' starts
    for offset, value, message in [(starts + 8, 2**40, "list 0 ends before it starts or after the last record"),
                                   (-(-(starts + 11 * 8) // 64) * 64 + 8 * 3, 10**6, "insertion numbers")]:
        bad = bytearray(image)
        bad[offset:offset + 8] = value.to_bytes(8, "little")
        with pytest.raises(ValueError, match=message):
            IvfIndex.from_bytes(bytes(bad), verify=False)
