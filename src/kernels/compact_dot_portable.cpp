// The compact exact score as a plain loop: the portable path, and the reference the vector
// paths are tested against.
#include "compact/eight_sums.hpp"
#include "compact_dot.hpp"
#include "dispatch.hpp"
#include "format/compact_format.hpp"
#include "implementations.hpp"

namespace quillane::kernels {

double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim,
                   const float* y) {
    return active().compact_dot(levels, bits, packed, dim, y);
}

void compact_dots(const float* levels, uint8_t bits, const uint8_t* const* packed, size_t count, size_t dim,
                  const float* y, double* out) {
    active().compact_dots(levels, bits, packed, count, dim, y, out);
}

namespace portable {

double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim,
                   const float* y) {
    compact::EightSums s;
    s.add_all(dim, [&](size_t i) {
        return double{levels[format::unpack_code(packed, bits, i)]} * static_cast<double>(y[i]);
    });
    return s.total();
}

void compact_dots(const float* levels, uint8_t bits, const uint8_t* const* packed, size_t count, size_t dim,
                  const float* y, double* out) {
    for (size_t i = 0; i < count; ++i) out[i] = compact_dot(levels, bits, packed[i], dim, y);
}

}  // namespace portable

}  // namespace quillane::kernels
