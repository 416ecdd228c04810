// quillane.CompactIndex: compact codes stored under 64-bit ids, exhaustive top-k search.
#include "classes.hpp"
#include "construction.hpp"
#include "index/metric.hpp"
#include "index/compact_family.hpp"
#include "index_binding.hpp"
#include "store_binding.hpp"

namespace quillane::py {

namespace {

QL_INDEX_NAMES("CompactIndex");
using Binding = IndexBinding<FlatIndex<CompactFamily>, Names>;
using Store = StoreBinding<Binding, Names>;

PyObject* ci_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto family = build_compact_family("CompactIndex.__new__()", args, kwargs);
        if (!family) return nullptr;
        return Binding::create(type, std::move(*family));
    });
}

PyObject* ci_repr(PyObject* self) {
    return Binding::repr(self, [](const FlatIndex<CompactFamily>& index) {
        return "CompactIndex(size=" + std::to_string(index.size()) +
               ", dim=" + std::to_string(index.quantizer().dim()) +
               ", bits=" + std::to_string(index.quantizer().bits()) +
               ", seed=" + std::to_string(index.quantizer().seed()) + ", metric='" +
               metric_name(index.family().metric()) + "')";
    });
}

using Index = FlatIndex<CompactFamily>;
PyObject* ci_get_dim(PyObject* self, void*) {
    return Binding::get(self, [](const Index& i) { return PyLong_FromUnsignedLongLong(i.quantizer().dim()); });
}
PyObject* ci_get_bits(PyObject* self, void*) {
    return Binding::get(self, [](const Index& i) { return PyLong_FromUnsignedLong(i.quantizer().bits()); });
}
PyObject* ci_get_seed(PyObject* self, void*) {
    return Binding::get(self, [](const Index& i) { return PyLong_FromUnsignedLongLong(i.quantizer().seed()); });
}
PyObject* ci_get_metric(PyObject* self, void*) {
    return Binding::get(self, [](const Index& i) { return PyUnicode_FromString(metric_name(i.family().metric())); });
}
PyObject* ci_get_mapped(PyObject* self, void*) {
    return Binding::get(self, [](const Index& i) { return PyBool_FromLong(i.read_only()); });
}
PyObject* ci_get_code_size(PyObject* self, void*) {
    return Binding::get(self,
                        [](const Index& i) { return PyLong_FromUnsignedLongLong(i.quantizer().code_size_bytes()); });
}

PyGetSetDef ci_getset[] = {
    {"dim", &ci_get_dim, nullptr, "The vector dimension.", nullptr},
    {"bits", &ci_get_bits, nullptr, "Bits per coordinate (1 to 8).", nullptr},
    {"seed", &ci_get_seed, nullptr, "The seed of the rotation.", nullptr},
    {"metric", &ci_get_metric, nullptr, "What search ranks by: 'ip', 'cosine' or 'l2'.", nullptr},
    {"mapped", &ci_get_mapped, nullptr, "Whether the index is a read-only view of a file loaded with mmap=True (no add, remove or train).", nullptr},
    {"code_size_bytes", &ci_get_code_size, nullptr,
     "Bytes of each entry's code: 16 + ceil(dim * bits / 8) (the index keeps 4 more per entry, 8 under l2).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef ci_methods[] = {
    {"add", method(&Binding::add), METH_VARARGS | METH_KEYWORDS,
     "add($self, id, vector)\n--\n\nEncode a float32 vector and store its code under `id` (any id but "
     "quillane.NO_ID; an id may be stored several times, each a separate entry)."},
    {"search", method(&Store::search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, top_k, *, allow=None)\n--\n\nThe top_k entries by the metric's estimate for a "
     "float32 query (highest first; smallest first under l2), ties in insertion order. allow: a "
     "one-dimensional integer array of ids; then only entries stored under one of them are ranked, and a "
     "result with fewer than min(top_k, len(index)) entries is padded with id quillane.NO_ID and a NaN score.\n\n"
     "Returns:\n    Tuple of (ids: numpy uint64 array, scores: numpy float32 array); under ip each score "
     "equals CompactQuantizer(dim, bits, seed).inner_product of that entry's code."},
    {"search_batch", method(&Store::search_batch), METH_VARARGS | METH_KEYWORDS,
     "search_batch($self, queries, top_k, *, allow=None, rerank=None, rerank_factor=4, threads=None)\n--\n\n"
     "Search every row of a C-contiguous float32 array of shape (m, dim); row i equals search(queries[i], top_k, "
     "allow=allow). rerank: a C-contiguous float32 array of shape (N, dim) (a numpy.memmap of a .npy file works) "
     "whose row i is the original vector of id i; then each row's rerank_factor * top_k best entries are ordered "
     "again by the exact metric on those rows, and the scores are exact.\n\n"
     "Returns:\n    Tuple of (ids: numpy uint64 array, scores: numpy float32 array), both of shape (m, k) with "
     "k = min(top_k, len(index)). threads as for add_batch."},
    QL_INDEX_SHARED_METHODS("CompactIndex")
    QL_STORE_METHODS(Store)
    {nullptr, nullptr, 0, nullptr},
};

const char ci_doc[] =
    "CompactIndex(dim, bits=4, seed=42, *, metric='ip')\n--\n\n"
    "CompactIndex: exhaustive search over compact codes.\n\n"
    "Stores each vector as a CompactQuantizer code (16 + ceil(dim * bits / 8) bytes)\n"
    "under a 64-bit id.\n\n"
    "Args:\n"
    "    dim: Vector dimension (1 to 65536)\n"
    "    bits: Bits per coordinate (1 to 8, default 4)\n"
    "    seed: Random seed of the rotation\n"
    "    metric: 'ip' (estimated inner product, highest first), 'cosine' (vectors and queries\n"
    "        scaled to unit length first; estimated cosine, highest first) or 'l2' (estimated\n"
    "        squared distance, smallest first)";

}  // namespace

PyTypeObject* compact_index_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&ci_new)},
        {Py_mp_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_sq_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_sq_contains, reinterpret_cast<void*>(&Store::contains)},
        {Py_tp_repr, reinterpret_cast<void*>(&ci_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Binding::dealloc)},
        {Py_tp_doc, const_cast<char*>(ci_doc)},
        {Py_tp_methods, ci_methods},
        {Py_tp_getset, ci_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {"quillane.CompactIndex", sizeof(Binding::Object), 0,
                                     Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return type;
}

}  // namespace quillane::py
