// quillane.VectorIndex: codes stored under 64-bit ids, exhaustive top-k search.
#include <new>

#include "arrays.hpp"
#include "classes.hpp"
#include "construction.hpp"
#include "index/flat_index.hpp"
#include "index/turbo_family.hpp"

namespace quillane::py {

namespace {

using VectorIndexValue = FlatIndex<TurboFamily>;

struct VectorIndexObject {
    PyObject_HEAD
    alignas(VectorIndexValue) unsigned char storage[sizeof(VectorIndexValue)];
    HoldCounter holds;

    VectorIndexValue& value() { return *std::launder(reinterpret_cast<VectorIndexValue*>(storage)); }
};

VectorIndexObject* self_of(PyObject* self) { return reinterpret_cast<VectorIndexObject*>(self); }

PyObject* vi_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto quantizer = build_quantizer("VectorIndex.__new__()", args, kwargs);
        if (!quantizer) return nullptr;
        PyObject* self = alloc_instance(type);
        if (self == nullptr) return nullptr;
        auto* obj = self_of(self);
        new (obj->storage) VectorIndexValue(std::move(*quantizer));
        new (&obj->holds) HoldCounter();
        return self;
    });
}

void vi_dealloc(PyObject* self) {
    auto* obj = self_of(self);
    obj->value().~VectorIndexValue();
    obj->holds.~HoldCounter();
    free_instance(self);
}

PyObject* vi_add(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"id", true}, {"vector", true}};
        PyObject* given[2];
        if (!bind_arguments("VectorIndex.add()", params, args, kwargs, given)) return nullptr;
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Exclusive);
        if (!hold.held()) return nullptr;
        const auto id = to_u64(given[0], "id");
        if (!id) return nullptr;
        auto vector = read_array(given[1], "vector", NPY_FLOAT);
        if (!vector || !require_contiguous(*vector)) return nullptr;
        if (auto added = obj->value().add(*id, vector->elements<float>()); !added) {
            raise_quant_error(added.error());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* vi_search(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"query", true}, {"top_k", true}};
        PyObject* given[2];
        if (!bind_arguments("VectorIndex.search()", params, args, kwargs, given)) return nullptr;
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        auto query = read_array(given[0], "query", NPY_FLOAT);
        if (!query) return nullptr;
        const auto top_k = to_u64(given[1], "top_k");
        if (!top_k || !require_contiguous(*query)) return nullptr;
        auto scored = obj->value().search(query->elements<float>(), *top_k);
        if (!scored) {
            raise_quant_error(scored.error());
            return nullptr;
        }
        std::vector<uint64_t> ids(scored->size());
        std::vector<float> scores(scored->size());
        for (size_t i = 0; i < scored->size(); ++i) {
            ids[i] = (*scored)[i].id;
            scores[i] = (*scored)[i].score;
        }
        Ref ids_array(to_array(std::move(ids)));
        if (!ids_array) return nullptr;
        Ref scores_array(to_array(std::move(scores)));
        if (!scores_array) return nullptr;
        return PyTuple_Pack(2, ids_array.get(), scores_array.get());
    });
}

Py_ssize_t vi_len(PyObject* self) {
    auto* obj = self_of(self);
    Hold hold(obj->holds, Hold::Shared);
    if (!hold.held()) return -1;
    return static_cast<Py_ssize_t>(obj->value().size());
}

PyObject* vi_repr(PyObject* self) {
    auto* obj = self_of(self);
    Hold hold(obj->holds, Hold::Shared);
    if (!hold.held()) return nullptr;
    const std::string text = "VectorIndex(size=" + std::to_string(obj->value().size()) +
                             ", dim=" + std::to_string(obj->value().quantizer().dim()) + ")";
    return PyUnicode_FromString(text.c_str());
}

PyMethodDef vi_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&vi_add)),
     METH_VARARGS | METH_KEYWORDS, "add($self, id, vector)\n--\n\nAdd a vector to the index."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&vi_search)),
     METH_VARARGS | METH_KEYWORDS,
     "search($self, query, top_k)\n--\n\nSearch for top-k nearest vectors by inner product.\n\n"
     "Returns:\n    Tuple of (ids: numpy int64 array, scores: numpy float32 array)"},
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
        {Py_mp_length, reinterpret_cast<void*>(&vi_len)},
        {Py_sq_length, reinterpret_cast<void*>(&vi_len)},
        {Py_tp_repr, reinterpret_cast<void*>(&vi_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&vi_dealloc)},
        {Py_tp_doc, const_cast<char*>(vi_doc)},
        {Py_tp_methods, vi_methods},
        {0, nullptr},
    };
    static PyType_Spec definition = {"builtins.VectorIndex", sizeof(VectorIndexObject), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return type;
}

}  // namespace quillane::py
