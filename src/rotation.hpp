// RandomRotation: a seeded orthogonal dim x dim matrix, stored row-major.
#pragma once

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

}  // namespace quillane
