// The compact family's exact score: sum of f64(levels[c_i]) * f64(y_i) over i < dim as an
// eight-lane sum (compact/eight_sums.hpp). Products of two float32 values are exact in
// f64 and every lane adds its own terms in order, so vector paths give the plain loop's
// bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::kernels {

// `packed`: dim codes of `bits` bits (format/compact_format.hpp); levels: 2^bits values.
double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim,
                   const float* y);

// out[i] = compact_dot(levels, bits, packed[i], dim, y) for i < count: the same bits, the
// vector paths scoring several codes at once.
void compact_dots(const float* levels, uint8_t bits, const uint8_t* const* packed, size_t count, size_t dim,
                  const float* y, double* out);

}  // namespace quillane::kernels
