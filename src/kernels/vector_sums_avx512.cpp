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

// Four sums in step, a converted once for the four.
QL_AVX512 void eight_lane_sums_of_four(const float* a, const float* const* b, size_t n, VectorTerm term,
                                       double* lanes) {
    __m512d s0 = _mm512_setzero_pd(), s1 = _mm512_setzero_pd(), s2 = _mm512_setzero_pd(), s3 = _mm512_setzero_pd();
    const bool product = term == VectorTerm::product;
    const auto term_of = [product](__m512d x, __m512d y) QL_AVX512 {
        const __m512d d = product ? y : _mm512_sub_pd(x, y);
        return _mm512_mul_pd(product ? x : d, d);
    };
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m512d x = _mm512_cvtps_pd(_mm256_loadu_ps(a + i));
        s0 = _mm512_add_pd(s0, term_of(x, _mm512_cvtps_pd(_mm256_loadu_ps(b[0] + i))));
        s1 = _mm512_add_pd(s1, term_of(x, _mm512_cvtps_pd(_mm256_loadu_ps(b[1] + i))));
        s2 = _mm512_add_pd(s2, term_of(x, _mm512_cvtps_pd(_mm256_loadu_ps(b[2] + i))));
        s3 = _mm512_add_pd(s3, term_of(x, _mm512_cvtps_pd(_mm256_loadu_ps(b[3] + i))));
    }
    if (i < n) {
        const __mmask8 rest = static_cast<__mmask8>((1u << (n - i)) - 1);
        const __m512d x = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(rest, a + i));
        s0 = _mm512_mask_add_pd(s0, rest, s0, term_of(x, _mm512_cvtps_pd(_mm256_maskz_loadu_ps(rest, b[0] + i))));
        s1 = _mm512_mask_add_pd(s1, rest, s1, term_of(x, _mm512_cvtps_pd(_mm256_maskz_loadu_ps(rest, b[1] + i))));
        s2 = _mm512_mask_add_pd(s2, rest, s2, term_of(x, _mm512_cvtps_pd(_mm256_maskz_loadu_ps(rest, b[2] + i))));
        s3 = _mm512_mask_add_pd(s3, rest, s3, term_of(x, _mm512_cvtps_pd(_mm256_maskz_loadu_ps(rest, b[3] + i))));
    }
    _mm512_storeu_pd(lanes, s0);
    _mm512_storeu_pd(lanes + 8, s1);
    _mm512_storeu_pd(lanes + 16, s2);
    _mm512_storeu_pd(lanes + 24, s3);
}

}  // namespace quillane::kernels::avx512
