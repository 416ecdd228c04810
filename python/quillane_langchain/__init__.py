"""quillane as a LangChain vector store.

    from langchain_core.embeddings import DeterministicFakeEmbedding
    from quillane_langchain import QuillaneVectorStore

    store = QuillaneVectorStore(DeterministicFakeEmbedding(size=64))
    store.add_texts(["a cat", "a dog"], metadatas=[{"kind": "cat"}, {"kind": "dog"}])
    store.similarity_search("cat", k=1, filter={"kind": "cat"})
    store.save_local("my-store")
    store = QuillaneVectorStore.load_local("my-store", DeterministicFakeEmbedding(size=64))

The vectors live in a quillane index (a CompactIndex, an IvfIndex given trained, or a GraphIndex), each
under an integer key of its own; the texts, metadata and string ids live beside it in
this store. Re-adding a string id replaces its document. A metadata filter (a dict of
required values, or a function of the metadata) becomes the index's allow-list, so a
filtered search ranks exactly the matching documents. save_local writes the index file
under a new name, then the documents file (which names that index file and its
checksums) by a temporary file renamed over the old one, then removes the old index file:
a crash leaves the old pair or the new one.
"""

from __future__ import annotations

from .store import QuillaneVectorStore

__all__ = ["QuillaneVectorStore"]

QuillaneVectorStore.__module__ = __name__  # named where users find it (reprs, pickles)
