// The compact family's search loop: exact scores of many stored codes against one
// rotated query, each the bits of CompactQuantizer::score.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::kernels {

struct CompactScanInputs {
    const float* rotated;  // R q, dim values
    const float* levels;   // 2^bits
    size_t dim;
    uint8_t bits;
    size_t stride;         // bytes per code
};

inline constexpr size_t COMPACT_SCAN_SLACK_BYTES = 0;

// scores[i] for the code at codes + i * stride, i < n, through the chosen kernels.
void compact_scan(const CompactScanInputs& in, const uint8_t* codes, size_t n, float* scores);

}  // namespace quillane::kernels
