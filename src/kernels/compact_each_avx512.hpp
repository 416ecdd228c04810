// The AVX-512 many-query first pass, split where instruction sets differ: each record's
// one-query levels expanded (as unsigned bytes, level + 128) into tiles by AVX-512, the
// tiles multiplied by every query by a TileMultiplier: dpbusd (compact_scan_avx512.cpp) or
// AMX tiles (compact_scan_amx.cpp). Every multiplier gives the same integers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compact_scan.hpp"

namespace quillane::kernels::avx512 {

class TileMultiplier {
public:
    virtual ~TileMultiplier() = default;
    virtual size_t records_per_tile() const = 0;
    // Once per scan, before its tiles: the queries, laid out as the tiles' rows (row_steps
    // steps of 64 values, zero past dim).
    virtual void prepare(const int8_t* const* queries, size_t count, size_t row_steps) = 0;
    // out[q * n + r] = (row r of the tile) . query q - offsets[q], for r < here; the tile
    // holds records_per_tile() rows of 64 row_steps bytes (rows past `here` are anything).
    virtual void multiply(const uint8_t* tile, size_t row_steps, size_t here, const int32_t* offsets, int32_t* out,
                          size_t n) = 0;
};

// compact_approx_scan_each through `multiplier`.
void scan_each_with(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                    const uint8_t* records, size_t n, int32_t* out, TileMultiplier& multiplier);

}  // namespace quillane::kernels::avx512
