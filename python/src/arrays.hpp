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

// A one-dimensional array argument of the required dtype; keeps the array alive.
struct ArrayArg {
    Ref array;
    const void* data = nullptr;
    size_t count = 0;
    bool contiguous = false;

    template <class T> std::span<const T> elements() const {
        return {static_cast<const T*>(data), count};
    }
};

// TypeError "'{}' object cannot be converted to 'PyArray<T, D>'" (with the parameter
// prefix) for anything but a one-dimensional ndarray of the given element kind.
std::optional<ArrayArg> read_array(PyObject* obj, const char* param, int typenum);

// TypeError "The given array is not contiguous", without a parameter prefix.
bool require_contiguous(const ArrayArg& array);

// A new one-dimensional array that takes over the buffer; PanicException on failure.
PyObject* to_array(std::vector<float>&& values);
PyObject* to_array(std::vector<uint8_t>&& values);
PyObject* to_array(std::vector<uint64_t>&& values);

}  // namespace quillane::py
