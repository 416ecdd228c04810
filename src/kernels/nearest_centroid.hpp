// The coarse quantizer's assignment: for each row, the centroid of least
// |c|^2 - 2 <x, c> (float32, the dot product summed in coordinate order from +0.0, never
// fused), the lowest index among equals, NaN never chosen over a number. Each lane of a
// vector path holds one centroid and sums its own terms in that order, so every path
// gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::kernels {

// Centroids in blocks of CENTROID_LANES: block b holds centroid 16 b + l of coordinate j
// at [(b * dim + j) * CENTROID_LANES + l]; lanes past the last centroid are zero, and
// their norms +inf so they never win.
inline constexpr size_t CENTROID_LANES = 16;

struct CentroidBlocks {
    const float* lanes;  // blocks * dim * CENTROID_LANES
    const float* norms;  // blocks * CENTROID_LANES: |c|^2 as float32, summed as the dots are
    size_t dim;
    size_t blocks;
};

// out[i] = the nearest centroid of row i (rows of dim floats), through the chosen kernels.
void nearest_centroids(const CentroidBlocks& c, const float* rows, size_t n, uint32_t* out);

// The loop every path compiles: rows four at a time against one block of centroids.
template <size_t ROWS>
inline void centroid_dots(const CentroidBlocks& c, size_t b, const float* const* rows, float (*dots)[CENTROID_LANES]) {
    for (size_t r = 0; r < ROWS; ++r)
        for (size_t l = 0; l < CENTROID_LANES; ++l) dots[r][l] = 0.0f;
    const float* block = c.lanes + b * c.dim * CENTROID_LANES;
    for (size_t j = 0; j < c.dim; ++j) {
        const float* lane = block + j * CENTROID_LANES;
        for (size_t r = 0; r < ROWS; ++r) {
            const float x = rows[r][j];
            for (size_t l = 0; l < CENTROID_LANES; ++l) dots[r][l] = dots[r][l] + x * lane[l];
        }
    }
}

inline void nearest_centroids_loop(const CentroidBlocks& c, const float* rows, size_t n, uint32_t* out) {
    constexpr size_t ROWS = 4;
    for (size_t i = 0; i < n; i += ROWS) {
        const size_t here = n - i < ROWS ? n - i : ROWS;
        const float* row[ROWS];
        for (size_t r = 0; r < ROWS; ++r) row[r] = rows + (i + (r < here ? r : 0)) * c.dim;
        float best[ROWS];
        uint32_t chosen[ROWS] = {};
        for (size_t r = 0; r < ROWS; ++r) best[r] = __builtin_inff();
        float dots[ROWS][CENTROID_LANES];
        for (size_t b = 0; b < c.blocks; ++b) {
            centroid_dots<ROWS>(c, b, row, dots);
            for (size_t r = 0; r < ROWS; ++r) {
                for (size_t l = 0; l < CENTROID_LANES; ++l) {
                    const float d = c.norms[b * CENTROID_LANES + l] - 2.0f * dots[r][l];
                    if (d < best[r]) {
                        best[r] = d;
                        chosen[r] = static_cast<uint32_t>(b * CENTROID_LANES + l);
                    }
                }
            }
        }
        for (size_t r = 0; r < here; ++r) out[i + r] = chosen[r];
    }
}

}  // namespace quillane::kernels
