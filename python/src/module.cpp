// Module initialisation of the extension module `quillane`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "classes.hpp"

namespace {

// The target of pickled indexes: the classes' own module is `builtins`, where pickle
// cannot find them, so a pickle names this function, the class and the file bytes.
PyObject* index_from_bytes(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    PyObject* data = nullptr;
    if (!PyArg_ParseTuple(args, "sO:_index_from_bytes", &kind, &data)) return nullptr;
    PyTypeObject* type = nullptr;
    if (std::strcmp(kind, "VectorIndex") == 0) type = quillane::py::vector_index_type();
    if (std::strcmp(kind, "CompactIndex") == 0) type = quillane::py::compact_index_type();
    if (std::strcmp(kind, "IvfIndex") == 0) type = quillane::py::ivf_index_type();
    if (std::strcmp(kind, "GraphIndex") == 0) type = quillane::py::graph_index_type();
    if (type == nullptr) {
        PyErr_Format(PyExc_ValueError, "not an index class: '%s'", kind);
        return nullptr;
    }
    return PyObject_CallMethod(reinterpret_cast<PyObject*>(type), "from_bytes", "O", data);
}

PyMethodDef module_functions[] = {
    {"_index_from_bytes", &index_from_bytes, METH_VARARGS,
     "_index_from_bytes(kind, data)\n--\n\nkind.from_bytes(data): how pickled indexes come back."},
    {"rerank", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&quillane::py::rerank_function)),
     METH_VARARGS | METH_KEYWORDS,
     "rerank(queries, candidates, vectors, top_k, *, metric='ip', threads=None)\n--\n\n"
     "Order each query's candidate ids (a C-contiguous uint64 array of shape (m, w), quillane.NO_ID "
     "padding skipped) by the exact metric on the rows of `vectors` (float32 of shape (N, dim), row i the "
     "vector of id i): highest first, smallest first under l2, equal scores in the candidates' order. "
     "search_batch(..., rerank=vectors) of an index is rerank of its own candidates.\n\n"
     "Returns:\n    Tuple of (ids: numpy uint64 array, scores: numpy float32 array) of shape (m, min(top_k, w)), "
     "padded with quillane.NO_ID and NaN where a row has fewer candidates."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef quillane_module = {
    PyModuleDef_HEAD_INIT,
    "quillane",
    "Python module initialization.",
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter to import the module owns it for the life of the process.
std::atomic<int64_t> owner_interpreter{-1};
// Re-imports (for example after `del sys.modules["quillane"]`) return this object.
PyObject* module_object = nullptr;

// Appends a name to the module's __all__ (made at the first name).
bool add_public_name(PyObject* module, const char* name) {
    using quillane::py::Ref;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    Ref text(PyUnicode_FromString(name));
    return text && PyList_Append(all.get(), text.get()) == 0;
}

// Creates the class once, appends its name to __all__ and sets the attribute.
bool register_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr || !add_public_name(module, name)) return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_quillane() {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "quillane does not support loading in sub-interpreters");
        return nullptr;
    }
    if (module_object != nullptr) {
        Py_INCREF(module_object);
        return module_object;
    }
    PyObject* module = PyModule_Create2(&quillane_module, 3);
    if (module == nullptr) return nullptr;
    if (!register_class(module, "TurboQuantizer", quillane::py::turbo_quantizer_type()) ||
        !register_class(module, "VectorIndex", quillane::py::vector_index_type()) ||
        !register_class(module, "CompactQuantizer", quillane::py::compact_quantizer_type()) ||
        !register_class(module, "CompactIndex", quillane::py::compact_index_type()) ||
        !register_class(module, "IvfIndex", quillane::py::ivf_index_type()) ||
        !register_class(module, "GraphIndex", quillane::py::graph_index_type())) {
        Py_DECREF(module);
        return nullptr;
    }
    // The id of padding entries in IvfIndex results (2**64 - 1), never stored.
    PyObject* no_id = PyLong_FromUnsignedLongLong(0xFFFFFFFFFFFFFFFFull);
    if (no_id == nullptr || PyModule_AddObject(module, "NO_ID", no_id) < 0) {
        Py_XDECREF(no_id);
        Py_DECREF(module);
        return nullptr;
    }
    // The public names that are not classes.
    if (!add_public_name(module, "NO_ID") || !add_public_name(module, "rerank")) {
        Py_DECREF(module);
        return nullptr;
    }
    if (PyModule_AddStringConstant(module, "__version__", QUILLANE_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    module_object = module;
    Py_INCREF(module_object);
    return module;
}
