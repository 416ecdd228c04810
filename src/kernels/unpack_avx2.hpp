// AVX2 helpers shared by the compact kernels: the codes of eight coordinates in lanes.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillane::kernels::avx2 {

// The codes of coordinates 8 g .. 8 g + 7 as int32 lanes: their B bytes (only those: the
// code may end there) read as one word, each lane shifted down by B times its number.
template <int B>
struct EightCodes {
    __m256i shifts, mask;
    __attribute__((target("avx2"))) EightCodes()
        : shifts(_mm256_setr_epi64x(0, B, 2 * B, 3 * B)), mask(_mm256_set1_epi32((1 << B) - 1)) {}
    // Bytes 0 .. B - 1 as a little-endian word, by whole loads: a copy of B bytes into a
    // word would be stores that its reading could not forward from.
    static uint64_t little_endian(const uint8_t* p) {
        constexpr int four = B >= 4 ? 4 : 0, two = B % 4 >= 2 ? 2 : 0;
        uint64_t w = 0;
        if constexpr (four) {
            uint32_t v;
            std::memcpy(&v, p, 4);
            w = v;
        }
        if constexpr (two) {
            uint16_t v;
            std::memcpy(&v, p + four, 2);
            w |= uint64_t{v} << (8 * four);
        }
        if constexpr (B % 2) w |= uint64_t{p[four + two]} << (8 * (four + two));
        return w;
    }
    __attribute__((target("avx2"))) __m256i operator()(const uint8_t* packed, size_t g) const {
        const uint64_t word = little_endian(packed + g * B);
        if constexpr (B <= 4) {
            // Lane k shifted by B k within 32 bits.
            const __m256i by = _mm256_setr_epi32(0, B, 2 * B, 3 * B, 4 * B, 5 * B, 6 * B, 7 * B);
            return _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(word)), by), mask);
        } else {
            // Up to 56 bits: codes 0-3 and 4-7 shifted in 64-bit lanes, their low halves joined.
            const __m256i all = _mm256_set1_epi64x(static_cast<long long>(word));
            const __m256i first = _mm256_srlv_epi64(all, shifts);
            const __m256i second = _mm256_srlv_epi64(all, _mm256_add_epi64(shifts, _mm256_set1_epi64x(4 * B)));
            const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
            const __m256i joined = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(first, low_halves),
                                                      _mm256_permutevar8x32_epi32(second, low_halves), 0xF0);
            return _mm256_and_si256(joined, mask);
        }
    }
};

}  // namespace quillane::kernels::avx2
