// RandomRotation: a seeded orthogonal dim x dim matrix, stored row-major.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "kernels/matvec.hpp"

namespace quillane {

class RandomRotation {
public:
    // Fails only with ZeroDimension; throws std::bad_alloc when the matrices do not fit.
    static Result<RandomRotation> make(size_t dim, uint64_t seed);

    std::vector<float> apply(std::span<const float> x) const;          // R x
    std::vector<float> apply_inverse(std::span<const float> y) const;  // R^T y
    // The plain loops the fast paths are proven against.
    std::vector<float> apply_reference(std::span<const float> x) const;
    std::vector<float> apply_inverse_reference(std::span<const float> y) const;

    const std::vector<float>& matrix() const { return matrix_; }
    size_t dim() const { return dim_; }
    uint64_t seed() const { return seed_; }

private:
    RandomRotation(std::vector<float> matrix, size_t dim, uint64_t seed);

    std::vector<float> matrix_;
    kernels::LaneMatrix forward_;  // R x with the rows of R in lanes
    kernels::LaneMatrix inverse_;  // R^T y with the columns of R in lanes
    size_t dim_;
    uint64_t seed_;
};

// The factorisation's dot product: eight strided partial sums, combined in a fixed order.
float householder_dot(const float* a, const float* b, size_t m);
// The fixed combine of the eight partial sums, from +0.
float combine_partial_sums(const float* s);

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
// (consumed), returned column-major, plus the sign of its determinant's rule.
std::vector<float> householder_q(std::vector<float> g, size_t n);
float determinant(const std::vector<float>& q_col_major, size_t n);

}  // namespace quillane
