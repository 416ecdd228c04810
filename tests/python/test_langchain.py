"""quillane_langchain: LangChain's own standard vector-store tests, then what they do not
cover (filters, saving, MMR, scores by metric)."""
from collections.abc import Generator

import numpy as np
import pytest

pytest.importorskip("langchain_tests")
from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding  # noqa: E402
from langchain_tests.integration_tests.vectorstores import VectorStoreIntegrationTests  # noqa: E402

import quillane  # noqa: E402
from quillane_langchain import QuillaneVectorStore  # noqa: E402


class TestQuillaneVectorStore(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self) -> Generator[QuillaneVectorStore, None, None]:  # type: ignore[override]
        yield QuillaneVectorStore(self.get_embeddings())


class TestQuillaneOverInvertedFile(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self) -> Generator[QuillaneVectorStore, None, None]:  # type: ignore[override]
        index = quillane.IvfIndex(6, 2, bits=8, metric="cosine")
        index.train(np.random.default_rng(0).standard_normal((50, 6)).astype(np.float32))
        yield QuillaneVectorStore(self.get_embeddings(), index=index, probes=2)


class TestQuillaneOverGraph(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self) -> Generator[QuillaneVectorStore, None, None]:  # type: ignore[override]
        yield QuillaneVectorStore(self.get_embeddings(), index=quillane.GraphIndex(6, degree=4, metric="cosine"))


EMBEDDING = DeterministicFakeEmbedding(size=32)
TEXTS = [f"text {i}" for i in range(40)]
METADATA = [{"parity": i % 2, "group": i // 10} for i in range(40)]


@pytest.fixture(params=["compact", "graph"])
def store(request) -> QuillaneVectorStore:
    index = quillane.GraphIndex(32, degree=8, metric="cosine") if request.param == "graph" else None
    return QuillaneVectorStore.from_texts(TEXTS, EMBEDDING, METADATA, ids=[str(i) for i in range(40)], index=index,
                                          ef=16)


@pytest.mark.parametrize("filter, expect", [
    ({"parity": 1}, lambda m: m["parity"] == 1),
    ({"parity": 0, "group": 2}, lambda m: m["parity"] == 0 and m["group"] == 2),
    (lambda m: m["group"] == 3, lambda m: m["group"] == 3),
    ({"missing": 1}, lambda m: False),
])
def test_filters_rank_exactly_the_matching_documents(store, filter, expect):
    got = store.similarity_search_with_score("text 7", k=40, filter=filter)
    want = [(d, s) for d, s in store.similarity_search_with_score("text 7", k=40) if expect(d.metadata)]
    assert got == want
    diverse = store.max_marginal_relevance_search("text 7", k=3, fetch_k=10, filter=filter)
    assert len(diverse) == min(3, len(want)) and all(expect(d.metadata) for d in diverse)


def test_saving_keeps_everything_and_refuses_a_mismatched_pair(store, tmp_path):
    store.delete(["3"])
    store.save_local(tmp_path)
    again = QuillaneVectorStore.load_local(tmp_path, EMBEDDING)
    assert again.similarity_search_with_score("text 5", k=10) == store.similarity_search_with_score("text 5", k=10)
    assert again.get_by_ids(["3", "4"]) == store.get_by_ids(["4"])
    again.add_texts(["new"], ids=["new"])  # the loaded index takes more
    store.save_local(tmp_path)  # a second save replaces the pair, the old index file goes
    assert len(list(tmp_path.glob("*.qli"))) == 1
    other = tmp_path / "other"
    QuillaneVectorStore.from_texts(["x"], EMBEDDING).save_local(other)
    index_file = next(other.glob("*.qli"))
    mine = next(tmp_path.glob("*.qli"))
    mine.write_bytes(index_file.read_bytes())
    with pytest.raises(ValueError, match="does not belong to the index file"):
        QuillaneVectorStore.load_local(tmp_path, EMBEDDING)
    (tmp_path / "index.json").write_text("{not json")
    with pytest.raises(ValueError, match="is not a quillane_langchain documents file"):
        QuillaneVectorStore.load_local(tmp_path, EMBEDDING)
    with pytest.raises(TypeError, match="cannot be saved as JSON"):
        QuillaneVectorStore.from_texts(["y"], EMBEDDING, [{"when": object()}]).save_local(tmp_path / "bad")


@pytest.mark.parametrize("metric", ["cosine", "ip", "l2"])
def test_scores_follow_the_metric(metric):
    store = QuillaneVectorStore.from_texts(TEXTS, EMBEDDING, metric=metric, bits=8)
    query = np.asarray(EMBEDDING.embed_query("text 9"), dtype=np.float64)
    docs = store.similarity_search_with_score("text 9", k=5)
    assert docs[0][0].page_content == "text 9"
    for doc, score in docs:
        x = np.asarray(EMBEDDING.embed_query(doc.page_content), dtype=np.float64)
        exact = {"cosine": x @ query / np.linalg.norm(x) / np.linalg.norm(query), "ip": x @ query,
                 "l2": np.sum((x - query) ** 2)}[metric]
        assert score == pytest.approx(exact, rel=0.05, abs=0.05)
    if metric == "cosine":
        relevance = [r for _, r in store.similarity_search_with_relevance_scores("text 9", k=5)]
        assert all(0 <= r <= 1 for r in relevance) and relevance == sorted(relevance, reverse=True)


def test_refusals_and_repeated_ids():
    with pytest.raises(ValueError, match="metric must be"):
        QuillaneVectorStore(EMBEDDING, metric="dot")
    with pytest.raises(ValueError, match="must be trained"):
        QuillaneVectorStore(EMBEDDING, index=quillane.IvfIndex(32, 2))
    store = QuillaneVectorStore(EMBEDDING)
    with pytest.raises(ValueError, match="2 ids for 1 texts"):
        store.add_texts(["a"], ids=["1", "2"])
    store.add_texts(["a"], ids=["a"])
    with pytest.raises(TypeError, match="filter must be"):
        store.similarity_search("a", filter=["x"])
    # An id given twice in one call keeps its last document only.
    assert store.add_documents([Document("b", id="b"), Document("c", id="b")]) == ["b", "b"]
    assert [d.page_content for d in store.get_by_ids(["b"])] == ["c"] and len(store.index) == len(store) == 2


@pytest.mark.parametrize("damage, message", [
    (lambda r: r["documents"][0].__setitem__(0, "0"), "holds a malformed document"),
    (lambda r: r["documents"][0].__setitem__(1, 7), "holds a malformed document"),
    (lambda r: r["documents"][0].__setitem__(3, ["x"]), "holds a malformed document"),
    (lambda r: r["documents"].__setitem__(0, 5), "holds a malformed document"),
    (lambda r: r.__setitem__("next_key", 2**64), "is not a quillane_langchain documents file of format 1"),
    (lambda r: r.__setitem__("next_key", 3), "holds a malformed document"),
])
def test_a_damaged_documents_file_is_a_value_error(store, tmp_path, damage, message):
    import json

    store.save_local(tmp_path)
    record = json.loads((tmp_path / "index.json").read_text())
    damage(record)
    (tmp_path / "index.json").write_text(json.dumps(record))
    with pytest.raises(ValueError, match=message):
        QuillaneVectorStore.load_local(tmp_path, EMBEDDING)


@pytest.mark.parametrize("metadata", [{1: "x"}, {"a": {(1, 2): "x"}}, {"a": [{2.5: 1}]}])
def test_metadata_keys_json_would_change_are_refused_at_save(tmp_path, metadata):
    store = QuillaneVectorStore.from_texts(["a", "b"], EMBEDDING, [metadata, {"ok": 1}])
    assert [d.page_content for d in store.similarity_search("a", k=2, filter=metadata)] == ["a"]
    with pytest.raises(TypeError, match="metadata keys must be strings"):
        store.save_local(tmp_path)
    assert not list(tmp_path.glob("*"))


def test_an_empty_string_id_is_kept():
    store = QuillaneVectorStore(EMBEDDING)
    assert store.add_texts(["a", "b"], ids=["", "x"]) == ["", "x"]
    assert [d.page_content for d in store.get_by_ids([""])] == ["a"]
