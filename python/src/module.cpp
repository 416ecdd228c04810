// Module initialisation of the extension module `quillane`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace {

PyModuleDef quillane_module = {
    PyModuleDef_HEAD_INIT,
    "quillane",
    "Python module initialization.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter to import the module owns it for the life of the process.
std::atomic<int64_t> owner_interpreter{-1};
// Re-imports (for example after `del sys.modules["quillane"]`) return this object.
PyObject* module_object = nullptr;

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
    module_object = module;
    Py_INCREF(module_object);
    return module;
}
