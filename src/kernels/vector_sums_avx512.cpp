// All eight lanes in one register of eight float64, the same operations in each lane as
// the plain loop.
#include <immintrin.h>

#include "kernels/implementations.hpp"
#include "kernels/vector_sums.hpp"

#define QL_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))

namespace quillane::kernels::avx512 {

QL_AVX512 void eight_lane_sums(const float* a, const float* b, size_t n, VectorTerm term, double* lanes) {
    __m512d sums = _mm512_setzero_pd();
    size_t i = 0;
    const bool product = term == VectorTerm::product;
    for (; i + 8 <= n; i += 8) {
        const __m512d x = _mm512_cvtps_pd(_mm256_loadu_ps(a + i)), y = _mm512_cvtps_pd(_mm256_loadu_ps(b + i));
        const __m512d d = product ? y : _mm512_sub_pd(x, y);
        sums = _mm512_add_pd(sums, _mm512_mul_pd(product ? x : d, d));
    }
    if (i < n) {
        // The last values in the low lanes, the other lanes left as they are.
        const __mmask8 rest = static_cast<__mmask8>((1u << (n - i)) - 1);
        const __m512d x = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(rest, a + i));
        const __m512d y = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(rest, b + i));
        const __m512d d = product ? y : _mm512_sub_pd(x, y);
        sums = _mm512_mask_add_pd(sums, rest, sums, _mm512_mul_pd(product ? x : d, d));
    }
    _mm512_storeu_pd(lanes, sums);
}

}  // namespace quillane::kernels::avx512
