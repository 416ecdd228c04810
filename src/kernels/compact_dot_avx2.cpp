// The compact exact score in AVX2: eight coordinates at a time, their levels looked up as
// float32 (4-bit codes by two in-register permutes, other widths by a gather from the
// table, after unpacking them to bytes unless they are bytes already), widened to f64 and
// multiplied by the widened query; partial sums 0-3 in one register, 4-7 in another.
#include <immintrin.h>

#include <algorithm>
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

// Adds the terms of codes one per byte to s (from a multiple of 8 coordinates on).
__attribute__((target("avx2"))) void add_bytes(const float* levels, const uint8_t* codes, size_t dim,
                                               const float* y, compact::EightSums& s) {
    __m256d sums03 = _mm256_loadu_pd(s.s), sums47 = _mm256_loadu_pd(s.s + 4);
    size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
        const __m256i code = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + i)));
        const __m256 level = _mm256_i32gather_ps(levels, code, 4);
        const __m256 z = _mm256_loadu_ps(y + i);
        sums03 = _mm256_add_pd(sums03, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(level)),
                                                     _mm256_cvtps_pd(_mm256_castps256_ps128(z))));
        sums47 = _mm256_add_pd(sums47, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(level, 1)),
                                                     _mm256_cvtps_pd(_mm256_extractf128_ps(z, 1))));
    }
    _mm256_storeu_pd(s.s, sums03);
    _mm256_storeu_pd(s.s + 4, sums47);
    for (; i < dim; ++i) s.add(i, double{levels[codes[i]]} * static_cast<double>(y[i]));
}

}  // namespace

double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim,
                   const float* y) {
    if (bits == 4) return dot4(levels, packed, dim, y);
    compact::EightSums s;
    if (bits == 8) {
        add_bytes(levels, packed, dim, y, s);
        return s.total();
    }
    // Unpacked a few thousand codes at a time, so the buffer stays on the stack.
    constexpr size_t CHUNK = 4096;  // a multiple of 8: each chunk's partial sums line up
    uint8_t codes[CHUNK];
    for (size_t from = 0; from < dim; from += CHUNK) {
        const size_t here = std::min(CHUNK, dim - from);
        for (size_t j = 0; j < here; ++j) codes[j] = static_cast<uint8_t>(format::unpack_code(packed, bits, from + j));
        add_bytes(levels, codes, here, y + from, s);
    }
    return s.total();
}

// One code at a time: AVX2 has too few registers to keep several records' sums and tables.
void compact_dots(const float* levels, uint8_t bits, const uint8_t* const* packed, size_t count, size_t dim,
                  const float* y, double* out) {
    for (size_t i = 0; i < count; ++i) out[i] = compact_dot(levels, bits, packed[i], dim, y);
}

}  // namespace quillane::kernels::avx2
