// quillane.TurboQuantizer: encode, decode and inner-product estimate over byte codes.
#include <new>

#include "arrays.hpp"
#include "classes.hpp"
#include "construction.hpp"
#include "quantizer_batch.hpp"

namespace quillane::py {

namespace {

struct TurboQuantizerValue {
    TurboQuantizer quantizer;
    uint64_t code_size_bytes;
};

struct TurboQuantizerObject {
    PyObject_HEAD
    alignas(TurboQuantizerValue) unsigned char storage[sizeof(TurboQuantizerValue)];
    HoldCounter holds;

    TurboQuantizerValue& value() { return *std::launder(reinterpret_cast<TurboQuantizerValue*>(storage)); }
};

TurboQuantizerObject* self_of(PyObject* self) { return reinterpret_cast<TurboQuantizerObject*>(self); }

PyObject* tq_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto quantizer = build_quantizer("TurboQuantizer.__new__()", args, kwargs);
        if (!quantizer) return nullptr;
        // The length of every code, which a zero vector's encoding has too (tested).
        const uint64_t code_size = quantizer->code_size_bytes();
        PyObject* self = alloc_instance(type);
        if (self == nullptr) return nullptr;
        auto* obj = self_of(self);
        new (obj->storage) TurboQuantizerValue{std::move(*quantizer), code_size};
        new (&obj->holds) HoldCounter();
        return self;
    });
}

void tq_dealloc(PyObject* self) {
    auto* obj = self_of(self);
    obj->value().~TurboQuantizerValue();
    obj->holds.~HoldCounter();
    free_instance(self);
}

PyObject* tq_encode(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"vector", true}};
        PyObject* given[1];
        if (!bind_arguments("TurboQuantizer.encode()", params, args, kwargs, given)) return nullptr;
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        auto vector = read_array(given[0], "vector", NPY_FLOAT);
        if (!vector || !require_contiguous(*vector)) return nullptr;
        auto code = obj->value().quantizer.encode_to_bytes(vector->elements<float>());
        if (!code) {
            raise_quant_error(code.error());
            return nullptr;
        }
        return to_array(std::move(*code));
    });
}

PyObject* tq_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"code", true}};
        PyObject* given[1];
        if (!bind_arguments("TurboQuantizer.decode()", params, args, kwargs, given)) return nullptr;
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        auto bytes = read_array(given[0], "code", NPY_UBYTE);
        if (!bytes || !require_contiguous(*bytes)) return nullptr;
        auto code = TurboCode::from_bytes(bytes->elements<uint8_t>());
        if (!code) {
            raise_quant_error(code.error());
            return nullptr;
        }
        return to_array(obj->value().quantizer.decode(*code));
    });
}

PyObject* tq_inner_product(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"code", true}, {"query", true}};
        PyObject* given[2];
        if (!bind_arguments("TurboQuantizer.inner_product()", params, args, kwargs, given)) {
            return nullptr;
        }
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        auto bytes = read_array(given[0], "code", NPY_UBYTE);
        if (!bytes) return nullptr;
        auto query = read_array(given[1], "query", NPY_FLOAT);
        if (!query || !require_contiguous(*bytes) || !require_contiguous(*query)) return nullptr;
        auto code = TurboCode::from_bytes(bytes->elements<uint8_t>());
        if (!code) {
            raise_quant_error(code.error());
            return nullptr;
        }
        auto score = obj->value().quantizer.inner_product(*code, query->elements<float>());
        if (!score) {
            raise_quant_error(score.error());
            return nullptr;
        }
        return PyFloat_FromDouble(static_cast<double>(*score));
    });
}

PyObject* tq_get_dim(PyObject* self, void*) {
    auto* obj = self_of(self);
    Hold hold(obj->holds, Hold::Shared);
    if (!hold.held()) return nullptr;
    return PyLong_FromUnsignedLongLong(obj->value().quantizer.dim());
}

PyObject* tq_get_code_size(PyObject* self, void*) {
    auto* obj = self_of(self);
    Hold hold(obj->holds, Hold::Shared);
    if (!hold.held()) return nullptr;
    return PyLong_FromUnsignedLongLong(obj->value().code_size_bytes);
}

PyObject* tq_repr(PyObject* self) {
    auto* obj = self_of(self);
    Hold hold(obj->holds, Hold::Shared);
    if (!hold.held()) return nullptr;
    const std::string text = "TurboQuantizer(dim=" + std::to_string(obj->value().quantizer.dim()) +
                             ", code_size=" + std::to_string(obj->value().code_size_bytes) + "B)";
    return PyUnicode_FromString(text.c_str());
}

struct TurboQuantizerAccess {
    static constexpr const char* NAME = "TurboQuantizer";
    static HoldCounter& holds(PyObject* self) { return self_of(self)->holds; }
    static const TurboQuantizer& quantizer(PyObject* self) { return self_of(self)->value().quantizer; }
};
using TurboBatch = QuantizerBatch<TurboQuantizerAccess>;

PyMethodDef tq_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&tq_encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode($self, vector)\n--\n\nEncode a vector to compact bytes.\n\nArgs:\n    vector: numpy "
     "float32 array of length `dim`\n\nReturns:\n    numpy uint8 array of compressed code"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&tq_decode)),
     METH_VARARGS | METH_KEYWORDS,
     "decode($self, code)\n--\n\nDecode a compressed code back to an approximate vector.\n\nArgs:\n"
     "    code: numpy uint8 array (from encode)\n\nReturns:\n    numpy float32 array of length "
     "`dim`"},
    {"inner_product",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&tq_inner_product)),
     METH_VARARGS | METH_KEYWORDS,
     "inner_product($self, code, query)\n--\n\nEstimate inner product between a compressed code "
     "and a query vector.\n\nMuch faster than decompressing and computing full dot product."},
    QL_QUANTIZER_BATCH_METHODS(TurboBatch)
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tq_getset[] = {
    {"dim", &tq_get_dim, nullptr, "Return the vector dimension.", nullptr},
    {"code_size_bytes", &tq_get_code_size, nullptr,
     "Return the compressed code size in bytes (cached at construction).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char tq_doc[] =
    "TurboQuantizer(dim, bits=4, projections=None, seed=42)\n--\n\n"
    "TurboQuantizer: two-stage vector quantization (Polar + QJL).\n\n"
    "Compresses f32 vectors to compact codes with provably unbiased\n"
    "inner product estimates. No training or calibration data needed.\n\n"
    "Args:\n"
    "    dim: Vector dimension (e.g., 128, 768, 1536)\n"
    "    bits: Quantization precision (3-8, default 4)\n"
    "    projections: QJL projections (typically dim/4)\n"
    "    seed: Random seed for deterministic rotation/projection";

}  // namespace

PyTypeObject* turbo_quantizer_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&tq_new)},
        {Py_tp_repr, reinterpret_cast<void*>(&tq_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&tq_dealloc)},
        {Py_tp_doc, const_cast<char*>(tq_doc)},
        {Py_tp_methods, tq_methods},
        {Py_tp_getset, tq_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {"builtins.TurboQuantizer", sizeof(TurboQuantizerObject), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return type;
}

}  // namespace quillane::py
