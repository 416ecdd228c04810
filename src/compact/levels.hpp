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
    // The cell of z: the number of boundaries strictly below it (NaN-free input). A
    // branch-free bisection: boundaries are sorted and there are 2^bits - 1 of them.
    uint32_t cell(double z) const {
        uint32_t position = 0;
        for (uint32_t step = count() / 2; step > 0; step /= 2) {
            position += (z > static_cast<double>(boundaries[position + step - 1])) ? step : 0;
        }
        return position;
    }
};

// bits in 1..8.
const ScalarQuantizer& lloyd_max(uint8_t bits);

}  // namespace quillane::compact
