// The compact first pass with AVX-512 (BW, VL, VBMI, VNNI): levels stored as unsigned bytes
// (level + 128 for one query, level + 64 for many) and multiplied by the signed query with
// dpbusd, four products summed straight into each int32 lane; the offset times the sum of
// the query is taken off at the end, so each sum is the same integer as on every path.
// 8-bit codes look their level up in a 256-entry table with two two-register byte
// permutes (no gathers); 4-bit codes with byte shuffles, 128 coordinates per load; the
// narrower widths after unpacking 64 codes at a time to bytes.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "compact_many_avx2.hpp"
#include "compact_scan.hpp"
#include "format/compact_layout.hpp"
#include "implementations.hpp"

// GCC 12's AVX-512 headers start some intrinsics from an undefined register, which its
// uninitialised-value warnings report at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define QL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vnni")))

namespace quillane::kernels::avx512 {

namespace {

// Bytes i < count set (count <= 64).
inline __mmask64 first_bytes(size_t count) {
    return count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
}

int32_t sum_of(const int8_t* values, size_t count) {
    int32_t s = 0;
    for (size_t j = 0; j < count; ++j) s += values[j];
    return s;
}

// A 256-entry byte table in four registers, looked up 64 codes at a time: bit 7 of a
// code picks the pair of registers, bit 6 the register, bits 0-5 the byte.
struct ByteTable {
    __m512i t[4];

    QL_AVX512 explicit ByteTable(const uint8_t* values) {
        for (int r = 0; r < 4; ++r) t[r] = _mm512_loadu_si512(values + 64 * r);
    }
    QL_AVX512 __m512i operator()(__m512i codes) const {
        const __m512i low = _mm512_permutex2var_epi8(t[0], codes, t[1]);
        const __m512i high = _mm512_permutex2var_epi8(t[2], codes, t[3]);
        return _mm512_mask_blend_epi8(_mm512_movepi8_mask(codes), low, high);
    }
};

// The first `count` entries of a table of 16 bytes (the rest zero) in every 16-byte lane.
QL_AVX512 __m512i lane_table(const uint8_t* values, int count) {
    alignas(16) uint8_t first16[16] = {};
    for (int c = 0; c < count; ++c) first16[c] = values[c];
    return _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(first16)));
}

// Memory alone does not keep up with a scan of two records at a time: at step s of the
// pair at a, the two lines at 128 s bytes into the pair four records on are asked for.
inline void prefetch_ahead(const uint8_t* a, size_t stride, size_t s) {
    const char* p = reinterpret_cast<const char*>(a + 4 * stride + 128 * s);
    _mm_prefetch(p, _MM_HINT_T0);
    _mm_prefetch(p + 64, _MM_HINT_T0);
}

// 4-bit codes: 64 bytes hold 128 coordinates; their low nibbles (the even coordinates)
// and high nibbles (the odd ones) are looked up in turn against a query laid out so.
QL_AVX512 void scan4(const CompactApproxInputs& in, const uint8_t* records, size_t n, int32_t* out) {
    uint8_t shifted[16];
    for (int c = 0; c < 16; ++c) shifted[c] = static_cast<uint8_t>(in.levels[c] + 128);
    const __m512i table = lane_table(shifted, 16);
    const size_t steps = (in.dim + 127) / 128, bytes = (in.dim + 1) / 2;
    const __mmask64 tail = first_bytes(bytes - 64 * (steps - 1));
    std::vector<int8_t> query(128 * steps, 0);
    for (size_t j = 0; j < in.dim; ++j) query[128 * (j / 128) + 64 * (j % 2) + j % 128 / 2] = in.query[j];
    const int32_t offset = 128 * sum_of(in.query, in.dim);
    const __m512i low4 = _mm512_set1_epi8(0x0F);
    size_t i = 0;
    // Two records at a time share the query's loads.
    for (; i + 2 <= n; i += 2) {
        const uint8_t* a = records + i * in.stride;
        const uint8_t* b = a + in.stride;
        __m512i acc_a = _mm512_setzero_si512(), acc_b = _mm512_setzero_si512();
        for (size_t s = 0; s < steps; ++s) {
            prefetch_ahead(a, in.stride, s);
            const bool last = s + 1 == steps;
            const __m512i ca = last ? _mm512_maskz_loadu_epi8(tail, a + 64 * s) : _mm512_loadu_si512(a + 64 * s);
            const __m512i cb = last ? _mm512_maskz_loadu_epi8(tail, b + 64 * s) : _mm512_loadu_si512(b + 64 * s);
            const __m512i even = _mm512_loadu_si512(query.data() + 128 * s);
            const __m512i odd = _mm512_loadu_si512(query.data() + 128 * s + 64);
            acc_a = _mm512_dpbusd_epi32(acc_a, _mm512_shuffle_epi8(table, _mm512_and_si512(ca, low4)), even);
            acc_b = _mm512_dpbusd_epi32(acc_b, _mm512_shuffle_epi8(table, _mm512_and_si512(cb, low4)), even);
            acc_a = _mm512_dpbusd_epi32(acc_a, _mm512_shuffle_epi8(table, _mm512_and_si512(_mm512_srli_epi16(ca, 4), low4)), odd);
            acc_b = _mm512_dpbusd_epi32(acc_b, _mm512_shuffle_epi8(table, _mm512_and_si512(_mm512_srli_epi16(cb, 4), low4)), odd);
        }
        out[i] = _mm512_reduce_add_epi32(acc_a) - offset;
        out[i + 1] = _mm512_reduce_add_epi32(acc_b) - offset;
    }
    for (; i < n; ++i) {
        const uint8_t* a = records + i * in.stride;
        __m512i acc = _mm512_setzero_si512();
        for (size_t s = 0; s < steps; ++s) {
            const __m512i ca = s + 1 == steps ? _mm512_maskz_loadu_epi8(tail, a + 64 * s) : _mm512_loadu_si512(a + 64 * s);
            acc = _mm512_dpbusd_epi32(acc, _mm512_shuffle_epi8(table, _mm512_and_si512(ca, low4)),
                                      _mm512_loadu_si512(query.data() + 128 * s));
            acc = _mm512_dpbusd_epi32(acc, _mm512_shuffle_epi8(table, _mm512_and_si512(_mm512_srli_epi16(ca, 4), low4)),
                                      _mm512_loadu_si512(query.data() + 128 * s + 64));
        }
        out[i] = _mm512_reduce_add_epi32(acc) - offset;
    }
}

// Codes of 1 to 8 bits, 64 per step, as bytes: 8 codes of b bits are b whole
// bytes (code 8g starts at byte g b), so each 64-bit lane takes its group's bytes (a byte
// permute) and a multishift moves code t of the lane to byte t. Bytes past the code read
// as zeros (a masked load): their codes are 0, where the query is zero.
struct Unpacker {
    __m512i spread, shifts, low;
    size_t bits, code_bytes;

    QL_AVX512 Unpacker(size_t b, size_t dim) : bits(b), code_bytes((dim * b + 7) / 8) {
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
    }
    QL_AVX512 __m512i operator()(const uint8_t* packed, size_t s) const {
        const size_t from = 8 * s * bits;
        const __m512i bytes = _mm512_maskz_loadu_epi8(first_bytes(std::min(8 * bits, code_bytes - from)), packed + from);
        if (bits == 8) return bytes;  // already one code per byte
        return _mm512_and_si512(_mm512_multishift_epi64_epi8(shifts, _mm512_permutexvar_epi8(spread, bytes)), low);
    }
};

// Every width but 1 and 4 through the unpacker: levels (+ 128) looked up in a 256-entry
// table (two two-register byte permutes: 8-bit codes need no gathers).
QL_AVX512 void scan_unpacked(const CompactApproxInputs& in, const uint8_t* records, size_t n, int32_t* out) {
    uint8_t shifted[256] = {};
    for (size_t c = 0; c < (size_t{1} << in.bits); ++c) shifted[c] = static_cast<uint8_t>(in.levels[c] + 128);
    const ByteTable table(shifted);
    const Unpacker unpack(in.bits, in.dim);
    const size_t steps = (in.dim + 63) / 64;
    const int32_t offset = 128 * sum_of(in.query, in.dim);
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const uint8_t* a = records + i * in.stride;
        const uint8_t* b = a + in.stride;
        __m512i acc_a = _mm512_setzero_si512(), acc_b = _mm512_setzero_si512();
        for (size_t s = 0; s < steps; ++s) {
            prefetch_ahead(a, in.stride, s);
            const __m512i q = _mm512_loadu_si512(in.query + 64 * s);
            acc_a = _mm512_dpbusd_epi32(acc_a, table(unpack(a, s)), q);
            acc_b = _mm512_dpbusd_epi32(acc_b, table(unpack(b, s)), q);
        }
        out[i] = _mm512_reduce_add_epi32(acc_a) - offset;
        out[i + 1] = _mm512_reduce_add_epi32(acc_b) - offset;
    }
    for (; i < n; ++i) {
        const uint8_t* a = records + i * in.stride;
        __m512i acc = _mm512_setzero_si512();
        for (size_t s = 0; s < steps; ++s) {
            acc = _mm512_dpbusd_epi32(acc, table(unpack(a, s)), _mm512_loadu_si512(in.query + 64 * s));
        }
        out[i] = _mm512_reduce_add_epi32(acc) - offset;
    }
}

// 1-bit codes are masks: with levels -l and +l, sum = l (2 S1 - S) for S1 the sum of the
// query over the set bits and S over all (every sum exact), so each step of 64 is a
// masked move and a dpbusd by ones.
QL_AVX512 void scan1(const CompactApproxInputs& in, const uint8_t* records, size_t n, int32_t* out) {
    const int32_t high = in.levels[1], low = in.levels[0];
    const size_t steps = (in.dim + 63) / 64, code_bytes = (in.dim + 7) / 8;
    const int32_t total = sum_of(in.query, in.dim);
    const __m512i ones = _mm512_set1_epi8(1);
    const auto bits_of = [&](const uint8_t* packed, size_t s) QL_AVX512 {
        const size_t from = 8 * s;
        uint64_t word = 0;
        std::memcpy(&word, packed + from, std::min<size_t>(8, code_bytes - from));
        return static_cast<__mmask64>(word);
    };
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* a = records + i * in.stride;
        __m512i acc = _mm512_setzero_si512();
        for (size_t s = 0; s < steps; ++s) {
            const __m512i set = _mm512_maskz_mov_epi8(bits_of(a, s), _mm512_loadu_si512(in.query + 64 * s));
            acc = _mm512_dpbusd_epi32(acc, ones, set);
        }
        const int32_t on = _mm512_reduce_add_epi32(acc);
        out[i] = high * on + low * (total - on);
    }
}

// Many queries over codes of any width: each record unpacked, its levels (+ 64) and error
// units looked up 64 codes at a time; units past dim are masked off before they are summed.
struct ManyExpanderAny {
    ByteTable levels, units;
    Unpacker unpack;
    size_t dim;

    QL_AVX512 static ByteTable shifted_levels(const CompactManyInputs& in) {
        uint8_t shifted[256] = {};
        for (size_t c = 0; c < (size_t{1} << in.bits); ++c) shifted[c] = static_cast<uint8_t>(in.levels[c] + 64);
        return ByteTable(shifted);
    }
    QL_AVX512 static ByteTable unit_table(const CompactManyInputs& in) {
        uint8_t units[256] = {};
        for (size_t c = 0; c < (size_t{1} << in.bits); ++c) units[c] = in.error_units[c];
        return ByteTable(units);
    }
    QL_AVX512 explicit ManyExpanderAny(const CompactManyInputs& in)
        : levels(shifted_levels(in)), units(unit_table(in)), unpack(in.bits, in.dim), dim(in.dim) {}

    QL_AVX512 uint32_t operator()(const uint8_t* packed, uint8_t* out) const {
        const size_t steps = (dim + 63) / 64;
        __m512i sums = _mm512_setzero_si512();
        for (size_t s = 0; s < steps; ++s) {
            const __m512i codes = unpack(packed, s);
            _mm512_storeu_si512(out + 64 * s, levels(codes));
            const __mmask64 valid = s + 1 < steps ? ~__mmask64{0} : first_bytes(dim - 64 * s);
            const __m512i u = _mm512_maskz_mov_epi8(valid, units(codes));
            sums = _mm512_add_epi64(sums, _mm512_sad_epu8(u, _mm512_setzero_si512()));
        }
        return static_cast<uint32_t>(_mm512_reduce_add_epi64(sums));
    }
};

constexpr size_t RECORDS_PER_TILE = 16;

// sums[r * K + k] = (levels of record r) . query k over `steps` steps of 64 coordinates,
// R records and K queries at once so that each load serves several products.
template <int R, int K>
QL_AVX512 inline void dot_block(const uint8_t* const* levels, const int8_t* const* queries, size_t steps,
                                int32_t* sums) {
    __m512i acc[R][K];
    for (int r = 0; r < R; ++r)
        for (int k = 0; k < K; ++k) acc[r][k] = _mm512_setzero_si512();
    for (size_t s = 0; s < steps; ++s) {
        __m512i l[R];
        for (int r = 0; r < R; ++r) l[r] = _mm512_loadu_si512(levels[r] + 64 * s);
        for (int k = 0; k < K; ++k) {
            const __m512i q = _mm512_loadu_si512(queries[k] + 64 * s);
            for (int r = 0; r < R; ++r) acc[r][k] = _mm512_dpbusd_epi32(acc[r][k], l[r], q);
        }
    }
    for (int r = 0; r < R; ++r)
        for (int k = 0; k < K; ++k) sums[r * K + k] = _mm512_reduce_add_epi32(acc[r][k]);
}

// Every record of a tile times every query: out[q * n + r] for record r.
QL_AVX512 __attribute__((noinline)) void multiply_tile(const uint8_t* tile, size_t steps, size_t here,
                                                       const int8_t* const* queries, size_t count,
                                                       const int32_t* offsets, int32_t* out, size_t n) {
    const size_t padded = 64 * steps;
    size_t q = 0;
    for (; q + 4 <= count; q += 4) {
        size_t r = 0;
        for (; r + 2 <= here; r += 2) {
            const uint8_t* rows[2] = {tile + r * padded, tile + (r + 1) * padded};
            int32_t sums[8];
            dot_block<2, 4>(rows, queries + q, steps, sums);
            for (int k = 0; k < 4; ++k) {
                out[(q + k) * n + r] = sums[k] - offsets[q + k];
                out[(q + k) * n + r + 1] = sums[4 + k] - offsets[q + k];
            }
        }
        for (; r < here; ++r) {
            const uint8_t* rows[1] = {tile + r * padded};
            int32_t sums[4];
            dot_block<1, 4>(rows, queries + q, steps, sums);
            for (int k = 0; k < 4; ++k) out[(q + k) * n + r] = sums[k] - offsets[q + k];
        }
    }
    for (; q < count; ++q) {
        for (size_t r = 0; r < here; ++r) {
            const uint8_t* rows[1] = {tile + r * padded};
            int32_t sum;
            dot_block<1, 1>(rows, queries + q, steps, &sum);
            out[q * n + r] = sum - offsets[q];
        }
    }
}

}  // namespace

void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n, int32_t* out) {
    if (in.bits == 4) {
        scan4(in, records, n, out);
    } else if (in.bits == 1) {
        scan1(in, records, n, out);
    } else {
        scan_unpacked(in, records, n, out);
    }
}

QL_AVX512 void compact_approx_scan_many(const CompactManyInputs& in, const int8_t* const* queries, size_t count,
                                        const uint8_t* records, size_t n, int32_t* out, uint32_t* error_units) {
    // Tile rows cover whole steps of 64; the query is zero past dim up to its padding.
    const size_t steps = (in.dim + 63) / 64, padded = 64 * steps;
    std::vector<int32_t> offsets(count);
    for (size_t q = 0; q < count; ++q) offsets[q] = 64 * sum_of(queries[q], in.dim);
    std::vector<uint8_t> tile(RECORDS_PER_TILE * padded);
    const auto fill = [&](const auto& expand) {
        for (size_t first = 0; first < n; first += RECORDS_PER_TILE) {
            const size_t here = std::min(RECORDS_PER_TILE, n - first);
            for (size_t r = 0; r < here; ++r) {
                error_units[first + r] =
                    expand(records + (first + r) * in.stride, tile.data() + r * padded);
            }
            // The next tile's records come from memory (to L2) while this one is multiplied.
            const uint8_t* next = records + std::min(first + RECORDS_PER_TILE, n) * in.stride;
            const uint8_t* next_end = records + std::min(first + 2 * RECORDS_PER_TILE, n) * in.stride;
            for (const uint8_t* line = next; line < next_end; line += 64) {
                _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T1);
            }
            multiply_tile(tile.data(), steps, here, queries, count, offsets.data(), out + first, n);
        }
    };
    if (in.bits == 4) {
        fill(avx2::ManyExpander(in));
    } else {
        fill(ManyExpanderAny(in));
    }
}

}  // namespace quillane::kernels::avx512
