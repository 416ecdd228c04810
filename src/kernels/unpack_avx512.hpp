// AVX-512 helpers shared by the compact kernels: masks of leading bytes, and the unpacking
// of packed codes to one code per byte.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

// GCC 12's AVX-512 headers start some intrinsics from an undefined register, which its
// uninitialised-value warnings report at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define QL_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,avx512vnni")))

namespace quillane::kernels::avx512 {

// Bytes i < count set (count <= 64).
inline __mmask64 first_bytes(size_t count) {
    return count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
}

// Codes of 1 to 8 bits, 64 per step, as bytes: 8 codes of b bits are b whole
// bytes (code 8g starts at byte g b), so each 64-bit lane takes its group's bytes (a byte
// permute) and a multishift moves code t of the lane to byte t. Bytes past the code read
// as zeros (a masked load): their codes are 0, where the query is zero.
struct Unpacker {
    __m512i spread, shifts, low;
    size_t bits, last;     // the last step of 64 codes
    __mmask64 whole, tail;  // the bytes a step reads: 8 bits of them, fewer at the last

    QL_AVX512 Unpacker(size_t b, size_t dim) : bits(b), last((dim + 63) / 64 - 1) {
        alignas(64) uint8_t spread_index[64], shift_of[64];
        for (size_t q = 0; q < 8; ++q) {
            for (size_t t = 0; t < 8; ++t) {
                spread_index[8 * q + t] = static_cast<uint8_t>(q * b + t);
                shift_of[8 * q + t] = static_cast<uint8_t>(t * b);
            }
        }
        spread = _mm512_load_si512(spread_index);
        shifts = _mm512_load_si512(shift_of);
        low = _mm512_set1_epi8(static_cast<char>((1u << b) - 1));
        whole = first_bytes(8 * b);
        tail = first_bytes((dim * b + 7) / 8 - 8 * b * last);
    }
    QL_AVX512 __m512i bytes(const uint8_t* packed, size_t s) const {
        return _mm512_maskz_loadu_epi8(s == last ? tail : whole, packed + 8 * s * bits);
    }
    QL_AVX512 __m512i operator()(const uint8_t* packed, size_t s) const {
        if (bits == 8) return bytes(packed, s);  // already one code per byte
        return _mm512_and_si512(raw(bytes(packed, s)), low);
    }
    // Byte t holds code t in its low `bits` bits and the bits of the codes after it above.
    QL_AVX512 __m512i raw(const uint8_t* packed, size_t s) const { return raw(bytes(packed, s)); }
    QL_AVX512 __m512i raw(__m512i codes) const {
        return _mm512_multishift_epi64_epi8(shifts, _mm512_permutexvar_epi8(spread, codes));
    }
};

}  // namespace quillane::kernels::avx512
