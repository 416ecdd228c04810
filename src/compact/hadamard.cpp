#include "hadamard.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/compact_encode.hpp"
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

kernels::HadamardPlan HadamardRotation::plan() const {
    return {dim_, block_, scale_, sign_words_.data(), words_per_round_, ROUNDS};
}

void HadamardRotation::apply(std::span<const float> x, float* out) const {
    if (out != x.data()) std::copy(x.begin(), x.end(), out);
    kernels::hadamard_rotate(plan(), out, true);
}

void HadamardRotation::apply_inverse(std::span<const float> y, float* out) const {
    if (out != y.data()) std::copy(y.begin(), y.end(), out);
    kernels::hadamard_rotate(plan(), out, false);
}

}  // namespace quillane::compact
