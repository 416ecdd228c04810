#include "scan.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "../chacha.hpp"

namespace quillane::kernels {

namespace {

float load_f32(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return std::bit_cast<float>(w);  // little-endian host, as the format
}

uint16_t load_u16(const uint8_t* p) {
    uint16_t w;
    std::memcpy(&w, p, 2);
    return w;
}

float score_one(const ScanInputs& in, const uint8_t* code) {
    const CodeLayout& l = in.layout;
    float t = -0.0f;
    for (size_t j = 0; j < l.pairs; ++j) {
        const uint32_t level = std::min<uint32_t>(load_u16(code + l.indices + 2 * j), in.last_level);
        const float r = load_f32(code + l.radii + 4 * j);
        const float y0 = in.cos_levels[level] * r;
        const float y1 = r * in.sin_levels[level];
        t = t + y0 * in.rotated[2 * j];
        t = t + y1 * in.rotated[2 * j + 1];
    }
    const float norm = load_f32(code + l.norm);
    float c = 0.0f;
    if (!(norm < in.norm_epsilon)) {
        float acc = 0.0f;
        for (size_t j = 0; j < l.projections; ++j) {
            const bool set = (code[l.signs + j / 8] >> (j % 8)) & 1u;
            acc = acc + (set ? in.projections[j] : -in.projections[j]);
        }
        c = ((norm * in.sqrt_half_pi) / static_cast<float>(l.projections)) * acc;
    }
    return t + c;
}

}  // namespace

void scan_portable(const ScanInputs& in, const uint8_t* codes, size_t n, float* scores) {
    for (size_t i = 0; i < n; ++i) scores[i] = score_one(in, codes + i * in.layout.stride);
}

#define QL_AVX2 __attribute__((target("avx2")))

namespace {

// Eight codes in eight lanes; every lane runs score_one's operations in its order.
QL_AVX2 void score_eight(const ScanInputs& in, const uint8_t* block, float* out) {
    const CodeLayout& l = in.layout;
    const int s = static_cast<int>(l.stride);
    const __m256i offsets = _mm256_setr_epi32(0, s, 2 * s, 3 * s, 4 * s, 5 * s, 6 * s, 7 * s);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const __m256i last = _mm256_set1_epi32(static_cast<int>(in.last_level));
    __m256 t = _mm256_set1_ps(-0.0f);
    const uint8_t* radii = block + l.radii;
    const uint8_t* indices = block + l.indices;
    for (size_t j = 0; j < l.pairs; ++j) {
        const __m256 r = _mm256_i32gather_ps(reinterpret_cast<const float*>(radii + 4 * j), offsets, 1);
        __m256i level = _mm256_i32gather_epi32(reinterpret_cast<const int*>(indices + 2 * j), offsets, 1);
        level = _mm256_min_epu32(_mm256_and_si256(level, low16), last);
        const __m256 c = _mm256_i32gather_ps(in.cos_levels, level, 4);
        const __m256 sn = _mm256_i32gather_ps(in.sin_levels, level, 4);
        const __m256 y0 = _mm256_mul_ps(c, r);
        const __m256 y1 = _mm256_mul_ps(r, sn);
        t = _mm256_add_ps(t, _mm256_mul_ps(y0, _mm256_set1_ps(in.rotated[2 * j])));
        t = _mm256_add_ps(t, _mm256_mul_ps(y1, _mm256_set1_ps(in.rotated[2 * j + 1])));
    }
    const __m256 norm = _mm256_i32gather_ps(reinterpret_cast<const float*>(block + l.norm), offsets, 1);
    __m256 acc = _mm256_setzero_ps();
    const uint8_t* signs = block + l.signs;
    const __m256i one = _mm256_set1_epi32(1);
    for (size_t b = 0; b * 8 < l.projections; ++b) {
        const __m256i bytes = _mm256_i32gather_epi32(reinterpret_cast<const int*>(signs + b), offsets, 1);
        const size_t count = std::min<size_t>(8, l.projections - 8 * b);
        for (size_t q = 0; q < count; ++q) {
            // A clear bit flips the sign of the projection: exactly -p.
            const __m256i bit = _mm256_and_si256(_mm256_srli_epi32(bytes, static_cast<int>(q)), one);
            const __m256i flip = _mm256_slli_epi32(_mm256_xor_si256(bit, one), 31);
            const __m256 p = _mm256_set1_ps(in.projections[8 * b + q]);
            acc = _mm256_add_ps(acc, _mm256_xor_ps(p, _mm256_castsi256_ps(flip)));
        }
    }
    const __m256 scale = _mm256_div_ps(_mm256_mul_ps(norm, _mm256_set1_ps(in.sqrt_half_pi)),
                                       _mm256_set1_ps(static_cast<float>(l.projections)));
    const __m256 correction = _mm256_mul_ps(scale, acc);
    // norm < epsilon (ordered): the correction is +0.0 and no projection counts.
    const __m256 small = _mm256_cmp_ps(norm, _mm256_set1_ps(in.norm_epsilon), _CMP_LT_OQ);
    const __m256 c = _mm256_blendv_ps(correction, _mm256_setzero_ps(), small);
    _mm256_storeu_ps(out, _mm256_add_ps(t, c));
}

}  // namespace

QL_AVX2 void scan_avx2(const ScanInputs& in, const uint8_t* codes, size_t n, float* scores) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) score_eight(in, codes + i * in.layout.stride, scores + i);
    scan_portable(in, codes + i * in.layout.stride, n - i, scores + i);
}

void scan(const ScanInputs& in, const uint8_t* codes, size_t n, float* scores) {
    static const bool vector = cpu_has_avx2();
    if (vector) {
        scan_avx2(in, codes, n, scores);
    } else {
        scan_portable(in, codes, n, scores);
    }
}

}  // namespace quillane::kernels
