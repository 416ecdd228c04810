// quillane.CompactIndex: compact codes stored under 64-bit ids, exhaustive top-k search.
#include "classes.hpp"
#include "construction.hpp"
#include "index/compact_family.hpp"
#include "index_binding.hpp"

namespace quillane::py {

namespace {

struct Names {
    static constexpr const char* class_name = "CompactIndex";
    static constexpr const char* add = "CompactIndex.add()";
    static constexpr const char* search = "CompactIndex.search()";
    static constexpr const char* add_batch = "CompactIndex.add_batch()";
    static constexpr const char* search_batch = "CompactIndex.search_batch()";
    static constexpr const char* save = "CompactIndex.save()";
    static constexpr const char* to_bytes = "CompactIndex.to_bytes()";
    static constexpr const char* load = "CompactIndex.load()";
    static constexpr const char* from_bytes = "CompactIndex.from_bytes()";
};
using Binding = IndexBinding<FlatIndex<CompactFamily>, Names>;

PyObject* ci_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto quantizer = build_compact_quantizer("CompactIndex.__new__()", args, kwargs);
        if (!quantizer) return nullptr;
        return Binding::create(type, std::move(*quantizer));
    });
}

PyObject* ci_repr(PyObject* self) {
    return Binding::repr(self, [](const FlatIndex<CompactFamily>& index) {
        return "CompactIndex(size=" + std::to_string(index.size()) +
               ", dim=" + std::to_string(index.quantizer().dim()) +
               ", bits=" + std::to_string(index.quantizer().bits()) + ")";
    });
}

PyMethodDef ci_methods[] = {
    {"add", method(&Binding::add), METH_VARARGS | METH_KEYWORDS,
     "add($self, id, vector)\n--\n\nEncode a float32 vector and store its code under `id`."},
    {"search", method(&Binding::search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, top_k)\n--\n\nThe top_k entries by estimated inner product with a "
     "float32 query, highest first, ties in insertion order.\n\n"
     "Returns:\n    Tuple of (ids: numpy uint64 array, scores: numpy float32 array); each score "
     "equals CompactQuantizer(dim, bits, seed).inner_product of that entry's code."},
    {"add_batch", method(&Binding::add_batch), METH_VARARGS | METH_KEYWORDS,
     "add_batch($self, ids, vectors, *, threads=None)\n--\n\nAdd every row of a C-contiguous float32 array of shape (n, dim) under the matching id of a one-dimensional integer array of n ids, as n calls of add would, all or nothing: a refused row (ValueError \"row i: ...\", the lowest such row) adds nothing. threads: None uses every core this process may run on, 1 the calling thread only; the index is the same either way."},
    {"search_batch", method(&Binding::search_batch), METH_VARARGS | METH_KEYWORDS,
     "search_batch($self, queries, top_k, *, threads=None)\n--\n\nSearch every row of a C-contiguous float32 array of shape (m, dim).\n\nReturns:\n    Tuple of (ids: numpy uint64 array, scores: numpy float32 array), both of shape (m, k) with k = min(top_k, len(index)); row i equals search(queries[i], top_k). threads as for add_batch."},
    {"save", method(&Binding::save), METH_VARARGS | METH_KEYWORDS,
     "save($self, path)\n--\n\nWrite the index to a file, atomically: the path holds the old file or the new one, never a part (docs/index-file-format.md)."},
    {"to_bytes", method(&Binding::to_bytes), METH_VARARGS | METH_KEYWORDS,
     "to_bytes($self)\n--\n\nThe bytes of the index file that save writes."},
    {"load", method(&Binding::load), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "load($cls, path, *, mmap=False, verify=True)\n--\n\nThe CompactIndex in an index file. mmap=True scans the codes straight from the mapped file (the index is then read-only); verify=False skips the body checksum and the check of every record, for fast opening of trusted files. A file that is not a valid CompactIndex file raises ValueError saying what is wrong."},
    {"from_bytes", method(&Binding::from_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, data, *, verify=True)\n--\n\nThe CompactIndex in the bytes of an index file (bytes or bytearray)."},
    {"__reduce__", method(&Binding::reduce), METH_NOARGS, "Pickling and copying, through to_bytes and from_bytes."},
    {nullptr, nullptr, 0, nullptr},
};

const char ci_doc[] =
    "CompactIndex(dim, bits=4, seed=42)\n--\n\n"
    "CompactIndex: exhaustive inner-product search over compact codes.\n\n"
    "Stores each vector as a CompactQuantizer code (16 + ceil(dim * bits / 8) bytes)\n"
    "under a 64-bit id.\n\n"
    "Args:\n"
    "    dim: Vector dimension (1 to 65536)\n"
    "    bits: Bits per coordinate (1 to 8, default 4)\n"
    "    seed: Random seed of the rotation";

}  // namespace

PyTypeObject* compact_index_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&ci_new)},
        {Py_mp_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_sq_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_tp_repr, reinterpret_cast<void*>(&ci_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Binding::dealloc)},
        {Py_tp_doc, const_cast<char*>(ci_doc)},
        {Py_tp_methods, ci_methods},
        {0, nullptr},
    };
    static PyType_Spec definition = {"builtins.CompactIndex", sizeof(Binding::Object), 0,
                                     Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return type;
}

}  // namespace quillane::py
