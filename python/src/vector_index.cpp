// quillane.VectorIndex: two-stage codes stored under 64-bit ids, exhaustive top-k search.
#include "classes.hpp"
#include "construction.hpp"
#include "index/turbo_family.hpp"
#include "index_binding.hpp"

namespace quillane::py {

namespace {

QL_INDEX_NAMES("VectorIndex");
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
    QL_INDEX_SEARCH_BATCH
    QL_INDEX_SHARED_METHODS("VectorIndex")
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
