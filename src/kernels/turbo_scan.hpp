// The two-stage family's search loop: score many stored codes against one prepared
// query, straight from their bytes. Each entry's arithmetic is exactly that of
// TurboQuantizer::score on the parsed code; only the bookkeeping differs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/turbo_layout.hpp"

namespace quillane::kernels {

// The lowest and highest codebook level that any scanned code selects. Encoding maps
// angles in [-1, 1] to the few cells that overlap it (8 of 16 at 4 bits), so a narrow
// window lets the vector path look levels up in registers.
struct LevelWindow {
    uint32_t lowest;
    uint32_t highest;

    void merge(const LevelWindow& o) {
        lowest = lowest < o.lowest ? lowest : o.lowest;
        highest = highest > o.highest ? highest : o.highest;
    }
};

struct TurboScanInputs {
    format::TurboLayout layout;  // of every scanned code; codes follow each other
    const float* rotated;        // R q, 2 * pairs values
    const float* projections;    // <P_j, R q>, m values
    const float* cos_levels;     // per codebook level
    const float* sin_levels;
    uint32_t last_level;         // 2^bits - 1: indices beyond it decode as it
    LevelWindow window;          // must cover every scanned code's levels
};

// Codes that are regular (format/turbo_format.hpp), one after another. The vector paths
// read up to this many bytes past the last code; callers keep them allocated.
inline constexpr size_t TURBO_SCAN_SLACK_BYTES = 8;

// scores[i] for the code at codes + i * layout.size(), i < n, through the chosen kernels.
void turbo_scan(const TurboScanInputs& in, const uint8_t* codes, size_t n, float* scores);

}  // namespace quillane::kernels
