// The compact family's first search pass: for every stored code, the exact integer dot
// product of int8 approximations of its levels with an int8 approximation of the rotated
// query. Integers, so every path gives the same values; the family bounds their error
// and rescores the few candidates that could rank in the top k exactly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::kernels {

struct CompactApproxInputs {
    const int8_t* query;   // dim values, then zeros up to a multiple of COMPACT_QUERY_PAD
    const int8_t* levels;  // 2^bits values, |value| <= 127
    size_t dim;
    uint8_t bits;
    size_t stride;         // bytes from one record's packed codes to the next's
};

inline constexpr size_t COMPACT_QUERY_PAD = 64;
// The vector paths read whole groups of packed codes, up to 27 bytes past a code's last
// byte (AVX2's 3- and 7-bit blocks of 28 bytes); the zero query values past dim cancel what they
// read beyond a code, and these bytes after the last record (beside the record's own
// fields after its code) keep the reads inside the arena.
inline constexpr size_t COMPACT_SCAN_SLACK_BYTES = 32;

// out[i] = sum over j < dim of levels[c_ij] * query[j] for record i, whose packed codes
// start at codes + i * stride (a record's other fields lie around them), through the
// chosen kernels.
void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* codes, size_t n,
                         int32_t* out);

// out[i] = compact_approx_scan's sum for the record whose packed codes start at
// codes + rows[i] * stride: records met in any order (a graph's neighbours) read where they
// lie. The records after the last one read keep the scan's slack inside the arena.
void compact_approx_gather(const CompactApproxInputs& in, const uint8_t* codes, const uint32_t* rows, size_t n,
                           int32_t* out);

// out[q * n + i] = compact_approx_scan's sum of record i for queries[q] (in.query is not
// read): the same sums as count calls of it. Through the chosen kernels; those for which
// compact_scans_each_at_once() holds expand each record's levels once for every query,
// and beat the many-query pass below, whose coarser levels give wider bounds.
void compact_approx_scan_each(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                              const uint8_t* codes, size_t n, int32_t* out);
bool compact_scans_each_at_once();

// The many-query kernel adds the products of four query values in each 16-bit lane: value
// j belongs to lane compact_lane(j), whose members are values 64P + 2t, 64P + 2t + 1,
// 64P + 2t + 32 and 64P + 2t + 33 (lane 16P + t). Their magnitudes may sum to at most
// COMPACT_LANE_LIMIT: times levels + 64 of at most 127, that fits in 16 bits.
inline constexpr size_t COMPACT_LANE_LIMIT = 258;
inline constexpr size_t compact_lane(size_t j) { return j / 64 * 16 + j % 32 / 2; }
inline constexpr size_t compact_lane_member(size_t lane, size_t v) {
    return lane / 16 * 64 + lane % 16 * 2 + v % 2 + v / 2 * 32;
}

// The many-query pass has its own approximations of the levels, within +-63: as level + 64
// (at most 127) times lanes within their limit, two groups' products add up in 16 bits,
// so each product costs fewer instructions. Their error is bounded per record from each
// level's squared error in units, summed over the record's coordinates.
struct CompactManyInputs {
    const int8_t* levels;        // 2^bits values, |value| <= 63
    const uint8_t* error_units;  // 2^bits values
    size_t dim;
    uint8_t bits;
    size_t stride;
};

// out[q * n + i] = sum over j < dim of levels[c_ij] * queries[q][j] for record i, and
// error_units[i] = sum over j < dim of in.error_units[c_ij]. Query values within +-127,
// zero past dim up to COMPACT_QUERY_PAD, each lane within COMPACT_LANE_LIMIT. The vector
// path expands each record's levels once and multiplies them by every query.
void compact_approx_scan_many(const CompactManyInputs& in, const int8_t* const* queries,
                              size_t count, const uint8_t* codes, size_t n, int32_t* out,
                              uint32_t* error_units);

}  // namespace quillane::kernels
