"""quillane inside LangChain: embed a few texts, search, filter, save and load.

    pip install '.[langchain]'
    python examples/langchain_store.py
"""
from __future__ import annotations

import tempfile

from langchain_core.embeddings import DeterministicFakeEmbedding

from quillane_langchain import QuillaneVectorStore


def main() -> None:
    embedding = DeterministicFakeEmbedding(size=64)  # any LangChain embeddings model
    store = QuillaneVectorStore(embedding, bits=8, metric="cosine")
    store.add_texts(
        ["The cat sat on the mat.", "Dogs chase cats.", "Stock markets fell today."],
        metadatas=[{"topic": "pets"}, {"topic": "pets"}, {"topic": "news"}],
        ids=["cat", "dog", "markets"],
    )
    for doc, score in store.similarity_search_with_score("The cat sat on the mat.", k=2):
        print(f"{score:.3f}  {doc.id}: {doc.page_content}")
    news = store.similarity_search("anything", k=3, filter={"topic": "news"})
    print("filtered:", [doc.id for doc in news])
    with tempfile.TemporaryDirectory() as folder:
        store.save_local(folder)
        again = QuillaneVectorStore.load_local(folder, embedding)
        print("reloaded:", [doc.id for doc in again.get_by_ids(["cat", "dog", "markets"])])


if __name__ == "__main__":
    main()
