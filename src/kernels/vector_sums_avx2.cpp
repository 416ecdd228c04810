// Lanes 0-3 and 4-7 in two registers of four float64, the same operations in each lane as
// the plain loop.
#include <immintrin.h>

#include "kernels/implementations.hpp"
#include "kernels/vector_sums.hpp"

#define QL_AVX2 __attribute__((target("avx2")))

namespace quillane::kernels::avx2 {

QL_AVX2 void eight_lane_sums(const float* a, const float* b, size_t n, VectorTerm term, double* lanes) {
    __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();
    size_t i = 0;
    const bool product = term == VectorTerm::product;
    for (; i + 8 <= n; i += 8) {
        const __m256d a0 = _mm256_cvtps_pd(_mm_loadu_ps(a + i)), a1 = _mm256_cvtps_pd(_mm_loadu_ps(a + i + 4));
        const __m256d b0 = _mm256_cvtps_pd(_mm_loadu_ps(b + i)), b1 = _mm256_cvtps_pd(_mm_loadu_ps(b + i + 4));
        if (product) {
            low = _mm256_add_pd(low, _mm256_mul_pd(a0, b0));
            high = _mm256_add_pd(high, _mm256_mul_pd(a1, b1));
        } else {
            const __m256d d0 = _mm256_sub_pd(a0, b0), d1 = _mm256_sub_pd(a1, b1);
            low = _mm256_add_pd(low, _mm256_mul_pd(d0, d0));
            high = _mm256_add_pd(high, _mm256_mul_pd(d1, d1));
        }
    }
    _mm256_storeu_pd(lanes, low);
    _mm256_storeu_pd(lanes + 4, high);
    for (size_t l = 0; i < n; ++i, ++l) {
        const double x = a[i], y = b[i];
        lanes[l] = lanes[l] + (product ? x * y : (x - y) * (x - y));
    }
}

QL_AVX2 void eight_lane_sums_of_four(const float* a, const float* const* b, size_t n, VectorTerm term,
                                     double* lanes) {
    for (size_t j = 0; j < 4; ++j) avx2::eight_lane_sums(a, b[j], n, term, lanes + 8 * j);
}

}  // namespace quillane::kernels::avx2
