#include "hadamard.hpp"

#include <algorithm>
#include <cmath>

#include "rng.hpp"

namespace quillane::compact {

void walsh_hadamard(float* v, size_t p) {
    for (size_t h = 1; h < p; h *= 2) {
        for (size_t i = 0; i < p; i += 2 * h) {
            for (size_t j = i; j < i + h; ++j) {
                const float a = v[j], b = v[j + h];
                v[j] = a + b;
                v[j + h] = a - b;
            }
        }
    }
}

HadamardRotation::HadamardRotation(size_t dim, uint64_t seed) : dim_(dim) {
    block_ = 1;
    while (block_ * 2 <= dim) block_ *= 2;
    scale_ = static_cast<float>(1.0 / std::sqrt(static_cast<double>(block_)));
    words_per_round_ = (dim + 63) / 64;
    SeededRng rng(seed);
    sign_words_.resize(ROUNDS * words_per_round_);
    for (uint64_t& w : sign_words_) w = rng.next_u64();
}

void HadamardRotation::transform_block(float* v) const {
    walsh_hadamard(v, block_);
    for (size_t i = 0; i < block_; ++i) v[i] = v[i] * scale_;
}

void HadamardRotation::apply(std::span<const float> x, float* out) const {
    if (out != x.data()) std::copy(x.begin(), x.end(), out);
    for (int r = 0; r < ROUNDS; ++r) {
        const uint64_t* signs = &sign_words_[r * words_per_round_];
        for (size_t i = 0; i < dim_; ++i) {
            if ((signs[i / 64] >> (i % 64)) & 1u) out[i] = -out[i];
        }
        transform_block(out);
        if (block_ < dim_) transform_block(out + (dim_ - block_));
    }
}

void HadamardRotation::apply_inverse(std::span<const float> y, float* out) const {
    if (out != y.data()) std::copy(y.begin(), y.end(), out);
    for (int r = ROUNDS - 1; r >= 0; --r) {
        if (block_ < dim_) transform_block(out + (dim_ - block_));
        transform_block(out);
        const uint64_t* signs = &sign_words_[r * words_per_round_];
        for (size_t i = 0; i < dim_; ++i) {
            if ((signs[i / 64] >> (i % 64)) & 1u) out[i] = -out[i];
        }
    }
}

}  // namespace quillane::compact
