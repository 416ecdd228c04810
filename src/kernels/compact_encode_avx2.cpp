// The compact rotation in AVX2 lanes: butterflies of half-width 1, 2 and 4 inside a
// register (partner by shuffle, then a + b or a - b by lane), wider ones across
// registers, two half-widths per pass; sign flips as sign-bit masks, done as the values
// are loaded. Blocks under 8 values take the plain loop.
#include <immintrin.h>

#include <cstring>
#include <limits>

#include "compact/hadamard.hpp"
#include "compact_encode.hpp"
#include "implementations.hpp"

namespace quillane::kernels::avx2 {

namespace {

#define QL_AVX2 __attribute__((target("avx2")))

// Lanes in `upper` hold the second element of their butterfly: they take partner - self
// (a - b with a the partner); the others self + partner (a + b).
QL_AVX2 inline __m256 butterfly(__m256 x, __m256 partner, int upper) {
    const __m256 sum = _mm256_add_ps(x, partner);
    const __m256 difference = _mm256_sub_ps(partner, x);
    switch (upper) {
        case 0xAA: return _mm256_blend_ps(sum, difference, 0xAA);
        case 0xCC: return _mm256_blend_ps(sum, difference, 0xCC);
        default: return _mm256_blend_ps(sum, difference, 0xF0);
    }
}

// The sign-bit mask that flips v[i, i + 8) where round `signs` says so (i a multiple of 8).
QL_AVX2 inline __m256 flip_mask(const uint64_t* signs, size_t i) {
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const int byte = static_cast<int>((signs[i / 64] >> (i % 64)) & 0xFFu);
    const __m256i set = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(byte), bit), bit);
    return _mm256_castsi256_ps(_mm256_slli_epi32(set, 31));
}

QL_AVX2 inline __m256 load(const float* v, size_t i, const uint64_t* signs) {
    const __m256 x = _mm256_loadu_ps(v + i);
    return signs ? _mm256_xor_ps(x, flip_mask(signs, i)) : x;
}

// Half-widths 1, 2 and 4 inside one register.
QL_AVX2 inline __m256 within_register(__m256 x) {
    x = butterfly(x, _mm256_permute_ps(x, 0xB1), 0xAA);                  // h = 1
    x = butterfly(x, _mm256_permute_ps(x, 0x4E), 0xCC);                  // h = 2
    return butterfly(x, _mm256_permute2f128_ps(x, x, 0x01), 0xF0);       // h = 4
}

// Half-widths h and 2h over the four registers at v + j + {0, h, 2h, 3h}; the last pass
// of a block also scales (the same product, done before the store instead of after).
QL_AVX2 inline void four(float* v, size_t j, size_t h, __m256 a, __m256 b, __m256 c, __m256 d, bool scaled,
                         __m256 k) {
    const __m256 ab = _mm256_add_ps(a, b), a_b = _mm256_sub_ps(a, b);
    const __m256 cd = _mm256_add_ps(c, d), c_d = _mm256_sub_ps(c, d);
    __m256 w = _mm256_add_ps(ab, cd), x = _mm256_add_ps(a_b, c_d);
    __m256 y = _mm256_sub_ps(ab, cd), z = _mm256_sub_ps(a_b, c_d);
    if (scaled) {
        w = _mm256_mul_ps(w, k), x = _mm256_mul_ps(x, k);
        y = _mm256_mul_ps(y, k), z = _mm256_mul_ps(z, k);
    }
    _mm256_storeu_ps(v + j, w);
    _mm256_storeu_ps(v + j + h, x);
    _mm256_storeu_ps(v + j + 2 * h, y);
    _mm256_storeu_ps(v + j + 3 * h, z);
}

// The normalised transform of v[0, p), its values first sign-flipped by `signs` when
// given. Each element sees the plain loop's operations in its order, in fewer passes
// over memory: the first pass does half-widths 1 to 16, then two half-widths a pass.
QL_AVX2 void block(float* v, size_t p, float scale, const uint64_t* signs) {
    const __m256 k = _mm256_set1_ps(scale);
    size_t h = 8;  // the half-width the remaining passes start from
    if (p < 32) {  // 8 or 16 values; a block of 8 is done in its register, scaling too
        for (size_t j = 0; j < p; j += 8) {
            const __m256 x = within_register(load(v, j, signs));
            _mm256_storeu_ps(v + j, p == 8 ? _mm256_mul_ps(x, k) : x);
        }
    } else {
        for (size_t i = 0; i < p; i += 32) {
            four(v, i, 8, within_register(load(v, i, signs)), within_register(load(v, i + 8, signs)),
                 within_register(load(v, i + 16, signs)), within_register(load(v, i + 24, signs)), p == 32, k);
        }
        for (h = 32; 4 * h <= p; h *= 4) {
            for (size_t i = 0; i < p; i += 4 * h) {
                for (size_t j = i; j < i + h; j += 8) {
                    four(v, j, h, _mm256_loadu_ps(v + j), _mm256_loadu_ps(v + j + h), _mm256_loadu_ps(v + j + 2 * h),
                         _mm256_loadu_ps(v + j + 3 * h), 4 * h == p, k);
                }
            }
        }
    }
    if (h < p) {  // one half-width left, with the scaling in the same pass
        for (size_t j = 0; j < h; j += 8) {
            const __m256 a = _mm256_loadu_ps(v + j), b = _mm256_loadu_ps(v + j + h);
            _mm256_storeu_ps(v + j, _mm256_mul_ps(_mm256_add_ps(a, b), k));
            _mm256_storeu_ps(v + j + h, _mm256_mul_ps(_mm256_sub_ps(a, b), k));
        }
    }
}

// Flips v[first, dim) where `signs` says so (first a multiple of 8).
QL_AVX2 void flip(const uint64_t* signs, float* v, size_t first, size_t dim) {
    size_t i = first;
    for (; i + 8 <= dim; i += 8) _mm256_storeu_ps(v + i, load(v, i, signs));
    for (; i < dim; ++i) {
        if ((signs[i / 64] >> (i % 64)) & 1u) v[i] = -v[i];
    }
}

// Sixteen floats in two registers, looked up for eight indices (0 to 15) at once: bit 3
// of an index, moved to the sign bit, picks the upper register.
struct Table16 {
    __m256 low, high;
};

QL_AVX2 inline Table16 table16(const float* values, uint32_t count, float fill) {
    alignas(32) float table[16];
    for (uint32_t j = 0; j < 16; ++j) table[j] = j < count ? values[j] : fill;
    return {_mm256_load_ps(table), _mm256_load_ps(table + 8)};
}

QL_AVX2 inline __m256 look_up(const Table16& t, __m256i index) {
    return _mm256_blendv_ps(_mm256_permutevar8x32_ps(t.low, index), _mm256_permutevar8x32_ps(t.high, index),
                            _mm256_castsi256_ps(_mm256_slli_epi32(index, 28)));
}

}  // namespace

QL_AVX2 void hadamard_rotate(const HadamardPlan& plan, float* v, bool forward) {
    if (plan.block < 8) {
        portable::hadamard_rotate(plan, v, forward);
        return;
    }
    const bool two = plan.block < plan.dim;
    float* tail = v + (plan.dim - plan.block);
    if (forward) {
        // The first block flips its own values as it loads them; the rest are flipped
        // before the tail block reads them (the first block never touches them).
        for (int r = 0; r < plan.rounds; ++r) {
            const uint64_t* signs = plan.sign_words + r * plan.words_per_round;
            block(v, plan.block, plan.scale, signs);
            flip(signs, v, plan.block, plan.dim);
            if (two) block(tail, plan.block, plan.scale, nullptr);
        }
    } else {
        for (int r = plan.rounds - 1; r >= 0; --r) {
            if (two) block(tail, plan.block, plan.scale, nullptr);
            block(v, plan.block, plan.scale, nullptr);
            flip(plan.sign_words + r * plan.words_per_round, v, 0, plan.dim);
        }
    }
}

// Up to 15 boundaries (4 bits), eight coordinates at once in float32: z rounded to float
// is monotonic in z and every boundary is a float, so b < f32(z) implies b < z, and
// b >= f32(z) implies b >= z unless b == f32(z). The count of boundaries below f32(z) is
// therefore exact unless the first boundary not below it equals it; such rare groups
// take the plain loop in double. Wider codes take the portable bisection.
QL_AVX2 void compact_cells(const float* boundaries, uint32_t count, const float* y, double k,
                           size_t dim, uint8_t* codes) {
    if (count > 15) {
        portable::compact_cells(boundaries, count, y, k, dim, codes);
        return;
    }
    // The boundaries, then +inf, which no finite f32(z) equals.
    const Table16 table = table16(boundaries, count, std::numeric_limits<float>::infinity());
    __m256 b[15];
    for (uint32_t j = 0; j < count; ++j) b[j] = _mm256_set1_ps(boundaries[j]);
    const __m256d scale = _mm256_set1_pd(k);
    size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
        const __m128 z0 = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(y + i)), scale));
        const __m128 z1 = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(y + i + 4)), scale));
        const __m256 z = _mm256_set_m128(z1, z0);
        __m256i cell = _mm256_setzero_si256();
        for (uint32_t j = 0; j < count; ++j) {
            // Each true comparison is all ones, -1: subtracting it counts the boundary.
            cell = _mm256_sub_epi32(cell, _mm256_castps_si256(_mm256_cmp_ps(z, b[j], _CMP_GT_OQ)));
        }
        const __m256 next = look_up(table, cell);  // the first boundary not below f32(z)
        if (_mm256_movemask_ps(_mm256_cmp_ps(next, z, _CMP_EQ_OQ)) != 0) {
            portable::compact_cells(boundaries, count, y + i, k, 8, codes + i);
            continue;
        }
        const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(cell, cell), _mm256_setzero_si256());  // cells < 16: exact
        const uint32_t first = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(bytes)));
        const uint32_t second = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1)));
        std::memcpy(codes + i, &first, 4);
        std::memcpy(codes + i + 4, &second, 4);
    }
    portable::compact_cells(boundaries, count, y + i, k, dim - i, codes + i);
}

// Up to 16 levels (4 bits): eight codes at a time, each level looked up in registers;
// lanes 0-3 and 4-7 of the eight sums in two registers each. Wider codes take the plain loop.
QL_AVX2 void compact_code_sums(const float* levels, uint32_t count, const uint8_t* codes, const float* y,
                               size_t dim, double* dot, double* energy) {
    if (count > 16) {
        portable::compact_code_sums(levels, count, codes, y, dim, dot, energy);
        return;
    }
    const Table16 table = table16(levels, count, 0.0f);
    __m256d dot0 = _mm256_loadu_pd(dot), dot1 = _mm256_loadu_pd(dot + 4);
    __m256d energy0 = _mm256_loadu_pd(energy), energy1 = _mm256_loadu_pd(energy + 4);
    size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
        const __m256i code = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + i)));
        const __m256 level = look_up(table, code);
        const __m256d level0 = _mm256_cvtps_pd(_mm256_castps256_ps128(level));
        const __m256d level1 = _mm256_cvtps_pd(_mm256_extractf128_ps(level, 1));
        dot0 = _mm256_add_pd(dot0, _mm256_mul_pd(level0, _mm256_cvtps_pd(_mm_loadu_ps(y + i))));
        dot1 = _mm256_add_pd(dot1, _mm256_mul_pd(level1, _mm256_cvtps_pd(_mm_loadu_ps(y + i + 4))));
        energy0 = _mm256_add_pd(energy0, _mm256_mul_pd(level0, level0));
        energy1 = _mm256_add_pd(energy1, _mm256_mul_pd(level1, level1));
    }
    _mm256_storeu_pd(dot, dot0), _mm256_storeu_pd(dot + 4, dot1);
    _mm256_storeu_pd(energy, energy0), _mm256_storeu_pd(energy + 4, energy1);
    portable::compact_code_sums(levels, count, codes + i, y + i, dim - i, dot, energy);  // i % 8 == 0: same lanes
}

}  // namespace quillane::kernels::avx2
