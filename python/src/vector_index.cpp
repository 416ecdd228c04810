// quillane.VectorIndex: two-stage codes stored under 64-bit ids, exhaustive top-k search.
#include "classes.hpp"
#include "construction.hpp"
#include "index/turbo_family.hpp"
#include "index_binding.hpp"

namespace quillane::py {

namespace {

struct Names {
    static constexpr const char* class_name = "VectorIndex";
    static constexpr const char* add = "VectorIndex.add()";
    static constexpr const char* search = "VectorIndex.search()";
    static constexpr const char* add_batch = "VectorIndex.add_batch()";
    static constexpr const char* search_batch = "VectorIndex.search_batch()";
    static constexpr const char* save = "VectorIndex.save()";
    static constexpr const char* to_bytes = "VectorIndex.to_bytes()";
    static constexpr const char* load = "VectorIndex.load()";
    static constexpr const char* from_bytes = "VectorIndex.from_bytes()";
};
using Binding = IndexBinding<FlatIndex<TurboFamily>, Names>;

PyObject* vi_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto quantizer = build_quantizer("VectorIndex.__new__()", args, kwargs);
        if (!quantizer) return nullptr;
        return Binding::create(type, std::move(*quantizer));
    });
}

PyObject* vi_repr(PyObject* self) {
    return Binding::repr(self, [](const FlatIndex<TurboFamily>& index) {
        return "VectorIndex(size=" + std::to_string(index.size()) +
               ", dim=" + std::to_string(index.quantizer().dim()) + ")";
    });
}

PyMethodDef vi_methods[] = {
    {"add", method(&Binding::add), METH_VARARGS | METH_KEYWORDS,
     "add($self, id, vector)\n--\n\nAdd a vector to the index."},
    {"search", method(&Binding::search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, top_k)\n--\n\nSearch for top-k nearest vectors by inner product.\n\n"
     "Returns:\n    Tuple of (ids: numpy int64 array, scores: numpy float32 array)"},
    {"add_batch", method(&Binding::add_batch), METH_VARARGS | METH_KEYWORDS,
     "add_batch($self, ids, vectors, *, threads=None)\n--\n\nAdd every row of a C-contiguous float32 array of shape (n, dim) under the matching id of a one-dimensional integer array of n ids, as n calls of add would, all or nothing: a refused row (ValueError \"row i: ...\", the lowest such row) adds nothing. threads: None uses every core this process may run on, 1 the calling thread only; the index is the same either way."},
    {"search_batch", method(&Binding::search_batch), METH_VARARGS | METH_KEYWORDS,
     "search_batch($self, queries, top_k, *, threads=None)\n--\n\nSearch every row of a C-contiguous float32 array of shape (m, dim).\n\nReturns:\n    Tuple of (ids: numpy uint64 array, scores: numpy float32 array), both of shape (m, k) with k = min(top_k, len(index)); row i equals search(queries[i], top_k). threads as for add_batch."},
    {"save", method(&Binding::save), METH_VARARGS | METH_KEYWORDS,
     "save($self, path)\n--\n\nWrite the index to a file, atomically: the path holds the old file or the new one, never a part (docs/index-file-format.md)."},
    {"to_bytes", method(&Binding::to_bytes), METH_VARARGS | METH_KEYWORDS,
     "to_bytes($self)\n--\n\nThe bytes of the index file that save writes."},
    {"load", method(&Binding::load), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "load($cls, path, *, mmap=False, verify=True)\n--\n\nThe VectorIndex in an index file. mmap=True scans the codes straight from the mapped file (the index is then read-only); verify=False skips the body checksum and the check of every record, for fast opening of trusted files. A file that is not a valid VectorIndex file raises ValueError saying what is wrong."},
    {"from_bytes", method(&Binding::from_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, data, *, verify=True)\n--\n\nThe VectorIndex in the bytes of an index file (bytes or bytearray)."},
    {"__reduce__", method(&Binding::reduce), METH_NOARGS, "Pickling and copying, through to_bytes and from_bytes."},
    {nullptr, nullptr, 0, nullptr},
};

const char vi_doc[] =
    "VectorIndex(dim, bits=4, projections=None, seed=42)\n--\n\n"
    "VectorIndex: approximate nearest neighbor search using Quillane compression.\n\n"
    "Stores vectors as compressed codes and searches by estimated inner product.\n\n"
    "Args:\n"
    "    dim: Vector dimension\n"
    "    bits: Quantization precision (3-8, default 4)\n"
    "    projections: QJL projections (default dim/4)\n"
    "    seed: Random seed";

}  // namespace

PyTypeObject* vector_index_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&vi_new)},
        {Py_mp_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_sq_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_tp_repr, reinterpret_cast<void*>(&vi_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Binding::dealloc)},
        {Py_tp_doc, const_cast<char*>(vi_doc)},
        {Py_tp_methods, vi_methods},
        {0, nullptr},
    };
    static PyType_Spec definition = {"builtins.VectorIndex", sizeof(Binding::Object), 0,
                                     Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return type;
}

}  // namespace quillane::py
