// The inner-product estimate from its parts: one definition that the reference
// loops, prepared scoring and every scan kernel share.
#pragma once

#include <bit>
#include <cstdint>

namespace quillane {

// sqrt(pi / 2) and the residual norm below which the correction is +0.0.
inline constexpr float QJL_SQRT_HALF_PI = std::bit_cast<float>(0x3FA06C99u);
inline constexpr float QJL_NORM_EPSILON = std::bit_cast<float>(0x0DA24260u);

// The QJL correction from the residual norm and sum_j +-<P_j, R q> over the m sign
// bits (summed from +0.0 in ascending j).
inline float qjl_correction(float norm, float signed_sum, uint64_t m) {
    if (norm < QJL_NORM_EPSILON) return 0.0f;
    return ((norm * QJL_SQRT_HALF_PI) / static_cast<float>(m)) * signed_sum;
}

// The estimate of <x, q>: the polar term <decoded R x, R q> plus the correction.
inline float turbo_estimate(float polar_term, float norm, float signed_sum, uint64_t m) {
    return polar_term + qjl_correction(norm, signed_sum, m);
}

}  // namespace quillane
