// NumPy arrays across the boundary: inputs read in place, results handed over
// without a copy. NumPy's C API is reached through its capsule at first use.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "binding.hpp"

namespace quillane::py {

// NumPy type numbers (stable across NumPy 1.x and 2.x).
inline constexpr int NPY_UBYTE = 2;
inline constexpr int NPY_ULONG = 8;  // 64 bits on Linux x86-64
inline constexpr int NPY_FLOAT = 11;

// A one-dimensional array argument of the required dtype; keeps the array alive. Its
// data, length and layout are read from the array at each use, never earlier: a
// conversion that runs Python code (an argument's __index__) may resize the array.
struct ArrayArg {
    Ref array;

    const void* data() const;
    size_t count() const;
    bool contiguous() const;
    template <class T> std::span<const T> elements() const {
        return {static_cast<const T*>(data()), count()};
    }
};

// TypeError "'{}' object cannot be converted to 'PyArray<T, D>'" (with the parameter
// prefix) for anything but a one-dimensional ndarray of the given element kind.
std::optional<ArrayArg> read_array(PyObject* obj, const char* param, int typenum);

// TypeError "The given array is not contiguous", without a parameter prefix.
bool require_contiguous(const ArrayArg& array);

// The project's own classes read one vector as their batch calls read matrices: TypeError
// unless an ndarray of the dtype, ValueError unless one-dimensional; each message names the
// argument, what it expects (`length` elements) and what it got. A float32 vector may come in any real
// floating dtype and with any strides: it is converted once to C-contiguous float32.
std::optional<ArrayArg> read_vector(PyObject* obj, const char* param, int typenum, size_t length);
// ValueError "argument '{param}': expected shape ({length},), got (...)" unless the vector
// has `length` elements: what a call that reads it checks before the core would.
bool require_length(const ArrayArg& vector, size_t length, const char* param);
// ValueError naming the argument unless contiguous (checked after every conversion).
bool require_contiguous(const ArrayArg& array, const char* param);

// A new one-dimensional array that takes over the buffer; PanicException on failure.
PyObject* to_array(std::vector<float>&& values);
PyObject* to_array(std::vector<uint8_t>&& values);
PyObject* to_array(std::vector<uint64_t>&& values);
// The same as a rows x cols array (values.size() == rows * cols).
PyObject* to_matrix(std::vector<float>&& values, size_t rows, size_t cols);
PyObject* to_matrix(std::vector<uint8_t>&& values, size_t rows, size_t cols);
PyObject* to_matrix(std::vector<uint64_t>&& values, size_t rows, size_t cols);

// A two-dimensional C-contiguous array of `rows` rows of `width` elements, read in place
// by a batch call; the array is kept alive.
struct MatrixArg {
    Ref array;
    const void* data = nullptr;
    size_t rows = 0;
};

// How a float32 argument is taken: exactly as given (the two-stage classes' rule), or from
// any real floating dtype and any strides, converted once to C-contiguous float32 (each
// value rounded to nearest, so results are those of the converted array).
enum class Floats { exact, converted };

// For a batch argument: TypeError unless a NumPy array of the dtype `typenum`, ValueError
// unless two-dimensional, C-contiguous and `width` wide; each message names the argument,
// what it expects and what it got. Read only after every conversion that runs Python code.
std::optional<MatrixArg> read_matrix(PyObject* obj, const char* param, int typenum, size_t width,
                                     Floats floats = Floats::converted);
// The width of a two-dimensional ndarray, 0 for anything else (read_matrix then says why).
size_t matrix_width(PyObject* obj);

// rows * width elements of a batch's result, or MemoryError (set) when the product does not
// fit in memory's address range: no size is computed modulo 2^64.
std::optional<size_t> result_size(size_t rows, size_t width);

// A one-dimensional array of `rows` ids of any integer dtype, as uint64: TypeError for
// another dtype, ValueError for another shape or for a negative id. A list, tuple or range
// of integers is converted once by numpy.asarray, and where any length goes a single
// integer is one id.
// rows == ANY_LENGTH: a one-dimensional array of any length.
inline constexpr size_t ANY_LENGTH = SIZE_MAX;
// `sequences` false: an ndarray only (the two-stage index's rule).
std::optional<std::vector<uint64_t>> read_ids(PyObject* obj, const char* param, size_t rows, bool sequences = true);

}  // namespace quillane::py
