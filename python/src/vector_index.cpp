// quillane.VectorIndex: codes stored under 64-bit ids, exhaustive top-k search.
#include <new>

#include "arrays.hpp"
#include "classes.hpp"
#include "construction.hpp"
#include "ranking.hpp"  // from the core

namespace quillane::py {

namespace {

// Every code an index stores has the quantizer's code size, so the codes sit in one
// contiguous arena: entry i is bytes [i * stride, (i + 1) * stride), followed by a
// few zero bytes that the vector scan may read past the last code.
struct VectorIndexValue {
    TurboQuantizer quantizer;
    size_t stride;
    std::vector<uint8_t> codes = std::vector<uint8_t>(kernels::SCAN_SLACK_BYTES, 0);
    std::vector<uint64_t> ids;
    // Stored bytes never change, so what the scan needs to know of them is found once
    // at add: the codebook levels they use, and any entry not in this quantizer's
    // regular form (none is, as add writes them; such an entry would be parsed instead).
    kernels::LevelWindow levels{UINT32_MAX, 0};
    std::vector<size_t> irregular;

    size_t size() const { return ids.size(); }
    std::span<const uint8_t> code(size_t i) const { return {codes.data() + i * stride, stride}; }
};

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
        const size_t stride = quantizer->code_size_bytes();
        PyObject* self = alloc_instance(type);
        if (self == nullptr) return nullptr;
        auto* obj = self_of(self);
        new (obj->storage) VectorIndexValue{std::move(*quantizer), stride};
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
        VectorIndexValue& index = obj->value();
        auto code = index.quantizer.encode(vector->elements<float>());
        if (!code) {
            raise_quant_error(code.error());
            return nullptr;
        }
        if (!refuse_unreadable(*code)) return nullptr;
        const std::vector<uint8_t> bytes = code->to_bytes();
        if (bytes.size() != index.stride) {
            throw InvariantFailure("encoded code size differs from the quantizer's code size");
        }
        // Both appends or neither: a failed allocation leaves the index unchanged.
        const bool regular = index.quantizer.is_regular_code(bytes);
        const kernels::LevelWindow levels = index.quantizer.level_window(bytes);
        if (!regular) index.irregular.reserve(index.irregular.size() + 1);
        const size_t end = index.size() * index.stride;
        index.codes.insert(index.codes.begin() + static_cast<ptrdiff_t>(end), bytes.begin(),
                           bytes.end());
        try {
            index.ids.push_back(*id);
        } catch (...) {
            index.codes.erase(index.codes.begin() + static_cast<ptrdiff_t>(end),
                              index.codes.begin() + static_cast<ptrdiff_t>(end + bytes.size()));
            throw;
        }
        if (!regular) index.irregular.push_back(index.size() - 1);
        index.levels.merge(levels);
        Py_RETURN_NONE;
    });
}

PyObject* empty_result() {
    Ref ids(to_array(std::vector<uint64_t>{}));
    if (!ids) return nullptr;
    Ref scores(to_array(std::vector<float>{}));
    if (!scores) return nullptr;
    return PyTuple_Pack(2, ids.get(), scores.get());
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
        const VectorIndexValue& index = obj->value();
        const size_t n = index.size();
        if (n == 0) return empty_result();

        // Entry 0 is read first and the query checked next, as scoring entry by entry
        // would; the query is then rotated and projected once for every entry.
        auto first = TurboCode::from_bytes(index.code(0));
        if (!first) {
            raise_quant_error(first.error());
            return nullptr;
        }
        auto prepared = index.quantizer.prepare_query(query->elements<float>());
        if (!prepared) {
            raise_quant_error(prepared.error());
            return nullptr;
        }
        std::vector<float> all_scores(n);
        kernels::scan(index.quantizer.scan_inputs(*prepared, index.levels), index.codes.data(), n,
                      all_scores.data());
        // Irregular entries take the parsing path, which reports exactly what reading
        // that entry would.
        for (size_t i : index.irregular) {
            auto code = TurboCode::from_bytes(index.code(i));
            if (!code) {
                raise_quant_error(code.error());
                return nullptr;
            }
            auto score = index.quantizer.score(*code, *prepared);
            if (!score) {
                raise_quant_error(score.error());
                return nullptr;
            }
            all_scores[i] = *score;
        }
        const std::vector<Scored> scored = top_k_of(all_scores.data(), index.ids.data(), n, *top_k);
        std::vector<uint64_t> ids(scored.size());
        std::vector<float> scores(scored.size());
        for (size_t i = 0; i < scored.size(); ++i) {
            ids[i] = scored[i].id;
            scores[i] = scored[i].score;
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
                             ", dim=" + std::to_string(obj->value().quantizer.dim()) + ")";
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
