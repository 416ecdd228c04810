#include "binding.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace quillane::py {

namespace {

std::string was_were(size_t n) { return n == 1 ? "was" : "were"; }

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "quillane.PanicException",
            "Raised when native code called from Python fails an internal invariant.\n\n"
            "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
            "normally propagates to the top and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

bool bind_arguments(const char* function, std::span<const Param> params, PyObject* args,
                    PyObject* kwargs, PyObject** out) {
    const size_t total = params.size();
    size_t required = 0;
    for (const Param& p : params) required += p.required;
    const size_t given = args ? static_cast<size_t>(PyTuple_Size(args)) : 0;
    if (given > total) {
        std::string msg = std::string(function) + " takes ";
        if (required == total) {
            msg += std::to_string(total);
        } else {
            msg += "from " + std::to_string(required) + " to " + std::to_string(total);
        }
        msg += " positional arguments but " + std::to_string(given) + " " + was_were(given) +
               " given";
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    for (size_t i = 0; i < total; ++i) out[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t len = 0;
            const char* name = PyUnicode_AsUTF8AndSize(key, &len);
            if (name == nullptr) return false;
            size_t found = total;
            for (size_t i = 0; i < total; ++i) {
                if (std::string(params[i].name) == std::string(name, len)) found = i;
            }
            if (found == total) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%s'",
                             function, name);
                return false;
            }
            if (out[found] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             function, name);
                return false;
            }
            out[found] = value;
        }
    }
    std::vector<const char*> missing;
    for (size_t i = 0; i < total; ++i) {
        if (params[i].required && out[i] == nullptr) missing.push_back(params[i].name);
    }
    if (!missing.empty()) {
        const std::string msg = std::string(function) + " missing " +
                                std::to_string(missing.size()) + " required positional " +
                                (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                quoted_list(missing);
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    return true;
}

void prefix_type_error(const char* param) {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, trace);
        return;
    }
    PyErr_NormalizeException(&type, &value, &trace);
    Ref type_ref(type), value_ref(value), trace_ref(trace);
    Ref text(value ? PyObject_Str(value) : PyUnicode_FromString(""));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
}

namespace {

// The object itself when it is an int, else the result of its __index__.
Ref as_index(PyObject* obj) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    return Ref(PyNumber_Index(obj));
}

}  // namespace

std::optional<uint64_t> to_u64(PyObject* obj, const char* param) {
    Ref index = as_index(obj);
    if (!index) {
        prefix_type_error(param);
        return std::nullopt;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_type_error(param);
        return std::nullopt;
    }
    return static_cast<uint64_t>(v);
}

std::optional<uint8_t> to_u8(PyObject* obj, const char* param) {
    Ref index = as_index(obj);
    if (!index) {
        prefix_type_error(param);
        return std::nullopt;
    }
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) {
        prefix_type_error(param);
        return std::nullopt;
    }
    if (v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<uint8_t>(v);
}

bool HoldCounter::acquire_shared() {
    int64_t current = count_.load();
    for (;;) {
        if (current < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
        if (count_.compare_exchange_weak(current, current + 1)) return true;
    }
}

bool HoldCounter::acquire_exclusive() {
    int64_t expected = 0;
    if (count_.compare_exchange_strong(expected, -1)) return true;
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
}

void raise_quant_error(const QuantError& error) {
    PyErr_SetString(PyExc_ValueError, error.message().c_str());
}

void raise_panic(const char* message, const char* file, unsigned line) {
    std::fprintf(stderr, "quillane: internal invariant failed at %s:%u: %s\n", file, line, message);
    std::fflush(stderr);
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the interpreter's own error stays set
    Ref text(PyUnicode_FromString(message));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace quillane::py
