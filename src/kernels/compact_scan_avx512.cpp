// The compact first pass with AVX-512 (BW, VL, VBMI, VNNI): levels stored as unsigned bytes
// (level + 128) and multiplied by the signed query with dpbusd, four products summed
// straight into each int32 lane; 128 times the sum of the query is taken off at the end,
// so each sum is the same integer as on every path. One query: 8-bit codes look their
// level up in a 256-entry table with two two-register byte permutes (no gathers); 2- and
// 4-bit codes by byte permutes, 256 or 128 coordinates per load; 1-bit codes as masks;
// the other widths after unpacking 64 codes at a time to bytes. Many queries: each
// record's levels expanded once, then multiplied by every query, with the one-query
// levels (dpbusd sums in 32 bits, so the many-query pass's 16-bit limits do not apply),
// which bound the sums more tightly; the many-query pass is left to AVX2.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "compact_bounds.hpp"
#include "compact_scan.hpp"
#include "format/compact_layout.hpp"
#include "implementations.hpp"
#include "compact_each_avx512.hpp"
#include "unpack_avx512.hpp"

namespace quillane::kernels::avx512 {

namespace {

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

// The totals of four registers of int32 sums, in order.
QL_AVX512 inline __m128i totals_of(const __m512i* sums) {
    const __m512i ab = _mm512_add_epi32(_mm512_unpacklo_epi32(sums[0], sums[1]), _mm512_unpackhi_epi32(sums[0], sums[1]));
    const __m512i cd = _mm512_add_epi32(_mm512_unpacklo_epi32(sums[2], sums[3]), _mm512_unpackhi_epi32(sums[2], sums[3]));
    // Each 128-bit lane now holds its part of the four sums, in order.
    const __m512i lanes = _mm512_add_epi32(_mm512_unpacklo_epi64(ab, cd), _mm512_unpackhi_epi64(ab, cd));
    const __m256i halves = _mm256_add_epi32(_mm512_castsi512_si256(lanes), _mm512_extracti64x4_epi64(lanes, 1));
    return _mm_add_epi32(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1));
}

// A record's C chains of int32 sums, passed by value: GCC then keeps each chain in one
// register (through arrays it copied every chain around each dpbusd).
template <size_t C>
struct Chains {
    __m512i v[C];
    QL_AVX512 Chains() {
        for (auto& chain : v) chain = _mm512_setzero_si512();
    }
    QL_AVX512 __m512i total() const {
        __m512i t = v[0];
        for (size_t c = 1; c < C; ++c) t = _mm512_add_epi32(t, v[c]);
        return t;
    }
};

// out[i] = the total of record i's chains after `steps` calls chains = step(shared(s),
// record, s, chains), four records at a time: their chains are independent, each step's shared
// value (the query's registers) serves all four, the totals are taken together, and the
// next four records are asked for from memory meanwhile.
template <size_t C, size_t LINES, class Shared, class Step>
QL_AVX512 inline void scan_records(const uint8_t* records, size_t n, size_t stride, size_t steps, const Shared& shared,
                                   const Step& step, int32_t* out) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint8_t* a = records + i * stride;
        Chains<C> s0, s1, s2, s3;
        for (size_t s = 0; s < steps; ++s) {
            for (size_t l = 0; l < LINES; ++l) {
                _mm_prefetch(reinterpret_cast<const char*>(a + 4 * stride + 64 * (s * LINES + l)), _MM_HINT_T0);
            }
            const auto values = shared(s);
            s0 = step(values, a, s, s0);
            s1 = step(values, a + stride, s, s1);
            s2 = step(values, a + 2 * stride, s, s2);
            s3 = step(values, a + 3 * stride, s, s3);
        }
        const __m512i totals[4] = {s0.total(), s1.total(), s2.total(), s3.total()};
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), totals_of(totals));
    }
    for (; i < n; ++i) {
        Chains<C> sum;
        for (size_t s = 0; s < steps; ++s) sum = step(shared(s), records + i * stride, s, sum);
        out[i] = _mm512_reduce_add_epi32(sum.total());
    }
}

// LINES lines asked for per step, at least the next four records' over the steps (a
// constant, so that the step loop is one block and GCC keeps every chain in its register).
template <size_t C, class Shared, class Step>
QL_AVX512 inline void scan_records(const uint8_t* records, size_t n, size_t stride, size_t steps, const Shared& shared,
                                   const Step& step, int32_t* out) {
    const size_t lines = (4 * stride + 64 * steps - 1) / (64 * steps);
    if (lines <= 1) return scan_records<C, 1>(records, n, stride, steps, shared, step, out);
    if (lines <= 2) return scan_records<C, 2>(records, n, stride, steps, shared, step, out);
    if (lines <= 4) return scan_records<C, 4>(records, n, stride, steps, shared, step, out);
    if (lines <= 8) return scan_records<C, 8>(records, n, stride, steps, shared, step, out);
    scan_records<C, 16>(records, n, stride, steps, shared, step, out);
}

// Where a scan's records lie: side by side, or record i at codes + rows[i] * stride (a
// graph's neighbours, which the caller asked for from memory as it met them).
struct Contiguous {
    const uint8_t* records;
    size_t n;
};
struct Gathered {
    const uint8_t* codes;
    const uint32_t* rows;
    size_t n;
};

template <size_t C, class Shared, class Step>
QL_AVX512 inline void scan_records(const Contiguous& at, size_t stride, size_t steps, const Shared& shared,
                                   const Step& step, int32_t* out) {
    scan_records<C>(at.records, at.n, stride, steps, shared, step, out);
}

// As the side-by-side scan, four records at a time, each read where it lies.
template <size_t C, class Shared, class Step>
QL_AVX512 inline void scan_records(const Gathered& at, size_t stride, size_t steps, const Shared& shared,
                                   const Step& step, int32_t* out) {
    const auto record = [&](size_t i) { return at.codes + size_t{at.rows[i]} * stride; };
    size_t i = 0;
    for (; i + 4 <= at.n; i += 4) {
        const uint8_t *a = record(i), *b = record(i + 1), *c = record(i + 2), *d = record(i + 3);
        Chains<C> s0, s1, s2, s3;
        for (size_t s = 0; s < steps; ++s) {
            const auto values = shared(s);
            s0 = step(values, a, s, s0);
            s1 = step(values, b, s, s1);
            s2 = step(values, c, s, s2);
            s3 = step(values, d, s, s3);
        }
        const __m512i totals[4] = {s0.total(), s1.total(), s2.total(), s3.total()};
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), totals_of(totals));
    }
    for (; i < at.n; ++i) {
        Chains<C> sum;
        for (size_t s = 0; s < steps; ++s) sum = step(shared(s), record(i), s, sum);
        out[i] = _mm512_reduce_add_epi32(sum.total());
    }
}

// The query laid out for scan_planes: in each step of 64 P values, plane p's 64 bytes are
// the values P k + p. Byte permutes over pairs of registers, once per call: the scan
// itself is called block by block.
template <size_t P>
QL_AVX512 std::vector<int8_t> planes_of(const int8_t* values, size_t dim, size_t steps) {
    std::vector<int8_t> source(64 * P * steps, 0), out(64 * P * steps);
    std::memcpy(source.data(), values, dim);
    for (size_t p = 0; p < P; ++p) {
        alignas(64) uint8_t index[64];
        for (size_t k = 0; k < 64; ++k) index[k] = static_cast<uint8_t>((P * k + p) % 128);
        const __m512i at = _mm512_load_si512(index);
        for (size_t s = 0; s < steps; ++s) {
            const int8_t* from = source.data() + 64 * P * s;
            // Pair h of registers holds the values of k in [64 h / (P / 2), 64 (h + 1) / (P / 2)).
            __m512i plane = _mm512_permutex2var_epi8(_mm512_loadu_si512(from), at, _mm512_loadu_si512(from + 64));
            for (size_t h = 1; h < P / 2; ++h) {
                const __m512i pair = _mm512_permutex2var_epi8(_mm512_loadu_si512(from + 128 * h), at,
                                                              _mm512_loadu_si512(from + 128 * h + 64));
                plane = _mm512_mask_blend_epi8(~__mmask64{0} << (128 * h / P), plane, pair);
            }
            _mm512_storeu_si512(out.data() + 64 * P * s + 64 * p, plane);
        }
    }
    return out;
}

// 2- and 4-bit codes: byte k of a step of 64 bytes holds the codes of coordinates
// P k .. P k + P - 1 (P = 8 / B per byte); plane p takes code P k + p of every byte and
// looks its level (+ 128) up with a byte permute, which reads only the low 6 bits of each
// byte. Table f gives the level of the code in bits B f .. B f + B - 1 of those 6 (whatever
// the other bits), so the planes whose code lies there need no shift (2-bit codes: three of
// four, which spares Zen 4 two of the twelve vector operations of a step); the others are
// shifted down (16-bit lanes) into the last such field. Bytes past the code read as zeros.
template <int B>
struct PlaneCodes {
    static constexpr size_t P = 8 / B;
    static constexpr size_t FIELDS = 6 / B;  // codes that lie within the permute's 6 bits
    size_t steps;  // of 64 bytes, 64 P codes
    __mmask64 tail;
    __m512i table[FIELDS];

    QL_AVX512 PlaneCodes(const int8_t* levels, size_t dim)
        : steps((dim + 64 * P - 1) / (64 * P)), tail(first_bytes((dim * B + 7) / 8 - 64 * (steps - 1))) {
        for (size_t f = 0; f < FIELDS; ++f) {
            alignas(64) uint8_t values[64];
            for (size_t c = 0; c < 64; ++c) values[c] = static_cast<uint8_t>(levels[(c >> (B * f)) % (1u << B)] + 128);
            table[f] = _mm512_load_si512(values);
        }
    }
    QL_AVX512 __m512i bytes(const uint8_t* packed, size_t s) const {
        return s + 1 == steps ? _mm512_maskz_loadu_epi8(tail, packed + 64 * s) : _mm512_loadu_si512(packed + 64 * s);
    }
    QL_AVX512 __m512i levels(__m512i bytes, size_t p) const {
        const size_t f = std::min(p, FIELDS - 1), shift = B * (p - f);
        return _mm512_permutexvar_epi8(shift == 0 ? bytes : _mm512_srli_epi16(bytes, static_cast<unsigned>(shift)),
                                       table[f]);
    }
};

// The query is laid out plane by plane; each plane sums in its own register.
template <int B, class Records>
QL_AVX512 void scan_planes(const CompactApproxInputs& in, const Records& records, int32_t* out) {
    const PlaneCodes<B> codes(in.levels, in.dim);
    constexpr size_t P = PlaneCodes<B>::P, per_step = 64 * P;
    const size_t steps = codes.steps;
    const std::vector<int8_t> query = planes_of<P>(in.query, in.dim, steps);
    struct Planes {
        __m512i q[P];
    };
    const auto shared = [&](size_t s) QL_AVX512 {
        Planes planes;
        for (size_t p = 0; p < P; ++p) planes.q[p] = _mm512_loadu_si512(query.data() + per_step * s + 64 * p);
        return planes;
    };
    const auto step = [&](const Planes& planes, const uint8_t* record, size_t s, Chains<P> sums) QL_AVX512 {
        const __m512i bytes = codes.bytes(record, s);
        for (size_t p = 0; p < P; ++p) sums.v[p] = _mm512_dpbusd_epi32(sums.v[p], codes.levels(bytes, p), planes.q[p]);
        return sums;
    };
    scan_records<P>(records, in.stride, steps, shared, step, out);
    const int32_t offset = 128 * sum_of(in.query, in.dim);
    for (size_t i = 0; i < records.n; ++i) out[i] -= offset;
}

// Levels (+ 128) of codes of up to 7 bits by one byte permute, which reads only the low 6
// (one register) or 7 (two) bits of each index: the table repeats the levels, so the bits
// above a code need no mask.
struct RepeatedTable {
    __m512i t0, t1;
    bool wide;

    QL_AVX512 RepeatedTable(const uint8_t* shifted, size_t bits) : wide(bits == 7) {
        alignas(64) uint8_t values[128];
        for (size_t c = 0; c < 128; ++c) values[c] = shifted[c % (size_t{1} << bits)];
        t0 = _mm512_load_si512(values);
        t1 = _mm512_load_si512(values + 64);
    }
    QL_AVX512 __m512i operator()(__m512i codes) const {
        return wide ? _mm512_permutex2var_epi8(t0, codes, t1) : _mm512_permutexvar_epi8(codes, t0);
    }
};

// 3, 5, 6, 7 and 8 bits through the unpacker: levels (+ 128) looked up by byte permutes
// (8-bit codes in a 256-entry table of two two-register permutes: no gathers).
template <class Records, class Lookup, class Codes>
QL_AVX512 void scan_unpacked(const CompactApproxInputs& in, const Records& records, int32_t* out,
                             const Lookup& table, const Codes& codes) {
    const auto shared = [&](size_t s) QL_AVX512 { return _mm512_loadu_si512(in.query + 64 * s); };
    const auto step = [&](__m512i q, const uint8_t* record, size_t s, Chains<1> sums) QL_AVX512 {
        sums.v[0] = _mm512_dpbusd_epi32(sums.v[0], table(codes(record, s)), q);
        return sums;
    };
    scan_records<1>(records, in.stride, (in.dim + 63) / 64, shared, step, out);
    const int32_t offset = 128 * sum_of(in.query, in.dim);
    for (size_t i = 0; i < records.n; ++i) out[i] -= offset;
}

template <class Records>
QL_AVX512 void scan_unpacked(const CompactApproxInputs& in, const Records& records, int32_t* out) {
    uint8_t shifted[256] = {};
    for (size_t c = 0; c < (size_t{1} << in.bits); ++c) shifted[c] = static_cast<uint8_t>(in.levels[c] + 128);
    const Unpacker unpack(in.bits, in.dim);
    if (in.bits == 8) {
        scan_unpacked(in, records, out, ByteTable(shifted), unpack);
    } else {
        const auto raw = [&](const uint8_t* packed, size_t s) QL_AVX512 { return unpack.raw(packed, s); };
        scan_unpacked(in, records, out, RepeatedTable(shifted, in.bits), raw);
    }
}

// 1-bit codes are masks: with levels -l and +l, sum = l (2 S1 - S) for S1 the sum of the
// query over the set bits and S over all (every sum exact), so each step of 64 is a
// masked move and a dpbusd by ones. Each step reads 8 whole bytes: bits past the code
// pick query values past dim, which are zero, and the arena's slack keeps the read
// inside it.
template <class Records>
QL_AVX512 void scan1(const CompactApproxInputs& in, const Records& records, int32_t* out) {
    const __m512i ones = _mm512_set1_epi8(1);
    const auto shared = [&](size_t s) QL_AVX512 { return _mm512_loadu_si512(in.query + 64 * s); };
    const auto step = [&](__m512i q, const uint8_t* record, size_t s, Chains<1> sums) QL_AVX512 {
        uint64_t word;
        std::memcpy(&word, record + 8 * s, 8);
        sums.v[0] = _mm512_dpbusd_epi32(sums.v[0], ones, _mm512_maskz_mov_epi8(_cvtu64_mask64(word), q));
        return sums;
    };
    scan_records<1>(records, in.stride, (in.dim + 63) / 64, shared, step, out);
    const int32_t high = in.levels[1], low = in.levels[0], total = sum_of(in.query, in.dim);
    for (size_t i = 0; i < records.n; ++i) out[i] = high * out[i] + low * (total - out[i]);
}

// sums[r * K + k] = (levels of record r) . query k over `steps` steps of 64 coordinates,
// R records and K queries at once so that each load serves several products. Each step's
// values are held in registers (the empty asm): GCC otherwise folds a query's load into
// every dpbusd that reads it, and Zen 4, which loads one 512-bit register per cycle, then
// waits on the loads instead of the multiplies.
template <int R, int K>
QL_AVX512 inline void dot_block(const uint8_t* const* levels, const int8_t* const* queries, size_t steps,
                                int32_t* sums) {
    __m512i acc[R][K];
    for (int r = 0; r < R; ++r)
        for (int k = 0; k < K; ++k) acc[r][k] = _mm512_setzero_si512();
    for (size_t s = 0; s < steps; ++s) {
        __m512i l[R], q[K];
        for (int r = 0; r < R; ++r) {
            l[r] = _mm512_loadu_si512(levels[r] + 64 * s);
            asm("" : "+v"(l[r]));
        }
        for (int k = 0; k < K; ++k) {
            q[k] = _mm512_loadu_si512(queries[k] + 64 * s);
            asm("" : "+v"(q[k]));
        }
        for (int k = 0; k < K; ++k)
            for (int r = 0; r < R; ++r) acc[r][k] = _mm512_dpbusd_epi32(acc[r][k], l[r], q[k]);
    }
    for (int r = 0; r < R; ++r) {
        if constexpr (K == 4) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + r * K), totals_of(acc[r]));
        } else {
            for (int k = 0; k < K; ++k) sums[r * K + k] = _mm512_reduce_add_epi32(acc[r][k]);
        }
    }
}

// Every record of a tile times every query: out[q * n + r] for record r.
QL_AVX512 __attribute__((noinline)) void multiply_tile(const uint8_t* tile, size_t steps, size_t here,
                                                       const int8_t* const* queries, size_t count,
                                                       const int32_t* offsets, int32_t* out, size_t n) {
    const size_t padded = 64 * steps;
    size_t q = 0;
    for (; q + 4 <= count; q += 4) {
        size_t r = 0;
        for (; r + 4 <= here; r += 4) {
            const uint8_t* rows[4] = {tile + r * padded, tile + (r + 1) * padded, tile + (r + 2) * padded,
                                      tile + (r + 3) * padded};
            int32_t sums[16];
            dot_block<4, 4>(rows, queries + q, steps, sums);
            for (int k = 0; k < 4; ++k)
                for (size_t j = 0; j < 4; ++j) out[(q + k) * n + r + j] = sums[4 * j + k] - offsets[q + k];
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

struct DpbusdTiles final : TileMultiplier {
    size_t records_per_tile() const override { return 16; }
    void prepare(const int8_t* const* q, size_t c, size_t) override { queries = q, count = c; }
    void multiply(const uint8_t* tile, size_t row_steps, size_t here, const int32_t* offsets, int32_t* out,
                  size_t n) override {
        multiply_tile(tile, row_steps, here, queries, count, offsets, out, n);
    }
    const int8_t* const* queries = nullptr;
    size_t count = 0;
};

}  // namespace

// Eight records at a time: each record's scale and its two bounds (one 32-bit word), then
// the portable arithmetic in eight lanes.
QL_AVX512 void compact_record_terms(const CompactRecordFields& fields, size_t n, const CompactRecordTerms& out) {
    const __m512d infinite = _mm512_set1_pd(std::numeric_limits<double>::infinity()), zero = _mm512_setzero_pd();
    const __m512d wider = _mm512_set1_pd(1.0 + 0x1p-20);
    const auto stored = [&](__m256i high_halves) QL_AVX512 {
        const __m512d b = _mm512_cvtps_pd(_mm256_castsi256_ps(high_halves));
        return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(b, zero, _CMP_GE_OQ), infinite, b);
    };
    // Eight words, one per record, at `at` in each: scalar loads into lanes, which Zen 4 runs
    // faster than a gather (on Intel they cost about the same).
    const auto words = [&](const uint8_t* base, size_t at) QL_AVX512 {
        const auto word = [&](size_t r) {
            int32_t v;
            std::memcpy(&v, base + r * fields.stride + at, 4);
            return v;
        };
        return _mm256_setr_epi32(word(0), word(1), word(2), word(3), word(4), word(5), word(6), word(7));
    };
    size_t b = 0;
    for (; b + 8 <= n; b += 8) {
        const uint8_t* base = fields.records + b * fields.stride;
        const __m512d scale = _mm512_cvtps_pd(_mm256_castsi256_ps(words(base, fields.scale_at)));
        const __m256i bounds = words(base, fields.bounds_at);
        const __m512d levels = stored(_mm256_slli_epi32(bounds, 16));
        const __m512d errors = stored(_mm256_and_si256(bounds, _mm256_set1_epi32(static_cast<int>(0xFFFF0000u))));
        const __m512d size = _mm512_abs_pd(scale);
        _mm512_storeu_pd(out.scale + b, scale);
        _mm512_storeu_pd(out.scaled_levels + b, _mm512_mul_pd(_mm512_mul_pd(size, levels), wider));
        _mm512_storeu_pd(out.scaled_errors + b, _mm512_mul_pd(_mm512_mul_pd(size, errors), wider));
    }
    portable::compact_record_terms({fields.records + b * fields.stride, fields.stride, fields.scale_at, fields.bounds_at},
                                   n - b, {out.scale + b, out.scaled_levels + b, out.scaled_errors + b});
}

// The portable loop eight records at a time, the same operations in the same order; the
// reaching records' numbers are compressed out of each comparison's mask.
QL_AVX512 size_t compact_bounds(const CompactBoundRecords& records, const CompactBoundQuery& query, const int32_t* sums,
                                size_t n, double threshold, const CompactBounds& out) {
    const __m512d bar = _mm512_set1_pd(threshold), unit = _mm512_set1_pd(query.unit);
    const __m512d per_level = _mm512_set1_pd(query.per_level), rounded_norm = _mm512_set1_pd(query.rounded_norm);
    const __m512d tiny = _mm512_set1_pd(0x1p-20), smallest = _mm512_set1_pd(static_cast<double>(std::numeric_limits<float>::min()));
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512d offset = _mm512_set1_pd(query.offset);
    size_t reaching = 0, b = 0;
    for (; b + 8 <= n; b += 8) {
        const __m512d sum = _mm512_cvtepi32_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + b)));
        const __m512d c = _mm512_mul_pd(_mm512_mul_pd(_mm512_loadu_pd(records.scale + b), unit), sum);
        const __m512d spread = _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(records.scaled_levels + b), per_level),
                                             _mm512_mul_pd(_mm512_loadu_pd(records.scaled_errors + b), rounded_norm));
        const __m512d m = _mm512_add_pd(_mm512_add_pd(spread, _mm512_mul_pd(_mm512_abs_pd(c), tiny)), smallest);
        const __m512d upper = _mm512_add_pd(c, m);
        __mmask8 reach;
        if (query.shifted) {
            const __m512d low = _mm512_add_pd(offset, _mm512_sub_pd(c, m)), high = _mm512_add_pd(offset, upper);
            const __m512d slack = _mm512_add_pd(
                _mm512_mul_pd(_mm512_add_pd(_mm512_abs_pd(low), _mm512_abs_pd(high)), tiny), smallest);
            reach = _mm512_cmp_pd_mask(_mm512_add_pd(high, slack), bar, _CMP_NLT_UQ);
        } else {
            reach = _mm512_cmp_pd_mask(upper, bar, _CMP_GE_OQ);
        }
        if (reach == 0) continue;
        // Compressed in registers, stored whole: a compress whose destination is memory is
        // microcoded on AMD Zen 4 (tens of cycles). The whole stores end at reaching + 8 <=
        // b + 8 <= n, inside the output; lanes past the reaching ones are written over later
        // or lie past the count returned.
        _mm512_storeu_pd(out.centre + reaching, _mm512_maskz_compress_pd(reach, c));
        _mm512_storeu_pd(out.margin + reaching, _mm512_maskz_compress_pd(reach, m));
        _mm512_storeu_pd(out.upper + reaching, _mm512_maskz_compress_pd(reach, upper));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.reaching + reaching),
                            _mm256_maskz_compress_epi32(reach, _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(b)))));
        reaching += static_cast<size_t>(__builtin_popcount(reach));
    }
    const CompactBounds rest{out.centre + reaching, out.margin + reaching, out.upper + reaching, out.reaching + reaching};
    const size_t more = portable::compact_bounds({records.scale + b, records.scaled_levels + b, records.scaled_errors + b},
                                                 query, sums + b, n - b, threshold, rest);
    for (size_t r = reaching; r < reaching + more; ++r) out.reaching[r] += static_cast<uint32_t>(b);
    return reaching + more;
}

namespace {

template <class Records>
QL_AVX512 void scan_any(const CompactApproxInputs& in, const Records& records, int32_t* out) {
    if (in.bits == 4) {
        scan_planes<4>(in, records, out);
    } else if (in.bits == 2) {
        scan_planes<2>(in, records, out);
    } else if (in.bits == 1) {
        scan1(in, records, out);
    } else {
        scan_unpacked(in, records, out);
    }
}

}  // namespace

void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n, int32_t* out) {
    scan_any(in, Contiguous{records, n}, out);
}

void compact_approx_gather(const CompactApproxInputs& in, const uint8_t* codes, const uint32_t* rows, size_t n,
                           int32_t* out) {
    scan_any(in, Gathered{codes, rows, n}, out);
}

// Tiles of records expanded to one byte per coordinate (`expand(packed, row)`, rows of
// row_steps steps of 64, in the order of the queries' values), each multiplied by every
// query, less offsets[q].
template <class Expand>
QL_AVX512 void multiply_records(const Expand& expand, size_t row_steps, size_t stride, const int8_t* const* queries,
                                const int32_t* offsets, size_t count, const uint8_t* records, size_t n, int32_t* out,
                                TileMultiplier& multiplier) {
    const size_t padded = 64 * row_steps, per_tile = multiplier.records_per_tile();
    std::vector<uint8_t> tile(per_tile * padded);
    multiplier.prepare(queries, count, row_steps);
    for (size_t first = 0; first < n; first += per_tile) {
        const size_t here = std::min(per_tile, n - first);
        for (size_t r = 0; r < here; ++r) expand(records + (first + r) * stride, tile.data() + r * padded);
        // The next tile's records come from memory (to L2) while this one is multiplied.
        const uint8_t* next = records + std::min(first + per_tile, n) * stride;
        const uint8_t* next_end = records + std::min(first + 2 * per_tile, n) * stride;
        for (const uint8_t* line = next; line < next_end; line += 64) {
            _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T1);
        }
        multiplier.multiply(tile.data(), row_steps, here, offsets, out + first, n);
    }
}

// The one-query levels (+ 128, as unsigned bytes) of each record, expanded as the one-query
// scans read them: 2- and 4-bit codes plane by plane (the queries laid out so once per
// call), 1-bit codes by a masked blend of the two levels, other widths 64 codes at a time
// through the unpacker. Bytes past dim meet zero query values.
QL_AVX512 void scan_each_with(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                              const uint8_t* records, size_t n, int32_t* out, TileMultiplier& multiplier) {
    uint8_t shifted[256] = {};
    for (size_t c = 0; c < (size_t{1} << in.bits); ++c) shifted[c] = static_cast<uint8_t>(in.levels[c] + 128);
    std::vector<int32_t> offsets(count);
    for (size_t q = 0; q < count; ++q) offsets[q] = 128 * sum_of(queries[q], in.dim);
    const size_t steps = (in.dim + 63) / 64;
    const auto planes = [&](auto width) QL_AVX512 {
        constexpr int B = decltype(width)::value;
        const PlaneCodes<B> codes(in.levels, in.dim);
        constexpr size_t P = PlaneCodes<B>::P;
        std::vector<std::vector<int8_t>> laid;
        std::vector<const int8_t*> rows;
        for (size_t q = 0; q < count; ++q) laid.push_back(planes_of<P>(queries[q], in.dim, codes.steps));
        for (const auto& row : laid) rows.push_back(row.data());
        const auto expand = [&](const uint8_t* packed, uint8_t* row) QL_AVX512 {
            for (size_t s = 0; s < codes.steps; ++s) {
                const __m512i bytes = codes.bytes(packed, s);
                for (size_t p = 0; p < P; ++p) _mm512_storeu_si512(row + 64 * (P * s + p), codes.levels(bytes, p));
            }
        };
        multiply_records(expand, P * codes.steps, in.stride, rows.data(), offsets.data(), count, records, n, out, multiplier);
    };
    const auto in_order = [&](const auto& expand) {
        multiply_records(expand, steps, in.stride, queries, offsets.data(), count, records, n, out, multiplier);
    };
    const Unpacker unpack(in.bits, in.dim);
    if (in.bits == 4) {
        planes(std::integral_constant<int, 4>{});
    } else if (in.bits == 2) {
        planes(std::integral_constant<int, 2>{});
    } else if (in.bits == 1) {
        // 8 whole bytes per step, as scan1 reads them (the arena's slack covers the last).
        const __m512i low = _mm512_set1_epi8(static_cast<char>(shifted[0])), high = _mm512_set1_epi8(static_cast<char>(shifted[1]));
        in_order([&](const uint8_t* packed, uint8_t* row) QL_AVX512 {
            for (size_t s = 0; s < steps; ++s) {
                uint64_t word;
                std::memcpy(&word, packed + 8 * s, 8);
                _mm512_storeu_si512(row + 64 * s, _mm512_mask_blend_epi8(_cvtu64_mask64(word), low, high));
            }
        });
    } else if (in.bits == 8) {
        const ByteTable table(shifted);
        in_order([&](const uint8_t* packed, uint8_t* row) QL_AVX512 {
            for (size_t s = 0; s < steps; ++s) _mm512_storeu_si512(row + 64 * s, table(unpack(packed, s)));
        });
    } else {
        const RepeatedTable table(shifted, in.bits);
        in_order([&](const uint8_t* packed, uint8_t* row) QL_AVX512 {
            for (size_t s = 0; s < steps; ++s) _mm512_storeu_si512(row + 64 * s, table(unpack.raw(packed, s)));
        });
    }
}

void compact_approx_scan_each(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                              const uint8_t* records, size_t n, int32_t* out) {
    DpbusdTiles tiles;
    scan_each_with(in, queries, count, records, n, out, tiles);
}

}  // namespace quillane::kernels::avx512
