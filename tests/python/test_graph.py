"""GraphIndex: the walk finds what an exhaustive search ranks, builds are the same at any
thread count, batches are all or nothing and rows equal single calls."""
import numpy as np
import pytest

import quillane
from quillane import CompactIndex, GraphIndex

DIM = 24


def clustered(n, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((8, DIM)).astype(np.float32) * 3
    return (centres[rng.integers(0, 8, n)] + rng.standard_normal((n, DIM))).astype(np.float32)


@pytest.fixture(scope="module")
def data():
    return clustered(1500), clustered(20, seed=1)


@pytest.mark.parametrize("metric", ["ip", "cosine", "l2"])
@pytest.mark.parametrize("bits", [1, 4, 8])
def test_a_walk_as_wide_as_the_index_ranks_as_the_exhaustive_search(data, metric, bits):
    x, queries = data
    ids = np.arange(len(x), dtype=np.uint64) * 3 + 1
    graph = GraphIndex(DIM, degree=12, bits=bits, metric=metric, seed=5)
    graph.add_batch(ids, x)
    flat = CompactIndex(DIM, bits, 5, metric=metric)
    flat.add_batch(ids, x)
    want = flat.search_batch(queries, 10)
    got = graph.search_batch(queries, 10, ef=len(x))
    assert np.array_equal(got[0], want[0]) and got[1].tobytes() == want[1].tobytes()
    near = graph.search_batch(queries, 10, ef=128)
    recall = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(near[0].tolist(), want[0].tolist())])
    assert recall > 0.75  # a broken graph finds far fewer


@pytest.mark.parametrize("metric", ["ip", "cosine", "l2"])
def test_builds_are_the_same_at_any_thread_count_and_in_batches(data, metric):
    x, queries = data
    built = []
    for threads in (1, 2):
        graph = GraphIndex(DIM, degree=8, metric=metric, bits=4)
        graph.add_batch(np.arange(1000), x[:1000], threads=threads)
        graph.add_batch(np.arange(1000, 1500), x[1000:], threads=threads)
        built.append(graph)
    one, two = (g.search_batch(queries, 10, ef=20, threads=1) for g in built)
    assert np.array_equal(one[0], two[0]) and one[1].tobytes() == two[1].tobytes()
    for q in range(len(queries)):
        row = built[0].search(queries[q], 10, ef=20)
        assert np.array_equal(row[0], one[0][q]) and row[1].tobytes() == one[1][q].tobytes()


def test_adds_are_all_or_nothing_and_rows_are_padded(data):
    x, queries = data
    graph = GraphIndex(DIM, degree=8)
    assert graph.search(queries[0], 5)[0].size == 0
    graph.add_batch(np.arange(3), x[:3])
    before = graph.search_batch(queries, 5)
    bad = x[3:10].copy()
    bad[4, 2] = np.nan
    with pytest.raises(ValueError, match="^row 4: argument 'vectors': input contains non-finite values"):
        graph.add_batch(np.arange(3, 10), bad)
    with pytest.raises(ValueError, match="quillane.NO_ID"):
        graph.add(quillane.NO_ID, x[0])
    assert len(graph) == 3 and graph.ids().tolist() == [0, 1, 2]
    after = graph.search_batch(queries, 5)
    assert np.array_equal(before[0], after[0]) and after[0].shape == (20, 3)
    graph.add(7, x[7])
    assert 7 in graph and graph.reconstruct(np.array([7])).shape == (1, DIM)


def test_rerank_orders_candidates_by_the_exact_metric(data):
    x, queries = data
    graph = GraphIndex(DIM, degree=12, bits=2, metric="l2")
    graph.add_batch(np.arange(len(x)), x)
    ids, scores = graph.search_batch(queries, 5, ef=64, rerank=x, rerank_factor=4)
    exact = ((x[ids.astype(np.int64)] - queries[:, None, :]) ** 2).sum(-1)
    assert np.allclose(scores, exact, rtol=1e-5) and (np.diff(scores, axis=1) >= 0).all()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"degree": 1}, ValueError, "GraphIndex(): degree must be between 2 and 256, got 1"),
    ({"degree": 257}, ValueError, "GraphIndex(): degree must be between 2 and 256, got 257"),
    ({"bits": 9}, ValueError, "argument 'bits': bit width must be 1..=8, got 9"),
    ({"metric": "dot"}, ValueError, "metric must be 'ip', 'cosine' or 'l2', got 'dot'"),
])
def test_bad_parameters_are_refused(kwargs, error, message):
    with pytest.raises(error) as info:
        GraphIndex(DIM, **kwargs)
    assert str(info.value) == message


def test_introspection():
    graph = GraphIndex(DIM, degree=16, bits=4, metric="cosine", seed=3)
    assert (graph.dim, graph.degree, graph.bits, graph.metric, graph.seed, graph.code_size_bytes) == (DIM, 16, 4, "cosine", 3, 28)
    assert repr(graph) == "GraphIndex(size=0, dim=24, degree=16, bits=4, seed=3, metric='cosine')"


@pytest.mark.parametrize("metric", ["ip", "cosine", "l2"])
def test_files_hold_the_index_and_the_same_rows_give_the_same_bytes(data, tmp_path, metric):
    import copy
    import pickle

    x, queries = data
    one = GraphIndex(DIM, degree=8, bits=4, metric=metric, seed=2)
    one.add_batch(np.arange(len(x)), x, threads=1)
    two = GraphIndex(DIM, degree=8, bits=4, metric=metric, seed=2)
    two.add_batch(np.arange(len(x)), x, threads=2)
    assert one.to_bytes() == two.to_bytes()
    one.save(tmp_path / "graph.qli")
    assert (tmp_path / "graph.qli").read_bytes() == one.to_bytes()
    want = one.search_batch(queries, 5, ef=16)
    copies = [GraphIndex.load(tmp_path / "graph.qli"), GraphIndex.load(tmp_path / "graph.qli", mmap=True),
              GraphIndex.from_bytes(one.to_bytes()), pickle.loads(pickle.dumps(one)), copy.deepcopy(one)]
    for again in copies:
        got = again.search_batch(queries, 5, ef=16)
        assert np.array_equal(got[0], want[0]) and got[1].tobytes() == want[1].tobytes()
        assert again.to_bytes() == one.to_bytes() and repr(again) == repr(one)
    with pytest.raises(ValueError, match="read-only; load it with mmap=False to add to it"):
        copies[1].add(5, x[0])
    copies[0].add_batch(np.arange(2), x[:2])  # a loaded copy grows as the original would
    one.add_batch(np.arange(2), x[:2])
    assert copies[0].to_bytes() == one.to_bytes()


@pytest.mark.parametrize("damage, message", [
    (lambda b: b[:100], "truncated"),
    (lambda b: b[:10] + bytes([3]) + b[11:], "header checksum mismatch"),
    (lambda b: b + bytes(64), "bytes of trailing data"),
    (lambda b: b[:520] + bytes([b[520] ^ 1]) + b[521:], "body checksum mismatch"),
    (lambda b: b[:-10] + bytes([1]) + b[-9:], "padding byte"),
])
def test_a_damaged_graph_file_is_a_value_error(data, damage, message):
    graph = GraphIndex(DIM, degree=4, bits=2)
    graph.add_batch(np.arange(50), data[0][:50])
    with pytest.raises(ValueError, match=message):
        GraphIndex.from_bytes(damage(graph.to_bytes()))


def test_verbose_progress_goes_to_standard_error_a_line_at_a_time_in_a_log():
    import subprocess
    import sys

    code = ("import numpy as np, quillane; g = quillane.GraphIndex(8, degree=4); "
            "g.add_batch(np.arange(3000), np.random.default_rng(0).standard_normal((3000, 8), dtype=np.float32), "
            "verbose=True)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    lines = run.stderr.splitlines()
    assert run.stdout == "" and 2 <= len(lines) <= 11
    assert lines[-1].startswith("GraphIndex.add_batch: [##############################] 3000 of 3000 rows, ")
    assert all("rows/s" in line and "s left" in line for line in lines)


@pytest.mark.parametrize("metric", ["ip", "cosine", "l2"])
def test_removal_closes_the_graph_and_is_a_function_of_the_calls(data, tmp_path, metric):
    x, queries = data
    gone = np.arange(0, len(x), 3)  # a third of the entries, the first entry among them
    graph = GraphIndex(DIM, degree=12, bits=8, metric=metric)
    graph.add_batch(np.arange(len(x)), x)
    same = quillane.GraphIndex.from_bytes(graph.to_bytes())
    assert graph.remove(np.array([10**6])) == 0 and graph.to_bytes() == same.to_bytes()
    assert graph.remove(gone) == len(gone) == same.remove(list(gone)) and len(graph) == len(x) - len(gone)
    assert graph.to_bytes() == same.to_bytes()  # the same index and ids: the same bytes
    kept = np.setdiff1d(np.arange(len(x)), gone)
    flat = CompactIndex(DIM, 8, metric=metric)
    flat.add_batch(kept, x[kept])
    want = flat.search_batch(queries, 10)[0]
    assert np.array_equal(graph.ids(), kept) and 0 not in graph and 1 in graph
    assert np.array_equal(graph.search_batch(queries, 10, ef=len(x))[0], want)  # every vertex still reached
    near = graph.search_batch(queries, 10, ef=128)[0]
    assert np.mean([len(set(a) & set(b)) / 10 for a, b in zip(near.tolist(), want.tolist())]) > 0.85
    graph.save(tmp_path / "graph.qli")
    with pytest.raises(ValueError, match="load it with mmap=False to remove from it"):
        GraphIndex.load(tmp_path / "graph.qli", mmap=True).remove([1])
    assert graph.remove(kept) == len(kept) and len(graph) == 0
    graph.add_batch(np.arange(5), x[:5])
    assert graph.search(x[2], 1)[0].tolist() == [2]


@pytest.mark.parametrize("rows, gone", [
    (lambda x: np.concatenate([x[:2], x[:2]]), lambda n: np.arange(2)),  # copies re-added: the first go
    (lambda x: np.concatenate([x[:300], x[:300]]), lambda n: np.arange(300)),
    (lambda x: x[:600], lambda n: np.setdiff1d(np.arange(n), np.arange(0, n, 20))),  # a twentieth left
    (lambda x: x[:600], lambda n: np.random.default_rng(3).permutation(n)[:590])])
def test_every_entry_left_is_reached_after_removals(data, rows, gone):
    x = rows(data[0])
    gone = gone(len(x))
    graph = GraphIndex(DIM, degree=4, bits=4, metric="cosine")
    graph.add_batch(np.arange(len(x)), x)
    graph.remove(gone)
    found = graph.search_batch(x[:5], len(graph), ef=len(graph))[0]
    assert all(sorted(row) == sorted(graph.ids().tolist()) for row in found.tolist())


@pytest.mark.parametrize("share", [0.005, 0.3, 1.0])  # a listed allow-set, a bitmap, everything
@pytest.mark.parametrize("metric", ["cosine", "l2"])
def test_filtered_searches_rank_only_allowed_entries(data, share, metric):
    x, queries = data
    graph = GraphIndex(DIM, degree=12, bits=8, metric=metric)
    graph.add_batch(np.arange(len(x)), x)
    allow = np.sort(np.random.default_rng(4).choice(len(x), max(1, int(len(x) * share)), replace=False))
    flat = CompactIndex(DIM, 8, metric=metric)
    flat.add_batch(np.arange(len(x)), x)
    want = flat.search_batch(queries, 10, allow=allow)
    widest = graph.search_batch(queries, 10, ef=len(x), allow=allow)
    assert np.array_equal(widest[0], want[0]) and widest[1].tobytes() == want[1].tobytes()
    got = graph.search_batch(queries, 10, ef=64, allow=allow, threads=2)
    assert np.isin(got[0][got[0] != quillane.NO_ID], allow).all()
    real = [(set(a) - {quillane.NO_ID}, set(b) - {quillane.NO_ID}) for a, b in zip(got[0].tolist(), want[0].tolist())]
    assert np.mean([len(a & b) / len(b) for a, b in real]) > 0.85
    for q in (0, 7):
        one = graph.search(queries[q], 10, ef=64, allow=allow)
        assert np.array_equal(one[0], got[0][q]) and one[1].tobytes() == got[1][q].tobytes()
    none = graph.search_batch(queries, 3, allow=np.array([10**6]))
    assert (none[0] == quillane.NO_ID).all() and np.isnan(none[1]).all()
