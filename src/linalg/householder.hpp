// The rotation's factorisation as plain loops: Householder QR with the explicit
// orthogonal factor, and the LU determinant. The definition that the blocked
// factorisation (blocked.hpp) reproduces bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace quillane::linalg {

// The sign a reflection carries for diagonal entry d: -1 for negative values and -0,
// +1 for positive values and +0, NaN for NaN.
float reflection_sign(float d);

// Turns x = column c from the diagonal down (m elements) into its Householder vector,
// normalised twice, with `dot` the factorisation's dot kernel. Returns the diagonal
// entry; `reflects` is false when the column is zero from the diagonal down, and then
// x is left unnormalised and no later column is reflected by it.
template <class Dot> float householder_vector(float* x, size_t m, Dot dot, bool& reflects) {
    const float sq = dot(x, x, m);
    const float nrm = std::sqrt(sq);
    const float x0 = x[0];
    const float signed_nrm = (x0 < 0.0f || std::isnan(x0)) ? -nrm : nrm;
    const float t = sq + std::fabs(x0) * nrm;
    const float factor = t + t;
    x[0] = signed_nrm + x0;
    reflects = factor != 0.0f;
    if (!reflects) return signed_nrm;
    const float scale = std::sqrt(factor);
    for (size_t k = 0; k < m; ++k) x[k] = x[k] / scale;
    const float s2 = std::sqrt(dot(x, x, m));
    for (size_t k = 0; k < m; ++k) x[k] = x[k] / s2;
    return -signed_nrm;
}

// Orthogonal factor of the Householder QR of the column-major n x n matrix `g`
// (consumed), returned column-major.
std::vector<float> householder_q(std::vector<float> g, size_t n);
// Its determinant by LU with partial pivoting (closed forms for n < 4); only the sign
// is used.
float determinant(const std::vector<float>& q_col_major, size_t n);

}  // namespace quillane::linalg
