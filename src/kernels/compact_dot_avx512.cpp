// The compact exact score with AVX-512: 64 codes at a time unpacked to bytes, their levels
// looked up as float32 (one permute for up to 32 levels, two and a blend for 64; for 128
// or 256, each byte of the levels' bits from a byte table, four bytes then interleaved
// into floats: no gathers, which Zen 4 runs slowly), widened to f64 and multiplied by the
// widened query. One register of eight f64 lanes is a record's eight partial sums: terms
// i .. i + 7 go to lanes 0 .. 7, then terms i + 8 .. i + 15, so each lane adds its own
// terms in order. Several records are scored together: their chains of additions are
// independent, so one waits on another's latency no longer.
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

// Up to 64 levels in registers: the sixteen float32 levels of sixteen codes (as int32).
struct SmallLevels {
    size_t count;
    __m512 t0, t1, t2, t3;

    QL_AVX512 SmallLevels(const float* levels, size_t c) : count(c) {
        // Masked loads read no further than the levels.
        const auto part = [&](size_t first) QL_AVX512 {
            if (count <= first) return _mm512_setzero_ps();
            const size_t here = std::min<size_t>(count - first, 16);
            return _mm512_maskz_loadu_ps(static_cast<__mmask16>((uint32_t{1} << here) - 1), levels + first);
        };
        t0 = part(0), t1 = part(16), t2 = part(32), t3 = part(48);
    }
    QL_AVX512 __m512 operator()(__m512i code) const {
        if (count <= 16) return _mm512_permutexvar_ps(code, t0);
        if (count <= 32) return _mm512_permutex2var_ps(t0, code, t1);
        return _mm512_mask_blend_ps(_mm512_test_epi32_mask(code, _mm512_set1_epi32(32)),
                                    _mm512_permutex2var_ps(t0, code, t1), _mm512_permutex2var_ps(t2, code, t3));
    }
    // The levels of 64 codes (bytes), sixteen per register in code order.
    QL_AVX512 void of_64(__m512i codes, __m512* out) const {
        for (size_t q = 0; q < 4; ++q) {
            const __m128i sixteen =
                _mm512_castsi512_si128(_mm512_permutexvar_epi8(_mm512_load_si512(quarter_index.at[q]), codes));
            out[q] = (*this)(_mm512_cvtepu8_epi32(sixteen));
        }
    }
};

// 128 or 256 levels as four byte tables (byte p of each level's bits), each looked up like
// the first pass's 256-entry tables. The codes are first put in the order that makes the
// byte and word interleaves below give the floats of codes 16 q .. 16 q + 15 in register q.
struct ByteLevels {
    __m512i table[4][4];
    __m512i order;

    QL_AVX512 ByteLevels(const float* levels, size_t count) {
        // Levels past count are never looked up (codes stay below it): zeros.
        __m512i bits[16];
        for (size_t g = 0; g < 16; ++g) bits[g] = 16 * g < count ? _mm512_loadu_si512(levels + 16 * g) : _mm512_setzero_si512();
        // Byte p of the levels of codes 64 r .. 64 r + 63: two permutes over pairs of
        // registers (index 4 k + p, modulo their 128 bytes), the second giving codes 32 on.
        for (size_t p = 0; p < 4; ++p) {
            alignas(64) uint8_t index[64];
            for (size_t k = 0; k < 64; ++k) index[k] = static_cast<uint8_t>((4 * k + p) % 128);
            const __m512i at = _mm512_load_si512(index);
            for (size_t r = 0; r < 4; ++r) {
                table[p][r] = _mm512_mask_blend_epi8(~__mmask64{0} << 32,
                                                     _mm512_permutex2var_epi8(bits[4 * r], at, bits[4 * r + 1]),
                                                     _mm512_permutex2var_epi8(bits[4 * r + 2], at, bits[4 * r + 3]));
            }
        }
        // Byte 16 L + 4 m + j of the interleaves' input ends up as float 4 L + j of register
        // m, which is to be code 16 m + 4 L + j.
        alignas(64) uint8_t index[64];
        for (size_t lane = 0; lane < 4; ++lane)
            for (size_t m = 0; m < 4; ++m)
                for (size_t j = 0; j < 4; ++j) index[16 * lane + 4 * m + j] = static_cast<uint8_t>(16 * m + 4 * lane + j);
        order = _mm512_load_si512(index);
    }
    QL_AVX512 void of_64(__m512i codes, __m512* out) const {
        const __m512i c = _mm512_permutexvar_epi8(order, codes);
        const __mmask64 high = _mm512_movepi8_mask(c);
        __m512i byte[4];
        for (size_t p = 0; p < 4; ++p) {
            byte[p] = _mm512_mask_blend_epi8(high, _mm512_permutex2var_epi8(table[p][0], c, table[p][1]),
                                             _mm512_permutex2var_epi8(table[p][2], c, table[p][3]));
        }
        const __m512i low01 = _mm512_unpacklo_epi8(byte[0], byte[1]), high01 = _mm512_unpackhi_epi8(byte[0], byte[1]);
        const __m512i low23 = _mm512_unpacklo_epi8(byte[2], byte[3]), high23 = _mm512_unpackhi_epi8(byte[2], byte[3]);
        out[0] = _mm512_castsi512_ps(_mm512_unpacklo_epi16(low01, low23));
        out[1] = _mm512_castsi512_ps(_mm512_unpackhi_epi16(low01, low23));
        out[2] = _mm512_castsi512_ps(_mm512_unpacklo_epi16(high01, high23));
        out[3] = _mm512_castsi512_ps(_mm512_unpackhi_epi16(high01, high23));
    }
};

// out[r] = the score of packed[r], r < R, each record's lanes summing as one record's would.
template <size_t R, class Levels>
QL_AVX512 void dots(const Levels& level_of, const float* levels, uint8_t bits, const uint8_t* const* packed,
                    size_t dim, const float* y, double* out) {
    const Unpacker unpack(bits, dim);
    __m512d sums[R];
    for (size_t r = 0; r < R; ++r) sums[r] = _mm512_setzero_pd();
    const size_t whole = dim / 16 * 16;
    for (size_t i = 0; i < whole; i += 64) {
        __m512 level[R][4];
        for (size_t r = 0; r < R; ++r) level_of.of_64(unpack(packed[r], i / 64), level[r]);
        for (size_t q = 0; q < 4 && i + 16 * q < whole; ++q) {
            const __m512 z = _mm512_loadu_ps(y + i + 16 * q);
            const __m512d z_low = _mm512_cvtps_pd(_mm512_castps512_ps256(z));
            const __m512d z_high = _mm512_cvtps_pd(_mm512_extractf32x8_ps(z, 1));
            for (size_t r = 0; r < R; ++r) {
                sums[r] = _mm512_add_pd(sums[r], _mm512_mul_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(level[r][q])), z_low));
                sums[r] = _mm512_add_pd(sums[r], _mm512_mul_pd(_mm512_cvtps_pd(_mm512_extractf32x8_ps(level[r][q], 1)), z_high));
            }
        }
    }
    for (size_t r = 0; r < R; ++r) {
        compact::EightSums s;
        _mm512_storeu_pd(s.s, sums[r]);
        for (size_t i = whole; i < dim; ++i) {
            s.add(i, double{levels[format::unpack_code(packed[r], bits, i)]} * static_cast<double>(y[i]));
        }
        out[r] = s.total();
    }
}

template <class Levels>
QL_AVX512 void dots_with(const Levels& level_of, const float* levels, uint8_t bits, const uint8_t* const* packed,
                         size_t count, size_t dim, const float* y, double* out) {
    size_t r = 0;
    for (; r + 4 <= count; r += 4) dots<4>(level_of, levels, bits, packed + r, dim, y, out + r);
    for (; r < count; ++r) dots<1>(level_of, levels, bits, packed + r, dim, y, out + r);
}

}  // namespace

QL_AVX512 void compact_dots(const float* levels, uint8_t bits, const uint8_t* const* packed, size_t count, size_t dim,
                            const float* y, double* out) {
    const size_t level_count = size_t{1} << bits;
    if (level_count <= 64) {
        dots_with(SmallLevels(levels, level_count), levels, bits, packed, count, dim, y, out);
    } else {
        dots_with(ByteLevels(levels, level_count), levels, bits, packed, count, dim, y, out);
    }
}

QL_AVX512 double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim, const float* y) {
    double out;
    compact_dots(levels, bits, &packed, 1, dim, y, &out);
    return out;
}

}  // namespace quillane::kernels::avx512
