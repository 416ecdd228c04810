// The compact exact score in AVX2 for 4-bit codes: eight coordinates at a time, their
// levels looked up as float32 by two in-register permutes, widened to f64 and multiplied
// by the widened query; partial sums 0-3 in one register, 4-7 in another. Other widths
// take the portable loop.
#include <immintrin.h>

#include <cstring>

#include "compact/eight_sums.hpp"
#include "compact_dot.hpp"
#include "format/compact_format.hpp"
#include "implementations.hpp"

namespace quillane::kernels::avx2 {

namespace {

__attribute__((target("avx2"))) double dot4(const float* levels, const uint8_t* packed, size_t dim,
                                            const float* y) {
    const __m256 low = _mm256_loadu_ps(levels), high = _mm256_loadu_ps(levels + 8);
    const __m256i shifts = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
    const __m256i nibble = _mm256_set1_epi32(0x0F);
    __m256d sums03 = _mm256_setzero_pd(), sums47 = _mm256_setzero_pd();
    size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
        uint32_t word;  // coordinates i .. i + 7, low nibble first
        std::memcpy(&word, packed + i / 2, 4);
        const __m256i code = _mm256_and_si256(
            _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(word)), shifts), nibble);
        // Codes 8-15 have bit 3 set: moved to the sign bit, it picks the high table.
        const __m256 level = _mm256_blendv_ps(_mm256_permutevar8x32_ps(low, code),
                                              _mm256_permutevar8x32_ps(high, code),
                                              _mm256_castsi256_ps(_mm256_slli_epi32(code, 28)));
        const __m256 z = _mm256_loadu_ps(y + i);
        sums03 = _mm256_add_pd(sums03, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(level)),
                                                     _mm256_cvtps_pd(_mm256_castps256_ps128(z))));
        sums47 = _mm256_add_pd(sums47, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(level, 1)),
                                                     _mm256_cvtps_pd(_mm256_extractf128_ps(z, 1))));
    }
    compact::EightSums s;
    _mm256_storeu_pd(s.s, sums03);
    _mm256_storeu_pd(s.s + 4, sums47);
    for (; i < dim; ++i) s.add(i, double{levels[format::unpack_code(packed, 4, i)]} * static_cast<double>(y[i]));
    return s.total();
}

}  // namespace

double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim,
                   const float* y) {
    if (bits == 4) return dot4(levels, packed, dim, y);
    return portable::compact_dot(levels, bits, packed, dim, y);
}

}  // namespace quillane::kernels::avx2
