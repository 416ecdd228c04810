#include "arrays.hpp"

#include <cstring>
#include <string>

namespace quillane::py {

namespace {

// The leading fields of NumPy's array object, unchanged since NumPy 1.7.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

constexpr int NPY_ARRAY_C_CONTIGUOUS = 0x0001;
constexpr int NPY_ARRAY_F_CONTIGUOUS = 0x0002;
constexpr int NPY_ARRAY_WRITEABLE = 0x0400;

// Slots of the _ARRAY_API table used here.
struct NumpyApi {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int);
    PyObject* (*new_from_descr)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                const Py_ssize_t*, void*, int, PyObject*);
    unsigned char (*equiv_types)(PyObject*, PyObject*);
    int (*set_base_object)(PyObject*, PyObject*);
};

const NumpyApi* load_numpy_api() {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return nullptr;
    Ref lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return nullptr;
    Ref parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return nullptr;
    Ref major_obj(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return nullptr;
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return nullptr;
    const char* core = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray(PyImport_ImportModule(core));
    if (!multiarray) return nullptr;
    Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return nullptr;
    // The table lives as long as NumPy, which stays imported for the life of the process.
    static NumpyApi api;
    api.array_type = static_cast<PyTypeObject*>(table[2]);
    api.descr_from_type = reinterpret_cast<PyObject* (*)(int)>(table[45]);
    api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[94]);
    api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[182]);
    api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[282]);
    return &api;
}

const NumpyApi* numpy_api() {
    static const NumpyApi* api = nullptr;
    if (api != nullptr) return api;
    api = load_numpy_api();
    if (api == nullptr) {
        std::string detail = "unknown error";
        if (PyErr_Occurred()) {
            PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
            PyErr_Fetch(&type, &value, &trace);
            Ref t(type), v(value), tb(trace);
            Ref text(value ? PyObject_Str(value) : nullptr);
            const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
            if (utf8) detail = utf8;
            PyErr_Clear();
        }
        const std::string message = "Failed to access NumPy array API capsule: " + detail;
        raise_panic(message.c_str(), __FILE__, __LINE__);
    }
    return api;
}


// Owns a native buffer behind every returned array (the array's base object).
struct SliceContainer {
    PyObject_HEAD
    void* data;
    size_t length;
    size_t capacity;
    void (*release)(void* owner);
    void* owner;
};

void slice_container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    if (c->release) c->release(c->owner);
    free_instance(self);
}

PyTypeObject* slice_container_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
        {Py_tp_doc, const_cast<char*>(
                        "Safely keeps a natively allocated buffer alive on the Python heap.")},
        {0, nullptr},
    };
    static PyType_Spec definition = {"builtins.PySliceContainer", sizeof(SliceContainer), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return type;
}

// `rows` == 0 and `cols` == 0 make a one-dimensional array; otherwise rows x cols.
template <class T> PyObject* hand_over(std::vector<T>&& values, int typenum, size_t rows = 0, size_t cols = 0, bool matrix = false) {
    const NumpyApi* api = numpy_api();
    if (api == nullptr) return nullptr;
    auto* owner = new std::vector<T>(std::move(values));
    PyTypeObject* container_type = slice_container_type();
    PyObject* container = container_type ? alloc_instance(container_type) : nullptr;
    if (container == nullptr) {
        delete owner;
        PyErr_Clear();
        raise_panic("Failed to create slice container", __FILE__, __LINE__);
        return nullptr;
    }
    auto* c = reinterpret_cast<SliceContainer*>(container);
    c->data = owner->data();
    c->length = owner->size();
    c->capacity = owner->capacity();
    c->owner = owner;
    c->release = [](void* o) { delete static_cast<std::vector<T>*>(o); };
    Ref container_ref(container);

    PyObject* descr = api->descr_from_type(typenum);
    if (descr == nullptr) {
        raise_panic("Failed to create array descriptor", __FILE__, __LINE__);
        return nullptr;
    }
    const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(matrix ? rows : owner->size()),
                                static_cast<Py_ssize_t>(cols)};
    const Py_ssize_t strides[2] = {static_cast<Py_ssize_t>(matrix ? cols * sizeof(T) : sizeof(T)),
                                   static_cast<Py_ssize_t>(sizeof(T))};
    // An empty vector may have no storage; NumPy still wants a valid pointer.
    static T empty_element{};
    void* data = owner->empty() ? static_cast<void*>(&empty_element) : owner->data();
    Ref array(api->new_from_descr(api->array_type, descr, matrix ? 2 : 1, dims, strides, data,
                                  NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return nullptr;
    if (api->set_base_object(array.get(), container_ref.release()) < 0) return nullptr;
    return array.release();
}

// Whether an ndarray's dtype is equivalent to the type number's.
bool has_dtype(PyObject* obj, int typenum) {
    const NumpyApi* api = numpy_api();
    Ref wanted(api->descr_from_type(typenum));
    return wanted && api->equiv_types(reinterpret_cast<const ArrayFields*>(obj)->descr, wanted.get());
}

}  // namespace

std::optional<ArrayArg> read_array(PyObject* obj, const char* param, int typenum) {
    const NumpyApi* api = numpy_api();
    if (api == nullptr) return std::nullopt;
    bool ok = PyObject_TypeCheck(obj, api->array_type);
    const auto* fields = reinterpret_cast<const ArrayFields*>(obj);
    if (ok) ok = fields->nd == 1 && has_dtype(obj, typenum);
    if (!ok) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'",
                     param, type_qualname(obj).c_str(), "PyArray<T, D>");
        return std::nullopt;
    }
    return ArrayArg{Ref::borrow(obj)};
}

const void* ArrayArg::data() const { return reinterpret_cast<const ArrayFields*>(array.get())->data; }
size_t ArrayArg::count() const {
    return static_cast<size_t>(reinterpret_cast<const ArrayFields*>(array.get())->dimensions[0]);
}
bool ArrayArg::contiguous() const {
    const int flags = reinterpret_cast<const ArrayFields*>(array.get())->flags;
    return (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
}

bool require_contiguous(const ArrayArg& array) {
    if (array.contiguous()) return true;
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return false;
}

bool require_contiguous(const ArrayArg& array, const char* param) {
    if (array.contiguous()) return true;
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': expected a contiguous array, got one with other strides "
                 "(numpy.ascontiguousarray makes one)", param);
    return false;
}

PyObject* to_array(std::vector<float>&& values) { return hand_over(std::move(values), NPY_FLOAT); }
PyObject* to_array(std::vector<uint8_t>&& values) { return hand_over(std::move(values), NPY_UBYTE); }
PyObject* to_array(std::vector<uint64_t>&& values) { return hand_over(std::move(values), NPY_ULONG); }

PyObject* to_matrix(std::vector<float>&& values, size_t rows, size_t cols) {
    return hand_over(std::move(values), NPY_FLOAT, rows, cols, true);
}
PyObject* to_matrix(std::vector<uint8_t>&& values, size_t rows, size_t cols) {
    return hand_over(std::move(values), NPY_UBYTE, rows, cols, true);
}
PyObject* to_matrix(std::vector<uint64_t>&& values, size_t rows, size_t cols) {
    return hand_over(std::move(values), NPY_ULONG, rows, cols, true);
}

namespace {

const char* dtype_name(int typenum) {
    switch (typenum) {
        case NPY_FLOAT: return "float32";
        case NPY_UBYTE: return "uint8";
        default: return "uint64";
    }
}

// str(obj.dtype), for messages.
std::string received_dtype(PyObject* obj) {
    Ref dtype(PyObject_GetAttrString(obj, "dtype"));
    Ref text(dtype ? PyObject_Str(dtype.get()) : nullptr);
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return utf8;
}

std::string shape_text(const ArrayFields* fields) {
    std::string out = "(";
    for (int d = 0; d < fields->nd; ++d) {
        if (d > 0) out += ", ";
        out += std::to_string(fields->dimensions[d]);
    }
    return out + (fields->nd == 1 ? ",)" : ")");
}

bool is_ndarray(PyObject* obj, const char* param, const char* expected) {
    const NumpyApi* api = numpy_api();
    if (api == nullptr) return false;
    if (PyObject_TypeCheck(obj, api->array_type)) return true;
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a numpy array of %s, got '%s'", param,
                 expected, type_qualname(obj).c_str());
    return false;
}

}  // namespace

namespace {

// Whether an ndarray's dtype is a real floating one (kind 'f': float16 to longdouble).
bool real_floating(PyObject* obj) {
    Ref dtype(PyObject_GetAttrString(obj, "dtype"));
    Ref kind(dtype ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
    const char* text = kind && PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8AndSize(kind.get(), nullptr) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(text, "f") == 0;
}

// numpy.ascontiguousarray(obj, dtype=numpy.float32): a new array whose values are those of
// obj rounded to nearest, which nothing else holds (so nothing can resize it).
Ref converted_floats(PyObject* obj) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return Ref();
    Ref float32(PyObject_GetAttrString(numpy.get(), "float32"));
    if (!float32) return Ref();
    return Ref(PyObject_CallMethod(numpy.get(), "ascontiguousarray", "OO", obj, float32.get()));
}

// The dtype refusal of a float argument.
void refuse_dtype(PyObject* obj, const char* param, Floats floats) {
    const std::string got = received_dtype(obj);
    if (floats == Floats::converted) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a floating dtype (float32; others are converted), got %s",
                     param, got.c_str());
    } else {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected dtype float32, got %s", param, got.c_str());
    }
}

// For a float argument of `nd` dimensions that the call converts: obj itself when it is a
// C-contiguous float32 array (or not of `nd` dimensions: the shape check then says why),
// else a converted copy; an empty Ref with an exception set when its dtype is not floating.
Ref float_argument(PyObject* obj, const char* param, int nd) {
    const auto* fields = reinterpret_cast<const ArrayFields*>(obj);
    const bool float32 = has_dtype(obj, NPY_FLOAT);
    if (!float32 && !real_floating(obj)) {
        refuse_dtype(obj, param, Floats::converted);
        return Ref();
    }
    if (fields->nd != nd || (float32 && (fields->flags & NPY_ARRAY_C_CONTIGUOUS) != 0)) return Ref::borrow(obj);
    return converted_floats(obj);
}

}  // namespace

std::optional<ArrayArg> read_vector(PyObject* obj, const char* param, int typenum, size_t length) {
    const std::string expected = std::string("dtype ") + dtype_name(typenum) + " and shape (" +
                                 std::to_string(length) + ",)";
    if (!is_ndarray(obj, param, expected.c_str())) return std::nullopt;
    Ref held = Ref::borrow(obj);
    if (typenum == NPY_FLOAT) {
        held = float_argument(obj, param, 1);
        if (!held) return std::nullopt;
    } else if (!has_dtype(obj, typenum)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected dtype %s, got %s", param, dtype_name(typenum),
                     received_dtype(obj).c_str());
        return std::nullopt;
    }
    const auto* fields = reinterpret_cast<const ArrayFields*>(held.get());
    if (fields->nd != 1) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected shape (%zu,), got %s", param, length,
                     shape_text(fields).c_str());
        return std::nullopt;
    }
    return ArrayArg{std::move(held)};
}

bool require_length(const ArrayArg& vector, size_t length, const char* param) {
    const auto* fields = reinterpret_cast<const ArrayFields*>(vector.array.get());
    if (static_cast<size_t>(fields->dimensions[0]) == length) return true;
    PyErr_Format(PyExc_ValueError, "argument '%s': expected shape (%zu,), got %s", param, length,
                 shape_text(fields).c_str());
    return false;
}

std::optional<MatrixArg> read_matrix(PyObject* obj, const char* param, int typenum, size_t width, Floats floats) {
    const std::string expected = std::string("dtype ") + dtype_name(typenum) + " and shape (n, " +
                                 std::to_string(width) + ")";
    if (!is_ndarray(obj, param, expected.c_str())) return std::nullopt;
    Ref held = Ref::borrow(obj);
    if (typenum == NPY_FLOAT && floats == Floats::converted) {
        held = float_argument(obj, param, 2);
        if (!held) return std::nullopt;
    } else if (!has_dtype(obj, typenum)) {
        if (typenum == NPY_FLOAT) {
            refuse_dtype(obj, param, floats);
        } else {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected dtype %s, got %s", param, dtype_name(typenum),
                         received_dtype(obj).c_str());
        }
        return std::nullopt;
    }
    const auto* fields = reinterpret_cast<const ArrayFields*>(held.get());
    if (fields->nd != 2 || static_cast<size_t>(fields->dimensions[1]) != width) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected shape (n, %zu), got %s", param,
                     width, shape_text(fields).c_str());
        return std::nullopt;
    }
    if ((fields->flags & NPY_ARRAY_C_CONTIGUOUS) == 0) {
        PyErr_Format(PyExc_ValueError,
                     "argument '%s': expected a C-contiguous array, got one with other strides "
                     "(numpy.ascontiguousarray makes one)", param);
        return std::nullopt;
    }
    const void* data = fields->data;
    const auto rows = static_cast<size_t>(fields->dimensions[0]);
    return MatrixArg{std::move(held), data, rows};
}

size_t matrix_width(PyObject* obj) {
    const NumpyApi* api = numpy_api();
    if (api == nullptr) {
        PyErr_Clear();
        return 0;
    }
    if (!PyObject_TypeCheck(obj, api->array_type)) return 0;
    const auto* fields = reinterpret_cast<const ArrayFields*>(obj);
    return fields->nd == 2 ? static_cast<size_t>(fields->dimensions[1]) : 0;
}

std::optional<size_t> result_size(size_t rows, size_t width) {
    size_t n = 0;
    if (__builtin_mul_overflow(rows, width, &n) || n > static_cast<size_t>(PY_SSIZE_T_MAX) / 8) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    return n;
}

namespace {

// numpy.asarray(obj): a sequence of integers (or one integer) as NumPy converts it.
Ref as_numpy_array(PyObject* obj) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return Ref();
    return Ref(PyObject_CallMethod(numpy.get(), "asarray", "(O)", obj));  // "(O)": a tuple stays one argument
}

}  // namespace

std::optional<std::vector<uint64_t>> read_ids(PyObject* obj, const char* param, size_t rows, bool sequences) {
    const NumpyApi* api = numpy_api();
    if (api == nullptr) return std::nullopt;
    // Not an array: a list, tuple or range of integers, or where any length goes a single
    // integer, converted once as NumPy converts it (FAISS and hnswlib take them so).
    Ref converted;
    const bool one = PyIndex_Check(obj) && rows == ANY_LENGTH;
    if (sequences && !PyObject_TypeCheck(obj, api->array_type) && (one || PySequence_Check(obj))) {
        converted = as_numpy_array(obj);
        if (!converted) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
            PyErr_Clear();  // a ragged or foreign sequence: refused as not an array of ids, below
        } else {
            const auto* fields = reinterpret_cast<const ArrayFields*>(converted.get());
            if (fields->nd == 0 && one) {
                Ref flat(PyObject_CallMethod(converted.get(), "reshape", "i", 1));
                if (!flat) return std::nullopt;
                converted = std::move(flat);
            } else if (fields->nd == 1 && fields->dimensions[0] == 0 && (rows == ANY_LENGTH || rows == 0)) {
                return std::vector<uint64_t>{};  // an empty list converts to float64: no ids
            }
            obj = converted.get();
        }
    }
    if (!is_ndarray(obj, param, sequences ? "integer ids, or a sequence of integers" : "integer ids")) return std::nullopt;
    // NumPy's integer type numbers, int8 .. uint64: odd ones are signed.
    int typenum = 0;
    for (int t = 1; t <= 10 && typenum == 0; ++t) {
        if (has_dtype(obj, t)) typenum = t;
    }
    if (typenum == 0) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected an integer dtype (uint64 or any that fits), got %s",
                     param, received_dtype(obj).c_str());
        return std::nullopt;
    }
    const auto* fields = reinterpret_cast<const ArrayFields*>(obj);
    if (rows == ANY_LENGTH && fields->nd == 1) rows = static_cast<size_t>(fields->dimensions[0]);
    if (rows == ANY_LENGTH) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected a one-dimensional array of ids, got shape %s", param,
                     shape_text(fields).c_str());
        return std::nullopt;
    }
    if (fields->nd != 1 || static_cast<size_t>(fields->dimensions[0]) != rows) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected shape (%zu,), one id per row, got %s",
                     param, rows, shape_text(fields).c_str());
        return std::nullopt;
    }
    static constexpr size_t SIZES[] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 8, 8};
    const size_t size = SIZES[typenum];
    const bool is_signed = typenum % 2 == 1;
    std::vector<uint64_t> ids;
    size_t first = 0;  // ids before this one are read already
    if (size == 8 && fields->strides[0] == 8 && rows > 0 && reinterpret_cast<uintptr_t>(fields->data) % 8 == 0) {
        // Contiguous 64-bit ids (the common case): copied at once; signed ones then checked
        // one by one only when some is negative.
        const auto* words = reinterpret_cast<const uint64_t*>(fields->data);
        ids.assign(words, words + rows);
        uint64_t signs = 0;
        for (const uint64_t id : ids) signs |= id;
        first = is_signed && (signs >> 63) != 0 ? 0 : rows;
    } else {
        ids.resize(rows);
    }
    for (size_t i = first; i < rows; ++i) {
        const char* p = fields->data + static_cast<Py_ssize_t>(i) * fields->strides[0];
        uint64_t bits = 0;
        std::memcpy(&bits, p, size);  // little-endian: the low bytes
        if (is_signed && size < 8 && (bits >> (8 * size - 1)) != 0) bits |= ~uint64_t{0} << (8 * size);
        if (is_signed && static_cast<int64_t>(bits) < 0) {
            PyErr_Format(PyExc_ValueError, "argument '%s': ids must not be negative, got %lld at position %zu",
                         param, static_cast<long long>(bits), i);
            return std::nullopt;
        }
        ids[i] = bits;
    }
    return ids;
}

}  // namespace quillane::py
