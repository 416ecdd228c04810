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
    size_t stride;         // bytes per record; its packed codes start 16 bytes in
};

inline constexpr size_t COMPACT_QUERY_PAD = 64;
// The vector paths read whole 16-byte groups of packed codes; the zero query values past
// dim cancel what they read beyond a code, and these bytes after the last record keep
// the reads inside the arena.
inline constexpr size_t COMPACT_SCAN_SLACK_BYTES = 32;

// out[i] = sum over j < dim of levels[c_ij] * query[j] for record i, through the chosen
// kernels.
void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n,
                         int32_t* out);

// The same for `count` queries (in.query unused), out[q * n + i] for query q: the vector
// path expands each record's levels once and multiplies them by every query. Levels and
// query values within +-127, and the magnitudes of query values 2p and 2p + 1 at most 128
// together: the vector path multiplies levels + 128 (unsigned) by query pairs in 16 bits.
void compact_approx_scan_many(const CompactApproxInputs& in, const int8_t* const* queries,
                              size_t count, const uint8_t* records, size_t n, int32_t* out);

}  // namespace quillane::kernels
