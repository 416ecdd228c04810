// The compact rotation in AVX2 lanes: butterflies of half-width 1, 2 and 4 inside a
// register (partner by shuffle, then a + b or a - b by lane), wider ones across
// registers; sign flips as sign-bit masks. Blocks under 8 values take the plain loop.
#include <immintrin.h>

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

QL_AVX2 void block(float* v, size_t p, float scale) {
    for (size_t j = 0; j < p; j += 8) {
        __m256 x = _mm256_loadu_ps(v + j);
        x = butterfly(x, _mm256_permute_ps(x, 0xB1), 0xAA);                  // h = 1
        x = butterfly(x, _mm256_permute_ps(x, 0x4E), 0xCC);                  // h = 2
        x = butterfly(x, _mm256_permute2f128_ps(x, x, 0x01), 0xF0);          // h = 4
        _mm256_storeu_ps(v + j, x);
    }
    // Half-widths h and 2h in one pass over four registers: the same butterflies.
    size_t h = 8;
    for (; 4 * h <= p; h *= 4) {
        for (size_t i = 0; i < p; i += 4 * h) {
            for (size_t j = i; j < i + h; j += 8) {
                const __m256 a = _mm256_loadu_ps(v + j), b = _mm256_loadu_ps(v + j + h);
                const __m256 c = _mm256_loadu_ps(v + j + 2 * h), d = _mm256_loadu_ps(v + j + 3 * h);
                const __m256 ab = _mm256_add_ps(a, b), a_b = _mm256_sub_ps(a, b);
                const __m256 cd = _mm256_add_ps(c, d), c_d = _mm256_sub_ps(c, d);
                _mm256_storeu_ps(v + j, _mm256_add_ps(ab, cd));
                _mm256_storeu_ps(v + j + h, _mm256_add_ps(a_b, c_d));
                _mm256_storeu_ps(v + j + 2 * h, _mm256_sub_ps(ab, cd));
                _mm256_storeu_ps(v + j + 3 * h, _mm256_sub_ps(a_b, c_d));
            }
        }
    }
    const __m256 k = _mm256_set1_ps(scale);
    if (h < p) {  // one half-width left, with the scaling in the same pass
        for (size_t j = 0; j < h; j += 8) {
            const __m256 a = _mm256_loadu_ps(v + j), b = _mm256_loadu_ps(v + j + h);
            _mm256_storeu_ps(v + j, _mm256_mul_ps(_mm256_add_ps(a, b), k));
            _mm256_storeu_ps(v + j + h, _mm256_mul_ps(_mm256_sub_ps(a, b), k));
        }
        return;
    }
    for (size_t j = 0; j < p; j += 8) _mm256_storeu_ps(v + j, _mm256_mul_ps(_mm256_loadu_ps(v + j), k));
}

QL_AVX2 void flip(const HadamardPlan& plan, float* v, int round) {
    const uint64_t* signs = plan.sign_words + round * plan.words_per_round;
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    size_t i = 0;
    for (; i + 8 <= plan.dim; i += 8) {
        const int byte = static_cast<int>((signs[i / 64] >> (i % 64)) & 0xFFu);
        const __m256i set = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(byte), bit), bit);
        const __m256i mask = _mm256_slli_epi32(set, 31);  // the sign bit where the bit is set
        _mm256_storeu_ps(v + i, _mm256_xor_ps(_mm256_loadu_ps(v + i), _mm256_castsi256_ps(mask)));
    }
    for (; i < plan.dim; ++i) {
        if ((signs[i / 64] >> (i % 64)) & 1u) v[i] = -v[i];
    }
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
        for (int r = 0; r < plan.rounds; ++r) {
            flip(plan, v, r);
            block(v, plan.block, plan.scale);
            if (two) block(tail, plan.block, plan.scale);
        }
    } else {
        for (int r = plan.rounds - 1; r >= 0; --r) {
            if (two) block(tail, plan.block, plan.scale);
            block(v, plan.block, plan.scale);
            flip(plan, v, r);
        }
    }
}

// Up to 15 boundaries (4 bits): every boundary against four coordinates at once, the
// count of those below; wider codes take the portable bisection.
QL_AVX2 void compact_cells(const float* boundaries, uint32_t count, const float* y, double k,
                           size_t dim, uint8_t* codes) {
    if (count > 15) {
        portable::compact_cells(boundaries, count, y, k, dim, codes);
        return;
    }
    __m256d b[15];
    for (uint32_t j = 0; j < count; ++j) b[j] = _mm256_set1_pd(boundaries[j]);
    const __m256d scale = _mm256_set1_pd(k);
    size_t i = 0;
    for (; i + 4 <= dim; i += 4) {
        const __m256d z = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(y + i)), scale);
        __m256i cell = _mm256_setzero_si256();
        for (uint32_t j = 0; j < count; ++j) {
            // Each true comparison is all ones, -1: subtracting it counts the boundary.
            cell = _mm256_sub_epi64(cell, _mm256_castpd_si256(_mm256_cmp_pd(z, b[j], _CMP_GT_OQ)));
        }
        alignas(32) int64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), cell);
        for (int l = 0; l < 4; ++l) codes[i + l] = static_cast<uint8_t>(lanes[l]);
    }
    portable::compact_cells(boundaries, count, y + i, k, dim - i, codes + i);
}

}  // namespace quillane::kernels::avx2
