// The many-query pass's expansion of one record in AVX2: its levels as bytes (level + 64,
// coordinates in order, anything past dim) and the sum of its error units. Shared by the
// AVX2 and AVX-512 many-query kernels, which differ in how they multiply the expanded tile.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "compact_scan.hpp"

namespace quillane::kernels::avx2 {

class ManyExpander {
public:
    __attribute__((target("avx2"))) explicit ManyExpander(const CompactManyInputs& in);
    // Writes the record's levels to out (whole groups of 32 bytes past dim) and returns
    // its error units.
    __attribute__((target("avx2"))) uint32_t operator()(const uint8_t* packed, uint8_t* out) const;

private:
    __attribute__((target("avx2"))) uint32_t expand4(const uint8_t* packed, uint8_t* out) const;
    template <int BITS>
    __attribute__((target("avx2"))) uint32_t expand_small(const uint8_t* packed, uint8_t* out) const;
    uint32_t expand_any(const uint8_t* packed, uint8_t* out) const;

    CompactManyInputs in_;
    __m256i levels_;  // level + 64, by code (codes of up to 4 bits)
    __m256i units_;   // error units, by code
};

}  // namespace quillane::kernels::avx2
