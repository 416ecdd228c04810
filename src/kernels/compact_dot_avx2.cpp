// The compact exact score in AVX2: eight coordinates at a time. The eight codes of b bits
// are b whole bytes (code 8g starts at byte g b): read as one word and shifted apart in
// lanes. Their levels are looked up as float32 by in-register permutes up to 16 levels, by
// a gather beyond (8-bit codes are bytes already), widened to f64 and multiplied by the
// widened query; partial sums 0-3 in one register, 4-7 in another. No scalar unpacking, and
// no gathers for the narrow widths: AMD's processors run gathers slowly.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "compact/eight_sums.hpp"
#include "compact_dot.hpp"
#include "format/compact_format.hpp"
#include "implementations.hpp"
#include "unpack_avx2.hpp"

namespace quillane::kernels::avx2 {

namespace {

#define QL_AVX2 __attribute__((target("avx2")))

// Levels of codes below 2^B: up to eight by one permute, sixteen by two and a blend (bit 3
// of the code, moved to the sign bit, picks the high table), more by a gather.
template <int B>
struct Levels {
    const float* levels;
    __m256 low, high;
    QL_AVX2 explicit Levels(const float* l) : levels(l) {
        // Masked loads read no further than the levels.
        const auto first = [&](int count) QL_AVX2 {
            return _mm256_maskload_ps(l, _mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
        };
        low = first(std::min(1 << B, 8));
        high = B == 4 ? _mm256_loadu_ps(l + 8) : _mm256_setzero_ps();
    }
    QL_AVX2 __m256 operator()(__m256i code) const {
        if constexpr (B <= 3) {
            return _mm256_permutevar8x32_ps(low, code);
        } else if constexpr (B == 4) {
            return _mm256_blendv_ps(_mm256_permutevar8x32_ps(low, code), _mm256_permutevar8x32_ps(high, code),
                                    _mm256_castsi256_ps(_mm256_slli_epi32(code, 28)));
        } else {
            return _mm256_i32gather_ps(levels, code, 4);
        }
    }
};

template <int B>
QL_AVX2 double dot(const float* levels, const uint8_t* packed, size_t dim, const float* y) {
    const Levels<B> level_of(levels);
    __m256d sums03 = _mm256_setzero_pd(), sums47 = _mm256_setzero_pd();
    const auto add = [&](__m256i code, size_t i) QL_AVX2 {
        const __m256 level = level_of(code);
        const __m256 z = _mm256_loadu_ps(y + i);
        sums03 = _mm256_add_pd(sums03, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(level)),
                                                     _mm256_cvtps_pd(_mm256_castps256_ps128(z))));
        sums47 = _mm256_add_pd(sums47, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(level, 1)),
                                                     _mm256_cvtps_pd(_mm256_extractf128_ps(z, 1))));
    };
    size_t i = 0;
    if constexpr (B == 8) {
        for (; i + 8 <= dim; i += 8) add(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(packed + i))), i);
    } else {
        const EightCodes<B> codes;
        for (; i + 8 <= dim; i += 8) add(codes(packed, i / 8), i);
    }
    compact::EightSums s;
    _mm256_storeu_pd(s.s, sums03);
    _mm256_storeu_pd(s.s + 4, sums47);
    for (; i < dim; ++i) s.add(i, double{levels[format::unpack_code(packed, B, i)]} * static_cast<double>(y[i]));
    return s.total();
}

}  // namespace

double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim,
                   const float* y) {
    switch (bits) {
        case 1: return dot<1>(levels, packed, dim, y);
        case 2: return dot<2>(levels, packed, dim, y);
        case 3: return dot<3>(levels, packed, dim, y);
        case 4: return dot<4>(levels, packed, dim, y);
        case 5: return dot<5>(levels, packed, dim, y);
        case 6: return dot<6>(levels, packed, dim, y);
        case 7: return dot<7>(levels, packed, dim, y);
        default: return dot<8>(levels, packed, dim, y);
    }
}

// One code at a time: AVX2 has too few registers to keep several records' sums and tables.
void compact_dots(const float* levels, uint8_t bits, const uint8_t* const* packed, size_t count, size_t dim,
                  const float* y, double* out) {
    for (size_t i = 0; i < count; ++i) out[i] = compact_dot(levels, bits, packed[i], dim, y);
}

#undef QL_AVX2

}  // namespace quillane::kernels::avx2
