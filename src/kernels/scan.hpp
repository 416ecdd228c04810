// The search's hot loop: score many stored codes against one prepared query,
// straight from their compact bytes. Each entry's arithmetic is exactly that of
// TurboQuantizer::score on the parsed code; only the bookkeeping differs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::kernels {

// Where the fields of a code written by one quantizer sit inside its bytes.
struct CodeLayout {
    size_t stride;        // bytes per code
    size_t pairs;         // dim / 2
    size_t radii;         // offset of the radii
    size_t indices;       // offset of the angle indices
    size_t norm;          // offset of the residual norm
    size_t signs;         // offset of the sign bytes
    size_t projections;   // m
};

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

struct ScanInputs {
    CodeLayout layout;
    const float* rotated;      // R q, 2 * pairs values
    const float* projections;  // <P_j, R q>, m values
    const float* cos_levels;   // per codebook level
    const float* sin_levels;
    uint32_t last_level;       // 2^bits - 1: indices beyond it decode as it
    LevelWindow window;        // must cover every scanned code's levels
    float norm_epsilon;
    float sqrt_half_pi;
};

// scores[i] for the codes at codes + i * stride, i < n. The vector path reads up to
// 3 bytes past the last code; callers keep that slack allocated.
void scan_portable(const ScanInputs& in, const uint8_t* codes, size_t n, float* scores);
void scan_avx2(const ScanInputs& in, const uint8_t* codes, size_t n, float* scores);
void scan(const ScanInputs& in, const uint8_t* codes, size_t n, float* scores);  // chosen once

inline constexpr size_t SCAN_SLACK_BYTES = 8;

}  // namespace quillane::kernels
