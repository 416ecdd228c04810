// quillane.CompactQuantizer: compact codes of `bits` bits per coordinate.
#include <new>

#include "arrays.hpp"
#include "classes.hpp"
#include "format/compact_layout.hpp"
#include "construction.hpp"
#include "quantizer_batch.hpp"

namespace quillane::py {

namespace {

// Bytes too few to hold a code's header are refused for their length (what its first
// byte would say is beside the point); a longer code's header says more (another bit
// width, another quantizer) than its length would.
bool require_code_length(const ArrayArg& code, size_t code_size) {
    if (code.count() >= format::CompactLayout::packed) return true;
    PyErr_Format(PyExc_ValueError, "deserialization failed: code is %zu bytes long, expected %zu", code.count(),
                 code_size);
    return false;
}

struct CompactQuantizerObject {
    PyObject_HEAD
    alignas(CompactQuantizer) unsigned char storage[sizeof(CompactQuantizer)];
    HoldCounter holds;

    CompactQuantizer& value() { return *std::launder(reinterpret_cast<CompactQuantizer*>(storage)); }
};

CompactQuantizerObject* self_of(PyObject* self) { return reinterpret_cast<CompactQuantizerObject*>(self); }
// For messages: what the one-vector calls expect (the quantizer is immutable).
size_t obj_dim(PyObject* self) { return self_of(self)->value().dim(); }
size_t obj_code_size(PyObject* self) { return self_of(self)->value().code_size_bytes(); }

PyObject* cq_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto quantizer = build_compact_quantizer("CompactQuantizer.__new__()", args, kwargs);
        if (!quantizer) return nullptr;
        PyObject* self = alloc_instance(type);
        if (self == nullptr) return nullptr;
        auto* obj = self_of(self);
        new (obj->storage) CompactQuantizer(std::move(*quantizer));
        new (&obj->holds) HoldCounter();
        return self;
    });
}

void cq_dealloc(PyObject* self) {
    auto* obj = self_of(self);
    obj->value().~CompactQuantizer();
    obj->holds.~HoldCounter();
    free_instance(self);
}

PyObject* cq_encode(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"vector", true}};
        PyObject* given[1];
        if (!bind_arguments("CompactQuantizer.encode()", params, args, kwargs, given)) return nullptr;
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        auto vector = read_vector(given[0], "vector", NPY_FLOAT, obj_dim(self));
        if (!vector || !require_length(*vector, obj_dim(self), "vector") || !require_contiguous(*vector, "vector")) {
            return nullptr;
        }
        auto code = obj->value().encode(vector->elements<float>());
        if (!code) {
            raise_input_failure(code.error(), vector->elements<float>(), "vector");
            return nullptr;
        }
        return to_array(std::move(*code));
    });
}

PyObject* cq_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"code", true}};
        PyObject* given[1];
        if (!bind_arguments("CompactQuantizer.decode()", params, args, kwargs, given)) return nullptr;
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        auto bytes = read_vector(given[0], "code", NPY_UBYTE, obj_code_size(self));
        if (!bytes || !require_code_length(*bytes, obj_code_size(self)) || !require_contiguous(*bytes, "code")) {
            return nullptr;
        }
        auto decoded = obj->value().decode(bytes->elements<uint8_t>());
        if (!decoded) {
            raise_quant_error(decoded.error());
            return nullptr;
        }
        return to_array(std::move(*decoded));
    });
}

PyObject* cq_inner_product(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"code", true}, {"query", true}};
        PyObject* given[2];
        if (!bind_arguments("CompactQuantizer.inner_product()", params, args, kwargs, given)) {
            return nullptr;
        }
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        auto bytes = read_vector(given[0], "code", NPY_UBYTE, obj_code_size(self));
        if (!bytes || !require_code_length(*bytes, obj_code_size(self))) return nullptr;
        auto query = read_vector(given[1], "query", NPY_FLOAT, obj_dim(self));
        if (!query || !require_length(*query, obj_dim(self), "query") || !require_contiguous(*bytes, "code") || !require_contiguous(*query, "query")) return nullptr;
        auto score = obj->value().inner_product(bytes->elements<uint8_t>(), query->elements<float>());
        if (!score) {
            raise_input_failure(score.error(), query->elements<float>(), "query");
            return nullptr;
        }
        return PyFloat_FromDouble(static_cast<double>(*score));
    });
}

template <class Get> PyObject* getter(PyObject* self, Get get) {
    auto* obj = self_of(self);
    Hold hold(obj->holds, Hold::Shared);
    if (!hold.held()) return nullptr;
    return PyLong_FromUnsignedLongLong(get(obj->value()));
}

PyObject* cq_get_dim(PyObject* self, void*) {
    return getter(self, [](const CompactQuantizer& q) { return q.dim(); });
}
PyObject* cq_get_bits(PyObject* self, void*) {
    return getter(self, [](const CompactQuantizer& q) { return uint64_t{q.bits()}; });
}
PyObject* cq_get_seed(PyObject* self, void*) {
    return getter(self, [](const CompactQuantizer& q) { return q.seed(); });
}
PyObject* cq_get_code_size(PyObject* self, void*) {
    return getter(self, [](const CompactQuantizer& q) { return q.code_size_bytes(); });
}

PyObject* cq_repr(PyObject* self) {
    auto* obj = self_of(self);
    Hold hold(obj->holds, Hold::Shared);
    if (!hold.held()) return nullptr;
    const CompactQuantizer& q = obj->value();
    const std::string text = "CompactQuantizer(dim=" + std::to_string(q.dim()) +
                             ", bits=" + std::to_string(q.bits()) +
                             ", code_size=" + std::to_string(q.code_size_bytes()) + "B)";
    return PyUnicode_FromString(text.c_str());
}

struct CompactQuantizerAccess {
    static constexpr const char* NAME = "CompactQuantizer";
    static HoldCounter& holds(PyObject* self) { return self_of(self)->holds; }
    static const CompactQuantizer& quantizer(PyObject* self) { return self_of(self)->value(); }
};
using CompactBatch = QuantizerBatch<CompactQuantizerAccess>;

PyMethodDef cq_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&cq_encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode($self, vector)\n--\n\nEncode a float32 vector of length `dim` to a uint8 code of "
     "`code_size_bytes` bytes."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&cq_decode)),
     METH_VARARGS | METH_KEYWORDS,
     "decode($self, code)\n--\n\nDecode a code of this quantizer to an approximate float32 "
     "vector of length `dim`."},
    {"inner_product",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&cq_inner_product)),
     METH_VARARGS | METH_KEYWORDS,
     "inner_product($self, code, query)\n--\n\nEstimate the inner product of the encoded vector "
     "with a float32 query, straight from the code (unbiased over the seed)."},
    QL_QUANTIZER_BATCH_METHODS(CompactBatch)
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cq_getset[] = {
    {"dim", &cq_get_dim, nullptr, "The vector dimension.", nullptr},
    {"bits", &cq_get_bits, nullptr, "Bits per coordinate (1 to 8).", nullptr},
    {"seed", &cq_get_seed, nullptr, "The seed of the rotation.", nullptr},
    {"code_size_bytes", &cq_get_code_size, nullptr,
     "Bytes per code: 16 + ceil(dim * bits / 8).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char cq_doc[] =
    "CompactQuantizer(dim, bits=4, seed=42)\n--\n\n"
    "CompactQuantizer: compact codes of `bits` bits per coordinate plus 16 bytes.\n\n"
    "A seeded fast rotation, then a Lloyd-Max code of every coordinate. No training data;\n"
    "the same (dim, bits, seed) give the same codes and scores on every machine.\n\n"
    "Args:\n"
    "    dim: Vector dimension (1 to 65536)\n"
    "    bits: Bits per coordinate (1 to 8, default 4)\n"
    "    seed: Random seed of the rotation";

}  // namespace

PyTypeObject* compact_quantizer_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&cq_new)},
        {Py_tp_repr, reinterpret_cast<void*>(&cq_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&cq_dealloc)},
        {Py_tp_doc, const_cast<char*>(cq_doc)},
        {Py_tp_methods, cq_methods},
        {Py_tp_getset, cq_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {"quillane.CompactQuantizer", sizeof(CompactQuantizerObject), 0,
                                     Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return type;
}

}  // namespace quillane::py
