// The two-stage scan with eight codes in eight AVX2 lanes, each group of codes read
// once for all the queries of a call.
#include <immintrin.h>

#include <algorithm>
#include <vector>

#include "estimate.hpp"
#include "format/bytes.hpp"
#include "implementations.hpp"
#include "turbo_scan.hpp"

namespace quillane::kernels::avx2 {

#define QL_AVX2 __attribute__((target("avx2")))

namespace {

// Rows are eight codes' values for eight consecutive pairs; afterwards row q holds
// pair q of all eight codes, code l in lane l.
QL_AVX2 inline void transpose8(__m256* r) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// The same for eight codes' 16-bit angle indices.
QL_AVX2 inline void transpose8x16(__m128i* x) {
    const __m128i a0 = _mm_unpacklo_epi16(x[0], x[1]), a1 = _mm_unpackhi_epi16(x[0], x[1]);
    const __m128i a2 = _mm_unpacklo_epi16(x[2], x[3]), a3 = _mm_unpackhi_epi16(x[2], x[3]);
    const __m128i a4 = _mm_unpacklo_epi16(x[4], x[5]), a5 = _mm_unpackhi_epi16(x[4], x[5]);
    const __m128i a6 = _mm_unpacklo_epi16(x[6], x[7]), a7 = _mm_unpackhi_epi16(x[6], x[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    x[0] = _mm_unpacklo_epi64(b0, b4);
    x[1] = _mm_unpackhi_epi64(b0, b4);
    x[2] = _mm_unpacklo_epi64(b1, b5);
    x[3] = _mm_unpackhi_epi64(b1, b5);
    x[4] = _mm_unpacklo_epi64(b2, b6);
    x[5] = _mm_unpackhi_epi64(b2, b6);
    x[6] = _mm_unpacklo_epi64(b3, b7);
    x[7] = _mm_unpackhi_epi64(b3, b7);
}

// cosf and sinf of the levels: a window of up to 8 or 16 levels from registers,
// any level from memory otherwise.
enum class Lookup { Window8, Window16, Memory };

struct LevelTables {
    __m256i base;
    __m256 cos_lo, cos_hi, sin_lo, sin_hi;
    const float* cos;
    const float* sin;
};

template <Lookup L>
QL_AVX2 inline void lookup(const LevelTables& t, __m256i level, __m256& c, __m256& s) {
    if constexpr (L == Lookup::Memory) {
        c = _mm256_i32gather_ps(t.cos, level, 4);
        s = _mm256_i32gather_ps(t.sin, level, 4);
    } else {
        const __m256i slot = _mm256_sub_epi32(level, t.base);
        if constexpr (L == Lookup::Window8) {
            c = _mm256_permutevar8x32_ps(t.cos_lo, slot);
            s = _mm256_permutevar8x32_ps(t.sin_lo, slot);
        } else {
            const __m256 high = _mm256_castsi256_ps(_mm256_slli_epi32(slot, 28));  // bit 3
            c = _mm256_blendv_ps(_mm256_permutevar8x32_ps(t.cos_lo, slot),
                                 _mm256_permutevar8x32_ps(t.cos_hi, slot), high);
            s = _mm256_blendv_ps(_mm256_permutevar8x32_ps(t.sin_lo, slot),
                                 _mm256_permutevar8x32_ps(t.sin_hi, slot), high);
        }
    }
}

// What eight codes in eight lanes give independently of the query: per pair the level's
// cosine times the radius and the radius times its sine (score_one's y0 and y1), per
// projection the sign flip of a clear bit, and the norms.
struct GroupTerms {
    std::vector<float> cos_r, r_sin;  // 8 lanes per pair
    std::vector<uint32_t> flips;      // 8 lanes per projection
    alignas(32) float norms[8];

    explicit GroupTerms(const format::TurboLayout& l)
        : cos_r(8 * l.pairs()), r_sin(8 * l.pairs()), flips(8 * l.projections()) {}
};

template <Lookup L>
QL_AVX2 inline void keep(const LevelTables& tables, GroupTerms& terms, size_t pair, __m256i level, __m256 r) {
    __m256 c, sn;
    lookup<L>(tables, level, c, sn);
    _mm256_storeu_ps(terms.cos_r.data() + 8 * pair, _mm256_mul_ps(c, r));
    _mm256_storeu_ps(terms.r_sin.data() + 8 * pair, _mm256_mul_ps(r, sn));
}

template <Lookup L>
QL_AVX2 void prepare_group(const TurboScanInputs& in, const LevelTables& tables, const uint8_t* group,
                           GroupTerms& terms) {
    const format::TurboLayout& l = in.layout;
    const size_t stride = l.size();
    const size_t radii = l.radius(0), indices = l.index(0);
    const int s = static_cast<int>(stride);
    const __m256i offsets = _mm256_setr_epi32(0, s, 2 * s, 3 * s, 4 * s, 5 * s, 6 * s, 7 * s);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const __m256i last = _mm256_set1_epi32(static_cast<int>(in.last_level));
    size_t j = 0;
    for (; j + 8 <= l.pairs(); j += 8) {
        __m256 r[8];
        __m128i ix[8];
        for (int e = 0; e < 8; ++e) {
            const uint8_t* code = group + e * stride;
            // The next group's codes at the same place.
            const uint8_t* ahead = code + 8 * stride;
            _mm_prefetch(reinterpret_cast<const char*>(ahead + radii + 4 * j), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(ahead + indices + 2 * j), _MM_HINT_T0);
            r[e] = _mm256_loadu_ps(reinterpret_cast<const float*>(code + radii + 4 * j));
            ix[e] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(code + indices + 2 * j));
        }
        transpose8(r);
        transpose8x16(ix);
        for (int q = 0; q < 8; ++q) keep<L>(tables, terms, j + q, _mm256_min_epu32(_mm256_cvtepu16_epi32(ix[q]), last), r[q]);
    }
    for (; j < l.pairs(); ++j) {
        const __m256 r = _mm256_i32gather_ps(reinterpret_cast<const float*>(group + radii + 4 * j), offsets, 1);
        const __m256i level = _mm256_i32gather_epi32(reinterpret_cast<const int*>(group + indices + 2 * j), offsets, 1);
        keep<L>(tables, terms, j, _mm256_min_epu32(_mm256_and_si256(level, low16), last), r);
    }
    const __m256i sign_bit = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    const size_t m = l.projections();
    for (size_t byte = 0; byte * 8 < m; ++byte) {
        const __m256i sign_bytes = _mm256_i32gather_epi32(reinterpret_cast<const int*>(group + l.signs() + byte), offsets, 1);
        const size_t count = std::min<size_t>(8, m - 8 * byte);
        for (size_t q = 0; q < count; ++q) {
            // Bit q moved to the sign position; a clear bit flips the sign: exactly -p.
            const __m256i at_sign = _mm256_sll_epi32(sign_bytes, _mm_cvtsi32_si128(static_cast<int>(31 - q)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(terms.flips.data() + 8 * (8 * byte + q)),
                                _mm256_andnot_si256(at_sign, sign_bit));
        }
    }
    for (int e = 0; e < 8; ++e) terms.norms[e] = bytes::load_f32(group + e * stride + l.norm());
}

// Each lane runs score_one's operations in its order for Q queries at once (their
// sequential add chains overlap); scores go to queries[q].scores[first + lane].
template <int Q>
QL_AVX2 void score_group(const TurboScanInputs& in, const GroupTerms& terms,
                         const TurboScanQuery* queries, size_t first) {
    const format::TurboLayout& l = in.layout;
    __m256 t[Q], acc[Q];
    for (int k = 0; k < Q; ++k) t[k] = _mm256_set1_ps(-0.0f);
    for (size_t j = 0; j < l.pairs(); ++j) {
        const __m256 cos_r = _mm256_loadu_ps(terms.cos_r.data() + 8 * j);
        const __m256 r_sin = _mm256_loadu_ps(terms.r_sin.data() + 8 * j);
        for (int k = 0; k < Q; ++k) {
            t[k] = _mm256_add_ps(t[k], _mm256_mul_ps(cos_r, _mm256_broadcast_ss(&queries[k].rotated[2 * j])));
            t[k] = _mm256_add_ps(t[k], _mm256_mul_ps(r_sin, _mm256_broadcast_ss(&queries[k].rotated[2 * j + 1])));
        }
    }
    for (int k = 0; k < Q; ++k) acc[k] = _mm256_setzero_ps();
    for (size_t j = 0; j < l.projections(); ++j) {
        const __m256 flip = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(terms.flips.data() + 8 * j)));
        for (int k = 0; k < Q; ++k) {
            acc[k] = _mm256_add_ps(acc[k], _mm256_xor_ps(_mm256_broadcast_ss(&queries[k].projections[j]), flip));
        }
    }
    for (int k = 0; k < Q; ++k) {
        alignas(32) float polar[8], sums[8];
        _mm256_store_ps(polar, t[k]);
        _mm256_store_ps(sums, acc[k]);
        for (int e = 0; e < 8; ++e) {
            queries[k].scores[first + e] = turbo_estimate(polar[e], terms.norms[e], sums[e], l.projections());
        }
    }
}

QL_AVX2 LevelTables make_tables(const TurboScanInputs& in) {
    LevelTables t{};
    t.cos = in.cos_levels;
    t.sin = in.sin_levels;
    const uint32_t base = in.window.lowest;
    t.base = _mm256_set1_epi32(static_cast<int>(base));
    float cos16[16], sin16[16];
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t level = std::min(base + i, in.last_level);
        cos16[i] = in.cos_levels[level];
        sin16[i] = in.sin_levels[level];
    }
    t.cos_lo = _mm256_loadu_ps(cos16);
    t.cos_hi = _mm256_loadu_ps(cos16 + 8);
    t.sin_lo = _mm256_loadu_ps(sin16);
    t.sin_hi = _mm256_loadu_ps(sin16 + 8);
    return t;
}

template <Lookup L>
QL_AVX2 void scan_with(const TurboScanInputs& in, const TurboScanQuery* queries, size_t count,
                       const uint8_t* codes, size_t n) {
    const LevelTables tables = make_tables(in);
    const size_t stride = in.layout.size();
    GroupTerms terms(in.layout);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        prepare_group<L>(in, tables, codes + i * stride, terms);
        size_t q = 0;
        for (; q + 4 <= count; q += 4) score_group<4>(in, terms, queries + q, i);
        for (; q < count; ++q) score_group<1>(in, terms, queries + q, i);
    }
    if (i == n) return;
    std::vector<TurboScanQuery> tail(queries, queries + count);
    for (TurboScanQuery& t : tail) t.scores += i;
    portable::turbo_scan(in, tail.data(), count, codes + i * stride, n - i);
}

}  // namespace

QL_AVX2 void turbo_scan(const TurboScanInputs& in, const TurboScanQuery* queries, size_t count,
                        const uint8_t* codes, size_t n) {
    const bool window = in.window.lowest <= in.window.highest;
    const uint32_t width = window ? in.window.highest - in.window.lowest + 1 : 0;
    if (window && width <= 8) {
        scan_with<Lookup::Window8>(in, queries, count, codes, n);
    } else if (window && width <= 16) {
        scan_with<Lookup::Window16>(in, queries, count, codes, n);
    } else {
        scan_with<Lookup::Memory>(in, queries, count, codes, n);
    }
}

}  // namespace quillane::kernels::avx2
