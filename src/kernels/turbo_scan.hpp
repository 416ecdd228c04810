// The two-stage family's search loop: score many stored codes against a few prepared
// queries, straight from their bytes. Each entry's arithmetic is exactly that of
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
    const float* cos_levels;     // per codebook level
    const float* sin_levels;
    uint32_t last_level;         // 2^bits - 1: indices beyond it decode as it
    LevelWindow window;          // must cover every scanned code's levels
};

// Codes that are regular (format/turbo_format.hpp), one after another. The vector paths
// read up to this many bytes past the last code; callers keep them allocated.
inline constexpr size_t TURBO_SCAN_SLACK_BYTES = 8;

// One prepared query and where its n scores go.
struct TurboScanQuery {
    const float* rotated;      // R q, 2 * pairs values
    const float* projections;  // <P_j, R q>, m values
    float* scores;
};

// queries[q].scores[i] for the code at codes + i * layout.size(), i < n, q < count,
// through the chosen kernels. The vector path reads each group of codes once for all
// the queries: what a code's values give independently of the query (levels looked up,
// times the radius; the sign flips) is formed once, then each query's sums run in the
// order of the one-query loop.
void turbo_scan(const TurboScanInputs& in, const TurboScanQuery* queries, size_t count,
                const uint8_t* codes, size_t n);

}  // namespace quillane::kernels
