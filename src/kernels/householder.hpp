// The rotation's factorisation reorganised for cache and vector lanes. Every matrix
// element sees exactly the operations of the plain algorithm, in the same order:
// a column receives the reflections (or elimination steps) of the columns before it
// in ascending order whether they are applied right after each column is factored
// or, as here, a block of columns at a time.
#pragma once

#include <cstddef>
#include <vector>

namespace quillane::kernels {

// The explicit orthogonal factor of the Householder QR of the column-major n x n
// matrix g, column-major: bit-identical to householder_q.
std::vector<float> householder_q_blocked(std::vector<float> g, size_t n);
// LU with partial pivoting as determinant does, for n >= 4: the same value.
float lu_determinant_blocked(const std::vector<float>& q, size_t n);

// The factorisation's dot kernel (eight partial sums, fixed combine) and its
// reflection update y <- y * sigma + x * t, through the chosen lanes.
float dot8(const float* a, const float* b, size_t m);
void reflect_update(float* y, const float* x, size_t m, float sigma, float t);
// y[k] <- y[k] - l[k] * u over m elements (an elimination step).
void eliminate(float* y, const float* l, size_t m, float u);

// Force the portable loops (tests compare both paths).
void use_portable_factorisation_kernels(bool portable);

}  // namespace quillane::kernels
