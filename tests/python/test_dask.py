"""Sharded build and search on a local Dask cluster: the answers of one index, clear faults."""
import json
import os
import signal

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import quillane  # noqa: E402
import quillane_dask  # noqa: E402

from quillane import CompactIndex, GraphIndex, IvfIndex, VectorIndex  # noqa: E402

DIM = 16


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def data(n, seed=0):
    x = np.random.default_rng(seed).standard_normal((n, DIM), dtype=np.float32)
    x[5::37] = x[0]  # ties across shards
    x[9::41] = 0.0  # zero scores tie too
    return x


def npy_files(directory, *parts):
    for i, part in enumerate(parts):
        np.save(directory / f"part{i}.npy", part)
    return [directory / f"part{i}.npy" for i in range(len(parts))]


@pytest.mark.parametrize("family, metric, single", [
    ("compact", "ip", lambda: CompactIndex(DIM, 4, 9)),
    ("compact", "l2", lambda: CompactIndex(DIM, 4, 9, metric="l2")),
    ("two-stage", "ip", lambda: VectorIndex(DIM, 4, 4, 9))])
def test_a_sharded_index_answers_as_one_index(tmp_path, client, family, metric, single):
    x, queries = data(1000), data(7, seed=1)
    queries[3] = x[0]
    ids = (np.arange(1000, dtype=np.uint64) * 7) % 1013
    extra = {"projections": 4} if family == "two-stage" else {"metric": metric}
    sharded = quillane_dask.build(da.from_array(x, chunks=(230, DIM)), tmp_path, family=family, bits=4,
                                  seed=9, ids=da.from_array(ids, chunks=100), **extra)
    assert len(sharded.shards) == 5 and len(sharded) == 1000
    one = single()
    one.add_batch(ids, x)
    reopened = quillane_dask.ShardedIndex.open(tmp_path)
    for k in (1, 10, 2000):
        want = one.search_batch(queries, k)
        for index in (sharded, reopened):
            got = index.search_batch(queries, k)
            assert (got[0] == want[0]).all() and got[1].tobytes() == want[1].tobytes()


@pytest.mark.parametrize("from_files, metric", [(False, "ip"), (True, "ip"), (False, "cosine")])
def test_a_sharded_inverted_file_answers_as_one_index(tmp_path, client, from_files, metric):
    x, queries = data(1500), data(7, seed=1)
    x[x.sum(axis=1) == 0] = 1.0  # cosine refuses zero vectors
    queries[3] = x[0]
    vectors = npy_files(tmp_path, x[:700], x[700:]) if from_files else da.from_array(x, chunks=(400, DIM))
    sharded = quillane_dask.build(vectors, tmp_path / "index", family="ivf", lists=6, bits=4, seed=9, metric=metric)
    assert quillane_dask.ShardedIndex.open(tmp_path / "index").parameters["metric"] == metric
    centroids = [IvfIndex.load(tmp_path / "index" / s["file"]).centroids for s in sharded.shards]
    assert all(c.tobytes() == centroids[0].tobytes() for c in centroids)
    one = IvfIndex(DIM, 6, 4, 9, metric=metric)
    one.set_centroids(centroids[0])
    one.add_batch(np.arange(1500), x)
    for k, probes in ((1, 1), (10, 2), (2000, 6), (400, 1)):
        want = one.search_batch(queries, k, probes=probes)
        got = sharded.search_batch(queries, k, probes=probes)
        assert (got[0] == want[0]).all() and got[1].tobytes() == want[1].tobytes()
    with pytest.raises(ValueError, match="probes applies to inverted-file indexes"):
        quillane_dask.build(da.from_array(x, chunks=(400, DIM)), tmp_path / "c").search_batch(queries, 3, probes=2)


def test_build_from_npy_files_numbers_rows_globally(tmp_path, client):
    x = data(300)
    sharded = quillane_dask.build(npy_files(tmp_path, x[:120], x[120:121], x[121:]), tmp_path / "index", seed=3)
    one = CompactIndex(DIM, 4, 3)
    one.add_batch(np.arange(300), x)
    got, want = sharded.search_batch(x[:4], 25), one.search_batch(x[:4], 25)
    assert (got[0] == want[0]).all() and got[1].tobytes() == want[1].tobytes()


@pytest.mark.parametrize("damage, message", [
    (lambda p: p.unlink(), "is missing"),
    (lambda p: p.write_bytes(p.read_bytes()[:600] + b"\xff" + p.read_bytes()[601:]), "body checksum mismatch"),
    (lambda p: CompactIndex(DIM).save(p), "checksums differ"),
    (lambda p: CompactIndex(DIM, 4, 99).save(p), "another quantizer"),
])
def test_a_bad_shard_is_named(tmp_path, client, damage, message):
    quillane_dask.build(da.from_array(data(200), chunks=(50, DIM)), tmp_path)
    damage(tmp_path / "shard-00002.qli")
    with pytest.raises(quillane_dask.ShardError, match=f"shard-00002.qli.*{message}|{message}.*shard-00002"):
        quillane_dask.ShardedIndex.open(tmp_path).search_batch(data(3), 5)


@pytest.mark.parametrize("inputs, message", [
    (lambda d, x: (da.from_array(x, chunks=(30, DIM)), np.arange(99)),
     r"one id per row, shape \(100,\), got \(99,\)"),
    (lambda d, x: (da.from_array(x, chunks=(30, DIM))[da.from_array(x[:, 0]) > 0], None), "known chunk sizes"),
    (lambda d, x: (npy_files(d, x[:50], np.zeros((50, 4), np.float32)), None),
     r"part1.npy: expected rows of the first file's dimension, got shape \(50, 4\)"),
    (lambda d, x: (npy_files(d, x[:50], np.zeros(DIM, np.float32)), None), r"part1.npy: .* got shape \(16,\)"),
])
def test_bad_build_input_is_refused_before_any_work(tmp_path, client, inputs, message):
    vectors, ids = inputs(tmp_path, data(100))
    with pytest.raises(ValueError, match=message):
        quillane_dask.build(vectors, tmp_path / "index", ids=ids)
    assert not list((tmp_path / "index").glob("*"))


@pytest.mark.parametrize("edit", [
    lambda m: "{",
    lambda m: m.pop("parameters"),
    lambda m: m["parameters"].update(dim="16"),
    lambda m: m["shards"][1].update(file="../index/shard-00001.qli"),
    lambda m: m["shards"].reverse(),  # the merge's tie order needs shards in row order
    lambda m: m.update(rows=m["rows"] + 1),
    lambda m: m["shards"][0].update(checksums="0"),
    lambda m: m["shards"].__setitem__(1, dict(m["shards"][0], first_row=50)),  # one file twice
    lambda m: m.update(format=1.0),
    lambda m: m["shards"][0].update(rows=50.0),
    lambda m: m["shards"][1].update(first_row=True),
    lambda m: m["shards"][1].update(rows=10**30, first_row=50) or m.update(rows=10**30 + 50),
    lambda m: "[" * 100_000 + "]" * 100_000,
    lambda m: "[]",
    "directory",
])
def test_a_bad_manifest_is_refused(tmp_path, client, edit):
    quillane_dask.build(da.from_array(data(100), chunks=(50, DIM)), tmp_path)
    path = tmp_path / "manifest.json"
    if edit == "directory":
        path.unlink()
        path.mkdir()
    else:
        manifest = json.loads(path.read_text())
        text = edit(manifest)
        path.write_text(text if isinstance(text, str) else json.dumps(manifest))
    with pytest.raises(quillane_dask.ShardError, match="manifest.json is not a quillane shard manifest of format 1"):
        quillane_dask.ShardedIndex.open(tmp_path)


def test_a_manifest_that_cannot_reach_the_disk_is_an_error(tmp_path, client, monkeypatch):
    def refuse(fd):
        raise OSError(5, "Input/output error")

    monkeypatch.setattr(os, "fsync", refuse)
    with pytest.raises(OSError, match="Input/output error"):
        quillane_dask.build(da.from_array(data(100), chunks=(50, DIM)), tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir() if not p.name.startswith("shard-")) == []


def test_a_killed_worker_is_survived_or_reported(tmp_path, client):
    x = data(2000)
    sharded = quillane_dask.build(da.from_array(x, chunks=(250, DIM)), tmp_path)
    one = CompactIndex(DIM)
    one.add_batch(np.arange(2000), x)
    want = one.search_batch(x[:5], 10)
    victim = sorted(client.scheduler_info()["workers"])[0]
    os.kill(client.run(os.getpid, workers=[victim])[victim], signal.SIGKILL)
    try:
        got = sharded.search_batch(x[:5], 10)
    except Exception as e:  # noqa: BLE001 - a failure must be reported, not hidden
        assert "shard" in str(e) or isinstance(e, (distributed.comm.CommClosedError, OSError,
                                                   distributed.client.FutureCancelledError,
                                                   distributed.scheduler.KilledWorker)), e
        return
    assert (got[0] == want[0]).all() and got[1].tobytes() == want[1].tobytes()


def test_concurrent_builds_into_one_directory_cannot_mix(tmp_path, client, monkeypatch):
    """A build that starts while another runs into the same directory fails at once."""
    x = data(100)
    outcomes = []
    real = quillane_dask.building._build

    def nested(*args):  # a second build starts while the first is inside its work
        try:
            quillane_dask.build(da.from_array(x, chunks=(25, DIM)), tmp_path)
        except quillane_dask.ShardError as e:
            outcomes.append(str(e))
        return real(*args)

    monkeypatch.setattr(quillane_dask.building, "_build", nested)
    first = quillane_dask.build(da.from_array(x, chunks=(50, DIM)), tmp_path)
    assert outcomes and f"another build into {tmp_path.resolve()} is running" in outcomes[0]
    assert len(quillane_dask.ShardedIndex.open(tmp_path).shards) == len(first.shards) == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == ["manifest.json", "shard-00000.qli", "shard-00001.qli"]


def test_a_shard_rewritten_in_place_is_noticed(tmp_path, client):
    x = data(200)
    sharded = quillane_dask.build(da.from_array(x, chunks=(100, DIM)), tmp_path)
    sharded.search_batch(x[:3], 5)  # the workers map both shards
    path = tmp_path / "shard-00001.qli"
    image = bytearray(path.read_bytes())
    records = 64 + (8 * 100 + 63) // 64 * 64
    image[records + 20] ^= 0x10  # a packed level of the first record; the header untouched
    with open(path, "r+b") as f:
        f.write(image)
    for index in (sharded, quillane_dask.ShardedIndex.open(tmp_path)):
        with pytest.raises(quillane_dask.ShardError, match="shard-00001.qli.*body checksum mismatch"):
            index.search_batch(x[:3], 5)


@pytest.mark.parametrize("queries, top_k, error, message", [
    (np.zeros((2, DIM), np.int32), 3, TypeError, r"argument 'queries': expected a floating dtype \(float32; others are converted\), got int32"),
    (np.zeros((2, DIM + 1), np.float32), 3, ValueError, r"expected shape \(n, 16\), got \(2, 17\)"),
    (np.zeros((2, DIM), np.float32), 2.7, TypeError, "argument 'top_k'"),
    (np.zeros((2, DIM), np.float32), "3", TypeError, "argument 'top_k'"),
])
def test_bad_queries_are_refused_in_the_client(tmp_path, client, queries, top_k, error, message):
    sharded = quillane_dask.build(da.from_array(data(100), chunks=(50, DIM)), tmp_path)
    with pytest.raises(error, match=message):
        sharded.search_batch(queries, top_k)


def test_a_search_with_no_workers_names_the_cluster(tmp_path, client, monkeypatch):
    sharded = quillane_dask.build(da.from_array(data(100), chunks=(50, DIM)), tmp_path)
    monkeypatch.setattr(client, "scheduler_info", lambda **kw: {"workers": {}})
    with pytest.raises(quillane_dask.ShardError, match="has no workers"):
        sharded.search_batch(data(2), 3)


@pytest.mark.parametrize("family", ["compact", "ivf"])
def test_store_features_pass_through_as_one_index(tmp_path, client, family):
    x, queries = data(1200), data(5, seed=1)
    x[x.sum(axis=1) == 0] = 1.0
    extra = {"lists": 4} if family == "ivf" else {}
    sharded = quillane_dask.build(da.from_array(x, chunks=(300, DIM)), tmp_path, family=family, seed=9,
                                  metric="l2", **extra)
    if family == "ivf":
        one = IvfIndex(DIM, 4, 4, 9, metric="l2")
        one.set_centroids(IvfIndex.load(tmp_path / sharded.shards[0]["file"]).centroids)
    else:
        one = CompactIndex(DIM, 4, 9, metric="l2")
    one.add_batch(np.arange(1200), x)
    probes = {"probes": 4} if family == "ivf" else {}
    for options in ({"allow": np.arange(0, 1200, 3)}, {"allow": np.array([5, 600, 7000])},
                    {"rerank": x, "rerank_factor": 3}):
        got, want = sharded.search_batch(queries, 10, **probes, **options), one.search_batch(queries, 10, **probes, **options)
        assert np.array_equal(got[0], want[0]) and got[1].tobytes() == want[1].tobytes()
    gone = np.array([3, 301, 302, 900, 5000])
    assert sharded.remove(gone) == one.remove(gone) == 4
    reopened = quillane_dask.ShardedIndex.open(tmp_path)
    assert len(reopened) == 1196 and sorted(p.name for p in tmp_path.glob("*.qli")) == sorted(s["file"] for s in reopened.shards)
    assert np.array_equal(reopened.ids(), one.ids())
    assert list(reopened.contains(np.array([3, 4]))) == [False, True]
    assert reopened.reconstruct(np.array([4, 1199])).tobytes() == one.reconstruct(np.array([4, 1199])).tobytes()
    with pytest.raises(KeyError):
        reopened.reconstruct(np.array([3]))
    got, want = reopened.search_batch(queries, 10, **probes), one.search_batch(queries, 10, **probes)
    assert np.array_equal(got[0], want[0]) and got[1].tobytes() == want[1].tobytes()


@pytest.mark.parametrize("metric", ["ip", "l2"])
def test_a_sharded_graph_answers_as_its_shards_merged(tmp_path, client, metric):
    x, queries = data(900), data(6, seed=1)
    ids = np.arange(900, dtype=np.uint64) * 3
    sharded = quillane_dask.build(da.from_array(x, chunks=(300, DIM)), tmp_path, family="graph", degree=8, bits=4,
                                  seed=9, metric=metric, ids=da.from_array(ids, chunks=300))
    assert sharded.parameters == {"dim": DIM, "bits": 4, "seed": 9, "degree": 8, "metric": metric}

    def shards():
        return [GraphIndex.load(tmp_path / shard["file"]) for shard in sharded.shards]

    # Each shard is the graph of its rows whatever the worker count (a build is the same at any thread count).
    for i, shard in enumerate(shards()):
        local = GraphIndex(DIM, degree=8, bits=4, seed=9, metric=metric)
        local.add_batch(ids[300 * i:300 * (i + 1)], x[300 * i:300 * (i + 1)], threads=2)
        assert local.to_bytes() == shard.to_bytes()
    l2, by_id = metric == "l2", np.repeat(x, 3, axis=0)  # row 3 i of by_id: the vector of id 3 i
    for options in ({"ef": 16}, {"allow": ids[::7]}, {"rerank": by_id, "rerank_factor": 2}):
        width = 20 if "rerank" in options else 10
        walk = {key: value for key, value in options.items() if key not in ("rerank", "rerank_factor")}
        want = quillane_dask.merge([shard.search_batch(queries, width, **walk) for shard in shards()], width,
                                   ascending=l2)
        if "rerank" in options:
            want = quillane.rerank(queries, np.ascontiguousarray(want[0]), by_id, 10, metric=metric)
        got = sharded.search_batch(queries, 10, **options)
        assert np.array_equal(got[0], want[0]) and got[1].tobytes() == want[1].tobytes()
    assert sharded.remove(ids[[0, 1, 450]]) == 3
    assert not sharded.contains(ids[[0, 450]]).any() and len(quillane_dask.ShardedIndex.open(tmp_path)) == 897
    got = sharded.search_batch(queries, 10)
    want = quillane_dask.merge([shard.search_batch(queries, 10) for shard in shards()], 10, ascending=l2)
    assert np.array_equal(got[0], want[0]) and got[1].tobytes() == want[1].tobytes()
    with pytest.raises(ValueError, match="ef applies to graph indexes, not to family 'compact'"):
        quillane_dask.build(da.from_array(x, chunks=(300, DIM)), tmp_path / "c").search_batch(queries, 3, ef=8)


def test_a_rerank_factor_beyond_the_rows_is_clamped_as_one_index_clamps(tmp_path, client):
    x = data(200)
    sharded = quillane_dask.build(da.from_array(x, chunks=(60, DIM)), tmp_path, seed=9)
    one = CompactIndex(DIM, 4, 9)
    one.add_batch(np.arange(200), x)
    for top_k, factor in ((5, 10**6), (2**64 - 1, 2**63)):
        got, want = (index.search_batch(x[:3], top_k, rerank=x, rerank_factor=factor) for index in (sharded, one))
        assert np.array_equal(got[0], want[0]) and got[1].tobytes() == want[1].tobytes()


def test_searches_racing_removes_answer_from_whole_shard_lists(tmp_path, client):
    import threading

    x, queries = data(600), data(4, seed=2)
    sharded = quillane_dask.build(da.from_array(x, chunks=(100, DIM)), tmp_path, seed=9)
    stale = quillane_dask.ShardedIndex.open(tmp_path)  # as another process would hold it
    one = CompactIndex(DIM, 4, 9)
    one.add_batch(np.arange(600), x)
    batches = [np.arange(start, 600, 50) for start in range(6)]
    states = [one.search_batch(queries, 8)]
    for gone in batches:
        one.remove(gone)
        states.append(one.search_batch(queries, 8))
    answers, failures, done = [], [], threading.Event()

    def search():
        while not done.is_set():
            try:
                answers.append(sharded.search_batch(queries, 8))
            except Exception as e:  # noqa: BLE001: any failure is the fault
                failures.append(e)

    reader = threading.Thread(target=search)
    reader.start()
    for gone in batches:
        sharded.remove(gone)
    done.set()
    reader.join()
    assert not failures and answers
    assert all(any(np.array_equal(a[0], s[0]) for s in states) for a in answers)
    got = stale.search_batch(queries, 8)
    assert np.array_equal(got[0], states[-1][0]) and len(stale) == len(one)
