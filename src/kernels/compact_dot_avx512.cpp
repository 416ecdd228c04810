// The compact exact score with AVX-512: 64 codes at a time unpacked to bytes, 16 at a time
// widened to int32 and their levels looked up as float32 (one permute for up to 32
// levels, two and a blend for 64, a gather beyond), widened to f64 and multiplied by the
// widened query. One register of eight f64 lanes is the eight partial sums: terms i .. i + 7
// go to lanes 0 .. 7, then terms i + 8 .. i + 15, so each lane adds its own terms in order.
#include <immintrin.h>

#include "compact/eight_sums.hpp"
#include "compact_dot.hpp"
#include "format/compact_format.hpp"
#include "implementations.hpp"
#include "unpack_avx512.hpp"

namespace quillane::kernels::avx512 {

namespace {

// Byte k of row q picks code 16 q + k: the q-th sixteen of 64 unpacked codes.
struct QuarterIndex {
    alignas(64) uint8_t at[4][64];
    constexpr QuarterIndex() : at{} {
        for (size_t q = 0; q < 4; ++q)
            for (size_t k = 0; k < 16; ++k) at[q][k] = static_cast<uint8_t>(16 * q + k);
    }
};
constexpr QuarterIndex quarter_index;

}  // namespace

QL_AVX512 double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim, const float* y) {
    const size_t count = size_t{1} << bits;
    // The levels straight into registers (masked loads read no further than the levels):
    // the exact score is called per record, so the setup counts.
    const auto part = [&](size_t first) QL_AVX512 {
        if (count <= first) return _mm512_setzero_ps();
        const size_t here = std::min<size_t>(count - first, 16);
        return _mm512_maskz_loadu_ps(static_cast<__mmask16>((uint32_t{1} << here) - 1), levels + first);
    };
    const __m512 t0 = part(0), t1 = part(16), t2 = part(32), t3 = part(48);
    const auto level_of = [&](__m512i code) QL_AVX512 {
        if (count <= 16) return _mm512_permutexvar_ps(code, t0);
        if (count <= 32) return _mm512_permutex2var_ps(t0, code, t1);
        if (count <= 64) {
            return _mm512_mask_blend_ps(_mm512_test_epi32_mask(code, _mm512_set1_epi32(32)),
                                        _mm512_permutex2var_ps(t0, code, t1), _mm512_permutex2var_ps(t2, code, t3));
        }
        return _mm512_i32gather_ps(code, levels, 4);
    };
    const Unpacker unpack(bits, dim);
    __m512d sums = _mm512_setzero_pd();
    const size_t whole = dim / 16 * 16;
    for (size_t i = 0; i < whole; i += 64) {
        const __m512i codes = unpack(packed, i / 64);
        for (size_t q = 0; q < 4 && i + 16 * q < whole; ++q) {
            const size_t at = i + 16 * q;
            const __m128i sixteen = _mm512_castsi512_si128(
                _mm512_permutexvar_epi8(_mm512_load_si512(quarter_index.at[q]), codes));
            const __m512 level = level_of(_mm512_cvtepu8_epi32(sixteen));
            const __m512 z = _mm512_loadu_ps(y + at);
            sums = _mm512_add_pd(sums, _mm512_mul_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(level)),
                                                     _mm512_cvtps_pd(_mm512_castps512_ps256(z))));
            sums = _mm512_add_pd(sums, _mm512_mul_pd(_mm512_cvtps_pd(_mm512_extractf32x8_ps(level, 1)),
                                                     _mm512_cvtps_pd(_mm512_extractf32x8_ps(z, 1))));
        }
    }
    compact::EightSums s;
    _mm512_storeu_pd(s.s, sums);
    for (size_t i = whole; i < dim; ++i) s.add(i, double{levels[format::unpack_code(packed, bits, i)]} * static_cast<double>(y[i]));
    return s.total();
}

}  // namespace quillane::kernels::avx512
