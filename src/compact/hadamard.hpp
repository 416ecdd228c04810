// The compact family's rotation: a few rounds of seeded sign flips and normalised
// Walsh-Hadamard transforms. Any dimension: with p the largest power of two not above
// dim, each round transforms coordinates [0, p) and then, when p < dim, the overlapping
// block [dim - p, dim). O(dim log dim) per vector, dim bits of signs per round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernels/compact_encode.hpp"

namespace quillane::compact {

class HadamardRotation {
public:
    static constexpr int ROUNDS = 3;

    HadamardRotation(size_t dim, uint64_t seed);

    // out = R x, and x = R^T y (R is orthogonal up to float32 rounding), through the
    // chosen kernels. In place allowed.
    void apply(std::span<const float> x, float* out) const;
    void apply_inverse(std::span<const float> y, float* out) const;

    size_t dim() const { return dim_; }
    size_t block() const { return block_; }

    // What the rotation kernel needs (kernels/compact_encode.hpp).
    kernels::HadamardPlan plan() const;

private:
    size_t dim_;
    size_t block_;                       // p
    float scale_;                        // 1 / sqrt(p) rounded to float32
    std::vector<uint64_t> sign_words_;   // bit i % 64 of word r * words + i / 64: flip i in round r
    size_t words_per_round_;
};

// The unnormalised transform of p = 2^k values in place, butterflies (a + b, a - b) with
// half-width h = 1, 2, 4, ... in ascending position order.
void walsh_hadamard(float* v, size_t p);

}  // namespace quillane::compact
