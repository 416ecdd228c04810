"""Batch calls: rows equal the one-at-a-time calls, input rules, row errors, threads."""
import threading

import numpy as np
import pytest

from quillane import CompactIndex, CompactQuantizer, TurboQuantizer, VectorIndex

FAMILIES = [
    pytest.param(lambda d: TurboQuantizer(d, 4, 5, 3), lambda d: VectorIndex(d, 4, 5, 3), id="turbo"),
    pytest.param(lambda d: CompactQuantizer(d, 4, 3), lambda d: CompactIndex(d, 4, 3), id="compact"),
]
DIM = 20


def rows(n, seed=0):
    x = np.random.default_rng(seed).standard_normal((n, DIM), dtype=np.float32)
    x[5::7] = x[0]  # ties
    return x


@pytest.mark.parametrize("make_q, make_index", FAMILIES)
@pytest.mark.parametrize("threads", [None, 1, 2, 9])
def test_every_row_equals_the_one_at_a_time_call(make_q, make_index, threads):
    q, x, queries = make_q(DIM), rows(50), rows(6, seed=1)
    codes = q.encode_batch(x, threads=threads)
    assert codes.shape == (50, q.code_size_bytes) and codes.dtype == np.uint8
    assert all((codes[i] == q.encode(x[i])).all() for i in range(50))
    decoded = q.decode_batch(codes, threads=threads)
    assert decoded.dtype == np.float32
    assert all(decoded[i].tobytes() == q.decode(codes[i]).tobytes() for i in range(50))
    scores = q.inner_product_batch(codes, queries, threads=threads)
    assert scores.shape == (50, 6)
    expected = [[q.inner_product(codes[i], queries[j]) for j in range(6)] for i in range(50)]
    assert scores.tobytes() == np.array(expected, dtype=np.float32).tobytes()

    one, many = make_index(DIM), make_index(DIM)
    for i in range(50):
        one.add(1000 - i % 40, x[i])
    many.add_batch(np.array([1000 - i % 40 for i in range(50)], dtype=np.int32), x, threads=threads)
    for k in (0, 3, 100):
        ids, found = many.search_batch(queries, k, threads=threads)
        assert ids.shape == found.shape == (6, min(k, 50)) and ids.dtype == np.uint64
        for j in range(6):
            want_ids, want_scores = one.search(queries[j], k)
            assert (ids[j] == want_ids).all() and found[j].tobytes() == want_scores.tobytes()


@pytest.mark.parametrize("make_q, make_index", FAMILIES)
def test_a_refused_row_is_named_and_adds_nothing(make_q, make_index):
    q, index, x = make_q(DIM), make_index(DIM), rows(40)
    x[17, 3] = np.nan
    x[30, 0] = np.inf
    one_message = None
    try:
        q.encode(x[17])
    except ValueError as e:
        one_message = str(e)
    with pytest.raises(ValueError) as info:
        q.encode_batch(x)
    # Each call names its own argument (the compact family's do; the two-stage family's keep their messages).
    assert str(info.value) == f"row 17: {one_message}".replace("argument 'vector'", "argument 'vectors'")
    with pytest.raises(ValueError, match="^row 17: "):
        index.add_batch(np.arange(40, dtype=np.uint64), x)
    assert len(index) == 0
    with pytest.raises(ValueError, match="^row 17: "):
        index.add_batch(np.arange(40), x)  # nothing added, whatever the thread split
    index.add_batch(np.arange(3), rows(3))
    with pytest.raises(ValueError, match="^row 17: "):
        index.search_batch(x, 5)
    codes = q.encode_batch(rows(4))
    codes[2, 0] ^= 0xFF
    with pytest.raises(ValueError, match="^row 2, query 0: "):
        q.inner_product_batch(codes, rows(3))
    with pytest.raises(ValueError, match="^row 0, query 17: "):
        q.inner_product_batch(q.encode_batch(rows(4)), x)


@pytest.mark.parametrize("make_q, make_index", FAMILIES)
@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda q, i: q.encode_batch([[0.0] * DIM]), TypeError, "argument 'vectors': expected a numpy array of dtype float32 and shape (n, 20), got 'list'"),
        (lambda q, i: q.encode_batch(np.zeros((2, DIM), np.int32)), TypeError, "argument 'vectors': expected "),
        (lambda q, i: q.encode_batch(np.zeros(DIM, np.float32)), ValueError, "argument 'vectors': expected shape (n, 20), got (20,)"),
        (lambda q, i: q.encode_batch(np.zeros((2, DIM + 1), np.float32)), ValueError, "argument 'vectors': expected shape (n, 20), got (2, 21)"),
        (lambda q, i: q.decode_batch(np.zeros((2, 3), np.uint8)), ValueError, "argument 'codes': expected shape (n, "),
        (lambda q, i: q.inner_product_batch(np.zeros((0, q.code_size_bytes), np.uint8), np.zeros((1, 3), np.float32)), ValueError, "argument 'queries': expected shape (n, 20), got (1, 3)"),
        (lambda q, i: q.encode_batch(np.zeros((1, DIM), np.float32), threads=0), ValueError, "argument 'threads': expected None or a positive number of threads, got 0"),
        (lambda q, i: q.encode_batch(np.zeros((1, DIM), np.float32), threads="2"), TypeError, "argument 'threads': "),
        (lambda q, i: q.encode_batch(np.zeros((1, DIM), np.float32), 2), TypeError, "takes 1 positional argument"),
        (lambda q, i: i.add_batch(np.arange(3.0), np.zeros((3, DIM), np.float32)), TypeError, "argument 'ids': expected an integer dtype (uint64 or any that fits), got float64"),
        (lambda q, i: i.add_batch(np.arange(2), np.zeros((3, DIM), np.float32)), ValueError, "argument 'ids': expected shape (3,), one id per row, got (2,)"),
        (lambda q, i: i.add_batch(np.array([1, -2, 3], np.int8), np.zeros((3, DIM), np.float32)), ValueError, "argument 'ids': ids must not be negative, got -2 at position 1"),
        (lambda q, i: i.add_batch(np.array([1, 2, -3], np.int64), np.zeros((3, DIM), np.float32)), ValueError, "argument 'ids': ids must not be negative, got -3 at position 2"),
        (lambda q, i: i.add_batch(np.array([0, 1, -2**63]), np.zeros((3, DIM), np.float32)), ValueError, "argument 'ids': ids must not be negative, got -9223372036854775808 at position 2"),
        (lambda q, i: i.search_batch(np.zeros((1, DIM), np.float32), -1), OverflowError, None),
    ],
)
def test_input_rules(make_q, make_index, call, error, message):
    with pytest.raises(error) as info:
        call(make_q(DIM), make_index(DIM))
    if message is not None:
        assert str(info.value).startswith(message) or message in str(info.value)


@pytest.mark.parametrize("make_q, make_index", FAMILIES)
def test_empty_batches_and_indexes(make_q, make_index):
    q, index = make_q(DIM), make_index(DIM)
    assert q.encode_batch(np.zeros((0, DIM), np.float32)).shape == (0, q.code_size_bytes)
    assert q.inner_product_batch(q.encode_batch(rows(2)), np.zeros((0, DIM), np.float32)).shape == (2, 0)
    index.add_batch(np.zeros(0, np.uint64), np.zeros((0, DIM), np.float32))
    bad = np.full((2, DIM), np.nan, np.float32)
    ids, scores = index.search_batch(bad, 5)  # an empty index does not look at the queries
    assert ids.shape == scores.shape == (2, 0)


@pytest.mark.parametrize("make_q, make_index", FAMILIES)
def test_threads_share_one_index(make_q, make_index):
    """Readers run together with a writer: no RuntimeError, no half-added batch, no hang."""
    index, batch = make_index(DIM), 512
    index.add_batch(np.arange(batch), rows(batch))
    queries, failures = rows(8, seed=5), []

    def read():
        try:
            for _ in range(20):
                ids, _ = index.search_batch(queries, 5)
                n = len(index)
                assert n % batch == 0, n
                assert ids.shape == (8, 5)
                index.search(queries[0], 3)
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    def write():
        try:
            for r in range(1, 6):
                index.add_batch(np.arange(batch) + r * batch, rows(batch, seed=r), threads=2)
        except BaseException as e:  # noqa: BLE001
            failures.append(e)

    workers = [threading.Thread(target=read) for _ in range(6)] + [threading.Thread(target=write)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(timeout=120)
        assert not t.is_alive(), "a call never returned"
    assert failures == []
    assert len(index) == 6 * batch


@pytest.mark.parametrize("make_q, make_index", FAMILIES)
def test_reentry_on_the_same_thread_is_refused(make_q, make_index):
    index = make_index(DIM)
    index.add_batch(np.arange(3), rows(3))

    class Reenter:
        def __index__(self):
            index.add_batch(np.arange(1), rows(1))
            return 1

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        index.search_batch(rows(2), Reenter())


@pytest.mark.parametrize("make_q, make_index", FAMILIES)
def test_a_top_k_that_resizes_the_query_cannot_read_freed_memory(make_q, make_index):
    index = make_index(DIM)
    index.add_batch(np.arange(4), rows(4))
    query = rows(1)[0].copy()

    class Resize:
        def __index__(self):
            query.resize(10**5, refcheck=False)
            return 2

    with pytest.raises(ValueError, match="dimension mismatch"):
        index.search(query, Resize())
    queries = rows(3).copy()

    class Shrink:
        def __index__(self):
            queries.resize((10**4, DIM), refcheck=False)
            queries[:] = 1.0
            return 2

    ids, scores = index.search_batch(queries, Shrink())
    assert ids.shape == (10**4, 2)
    assert scores[0].tobytes() == index.search(np.ones(DIM, np.float32), 2)[1].tobytes()
