// The compact codes' scalar quantizers: Lloyd-Max for N(0, 1), literal float32
// constants written by tools/gen_compact_levels.py.
#pragma once

#include <cstdint>

namespace quillane::compact {

struct ScalarQuantizer {
    const float* levels;      // 2^bits, ascending, symmetric about 0
    const float* boundaries;  // 2^bits - 1, ascending; boundary j lies between levels j, j+1
    uint8_t bits;

    uint32_t count() const { return 1u << bits; }
    // The cell of z: the number of boundaries strictly below it (NaN-free input).
    uint32_t cell(double z) const {
        uint32_t lo = 0, hi = count() - 1;  // the answer lies in [lo, hi]
        while (lo < hi) {
            const uint32_t mid = (lo + hi) / 2;
            if (z > static_cast<double>(boundaries[mid])) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }
};

// bits in 1..8.
const ScalarQuantizer& lloyd_max(uint8_t bits);

}  // namespace quillane::compact
