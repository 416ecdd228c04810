// The compact first pass in AVX2: 4-bit codes looked up 32 at a time with a byte shuffle,
// multiplied by the int8 query with maddubs (levels' signs moved onto the query); 1- and
// 2-bit codes the same after spreading their bits to bytes; 3-bit codes in 32-bit lanes
// (dword permutes of 8 levels); 8-bit codes by sixteen byte shuffles and a tournament of
// blends; 5, 6 and 7 bits the same after unpacking eight codes at a time in 32-bit lanes.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "compact_bounds.hpp"
#include "compact_scan.hpp"
#include "format/compact_format.hpp"
#include "format/compact_layout.hpp"
#include "implementations.hpp"
#include "unpack_avx2.hpp"

namespace quillane::kernels::avx2 {

namespace {

// Sum of level * q over 32 coordinates as int32 lanes: |level| times q with the level's sign,
// each pair of products at most 2 * 127 * 127 in int16.
__attribute__((target("avx2"))) inline __m256i level_products(__m256i level, const int8_t* query) {
    const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query));
    const __m256i pairs = _mm256_maddubs_epi16(_mm256_abs_epi8(level), _mm256_sign_epi8(q, level));
    return _mm256_madd_epi16(pairs, _mm256_set1_epi16(1));
}

// The same for levels looked up in a 16-entry table (indices below 16, one per byte).
__attribute__((target("avx2"))) inline __m256i looked_up_products(__m256i table, __m256i index,
                                                                   const int8_t* query) {
    return level_products(_mm256_shuffle_epi8(table, index), query);
}

// The same for 16 bytes of 4-bit codes. Byte k holds coordinates 2k (low nibble) and
// 2k + 1 (high nibble): the even coordinates go to the low half, the odd ones to the high
// half, as the query is laid out.
__attribute__((target("avx2"))) inline __m256i products(__m256i table, __m128i bytes,
                                                        const int8_t* query) {
    const __m128i low4 = _mm_set1_epi8(0x0F);
    const __m128i lo = _mm_and_si128(bytes, low4);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(bytes, 4), low4);
    return looked_up_products(table, _mm256_set_m128i(hi, lo), query);
}

// The 32 bytes at p, of which the first `count` (< 32) are read and the rest are zero: the
// last part of a code, where whole loads could read past the arena.
__attribute__((target("avx2"))) inline __m256i zero_padded(const uint8_t* p, size_t count) {
    alignas(32) uint8_t bytes[32] = {};
    std::memcpy(bytes, p, count);
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes));
}

// The first `count` entries of a 16-entry byte table (the rest zero), in both halves, for
// byte-shuffle lookups.
__attribute__((target("avx2"))) __m256i byte_table(const uint8_t* values, int count) {
    alignas(16) uint8_t first16[16] = {};
    for (int c = 0; c < count; ++c) first16[c] = values[c];
    const __m128i half = _mm_load_si128(reinterpret_cast<const __m128i*>(first16));
    return _mm256_set_m128i(half, half);
}

__attribute__((target("avx2"))) __m256i level_table(const int8_t* levels, int count) {
    return byte_table(reinterpret_cast<const uint8_t*>(levels), count);
}

__attribute__((target("avx2"))) int32_t horizontal_sum(__m256i v) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return _mm_cvtsi128_si32(s);
}

__attribute__((target("avx2"))) void scan4(const CompactApproxInputs& in, const uint8_t* records,
                                           size_t n, int32_t* out) {
    const __m256i table = level_table(in.levels, 16);
    const size_t groups = (in.dim + 31) / 32;  // 32 coordinates, 16 bytes each
    // Each group's query: its 16 even coordinates, then its 16 odd ones.
    std::vector<int8_t> query(32 * groups);
    for (size_t g = 0; g < groups; ++g) {
        for (size_t t = 0; t < 16; ++t) {
            query[32 * g + t] = in.query[32 * g + 2 * t];
            query[32 * g + 16 + t] = in.query[32 * g + 2 * t + 1];
        }
    }
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const uint8_t* a = records + i * in.stride;
        const uint8_t* b = a + in.stride;
        __m256i acc_a = _mm256_setzero_si256(), acc_b = _mm256_setzero_si256();
        for (size_t g = 0; g < groups; ++g) {
            const int8_t* q = query.data() + 32 * g;
            acc_a = _mm256_add_epi32(acc_a, products(table, _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * g)), q));
            acc_b = _mm256_add_epi32(acc_b, products(table, _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * g)), q));
        }
        out[i] = horizontal_sum(acc_a);
        out[i + 1] = horizontal_sum(acc_b);
    }
    for (; i < n; ++i) {
        const uint8_t* a = records + i * in.stride;
        __m256i acc = _mm256_setzero_si256();
        for (size_t g = 0; g < groups; ++g) {
            acc = _mm256_add_epi32(acc, products(table, _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * g)), query.data() + 32 * g));
        }
        out[i] = horizontal_sum(acc);
    }
}

// 3-bit codes, 64 at a time: the 24 bytes of 64 codes spread so that each 32-bit lane
// holds the 3 bytes of 8 codes; code t of every lane is shifted down and masked, its
// level looked up among 8 in a register (a dword permute) and multiplied by the query
// value laid out for it (madd: the query's high 16 bits are zero, so the level's sign
// bits there add nothing), sums in int32. Reads go at most 27 bytes past a block's
// start: bytes past the code meet zero query values, and the arena's slack covers the
// last record.
template <int T>
__attribute__((target("avx2"))) inline __m256i plane3(__m256i groups, __m256i levels, const int32_t* query, __m256i acc) {
    const __m256i codes = _mm256_and_si256(_mm256_srli_epi32(groups, 3 * T), _mm256_set1_epi32(7));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_permutevar8x32_epi32(levels, codes),
                                                  _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + 8 * T))));
    if constexpr (T < 7) return plane3<T + 1>(groups, levels, query, acc);
    return acc;
}

__attribute__((target("avx2"))) void scan3(const CompactApproxInputs& in, const uint8_t* records,
                                           size_t n, int32_t* out) {
    alignas(32) int32_t table[8];
    for (int c = 0; c < 8; ++c) table[c] = in.levels[c];
    const __m256i levels = _mm256_load_si256(reinterpret_cast<const __m256i*>(table));
    const size_t blocks = (in.dim + 63) / 64;
    // Code 64 k + 8 g + t meets query[64 k + 8 t + g].
    std::vector<int32_t> query(64 * blocks, 0);
    for (size_t j = 0; j < in.dim; ++j) {
        query[64 * (j / 64) + 8 * (j % 8) + j % 64 / 8] = static_cast<uint16_t>(int16_t{in.query[j]});
    }
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                            0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* packed = records + i * in.stride;
        __m256i acc = _mm256_setzero_si256();
        for (size_t k = 0; k < blocks; ++k) {
            const uint8_t* block = packed + 24 * k;
            const __m256i bytes = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(block + 12),
                                                      reinterpret_cast<const __m128i*>(block));
            acc = plane3<0>(_mm256_shuffle_epi8(bytes, spread), levels, query.data() + 64 * k, acc);
        }
        out[i] = horizontal_sum(acc);
    }
}

// 8-bit codes are whole bytes, 32 at a time. Each byte's level among 256: sixteen in-lane
// byte shuffles (one per high nibble, a 16-entry table looked up by the low nibble), then a
// tournament of 15 byte blends on the high nibble's bits, each moved to its byte's sign bit.
// No gathers, which AMD's processors run slowly. Products as for 4 bits, sums in int32.
template <int B>
struct ByteLevels {
    static constexpr int TABLES = 1 << (B - 4);
    __m256i table[TABLES];

    ByteLevels() = default;
    __attribute__((target("avx2"))) explicit ByteLevels(const int8_t* levels) {
        for (int h = 0; h < TABLES; ++h) table[h] = level_table(levels + 16 * h, 16);
    }
    // Codes of B bits, one per byte (the bits above them clear).
    __attribute__((target("avx2"))) __m256i operator()(__m256i codes) const {
        const __m256i low = _mm256_and_si256(codes, _mm256_set1_epi8(0x0F));
        const __m256i bit4 = _mm256_slli_epi16(codes, 3), bit5 = _mm256_slli_epi16(codes, 2);
        const __m256i bit6 = _mm256_slli_epi16(codes, 1);
        // Depth first, so that few candidates are alive at once (AVX2 has 16 registers).
        const auto one = [&](int h) __attribute__((target("avx2"))) { return _mm256_shuffle_epi8(table[h], low); };
        const auto two = [&](int h) __attribute__((target("avx2"))) {
            return _mm256_blendv_epi8(one(h), one(h + 1), bit4);
        };
        const auto four = [&](int h) __attribute__((target("avx2"))) {
            return _mm256_blendv_epi8(two(h), two(h + 2), bit5);
        };
        const auto eight = [&](int h) __attribute__((target("avx2"))) {
            return _mm256_blendv_epi8(four(h), four(h + 4), bit6);
        };
        if constexpr (B == 5) return two(0);
        if constexpr (B == 6) return four(0);
        if constexpr (B == 7) return eight(0);
        if constexpr (B == 8) return _mm256_blendv_epi8(eight(0), eight(8), codes);
    }
};

__attribute__((target("avx2"))) void scan8(const CompactApproxInputs& in, const uint8_t* records,
                                           size_t n, int32_t* out) {
    const ByteLevels<8> levels(in.levels);
    // Whole blocks of 32 codes read in place; the last part of a code, if any, from a copy
    // padded with zeros (the query is zero past dim up to a multiple of 64).
    const size_t whole = in.dim / 32, rest = in.dim % 32;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* packed = records + i * in.stride;
        __m256i acc = _mm256_setzero_si256();
        for (size_t b = 0; b < whole; ++b) {
            const __m256i codes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(packed + 32 * b));
            acc = _mm256_add_epi32(acc, level_products(levels(codes), in.query + 32 * b));
        }
        if (rest != 0) {
            acc = _mm256_add_epi32(acc, level_products(levels(zero_padded(packed + 32 * whole, rest)),
                                                       in.query + 32 * whole));
        }
        out[i] = horizontal_sum(acc);
    }
}

// 5-, 6- and 7-bit codes, 32 at a time: four groups of eight codes (B whole bytes each)
// shifted apart in 32-bit lanes, packed to bytes (the packs leave group k's codes t and
// t + 4 in the two 128-bit lanes: the query is laid out in that order once per call),
// their levels looked up among 2^B as the 8-bit ones. Reads go at most 27 bytes past a
// code's last byte (a block's four groups of 7 bytes).
template <int B>
__attribute__((target("avx2"))) void scan_wide(const CompactApproxInputs& in, const uint8_t* records, size_t n,
                                               int32_t* out) {
    const ByteLevels<B> levels(in.levels);
    const EightCodes<B> eight;
    const size_t blocks = (in.dim + 31) / 32;
    std::vector<int8_t> query(32 * blocks);
    for (size_t b = 0; b < blocks; ++b) {
        for (size_t at = 0; at < 32; ++at) {
            const size_t group = at % 16 / 4, code = at % 4 + 4 * (at / 16);
            query[32 * b + at] = in.query[32 * b + 8 * group + code];
        }
    }
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* packed = records + i * in.stride;
        __m256i acc = _mm256_setzero_si256();
        for (size_t b = 0; b < blocks; ++b) {
            const __m256i first = _mm256_packus_epi32(eight(packed, 4 * b), eight(packed, 4 * b + 1));
            const __m256i second = _mm256_packus_epi32(eight(packed, 4 * b + 2), eight(packed, 4 * b + 3));
            acc = _mm256_add_epi32(acc, level_products(levels(_mm256_packus_epi16(first, second)), query.data() + 32 * b));
        }
        out[i] = horizontal_sum(acc);
    }
}

// 1- and 2-bit codes: the 4 or 8 bytes of 32 coordinates spread so that lane t holds
// the byte with coordinate t, then its `bits` bits picked out by per-lane masks into a
// level index, looked up as for 4 bits.
template <int BITS> struct SmallCodes {
    static constexpr size_t GROUP_BYTES = 4 * BITS;
    __m256i spread_index, low, high, one, two;

    __attribute__((target("avx2"))) SmallCodes() {
        alignas(32) int8_t spread[32], low_bit[32], high_bit[32];
        for (int t = 0; t < 32; ++t) {
            const int byte = t * BITS / 8, shift = t * BITS % 8;
            spread[t] = static_cast<int8_t>(BITS == 1 ? byte % 2 + (t >= 16 ? 2 : 0) : byte % 4 + (t >= 16 ? 4 : 0));
            low_bit[t] = static_cast<int8_t>(1 << shift);
            high_bit[t] = static_cast<int8_t>(BITS == 2 ? 2 << shift : 0);
        }
        spread_index = _mm256_load_si256(reinterpret_cast<const __m256i*>(spread));
        low = _mm256_load_si256(reinterpret_cast<const __m256i*>(low_bit));
        high = _mm256_load_si256(reinterpret_cast<const __m256i*>(high_bit));
        one = _mm256_set1_epi8(1);
        two = _mm256_set1_epi8(2);
    }

    // The level indices of coordinates 32 g .. 32 g + 31, one per byte.
    __attribute__((target("avx2"))) __m256i indices(const uint8_t* packed, size_t g) const {
        uint64_t word = 0;
        std::memcpy(&word, packed + GROUP_BYTES * g, GROUP_BYTES);
        // The group's bytes in both halves: lanes 0-15 take bytes of coordinates 0-15
        // from the low half, lanes 16-31 bytes of coordinates 16-31 from the high half.
        const __m256i bytes = _mm256_shuffle_epi8(_mm256_set1_epi64x(static_cast<long long>(word)), spread_index);
        __m256i index = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(bytes, low), low), one);
        if constexpr (BITS == 2) {
            index = _mm256_or_si256(index, _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(bytes, high), high), two));
        }
        return index;
    }
};

template <int BITS>
__attribute__((target("avx2"))) void scan_small(const CompactApproxInputs& in,
                                                const uint8_t* records, size_t n, int32_t* out) {
    const __m256i table = level_table(in.levels, 1 << BITS);
    const SmallCodes<BITS> codes;
    const size_t groups = (in.dim + 31) / 32;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* packed = records + i * in.stride;
        __m256i acc = _mm256_setzero_si256();
        for (size_t g = 0; g < groups; ++g) {
            acc = _mm256_add_epi32(acc, looked_up_products(table, codes.indices(packed, g), in.query + 32 * g));
        }
        out[i] = horizontal_sum(acc);
    }
}

// Many queries: each record's levels expanded once to bytes (coordinates in order, past
// dim anything: the query is zero there), stored as level + 64 (at most 127) so that
// maddubs multiplies them by the signed query without a sign step. Two groups' products
// add up in 16 bits before widening: a lane's four query values are within 258 in
// magnitude together (compact_scan.hpp), so its sum is within 127 * 258 < 2^15. The
// 64 * sum(query) added is taken off at the end. Each record's error units are summed
// (sad against zero) while its levels are expanded.
constexpr size_t RECORDS_PER_TILE = 16;

// The many-query pass's expansion of one record: its levels as bytes (level + 64,
// coordinates in order, anything past dim) and the sum of its error units.
class ManyExpander {
public:
    __attribute__((target("avx2"))) explicit ManyExpander(const CompactManyInputs& in);
    // Writes the record's levels to out (whole groups of 32 bytes past dim) and returns
    // its error units.
    __attribute__((target("avx2"))) uint32_t operator()(const uint8_t* packed, uint8_t* out) const;

private:
    __attribute__((target("avx2"))) uint32_t expand4(const uint8_t* packed, uint8_t* out) const;
    __attribute__((target("avx2"))) uint32_t expand8(const uint8_t* packed, uint8_t* out) const;
    template <int BITS>
    __attribute__((target("avx2"))) uint32_t expand_small(const uint8_t* packed, uint8_t* out) const;
    uint32_t expand_any(const uint8_t* packed, uint8_t* out) const;

    CompactManyInputs in_;
    __m256i levels_;  // level + 64, by code (codes of up to 4 bits)
    __m256i units_;   // error units, by code
    ByteLevels<8> levels8_, units8_;  // the same for 8-bit codes
};


__attribute__((target("avx2"))) uint32_t total_of(__m256i sad_sums) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(sad_sums), _mm256_extracti128_si256(sad_sums, 1));
    return static_cast<uint32_t>(_mm_cvtsi128_si64(s) + _mm_extract_epi64(s, 1));
}

}  // namespace

__attribute__((target("avx2"))) ManyExpander::ManyExpander(const CompactManyInputs& in) : in_(in) {
    const int count = in.bits <= 4 ? 1 << in.bits : 0;
    uint8_t offset_levels[16] = {};
    for (int c = 0; c < count; ++c) offset_levels[c] = static_cast<uint8_t>(in.levels[c] + 64);
    levels_ = byte_table(offset_levels, count);
    units_ = byte_table(in.error_units, count);
    if (in.bits == 8) {
        int8_t offset_levels8[256];
        for (int c = 0; c < 256; ++c) offset_levels8[c] = static_cast<int8_t>(in.levels[c] + 64);
        levels8_ = ByteLevels<8>(offset_levels8);
        units8_ = ByteLevels<8>(reinterpret_cast<const int8_t*>(in.error_units));
    }
}

__attribute__((target("avx2"))) uint32_t ManyExpander::operator()(const uint8_t* packed, uint8_t* out) const {
    switch (in_.bits) {
        case 4: return expand4(packed, out);
        case 8: return expand8(packed, out);
        case 2: return expand_small<2>(packed, out);
        case 1: return expand_small<1>(packed, out);
        default: return expand_any(packed, out);
    }
}

__attribute__((target("avx2"))) uint32_t ManyExpander::expand4(const uint8_t* packed, uint8_t* out) const {
    const CompactManyInputs& in = in_;
    const size_t groups = (in.dim + 31) / 32, whole = in.dim / 32;
    const __m256i low4 = _mm256_set1_epi8(0x0F), zero = _mm256_setzero_si256();
    __m256i units = zero;
    size_t g = 0;
    // Two whole groups at a time: byte shuffles work within 16-byte halves, so each half
    // expands its own group and the halves are regrouped at the end.
    for (; g + 2 <= whole; g += 2) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(packed + 16 * g));
        const __m256i lo = _mm256_and_si256(bytes, low4), hi = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low4);
        const __m256i even = _mm256_shuffle_epi8(levels_, lo), odd = _mm256_shuffle_epi8(levels_, hi);
        units = _mm256_add_epi64(units, _mm256_sad_epu8(_mm256_shuffle_epi8(units_, lo), zero));
        units = _mm256_add_epi64(units, _mm256_sad_epu8(_mm256_shuffle_epi8(units_, hi), zero));
        const __m256i first16 = _mm256_unpacklo_epi8(even, odd);  // coordinates 0-15 of g, of g + 1
        const __m256i last16 = _mm256_unpackhi_epi8(even, odd);   // 16-31 of g, of g + 1
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * g), _mm256_permute2x128_si256(first16, last16, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * g + 32), _mm256_permute2x128_si256(first16, last16, 0x31));
    }
    uint32_t total = total_of(units);
    // Past the whole pairs one code at a time: vector sums would count bytes past dim.
    if (g < groups) total += portable::compact_error_units(in, packed, 32 * g);
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i levels = _mm256_castsi256_si128(levels_);
    for (; g < groups; ++g) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(packed + 16 * g));
        const __m128i even = _mm_shuffle_epi8(levels, _mm_and_si128(bytes, low));
        const __m128i odd = _mm_shuffle_epi8(levels, _mm_and_si128(_mm_srli_epi16(bytes, 4), low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * g), _mm_unpacklo_epi8(even, odd));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * g + 16), _mm_unpackhi_epi8(even, odd));
    }
    return total;
}

// 8-bit codes 32 at a time, their levels and error units looked up as the one-query pass
// looks levels up (no gathers, no code at a time); the units of the last part of a code,
// if any, one by one, so that nothing past dim counts.
__attribute__((target("avx2"))) uint32_t ManyExpander::expand8(const uint8_t* packed, uint8_t* out) const {
    const size_t whole = in_.dim / 32;
    const __m256i zero = _mm256_setzero_si256();
    __m256i units = zero;
    for (size_t g = 0; g < whole; ++g) {
        const __m256i codes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(packed + 32 * g));
        units = _mm256_add_epi64(units, _mm256_sad_epu8(units8_(codes), zero));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * g), levels8_(codes));
    }
    uint32_t total = total_of(units);
    if (const size_t rest = in_.dim % 32; rest != 0) {
        total += portable::compact_error_units(in_, packed, 32 * whole);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * whole),
                            levels8_(zero_padded(packed + 32 * whole, rest)));
    }
    return total;
}

template <int BITS>
__attribute__((target("avx2"))) uint32_t ManyExpander::expand_small(const uint8_t* packed, uint8_t* out) const {
    const SmallCodes<BITS> codes;
    const size_t groups = (in_.dim + 31) / 32, whole = in_.dim / 32;
    const __m256i zero = _mm256_setzero_si256();
    __m256i units = zero;
    for (size_t g = 0; g < groups; ++g) {
        const __m256i index = codes.indices(packed, g);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * g), _mm256_shuffle_epi8(levels_, index));
        if (g < whole) units = _mm256_add_epi64(units, _mm256_sad_epu8(_mm256_shuffle_epi8(units_, index), zero));
    }
    return total_of(units) + portable::compact_error_units(in_, packed, 32 * whole);
}

uint32_t ManyExpander::expand_any(const uint8_t* packed, uint8_t* out) const {
    format::unpack_codes(packed, in_.bits, in_.dim, out);
    uint32_t units = 0;
    for (size_t j = 0; j < in_.dim; ++j) {
        units += in_.error_units[out[j]];
        out[j] = static_cast<uint8_t>(in_.levels[out[j]] + 64);
    }
    return units;
}

namespace {

// sums[k] = (levels + 64) . query k over `pairs` pairs of groups of 32 coordinates, K
// queries at once; the two groups' pair products are added in 16 bits, then widened.
template <int K>
__attribute__((target("avx2"), always_inline)) inline void dot_many(const uint8_t* levels, const int8_t* const* queries,
                                                                   size_t pairs, int32_t* sums) {
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i acc[K];
    for (int k = 0; k < K; ++k) acc[k] = _mm256_setzero_si256();
    for (size_t p = 0; p < pairs; ++p) {
        const __m256i l0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(levels + 64 * p));
        const __m256i l1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(levels + 64 * p + 32));
        for (int k = 0; k < K; ++k) {
            const __m256i q0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(queries[k] + 64 * p));
            const __m256i q1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(queries[k] + 64 * p + 32));
            const __m256i lanes = _mm256_add_epi16(_mm256_maddubs_epi16(l0, q0), _mm256_maddubs_epi16(l1, q1));
            acc[k] = _mm256_add_epi32(acc[k], _mm256_madd_epi16(lanes, ones));
        }
    }
    if constexpr (K == 4) {
        // The four totals at once: pairwise sums within halves, then the halves added.
        const __m256i totals = _mm256_hadd_epi32(_mm256_hadd_epi32(acc[0], acc[1]), _mm256_hadd_epi32(acc[2], acc[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums),
                         _mm_add_epi32(_mm256_castsi256_si128(totals), _mm256_extracti128_si256(totals, 1)));
    } else {
        for (int k = 0; k < K; ++k) sums[k] = horizontal_sum(acc[k]);
    }
}

// 64 * sum(query) for each query: what the +64 of the levels adds.
__attribute__((target("avx2"))) void query_offsets(const int8_t* const* queries, size_t count,
                                                   size_t pairs, int32_t* offsets) {
    const std::vector<uint8_t> all64(64 * pairs, 0x40);
    for (size_t q = 0; q < count; ++q) dot_many<1>(all64.data(), queries + q, pairs, offsets + q);
}

// Every record of a tile times every query: out[q * n + r] for record r. Not inlined: on
// its own it keeps the loop's constant in a register (inlined, it was reloaded per step).
__attribute__((target("avx2"), noinline)) void multiply_tile(const uint8_t* tile, size_t pairs, size_t here,
                                                             const int8_t* const* queries, size_t count,
                                                             const int32_t* offsets, int32_t* out, size_t n) {
    // Each group of four queries stays in L1 while it meets every record of the tile.
    const size_t padded = 64 * pairs;
    size_t q = 0;
    for (; q + 4 <= count; q += 4) {
        for (size_t r = 0; r < here; ++r) {
            alignas(16) int32_t sums[4];
            dot_many<4>(tile + r * padded, queries + q, pairs, sums);
            for (int k = 0; k < 4; ++k) out[(q + k) * n + r] = sums[k] - offsets[q + k];
        }
    }
    for (; q < count; ++q) {
        for (size_t r = 0; r < here; ++r) {
            int32_t sum;
            dot_many<1>(tile + r * padded, queries + q, pairs, &sum);
            out[q * n + r] = sum - offsets[q];
        }
    }
}

}  // namespace

__attribute__((target("avx2"))) void compact_approx_scan_many(const CompactManyInputs& in,
                                                              const int8_t* const* queries, size_t count,
                                                              const uint8_t* records, size_t n, int32_t* out,
                                                              uint32_t* error_units) {
    // Tile rows cover whole pairs of groups; the query is zero past dim up to its padding.
    const size_t pairs = (in.dim + 63) / 64, padded = 64 * pairs;
    const ManyExpander expand(in);
    std::vector<int32_t> offsets(count);
    query_offsets(queries, count, pairs, offsets.data());
    std::vector<uint8_t> tile(RECORDS_PER_TILE * padded);
    for (size_t first = 0; first < n; first += RECORDS_PER_TILE) {
        const size_t here = std::min(RECORDS_PER_TILE, n - first);
        for (size_t r = 0; r < here; ++r) {
            const uint8_t* packed = records + (first + r) * in.stride;
            uint8_t* levels = tile.data() + r * padded;
            error_units[first + r] = expand(packed, levels);
        }
        // The next tile's records come from memory (to L2) while this one is multiplied.
        const uint8_t* next = records + std::min(first + RECORDS_PER_TILE, n) * in.stride;
        const uint8_t* next_end = records + std::min(first + 2 * RECORDS_PER_TILE, n) * in.stride;
        for (const uint8_t* line = next; line < next_end; line += 64) {
            _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T1);
        }
        multiply_tile(tile.data(), pairs, here, queries, count, offsets.data(), out + first, n);
    }
}

// The portable loop four records at a time, the same operations in the same order.
__attribute__((target("avx2"))) size_t compact_bounds(const CompactBoundRecords& records,
                                                     const CompactBoundQuery& query,
                                                     const int32_t* sums, size_t n, double threshold,
                                                     const CompactBounds& out) {
    const __m256d bar = _mm256_set1_pd(threshold);
    size_t reaching = 0;
    const __m256d unit = _mm256_set1_pd(query.unit), per_level = _mm256_set1_pd(query.per_level);
    const __m256d rounded_norm = _mm256_set1_pd(query.rounded_norm), tiny = _mm256_set1_pd(0x1p-20);
    const __m256d smallest = _mm256_set1_pd(static_cast<double>(std::numeric_limits<float>::min()));
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m256d offset = _mm256_set1_pd(query.offset);
    size_t b = 0;
    for (; b + 4 <= n; b += 4) {
        const __m256d sum = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + b)));
        const __m256d c = _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(records.scale + b), unit), sum);
        const __m256d spread = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(records.scaled_levels + b), per_level),
                                             _mm256_mul_pd(_mm256_loadu_pd(records.scaled_errors + b), rounded_norm));
        const __m256d m = _mm256_add_pd(_mm256_add_pd(spread, _mm256_mul_pd(_mm256_and_pd(c, magnitude), tiny)), smallest);
        const __m256d upper = _mm256_add_pd(c, m);
        int mask;
        if (query.shifted) {
            const __m256d low = _mm256_add_pd(offset, _mm256_sub_pd(c, m)), high = _mm256_add_pd(offset, upper);
            const __m256d slack = _mm256_add_pd(
                _mm256_mul_pd(_mm256_add_pd(_mm256_and_pd(low, magnitude), _mm256_and_pd(high, magnitude)), tiny), smallest);
            mask = _mm256_movemask_pd(_mm256_cmp_pd(_mm256_add_pd(high, slack), bar, _CMP_NLT_UQ));
        } else {
            mask = _mm256_movemask_pd(_mm256_cmp_pd(upper, bar, _CMP_GE_OQ));
        }
        if (mask == 0) continue;
        alignas(32) double centres[4], margins[4], uppers[4];
        _mm256_store_pd(centres, c);
        _mm256_store_pd(margins, m);
        _mm256_store_pd(uppers, upper);
        for (int left = mask; left != 0; left &= left - 1) {
            const int lane = __builtin_ctz(left);
            out.centre[reaching] = centres[lane];
            out.margin[reaching] = margins[lane];
            out.upper[reaching] = uppers[lane];
            out.reaching[reaching++] = static_cast<uint32_t>(b + static_cast<size_t>(lane));
        }
    }
    const CompactBounds rest{out.centre + reaching, out.margin + reaching, out.upper + reaching, out.reaching + reaching};
    const size_t more = portable::compact_bounds({records.scale + b, records.scaled_levels + b, records.scaled_errors + b},
                                                 query, sums + b, n - b, threshold, rest);
    for (size_t r = reaching; r < reaching + more; ++r) out.reaching[r] += static_cast<uint32_t>(b);
    return reaching + more;
}

// One query after another: the AVX2 many-query pass is the faster way to many queries.
void compact_approx_scan_each(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                              const uint8_t* records, size_t n, int32_t* out) {
    for (size_t q = 0; q < count; ++q) {
        compact_approx_scan({queries[q], in.levels, in.dim, in.bits, in.stride}, records, n, out + q * n);
    }
}

// Four records at a time: each record's scale and its two bounds (one 32-bit word) by
// scalar loads into lanes (AMD's processors run gathers slowly), then the portable
// arithmetic in four lanes.
__attribute__((target("avx2"))) void compact_record_terms(const CompactRecordFields& fields, size_t n,
                                                         const CompactRecordTerms& out) {
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m256d infinite = _mm256_set1_pd(std::numeric_limits<double>::infinity()), zero = _mm256_setzero_pd();
    const __m256d wider = _mm256_set1_pd(1.0 + 0x1p-20);
    const auto stored = [&](__m128i high_halves) __attribute__((target("avx2"))) {
        const __m256d b = _mm256_cvtps_pd(_mm_castsi128_ps(high_halves));
        return _mm256_blendv_pd(infinite, b, _mm256_cmp_pd(b, zero, _CMP_GE_OQ));
    };
    const auto words = [&](const uint8_t* base, size_t at) __attribute__((target("avx2"))) {
        const auto word = [&](size_t r) {
            int32_t v;
            std::memcpy(&v, base + r * fields.stride + at, 4);
            return v;
        };
        return _mm_setr_epi32(word(0), word(1), word(2), word(3));
    };
    size_t b = 0;
    for (; b + 4 <= n; b += 4) {
        const uint8_t* base = fields.records + b * fields.stride;
        const __m256d scale = _mm256_cvtps_pd(_mm_castsi128_ps(words(base, fields.scale_at)));
        const __m128i bounds = words(base, fields.bounds_at);
        const __m256d levels = stored(_mm_slli_epi32(bounds, 16));
        const __m256d errors = stored(_mm_and_si128(bounds, _mm_set1_epi32(static_cast<int>(0xFFFF0000u))));
        const __m256d size = _mm256_and_pd(scale, magnitude);
        _mm256_storeu_pd(out.scale + b, scale);
        _mm256_storeu_pd(out.scaled_levels + b, _mm256_mul_pd(_mm256_mul_pd(size, levels), wider));
        _mm256_storeu_pd(out.scaled_errors + b, _mm256_mul_pd(_mm256_mul_pd(size, errors), wider));
    }
    portable::compact_record_terms({fields.records + b * fields.stride, fields.stride, fields.scale_at, fields.bounds_at},
                                   n - b, {out.scale + b, out.scaled_levels + b, out.scaled_errors + b});
}

void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n,
                         int32_t* out) {
    if (in.bits == 4) {
        scan4(in, records, n, out);
    } else if (in.bits == 1) {
        scan_small<1>(in, records, n, out);
    } else if (in.bits == 2) {
        scan_small<2>(in, records, n, out);
    } else if (in.bits == 8) {
        scan8(in, records, n, out);
    } else if (in.bits == 3) {
        scan3(in, records, n, out);
    } else if (in.bits == 5) {
        scan_wide<5>(in, records, n, out);
    } else if (in.bits == 6) {
        scan_wide<6>(in, records, n, out);
    } else {
        scan_wide<7>(in, records, n, out);
    }
}

// Whole blocks of records suit this path's loops: the met records are copied side by side.
void compact_approx_gather(const CompactApproxInputs& in, const uint8_t* codes, const uint32_t* rows, size_t n,
                           int32_t* out) {
    portable::gather_by_copy(compact_approx_scan, in, codes, rows, n, out);
}

}  // namespace quillane::kernels::avx2
