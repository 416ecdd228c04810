// Four ChaCha8 blocks at once: state word i of block k lives in lane k of
// register i, so every lane runs the scalar quarter rounds unchanged.
#include <immintrin.h>

#include "chacha.hpp"
#include "implementations.hpp"

namespace quillane::kernels::avx2 {

namespace {

#define QL_AVX2 __attribute__((target("avx2")))

QL_AVX2 inline __m128i rotl16(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2));
}
QL_AVX2 inline __m128i rotl8(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3));
}
template <int N> QL_AVX2 inline __m128i rotl(__m128i v) {
    return _mm_or_si128(_mm_slli_epi32(v, N), _mm_srli_epi32(v, 32 - N));
}

QL_AVX2 inline void quarter(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    a = _mm_add_epi32(a, b); d = rotl16(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d); b = rotl<12>(_mm_xor_si128(b, c));
    a = _mm_add_epi32(a, b); d = rotl8(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d); b = rotl<7>(_mm_xor_si128(b, c));
}

}  // namespace

QL_AVX2 void chacha8_four_blocks(const ChaChaKey& key, uint64_t counter, uint32_t out[64]) {
    alignas(16) uint32_t lo[4], hi[4];
    for (int k = 0; k < 4; ++k) {
        const uint64_t n = counter + static_cast<uint64_t>(k);
        lo[k] = static_cast<uint32_t>(n);
        hi[k] = static_cast<uint32_t>(n >> 32);
    }
    __m128i in[16];
    in[0] = _mm_set1_epi32(0x61707865);
    in[1] = _mm_set1_epi32(0x3320646E);
    in[2] = _mm_set1_epi32(0x79622D32);
    in[3] = _mm_set1_epi32(0x6B206574);
    for (int i = 0; i < 8; ++i) in[4 + i] = _mm_set1_epi32(static_cast<int>(key[i]));
    in[12] = _mm_load_si128(reinterpret_cast<const __m128i*>(lo));
    in[13] = _mm_load_si128(reinterpret_cast<const __m128i*>(hi));
    in[14] = _mm_setzero_si128();
    in[15] = _mm_setzero_si128();
    __m128i s[16];
    for (int i = 0; i < 16; ++i) s[i] = in[i];
    for (int r = 0; r < 4; ++r) {
        quarter(s[0], s[4], s[8], s[12]);
        quarter(s[1], s[5], s[9], s[13]);
        quarter(s[2], s[6], s[10], s[14]);
        quarter(s[3], s[7], s[11], s[15]);
        quarter(s[0], s[5], s[10], s[15]);
        quarter(s[1], s[6], s[11], s[12]);
        quarter(s[2], s[7], s[8], s[13]);
        quarter(s[3], s[4], s[9], s[14]);
    }
    // Transpose 4x4 word groups so that block k lands in out[16k .. 16k+15].
    for (int g = 0; g < 4; ++g) {
        __m128i a = _mm_add_epi32(s[4 * g + 0], in[4 * g + 0]);
        __m128i b = _mm_add_epi32(s[4 * g + 1], in[4 * g + 1]);
        __m128i c = _mm_add_epi32(s[4 * g + 2], in[4 * g + 2]);
        __m128i d = _mm_add_epi32(s[4 * g + 3], in[4 * g + 3]);
        __m128i ab_lo = _mm_unpacklo_epi32(a, b), ab_hi = _mm_unpackhi_epi32(a, b);
        __m128i cd_lo = _mm_unpacklo_epi32(c, d), cd_hi = _mm_unpackhi_epi32(c, d);
        __m128i blk0 = _mm_unpacklo_epi64(ab_lo, cd_lo), blk1 = _mm_unpackhi_epi64(ab_lo, cd_lo);
        __m128i blk2 = _mm_unpacklo_epi64(ab_hi, cd_hi), blk3 = _mm_unpackhi_epi64(ab_hi, cd_hi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 * 16 + 4 * g), blk0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1 * 16 + 4 * g), blk1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * 16 + 4 * g), blk2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * 16 + 4 * g), blk3);
    }
}

}  // namespace quillane::kernels::avx2
